#include "NetworkTest.h"

#include <Velantor/Network/HostAddresses.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace hostnet_test;
using Velantor::Network::getHostIPAddresses;

namespace {

bool contains(const std::vector<std::string>& list, const std::string& address)
{
    return std::find(list.begin(), list.end(), address) != list.end();
}

using HostAddressesTest = NetworkTest;

TEST_F(HostAddressesTest, ListsTheAddressesOfInterfacesThatAreUpAndLoopbackOnlyOnRequest)
{
    ASSERT_EQ(runCommand({"ip", "link", "set", "lo", "up"}), 0);
    ASSERT_EQ(runCommand({"ip", "link", "set", peer(1).hostInterface(), "down"}), 0);

    const auto withoutLoopback = getHostIPAddresses(false);
    const auto withLoopback = getHostIPAddresses(true);

    EXPECT_TRUE(contains(withoutLoopback, peer(0).hostAddress()));
    EXPECT_FALSE(contains(withoutLoopback, "127.0.0.1"));
    EXPECT_FALSE(contains(withoutLoopback, peer(1).hostAddress())) << "its interface is down";

    EXPECT_TRUE(contains(withLoopback, peer(0).hostAddress()));
    EXPECT_TRUE(contains(withLoopback, "127.0.0.1"));
    EXPECT_FALSE(contains(withLoopback, peer(1).hostAddress()));
    // The peers' own addresses live in other namespaces.
    EXPECT_FALSE(contains(withLoopback, peer(0).peerAddress()));
}

}  // namespace

#pragma once

#include "PeerNamespace.h"

#include <gtest/gtest.h>

#include <memory>

namespace hostnet_test {

/// Each test runs in the process's private network namespace with two fresh peer
/// namespaces, each joined to it by its own veth pair (10.211.1.0/24, 10.211.2.0/24).
class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = enterPrivateNetwork();
        if (!why.empty()) GTEST_SKIP() << why;
        for (int index = 1; index <= 2; ++index) {
            m_peers.push_back(std::make_unique<PeerNamespace>(index));
            if (!m_peers.back()->ok())
                GTEST_SKIP() << "cannot make a peer network namespace: " << m_peers.back()->error();
        }
    }

    const PeerNamespace& peer(int index) const
    {
        return *m_peers.at(static_cast<std::size_t>(index));
    }

private:
    std::vector<std::unique_ptr<PeerNamespace>> m_peers;
};

}  // namespace hostnet_test

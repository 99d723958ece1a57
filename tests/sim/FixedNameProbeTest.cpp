// The serial probe over the fixed device names, as the streams' auto-detection
// runs it, finding the simulated device under one of those names inside a
// private mount namespace, even when it takes a break to reach it.
#include "RawHost.h"

#include <device_namespace.h>
#include <ndisim/Simulator.h>

#include <ndi/protocol.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

using namespace ndisim;

namespace {

bool exists(const char* path)
{
    struct stat st {};
    return ::lstat(path, &st) == 0;
}

}  // namespace

TEST(FixedNameProbe, ProbingTheFixedNamesFindsTheDeviceEvenAfterABreak)
{
    const bool existedBefore = exists("/dev/ttyUSB1");
    NDI_IN_DEVICE_NAMESPACE([] {
        auto sim = Simulator::serial(defaultScenario(Family::Aurora));
        ndi::testsupport::bindDevice(sim->serialDevice(), "/dev/ttyUSB1");
        ::setenv("NDI_BREAK_NOTIFY", sim->breakNotifyPath().c_str(), 1);
        {
            // A device left at 115200 by an earlier session: the probe needs
            // a break, which arrives under the bound name.
            rawhost::Link host = rawhost::Link::serial("/dev/ttyUSB1");
            ASSERT_EQ(host.exchange("COMM:50000"), "OKAYA896\r");
            ASSERT_TRUE(rawhost::eventually([&] { return sim->deviceLine().baud == 115200; }));
        }
        std::string found;
        for (int i = 0; ndiSerialDeviceName(i) != nullptr && found.empty(); ++i) {
            if (ndiSerialProbe(ndiSerialDeviceName(i)) == 0) found = ndiSerialDeviceName(i);
        }
        EXPECT_EQ(found, "/dev/ttyUSB1");
        EXPECT_EQ(sim->stats().breaks, 1u);
    });
    EXPECT_EQ(exists("/dev/ttyUSB1"), existedBefore);  // nothing changed outside
}

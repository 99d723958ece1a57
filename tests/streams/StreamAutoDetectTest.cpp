// Finding the measurement system: serial auto-detection across the fixed
// device names inside a private mount namespace, network auto-detection from
// a camera's PTP messages heard from a second network namespace, and the
// failures of an explicitly given device.
#include "StreamTestSupport.h"

#include <NDIPolarisTrackingStream.h>

#include <Velantor/OpticalTrackingMarker.h>
#include <Velantor/Properties.h>

#include "NetNamespace.h"
#include "PtpMessages.h"

#include <device_namespace.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>

using namespace streamtest;
using Velantor::Log;
using Velantor::LogCapture;
using Velantor::OpticalTrackingMarker;

namespace {

TEST(StreamAutoDetect, SerialStreamFindsTheSystemAmongTheFixedNames)
{
    NDI_IN_DEVICE_NAMESPACE([] {
        LogCapture log(true);
        {
            AuroraStream stream("Aurora");
            EXPECT_FALSE(stream.openAsync().get());
            EXPECT_TRUE(log.contains(Log::Error, "NDI", "No NDI tracking system found!"));
            EXPECT_EQ(stream.hardwareDevice(), "auto");
        }

        auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
        BreakNotify breaks(*sim);
        ndi::testsupport::bindDevice(sim->serialDevice(), "/dev/ttyUSB2");
        AuroraStream stream("Aurora");
        stream.setHardwareDevice("");
        ASSERT_TRUE(stream.openAsync().get());
        EXPECT_EQ(stream.hardwareDevice(), "/dev/ttyUSB2");
        EXPECT_TRUE(
            log.contains(Log::Info, "NDI", "Connecting to /dev/ttyUSB2 as serial device..."));
        EXPECT_TRUE(log.contains(Log::Info, "NDI",
                                 "Connection established at /dev/ttyUSB2. Using binary mode."));
        EXPECT_EQ(stream.trackingInstruments()->size(), 4u);
        EXPECT_TRUE(stream.closeAsync().get());

        // Found once, the device is kept: the next open probes it alone.
        log.clear();
        ASSERT_TRUE(stream.openAsync().get());
        EXPECT_EQ(log.count(Log::Error, "NDI", "No NDI tracking system found!"), 0u);
        EXPECT_TRUE(stream.closeAsync().get());
    });
}

TEST(StreamAutoDetect, ExplicitDeviceFailures)
{
    // A TCP port where nobody listens.
    int closedPort = 0;
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length), 0);
        closedPort = ntohs(a.sin_port);
        ::close(s);
    }
    struct Case {
        bool serial;
        std::string device;
        std::string message;
        bool connects;  // a connection attempt is made
    };
    const std::vector<Case> cases = {
        {true, "/nonexistent/ttyNDI", "Failed to probe device!", false},
        {false, "localhost",
         "Invalid IP address provided. TCP/IP connection is only supported for valid IPv4 "
         "addresses.",
         false},
        {false, "127.0.0.1", "Connection could not be established!", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        LogCapture log(true);
        std::unique_ptr<Velantor::Stream> stream;
        if (c.serial) {
            auto aurora = std::make_unique<AuroraStream>("s");
            aurora->setHardwareDevice(c.device);
            stream = std::move(aurora);
        } else {
            auto vega = std::make_unique<VegaStream>("n");
            vega->setHardwareDevice(c.device);
            vega->setHardwareIPPort(closedPort);
            stream = std::move(vega);
        }
        EXPECT_FALSE(stream->openAsync().get());
        EXPECT_EQ(log.count(Log::Error, "NDI", c.message), 1u);
        EXPECT_EQ(countContaining(log, Log::Info, "Connecting to") > 0, c.connects);
        EXPECT_EQ(countContaining(log, Log::Error, "NDI Tracking System Error"), 0u);
    }
}

// Sends PTP Sync messages to the group from inside a namespace until
// destroyed, as a camera keeps doing.
class Camera {
public:
    Camera(const NetNamespace& ns, const std::string& address)
        : m_thread([this, &ns, address] { ns.run([&] { send(address); }); })
    {
    }
    ~Camera()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void send(const std::string& address)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr interface {
        };
        inet_pton(AF_INET, address.c_str(), &interface);
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(319);
        inet_pton(AF_INET, "224.0.1.129", &group.sin_addr);
        const std::vector<std::uint8_t> sync = ptp::message(ptp::Sync, false, 1, 0, 0);
        while (!m_stop) {
            sendto(fd, sync.data(), sync.size(), 0, reinterpret_cast<const sockaddr*>(&group),
                   sizeof group);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::close(fd);
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST(StreamAutoDetect, NetworkStreamFindsTheCameraByItsPtpMessages)
{
    std::string error;
    auto host = NetNamespace::create(&error);
    auto camera = host ? NetNamespace::create(&error) : nullptr;
    if (!camera)
        GTEST_SKIP() << "cannot create network namespaces (needs root or CAP_SYS_ADMIN): " << error;
    const std::string cameraAddress = "10.78.2.2";
    ASSERT_TRUE(host->exec({"ip", "link", "add", "hc", "type", "veth", "peer", "name", "ch"}) &&
                host->exec({"ip", "link", "set", "ch", "netns", camera->path()}) &&
                host->exec({"ip", "addr", "add", "10.78.2.1/24", "dev", "hc"}) &&
                host->exec({"ip", "link", "set", "hc", "up"}) &&
                camera->exec({"ip", "addr", "add", cameraAddress + "/24", "dev", "ch"}) &&
                camera->exec({"ip", "link", "set", "ch", "up"}));

    std::unique_ptr<ndisim::Simulator> sim;
    camera->run([&] {
        sim = ndisim::Simulator::tcp(ndisim::defaultScenario(ndisim::Family::Vega), cameraAddress,
                                     8765);
    });
    const ndisim::ToolDescription& tool = sim->scenario().tools[0];
    TempFile rom("ptp-tool.rom", romImage(tool.partNumber, tool.markers));
    LogCapture log(true);

    VegaStream stream("Vega");
    stream.registerTool(target("Tool", rom.path(), 1));
    {
        Camera sender(*camera, cameraAddress);
        // The hooks run here, inside the host's namespace, where the camera's
        // messages arrive.
        bool opened = false;
        host->run([&] { opened = stream.openImpl(); });
        ASSERT_TRUE(opened);
    }
    EXPECT_EQ(stream.hardwareDevice(), cameraAddress);
    EXPECT_TRUE(
        log.contains(Log::Info, "NDI", "Connecting to " + cameraAddress + ":8765 via IP..."));
    EXPECT_EQ(stream.trackingInstruments()->size(), 1u);
    EXPECT_TRUE(stream.closeImpl());

    // The marker stream finds it the same way, while the user's thread reads
    // the configuration the found address is written into.
    Velantor::NDIPolarisTrackingStream markers("Markers");
    OpticalTrackingMarker::Geometry geometry;
    for (const ndisim::Vec3& m : tool.markers) geometry.emplace_back(m[0], m[1], m[2]);
    auto marker = std::make_unique<OpticalTrackingMarker>("Tool", std::nullopt, geometry);
    marker->setPartNumber(tool.partNumber);
    ASSERT_EQ(markers.addTrackingMarker(std::move(marker)), "ndi-polaris-100000");
    {
        Camera sender(*camera, cameraAddress);
        std::atomic<bool> opening{true};
        std::thread reader([&] {
            while (opening) {
                Velantor::Properties p;
                markers.configuration(&p);
            }
        });
        bool opened = false;
        host->run([&] { opened = markers.openImpl(); });
        opening = false;
        reader.join();
        ASSERT_TRUE(opened);
    }
    Velantor::Properties written;
    markers.configuration(&written);
    std::string device;
    EXPECT_TRUE(written.param("hardwareDevice", device) && device == cameraAddress);
    EXPECT_EQ(written.paramAttributes("hardwareDevice").size(), 1u) << "the label alone";
    EXPECT_TRUE(markers.trackingInstruments()->find("ndi-polaris-100000")->active);
    EXPECT_EQ(markers.trackingMarkerProblem("ndi-polaris-100000"), "");
    EXPECT_TRUE(markers.closeImpl());

    // Nobody sending: nothing found within the limit, the setting unchanged.
    log.clear();
    VegaStream quiet("Quiet");
    bool opened = true;
    host->run([&] { opened = quiet.openImpl(); });
    EXPECT_FALSE(opened);
    EXPECT_TRUE(log.contains(Log::Error, "NDI", "No NDI tracking system found!"));
    EXPECT_EQ(quiet.hardwareDevice(), "auto");
    quiet.closeImpl();
}

}  // namespace

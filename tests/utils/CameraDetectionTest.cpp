// Camera address detection over real multicast. The detecting side runs in
// its own network namespace with two interfaces: the first leads to a quiet
// namespace, the second to a "camera" namespace that sends PTP event
// messages to 224.0.1.129:319. No interface of the machine itself takes part,
// so PTP traffic on the real network cannot reach the test.
#include "LogLines.h"
#include "NetNamespace.h"
#include "PtpMessages.h"

#include <NDIUtils.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using Velantor::NDIUtils;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kDetectorQuietSide = "10.77.1.1";
const char* const kDetectorCameraSide = "10.77.2.1";
const char* const kCamera = "10.77.2.2";

// Sends the given datagrams to the PTP group from inside a namespace, over
// and over, until destroyed, as a camera keeps sending its time messages.
class PtpSender {
public:
    PtpSender(const NetNamespace& ns, std::string source,
              std::vector<std::vector<std::uint8_t>> datagrams)
        : m_thread([this, &ns, source = std::move(source), datagrams = std::move(datagrams)] {
              ns.run([&] { send(source, datagrams); });
          })
    {
    }
    ~PtpSender()
    {
        m_stop = true;
        m_thread.join();
    }
    int errors() const { return m_errors; }

private:
    void send(const std::string& source, const std::vector<std::vector<std::uint8_t>>& datagrams)
    {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr interface {
        };
        inet_pton(AF_INET, source.c_str(), &interface);
        if (fd < 0 ||
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) != 0) {
            ++m_errors;
            if (fd >= 0) close(fd);
            return;
        }
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(319);
        inet_pton(AF_INET, "224.0.1.129", &group.sin_addr);
        while (!m_stop) {
            for (const auto& d : datagrams)
                if (sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&group),
                           sizeof group) < 0)
                    ++m_errors;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        close(fd);
    }

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_errors{0};
    std::thread m_thread;
};

class CameraDetection : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        m_detector = NetNamespace::create(&error);
        if (m_detector) m_quiet = NetNamespace::create(&error);
        if (m_quiet) m_camera = NetNamespace::create(&error);
        if (!m_camera)
            GTEST_SKIP() << "cannot create network namespaces (needs root or CAP_SYS_ADMIN): "
                         << error;
        ASSERT_TRUE(link(*m_quiet, "dq", "qd", kDetectorQuietSide, "10.77.1.2"));
        ASSERT_TRUE(link(*m_camera, "dc", "cd", kDetectorCameraSide, kCamera));
    }

    // A veth pair from the detector's namespace to peer, both ends addressed
    // and up.
    bool link(const NetNamespace& peer, const std::string& near, const std::string& far,
              const std::string& nearAddress, const std::string& farAddress)
    {
        return m_detector->exec({"ip", "link", "add", near, "type", "veth", "peer", "name", far}) &&
               m_detector->exec({"ip", "link", "set", far, "netns", peer.path()}) &&
               m_detector->exec({"ip", "addr", "add", nearAddress + "/24", "dev", near}) &&
               m_detector->exec({"ip", "link", "set", near, "up"}) &&
               peer.exec({"ip", "addr", "add", farAddress + "/24", "dev", far}) &&
               peer.exec({"ip", "link", "set", far, "up"});
    }

    struct Outcome {
        std::string address;
        Clock::duration elapsed;
    };
    Outcome detect(const NetNamespace& ns, int timeLimitMs)
    {
        Outcome outcome;
        ns.run([&] {
            const auto start = Clock::now();
            outcome.address = NDIUtils::detectCameraIpAddress(timeLimitMs);
            outcome.elapsed = Clock::now() - start;
        });
        return outcome;
    }

    std::unique_ptr<NetNamespace> m_detector, m_quiet, m_camera;
};

bool contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

// Each kind of message the camera may send first; the camera is only
// reachable through the detector's second interface.
TEST_F(CameraDetection, FirstSenderOnAnyInterfaceIsTheCamera)
{
    using namespace ptp;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> datagram;
        std::vector<std::string> lines;  // expected among the debug lines
    };
    auto cut = [](std::vector<std::uint8_t> bytes) {
        bytes.resize(20);
        return bytes;
    };
    const std::vector<Case> cases = {
        {"one-step Sync",
         message(Sync, false, 11, 0, 0),
         {"1|  MessageType: 0", "1|  TwoStep: no", "1|  SequenceID: 11",
          "1|  OriginTimestamp: 1970-01-01 00:00:00"}},
        {"two-step Sync",
         message(Sync, true, 12, 1700000000, 0),
         {"1|  TwoStep: yes", "1|  Two-step Sync: timestamp in Follow_Up"}},
        {"Follow_Up",
         message(FollowUp, false, 12, 1700000000, 250000000),
         {"1|  MessageType: 8", "1|  PreciseOriginTimestamp: 2023-11-14 22:13:20"}},
        {"Announce",
         message(Announce, false, 13, 86400, 0),
         {"1|  MessageType: 11", "1|  PreciseOriginTimestamp: 1970-01-02 00:00:00"}},
        {"20-byte datagram", cut(message(Sync, false, 1, 0, 0)), {}},
    };
    const int limitMs = 10000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NdiUtilsLog log;
        Outcome outcome;
        {
            PtpSender camera(*m_camera, kCamera, {c.datagram});
            outcome = detect(*m_detector, limitMs);
            EXPECT_EQ(camera.errors(), 0);
        }
        EXPECT_EQ(outcome.address, kCamera);
        // Heard at once: the call returned well before its limit.
        EXPECT_LT(outcome.elapsed, std::chrono::milliseconds(limitMs));

        const auto lines = log.lines();
        EXPECT_TRUE(contains(lines, std::string("1|Joining PTP multicast group on interface ") +
                                        kDetectorQuietSide));
        EXPECT_TRUE(contains(lines, std::string("1|Joining PTP multicast group on interface ") +
                                        kDetectorCameraSide));
        EXPECT_TRUE(contains(lines, std::string("2|PTP message received from ") + kCamera));
        for (const auto& line : c.lines) EXPECT_TRUE(contains(lines, line)) << line;
        if (c.datagram.size() < 34) {
            EXPECT_FALSE(contains(lines, "1|PTP message on port 319"));
        }
        EXPECT_TRUE(log.errors().empty());
    }
}

TEST_F(CameraDetection, NothingHeardReturnsEmptyAfterTheLimit)
{
    NdiUtilsLog log;
    const int limitMs = 400;
    const Outcome outcome = detect(*m_detector, limitMs);
    EXPECT_EQ(outcome.address, "");
    EXPECT_GE(outcome.elapsed, std::chrono::milliseconds(limitMs));
    EXPECT_TRUE(log.errors().empty());
}

TEST_F(CameraDetection, NoInterfacesReturnsEmptyAtOnce)
{
    // A namespace whose only interface is its loopback, which is not listed.
    std::string error;
    const auto isolated = NetNamespace::create(&error);
    ASSERT_TRUE(isolated) << error;
    NdiUtilsLog log;
    const int limitMs = 60000;
    const Outcome outcome = detect(*isolated, limitMs);
    EXPECT_EQ(outcome.address, "");
    EXPECT_LT(outcome.elapsed, std::chrono::milliseconds(limitMs));
    EXPECT_EQ(log.errors(), std::vector<std::string>{"No network interfaces found"});
    EXPECT_TRUE(log.allWithoutSource());
}

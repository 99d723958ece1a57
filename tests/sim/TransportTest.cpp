// The simulator on its real transports: loopback TCP and a pseudo-terminal,
// with faults, line speeds and breaks, driven by a raw host.
#include "RawHost.h"

#include <ndisim/Crc16.h>
#include <ndisim/Simulator.h>
#include <ndisim/WireTime.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sys/stat.h>

using namespace ndisim;
using rawhost::eventually;
using rawhost::framed;
using rawhost::Link;

namespace {

std::unique_ptr<Simulator> tcpSim(Faults faults = {})
{
    Scenario s = defaultScenario(Family::Vega);
    s.faults = faults;
    return Simulator::tcp(s, "127.0.0.1", 0);
}

// A text reply whose CRC is right.
bool wellFormed(const std::string& reply)
{
    if (reply.size() < 5 || reply.back() != '\r') return false;
    const std::string body = reply.substr(0, reply.size() - 5);
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", crc16(body));
    return reply.compare(reply.size() - 5, 4, crc) == 0;
}

void startTracking(Link& link)
{
    ASSERT_EQ(link.exchange("INIT:"), "OKAYA896\r");
    ASSERT_EQ(link.exchange("TSTART:"), "OKAYA896\r");
}

}  // namespace

TEST(SimTcp, ServesOneClientAtATimeAndTheNextAfterADisconnect)
{
    auto sim = tcpSim();
    EXPECT_NE(sim->tcpPort(), 0);
    Link first = Link::tcp(sim->tcpPort());
    ASSERT_TRUE(first.valid());
    ASSERT_EQ(first.exchange("INIT:"), "OKAYA896\r");
    Link second = Link::tcp(sim->tcpPort());  // waits in the backlog
    ASSERT_TRUE(second.send(framed("VER:0")));
    first.close();
    const std::string version = second.reply();
    EXPECT_TRUE(wellFormed(version));
    EXPECT_EQ(version.rfind("Polaris Vega", 0), 0u);
    EXPECT_EQ(sim->stats().connections, 2u);
}

TEST(SimTcp, FaultsCorruptDropGarbleSplitAndDisconnect)
{
    {  // every 2nd reply has a wrong CRC, otherwise intact
        Faults f;
        f.corruptCrcEvery = 2;
        auto sim = tcpSim(f);
        Link link = Link::tcp(sim->tcpPort());
        EXPECT_TRUE(wellFormed(link.exchange("INIT:")));
        const std::string bad = link.exchange("INIT:");
        EXPECT_FALSE(wellFormed(bad));
        EXPECT_EQ(bad.substr(0, 4), "OKAY");
        EXPECT_TRUE(wellFormed(link.exchange("INIT:")));
        ASSERT_EQ(link.exchange("TSTART:").size(), 9u);   // 4th: corrupt
        const std::string bx = link.exchange("BX:0801");  // 5th: intact
        EXPECT_EQ(crc16(bx.data(), bx.size()), 0);
        const std::string badBx = link.exchange("BX:0801");  // 6th: body CRC wrong
        ASSERT_GT(badBx.size(), 8u);
        EXPECT_NE(crc16(badBx.data(), badBx.size()), 0);
        EXPECT_EQ(crc16(badBx.data(), 6), 0);  // the header stays valid
    }
    {  // the 2nd reply never comes: the 3rd command's reply is next on the line
        Faults f;
        f.dropEvery = 2;
        auto sim = tcpSim(f);
        Link link = Link::tcp(sim->tcpPort());
        EXPECT_EQ(link.exchange("INIT:"), "OKAYA896\r");
        ASSERT_TRUE(link.send(framed("VER:0")));
        EXPECT_EQ(link.exchange("INIT:"), "OKAYA896\r");
    }
    {  // garbage before every reply; pieces of 3 bytes; a delay: the bytes are intact
        Faults f;
        f.garbageEvery = 1;
        f.splitBytes = 3;
        f.splitPauseMs = 1;
        f.delayMs = 5;
        auto sim = tcpSim(f);
        Link link = Link::tcp(sim->tcpPort());
        const std::string r = link.exchange("INIT:");
        ASSERT_GT(r.size(), 9u);
        EXPECT_EQ(r.substr(r.size() - 9), "OKAYA896\r");
        EXPECT_FALSE(wellFormed(r));
    }
    {  // after 3 frames the socket closes; a new client is served
        Faults f;
        f.disconnectAfterFrames = 3;
        auto sim = tcpSim(f);
        Link link = Link::tcp(sim->tcpPort());
        startTracking(link);
        for (int i = 0; i < 3; ++i) {
            const std::string bx = link.exchange("BX:0801");
            ASSERT_GT(bx.size(), 8u);
            EXPECT_EQ(crc16(bx.data(), bx.size()), 0);
        }
        EXPECT_EQ(link.exchange("BX:0801"), "");
        EXPECT_TRUE(link.closedSeen());
        Link again = Link::tcp(sim->tcpPort());
        const std::string bx = again.exchange("BX:0801");  // the device kept tracking
        ASSERT_GT(bx.size(), 8u);
        EXPECT_EQ(crc16(bx.data(), bx.size()), 0);
    }
}

TEST(SimTcp, FaultsSwitchWhileRunning)
{
    auto sim = tcpSim();
    Link link = Link::tcp(sim->tcpPort());
    EXPECT_TRUE(wellFormed(link.exchange("INIT:")));
    Faults f;
    f.corruptCrcEvery = 1;
    sim->setFaults(f);
    EXPECT_FALSE(wellFormed(link.exchange("INIT:")));
    sim->setFaults(Faults{});
    EXPECT_TRUE(wellFormed(link.exchange("INIT:")));
}

TEST(SimSerial, BytesAtAnotherSpeedAreNoiseAndCommSwitchesAfterItsOkay)
{
    auto sim = Simulator::serial(defaultScenario(Family::Aurora));
    Link host = Link::serial(sim->serialDevice(), B19200);
    ASSERT_TRUE(host.valid());
    ASSERT_TRUE(host.send(framed("INIT:")));
    ASSERT_TRUE(eventually([&] { return sim->stats().noiseBytes == 10; }));
    host.setSpeed(B9600);
    EXPECT_EQ(host.exchange("INIT:"), "OKAYA896\r");  // the noise got no answer

    EXPECT_EQ(host.exchange("COMM:50000"), "OKAYA896\r");  // at the old speed
    ASSERT_TRUE(eventually([&] { return sim->deviceLine().baud == 115200; }));
    host.setSpeed(B115200);
    EXPECT_EQ(host.exchange("INIT:"), "OKAYA896\r");
    EXPECT_EQ(host.exchange("COMM:00000"), "OKAYA896\r");
    ASSERT_TRUE(eventually([&] { return sim->deviceLine().baud == 9600; }));
    host.setSpeed(B9600);
    EXPECT_EQ(host.exchange("INIT:"), "OKAYA896\r");
}

TEST(SimSerial, DifferentStopBitsAreNoise)
{
    // A Linux pseudo-terminal keeps 8-bit characters without parity whatever
    // the host asks for; of the character framing, only the stop bits can
    // differ between the two ends.
    auto sim = Simulator::serial(defaultScenario(Family::Polaris));
    Link host = Link::serial(sim->serialDevice());
    termios t{};
    ASSERT_EQ(::tcgetattr(host.fd(), &t), 0);
    const termios plain = t;
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(::tcsetattr(host.fd(), TCSANOW, &t), 0);
    ASSERT_TRUE(host.send(framed("INIT:")));
    ASSERT_TRUE(eventually([&] { return sim->stats().noiseBytes == 10; }));
    ASSERT_EQ(::tcsetattr(host.fd(), TCSANOW, &plain), 0);
    EXPECT_EQ(host.exchange("INIT:"), "OKAYA896\r");  // the noise got no answer
}

TEST(SimSerial, IgnoredCommLeavesTheLineOutOfStep)
{
    Scenario s = defaultScenario(Family::Polaris);
    s.faults.ignoreComm = true;
    auto sim = Simulator::serial(s);
    Link host = Link::serial(sim->serialDevice());
    EXPECT_EQ(host.exchange("COMM:50000"), "OKAYA896\r");
    host.setSpeed(B115200);
    ASSERT_TRUE(host.send(framed("INIT:")));
    ASSERT_TRUE(eventually([&] { return sim->stats().noiseBytes == 10; }));
    EXPECT_EQ(sim->deviceLine().baud, 9600);
}

TEST(SimSerial, BreakResetsTo9600AndAnswersReset)
{
    auto sim = Simulator::serial(defaultScenario(Family::Polaris));
    ASSERT_EQ(::setenv("NDI_BREAK_NOTIFY", sim->breakNotifyPath().c_str(), 1), 0);
    Link host = Link::serial(sim->serialDevice());
    EXPECT_EQ(host.exchange("INIT:"), "OKAYA896\r");
    EXPECT_EQ(host.exchange("COMM:40000"), "OKAYA896\r");
    ASSERT_TRUE(eventually([&] { return sim->deviceLine().baud == 57600; }));
    // A host that lost track of the line goes back to 9600 and breaks.
    host.setSpeed(B9600);
    ASSERT_EQ(::tcsendbreak(host.fd(), 0), 0);
    EXPECT_EQ(host.reply(), "RESETBE6F\r");
    EXPECT_EQ(sim->deviceLine().baud, 9600);
    EXPECT_EQ(sim->stats().breaks, 1u);
    EXPECT_EQ(host.exchange("TSTART:"), framed("ERROR0C"));  // reset: not initialised
    ::unsetenv("NDI_BREAK_NOTIFY");
}

TEST(SimSerial, HangUpAfterFramesAndAFreshLine)
{
    Scenario s = defaultScenario(Family::Aurora);
    s.faults.disconnectAfterFrames = 2;
    s.wireTime = true;  // replies take their time on the wire; the bytes are the same
    const std::string link = "/tmp/ndisim-test-link-" + std::to_string(::getpid());
    auto sim = Simulator::serial(s, link);
    const std::string first = sim->serialDevice();
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    Link host = Link::serial(link);
    startTracking(host);
    for (int i = 0; i < 2; ++i) {
        const std::string tx = host.exchange("TX:0001");
        EXPECT_TRUE(wellFormed(tx)) << tx;
    }
    EXPECT_EQ(host.exchange("TX:0001"), "");
    ASSERT_TRUE(eventually([&] { return sim->serialDevice() != first; }));
    Link fresh = Link::serial(link);                          // the link follows the new line
    EXPECT_EQ(fresh.exchange("TSTART:"), framed("ERROR0C"));  // powered up afresh
    sim->stop();
    EXPECT_NE(::lstat(link.c_str(), &st), 0);  // the link is gone with the device
}

// Whole nanoseconds, never fewer than the line needs: a byte at 115200 baud
// 8N1 is 86805.6 ns on the wire, and the device must not release it early.
TEST(SimWireTime, CountsEveryBitOfEachCharacterAndRoundsUp)
{
    const struct {
        long baud;
        int dataBits;
        char parity;
        int stopBits;
        std::size_t bytes;
        long long nanoseconds;
    } cases[] = {
        {9600, 8, 'N', 1, 960, 1000000000LL},  // 10 bits a byte
        {9600, 8, 'E', 2, 800, 1000000000LL},  // 12 bits a byte
        {9600, 7, 'O', 1, 960, 1000000000LL},  // 10 bits a byte
        {115200, 8, 'N', 1, 1, 86806LL},
        {115200, 8, 'N', 1, 0, 0LL},
        {0, 8, 'N', 1, 100, 0LL},  // no known rate: no pace
    };
    for (const auto& k : cases) {
        LineSettings line;
        line.baud = k.baud;
        line.dataBits = k.dataBits;
        line.parity = k.parity;
        line.stopBits = k.stopBits;
        EXPECT_EQ(wireTime(k.bytes, line).count(), k.nanoseconds)
            << k.baud << " " << k.dataBits << k.parity << k.stopBits << " " << k.bytes;
    }
}

// A reply over a pseudo-terminal arrives no earlier than the command and the
// reply could have crossed the line, at one and at two stop bits. Only "not
// earlier" is asserted: a busy machine may always deliver later.
TEST(SimSerial, WireTimeRepliesArriveNoEarlierThanTheLineAllows)
{
    Scenario s = defaultScenario(Family::Aurora);
    s.wireTime = true;
    auto sim = Simulator::serial(s);
    Link host = Link::serial(sim->serialDevice());
    ASSERT_EQ(host.exchange("INIT:"), "OKAYA896\r");
    for (const int stopBits : {1, 2}) {
        SCOPED_TRACE(std::to_string(stopBits) + " stop bits");
        if (stopBits == 2) {
            ASSERT_EQ(host.exchange("COMM:00010"), "OKAYA896\r");  // 9600 8N2
            termios t{};
            ASSERT_EQ(::tcgetattr(host.fd(), &t), 0);
            t.c_cflag |= CSTOPB;
            ASSERT_EQ(::tcsetattr(host.fd(), TCSANOW, &t), 0);
            ASSERT_TRUE(eventually([&] { return sim->deviceLine().stopBits == 2; }));
        }
        const std::string command = framed("VER:0");
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(host.send(command));
        const std::string reply = host.reply();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_TRUE(wellFormed(reply)) << reply;
        const double bitsPerByte = 1 + 8 + stopBits;
        const double wireSeconds = (command.size() + reply.size()) * bitsPerByte / 9600.0;
        EXPECT_GE(seconds, wireSeconds) << command.size() << " + " << reply.size() << " bytes";
    }
}

TEST(SimSerial, RefusesToReplaceAFileWithItsLink)
{
    const std::string path = "/tmp/ndisim-test-file-" + std::to_string(::getpid());
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_THROW(Simulator::serial(defaultScenario(Family::Aurora), path), std::runtime_error);
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ::unlink(path.c_str());
}

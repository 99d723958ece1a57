// The cable pulled and put back, the device power-cycled, and the faults of a
// device that refuses or ignores everything: what a host meets on the line
// when it must ride out a lost device.
#include "RawHost.h"

#include <ndisim/Simulator.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace ndisim;
using rawhost::eventually;
using rawhost::framed;
using rawhost::Link;

namespace {

const std::string kOkay = "OKAYA896\r";

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool isFrame(const std::string& reply)
{
    return !reply.empty() && reply.rfind("ERROR", 0) != 0 && reply.rfind("OKAY", 0) != 0;
}

std::string linkPath(const char* what)
{
    return "/tmp/ndisim-cable-" + std::string(what) + "-" + std::to_string(::getpid());
}

}  // namespace

// While unplugged the link is gone and the host's open line is dead; plugged
// in again, the same link leads to a device that kept its line speed and its
// tracking, unless it was power-cycled meanwhile.
TEST(SimCable, SerialUnplugRemovesTheLinkAndPlugInServesUnderIt)
{
    struct Case {
        const char* what;
        bool powerCycleWhileOut;
        speed_t hostSpeedAfter;
        bool tracking;
    };
    for (const Case& c : {Case{"cable only", false, B19200, true},
                          Case{"power-cycled while out", true, B9600, false}}) {
        SCOPED_TRACE(c.what);
        const std::string link = linkPath("serial");
        auto sim = Simulator::serial(defaultScenario(Family::Aurora), link);
        Link host = Link::serial(link);
        ASSERT_EQ(host.exchange("INIT:"), kOkay);
        ASSERT_EQ(host.exchange("COMM:20000"), kOkay);
        ASSERT_TRUE(eventually([&] { return sim->deviceLine().baud == 19200; }));
        host.setSpeed(B19200);
        ASSERT_EQ(host.exchange("TSTART:"), kOkay);

        sim->unplug();
        EXPECT_FALSE(sim->pluggedIn());
        EXPECT_FALSE(exists(link));
        EXPECT_EQ(sim->serialDevice(), "");
        EXPECT_FALSE(host.send(framed("TX:0001")));  // the line is dead
        sim->unplug();                               // pulling a pulled cable changes nothing
        if (c.powerCycleWhileOut) sim->powerCycle();

        sim->plugIn();
        EXPECT_TRUE(sim->pluggedIn());
        ASSERT_TRUE(exists(link));
        Link again = Link::serial(link, c.hostSpeedAfter);
        ASSERT_TRUE(again.valid());
        const std::string reply = again.exchange("TX:0001");
        if (c.tracking) {
            EXPECT_TRUE(isFrame(reply)) << reply;
        } else {
            EXPECT_EQ(reply, framed("ERROR0C"));
        }
        EXPECT_EQ(sim->stats().connections, 2u);
    }
}

// A network cable: the client is cut and connecting is refused until the
// device listens again on the same port.
TEST(SimCable, TcpUnplugRefusesConnectionsAndPlugInListensOnTheSamePort)
{
    for (bool powerCycleWhileOut : {false, true}) {
        SCOPED_TRACE(powerCycleWhileOut ? "power-cycled while out" : "cable only");
        auto sim = Simulator::tcp(defaultScenario(Family::Vega), "127.0.0.1", 0);
        const int port = sim->tcpPort();
        Link host = Link::tcp(port);
        ASSERT_EQ(host.exchange("INIT:"), kOkay);
        ASSERT_EQ(host.exchange("TSTART:"), kOkay);

        sim->unplug();
        EXPECT_EQ(host.reply(), "");
        EXPECT_TRUE(host.closedSeen());
        EXPECT_FALSE(Link::tcp(port).valid());
        if (powerCycleWhileOut) sim->powerCycle();

        sim->plugIn();
        EXPECT_EQ(sim->tcpPort(), port);
        Link again = Link::tcp(port);
        ASSERT_TRUE(again.valid());
        const std::string reply = again.exchange("TX:0001");
        if (powerCycleWhileOut) {
            EXPECT_EQ(reply, framed("ERROR0C"));
        } else {
            EXPECT_TRUE(isFrame(reply)) << reply;
        }
    }
}

// A power cycle with the cable in: the network client is dropped, and a
// serial device is back at 9600 baud, where a host that kept its speed
// is not understood.
TEST(SimCable, PowerCycleForgetsTrackingAndLineSpeed)
{
    auto tcp = Simulator::tcp(defaultScenario(Family::Vega), "127.0.0.1", 0);
    Link client = Link::tcp(tcp->tcpPort());
    ASSERT_EQ(client.exchange("INIT:"), kOkay);
    ASSERT_EQ(client.exchange("TSTART:"), kOkay);
    tcp->powerCycle();
    EXPECT_EQ(client.reply(), "");
    EXPECT_TRUE(client.closedSeen());
    Link next = Link::tcp(tcp->tcpPort());
    EXPECT_EQ(next.exchange("TX:0001"), framed("ERROR0C"));

    auto serial = Simulator::serial(defaultScenario(Family::Polaris));
    const std::string line = serial->serialDevice();
    Link host = Link::serial(line);
    ASSERT_EQ(host.exchange("INIT:"), kOkay);
    ASSERT_EQ(host.exchange("COMM:40000"), kOkay);
    ASSERT_TRUE(eventually([&] { return serial->deviceLine().baud == 57600; }));
    serial->powerCycle();
    EXPECT_EQ(serial->deviceLine().baud, 9600);
    EXPECT_FALSE(serial->stats().tracking);
    EXPECT_EQ(serial->serialDevice(), line);
    host.setSpeed(B9600);
    EXPECT_EQ(host.exchange("TSTART:"), framed("ERROR0C"));  // not initialised
}

// Refused commands leave the device as it was; swallowed ones get no answer
// on this or a new connection, and the first answer after the fault belongs
// to the first command after it.
TEST(SimCable, ErrorAllRefusesAndSilentSwallowsEveryCommand)
{
    auto sim = Simulator::tcp(defaultScenario(Family::Vega), "127.0.0.1", 0);
    Link host = Link::tcp(sim->tcpPort());
    ASSERT_EQ(host.exchange("INIT:"), kOkay);

    Faults refuse;
    refuse.errorAllCode = 0x0C;
    sim->setFaults(refuse);
    for (const char* command : {"TSTART:", "VER:0", "INIT:", "garbage"})
        EXPECT_EQ(host.exchange(command), framed("ERROR0C")) << command;
    sim->setFaults(Faults{});
    EXPECT_EQ(host.exchange("TX:0001"), framed("ERROR0C"));  // the TSTART did not happen
    ASSERT_EQ(host.exchange("TSTART:"), kOkay);

    Faults silent;
    silent.silent = true;
    sim->setFaults(silent);
    ASSERT_TRUE(host.send(framed("TSTOP:")));
    host.close();
    Link hung = Link::tcp(sim->tcpPort());  // still accepted
    ASSERT_TRUE(hung.valid());
    ASSERT_TRUE(hung.send(framed("VER:0")));
    ASSERT_TRUE(eventually([&] { return sim->stats().commands >= 9; }));
    sim->setFaults(Faults{});
    const std::string reply = hung.exchange("TX:0001");
    EXPECT_TRUE(isFrame(reply)) << reply;  // neither VER's text nor a stopped device
}

// The cable of a running ndi-sim, pulled and put back by signal, as the
// demo tells people to do.
TEST(SimCommand, SignalsPullAndPutBackTheCable)
{
    const std::string link = linkPath("command");
    const std::string command =
        std::string(NDI_SIM_COMMAND) + " aurora --no-status --serial " + link + " 2>&1";
    FILE* out = ::popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string banner;
    char buffer[512];
    int pid = 0;
    while (pid == 0 && std::fgets(buffer, sizeof buffer, out)) {
        banner += buffer;
        std::sscanf(buffer, "cable: kill -USR1 %d", &pid);
    }
    ASSERT_GT(pid, 0) << banner;
    ASSERT_TRUE(exists(link));

    ::kill(pid, SIGUSR1);
    ASSERT_TRUE(std::fgets(buffer, sizeof buffer, out));
    EXPECT_STREQ(buffer, "cable pulled\n");
    EXPECT_FALSE(exists(link));
    ::kill(pid, SIGUSR2);
    ASSERT_TRUE(std::fgets(buffer, sizeof buffer, out));
    EXPECT_EQ(std::string(buffer).rfind("cable plugged in; serial line: /dev/", 0), 0u) << buffer;
    Link host = Link::serial(link);
    EXPECT_EQ(host.exchange("INIT:"), kOkay);

    ::kill(pid, SIGTERM);
    while (std::fgets(buffer, sizeof buffer, out)) {
    }
    const int status = ::pclose(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(SimCommand, RefusesAnUnplugScheduleThatCannotWork)
{
    for (const char* schedule : {"1", "1/0", "1/2/2", "x/1", "-1/1", "1/2/3/4"}) {
        const std::string command = std::string(NDI_SIM_COMMAND) +
                                    " aurora --serial --tcp 0 --unplug " + schedule + " 2>&1";
        FILE* out = ::popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string text;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, out)) text += buffer;
        const int status = ::pclose(out);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << schedule;
        EXPECT_NE(text.find("--unplug wants AFTER/FOR[/EVERY]"), std::string::npos)
            << schedule << ": " << text;
    }
}

// ndi-track's OpenIGTLink server against clients on the same library: what
// they receive, that clients come and go freely, that one that stops reading
// holds up nobody, and that the measurement system's silence is announced.
// ndi-track tracks a simulated Aurora on a pseudo-terminal.
#include "IgtlTestClient.h"
#include "PartNumberImage.h"
#include "TrackProcess.h"

#include <ndisim/Simulator.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using igtltest::Client;
using igtltest::Message;
using tracktest::Ending;
using tracktest::TrackProcess;

namespace {

constexpr int kStatusOk = 1, kStatusTimeOut = 7, kStatusShutDown = 19;

std::uint64_t nowMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// Tools that stand still, each turned and placed differently, so that every
// pose is known exactly and a pose sent under the wrong name shows.
struct StillTool {
    std::string name;  // as given with --rom
    std::string device;
    ndisim::Vec3 at;
    ndisim::Vec3 axis;
    double angleDeg;
    bool missing;  // never in view
};

const std::vector<StillTool> kTools = {
    {"Tool One", "Tool_OneToTracker", {10.5, -20.25, -250}, {0, 0, 1}, 30, false},
    {"Pointer", "PointerToTracker", {-80, 40.125, -310}, {1, 0, 0}, 75, false},
    {"Long Reference Name", "Long_RefereToTracker", {33, 77, -180}, {0.6, 0.8, 0}, 140, false},
    {"Hidden", "HiddenToTracker", {0, 0, -200}, {0, 1, 0}, 10, true},
};

ndisim::Scenario stillScenario(double frameRate, int extraTools = 0)
{
    ndisim::Scenario s = ndisim::defaultScenario(ndisim::Family::Aurora);
    s.frameRate = frameRate;
    s.tools.clear();
    for (std::size_t k = 0; k < kTools.size() + static_cast<std::size_t>(extraTools); ++k) {
        ndisim::ToolDescription tool;
        const StillTool& still = kTools[k % kTools.size()];
        tool.name = still.name;
        tool.partNumber = "61006" + std::to_string(k);
        tool.toolInfo = "02000000NDI         0013A1F000" + std::to_string(k % 10);
        tool.port = static_cast<int>(k) + 1;
        tool.trajectory.center = still.at;
        tool.trajectory.axis = still.axis;
        tool.trajectory.angleDeg = still.angleDeg;
        if (still.missing && k < kTools.size()) tool.missing = {{0, 0xffffffffu}};
        s.tools.push_back(tool);
    }
    return s;
}

// The --rom options naming the scenario's tools (extra tools as "Extra N").
std::vector<std::string> romArgs(const ndisim::Scenario& scenario, const std::string& dir)
{
    std::vector<std::string> args;
    for (std::size_t k = 0; k < scenario.tools.size(); ++k) {
        const auto& tool = scenario.tools[k];
        const std::string path = dir + "/" + tool.partNumber + ".rom";
        benchsupport::writePartNumberImage(path, tool.partNumber);
        const std::string name = k < kTools.size() ? kTools[k].name : "Extra " + std::to_string(k);
        args.insert(args.end(), {"--rom", name + "=" + path + "@" + std::to_string(tool.port)});
    }
    return args;
}

struct TempDir {
    TempDir()
    {
        char pattern[] = "/tmp/igtl-test-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
    std::string path;
};

// ndi-track with --igtl-port 0 on the simulator, csv to /dev/null.
struct TrackedRun {
    TrackedRun(const ndisim::Simulator& sim, const std::vector<std::string>& extra,
               const char* duration = "60")
    {
        std::vector<std::string> args{"--device",   sim.serialDevice(), "--format",    "csv",
                                      "--duration", duration,           "--igtl-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        process = std::make_unique<TrackProcess>(args, devnull);
        ::close(devnull);
        const std::regex listening("listening on port (\\d+)");
        const auto until = std::chrono::steady_clock::now() + 30s;
        std::smatch match;
        while (std::chrono::steady_clock::now() < until) {
            const std::string err = process->err();
            if (std::regex_search(err, match, listening)) {
                port = std::stoi(match[1]);
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
    }
    std::unique_ptr<TrackProcess> process;
    int port = 0;
};

// Reads until `frames` TRANSFORMs of `device` have come, returning all.
std::vector<Message> readFrames(Client& client, const std::string& device, int frames)
{
    std::vector<Message> got;
    int seen = 0;
    while (seen < frames) {
        auto m = client.next();
        if (!m) break;
        if (m->type == "TRANSFORM" && m->device == device) ++seen;
        got.push_back(*m);
    }
    return got;
}

std::array<std::array<double, 4>, 4> expectedMatrix(const StillTool& tool)
{
    ndisim::Trajectory t;
    t.center = tool.at;
    t.axis = tool.axis;
    t.angleDeg = tool.angleDeg;
    const ndisim::Pose pose = t.poseAt(0);
    const double w = pose.q[0], x = pose.q[1], y = pose.q[2], z = pose.q[3];
    return {{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y), pose.t[0]},
             {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x), pose.t[1]},
             {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y), pose.t[2]},
             {0, 0, 0, 1}}};
}

// Every message is a TRANSFORM of a tool in view with its exact pose, in mm,
// stamped with the time of its frame, or a STATUS.
void expectPoses(const std::vector<Message>& messages, std::uint64_t since)
{
    std::map<std::string, const StillTool*> byDevice;
    for (const auto& tool : kTools) byDevice[tool.device] = &tool;
    std::uint64_t last = 0;
    for (const Message& m : messages) {
        if (m.type == "STATUS") continue;
        ASSERT_EQ(m.type, "TRANSFORM");
        const auto tool = byDevice.find(m.device);
        ASSERT_NE(tool, byDevice.end()) << m.device;
        EXPECT_FALSE(tool->second->missing) << m.device << " sent while out of view";
        const auto expected = expectedMatrix(*tool->second);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                EXPECT_NEAR(m.matrix[r][c], expected[r][c], c == 3 ? 1e-3 : 1e-5)
                    << m.device << " [" << r << "][" << c << "]";
        EXPECT_GE(m.milliseconds, since) << m.device;
        EXPECT_LE(m.milliseconds, nowMs() + 1) << m.device;
        EXPECT_GE(m.milliseconds, last) << "time went back";
        last = m.milliseconds;
    }
}

std::vector<int> statusCodes(const std::vector<Message>& messages)
{
    std::vector<int> codes;
    for (const Message& m : messages)
        if (m.type == "STATUS") codes.push_back(m.statusCode);
    return codes;
}

}  // namespace

// Two clients from the start and one that joins mid-run all get every tool
// in view with its exact pose under its device name, and nothing for the tool
// out of view; at the end of the run each is told the server closes, and
// then the connection ends.
TEST(IgtlServer, EveryClientGetsThePosesAndAnOrderlyEnd)
{
    TempDir dir;
    const auto scenario = stillScenario(100);
    auto sim = ndisim::Simulator::serial(scenario);
    const std::uint64_t start = nowMs();
    TrackedRun run(*sim, romArgs(scenario, dir.path));
    ASSERT_GT(run.port, 0) << run.process->err();

    Client first, second, late;
    ASSERT_TRUE(first.connect(run.port));
    ASSERT_TRUE(second.connect(run.port));
    auto firstGot = readFrames(first, "PointerToTracker", 40);
    ASSERT_TRUE(late.connect(run.port));
    auto lateGot = readFrames(late, "PointerToTracker", 40);
    auto secondGot = readFrames(second, "PointerToTracker", 80);
    for (auto* got : {&firstGot, &secondGot, &lateGot}) {
        SCOPED_TRACE(got == &firstGot ? "first" : got == &secondGot ? "second" : "late");
        expectPoses(*got, start);
        std::set<std::string> devices;
        for (const Message& m : *got) devices.insert(m.device);
        EXPECT_EQ(devices, (std::set<std::string>{"Tracker", "Tool_OneToTracker",
                                                  "PointerToTracker", "Long_RefereToTracker"}));
        // Each client is told the state on connecting; the late one joins a
        // run that tracks.
        ASSERT_FALSE(got->empty());
        EXPECT_EQ(got->front().type, "STATUS");
    }
    EXPECT_EQ(lateGot.front().statusCode, kStatusOk);
    EXPECT_EQ(statusCodes(lateGot), std::vector<int>{kStatusOk});

    run.process->signal(SIGINT);
    const Ending ending = run.process->wait(10s);
    ASSERT_TRUE(ending.ended) << run.process->err();
    EXPECT_TRUE(ending.exited);
    EXPECT_EQ(ending.code, 0) << run.process->err();
    // The stream's stop, then the server's end, then the end of the stream.
    std::vector<Message> rest;
    while (auto m = first.next()) rest.push_back(*m);
    const auto codes = statusCodes(rest);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), kStatusShutDown);
    EXPECT_EQ(rest.back().type, "STATUS");
    // The name too long for the header is said once, with what it became.
    EXPECT_NE(run.process->err().find("'Long Reference Name' is sent as Long_RefereToTracker"),
              std::string::npos)
        << run.process->err();
    EXPECT_NE(run.process->err().find("0 frames dropped for OpenIGTLink clients"),
              std::string::npos)
        << run.process->err();
}

// A client that stops reading loses frames, counted, while tracking goes on
// at the system's rate, a client that reads gets every frame, and Ctrl-C
// still ends the run at once.
TEST(IgtlServer, AStalledClientLosesFramesAloneAndTrackingGoesOn)
{
    TempDir dir;
    // Bigger frames fill the stalled client's buffers within a second.
    const auto scenario = stillScenario(200, 8);
    auto sim = ndisim::Simulator::serial(scenario);
    TrackedRun run(*sim, romArgs(scenario, dir.path));
    ASSERT_GT(run.port, 0) << run.process->err();

    const int stalled = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(run.port));
    ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Client reader;
    ASSERT_TRUE(reader.connect(run.port));
    const std::uint32_t firstFrame = sim->currentFrame();

    // Two seconds of frames at 200 Hz: the stalled client's buffers are full
    // well before.
    std::uint64_t frames = 0;
    while (frames < 400) {
        auto m = reader.next();
        ASSERT_TRUE(m) << run.process->err();
        if (m->type == "TRANSFORM" && m->device == "PointerToTracker") ++frames;
    }
    const std::uint32_t lastFrame = sim->currentFrame();
    run.process->signal(SIGINT);
    const Ending ending = run.process->wait(10s);
    while (auto m = reader.next())
        if (m->type == "TRANSFORM" && m->device == "PointerToTracker") ++frames;
    ::close(stalled);
    ASSERT_TRUE(ending.ended) << run.process->err();
    EXPECT_EQ(ending.code, 0) << run.process->err();
    // The program aims at one second; the bound is generous for a loaded machine.
    EXPECT_LE(ending.seconds, 3.0) << run.process->err();

    const std::string err = run.process->err();
    std::smatch match;
    ASSERT_TRUE(std::regex_search(err, match,
                                  std::regex("(\\d+) frames in [0-9.]+ s .*, (\\d+) frames "
                                             "dropped for OpenIGTLink clients")))
        << err;
    const std::uint64_t delivered = std::stoull(match[1]), dropped = std::stoull(match[2]);
    EXPECT_GT(dropped, 0u) << err;
    // Only the stalled client lost frames: the reader got each one sent to it.
    const std::regex left(
        "client [0-9.:]+ closed by the server after (\\d+) frames \\((\\d+) dropped\\)");
    std::vector<std::pair<std::uint64_t, std::uint64_t>> clients;
    for (auto it = std::sregex_iterator(err.begin(), err.end(), left); it != std::sregex_iterator();
         ++it)
        clients.emplace_back(std::stoull((*it)[1]), std::stoull((*it)[2]));
    ASSERT_EQ(clients.size(), 2u) << err;
    std::sort(clients.begin(), clients.end(),
              [](const auto& a, const auto& b) { return a.second < b.second; });
    EXPECT_EQ(clients[0].second, 0u) << err;
    EXPECT_EQ(clients[0].first, frames) << err;
    EXPECT_EQ(clients[1].second, dropped) << err;
    const std::regex loss("OpenIGTLink client [0-9.:]+: (\\d+) of (\\d+) frames dropped");
    const auto losses =
        std::distance(std::sregex_iterator(err.begin(), err.end(), loss), std::sregex_iterator());
    EXPECT_EQ(losses, 1) << err;
    // A tracking pass held up by the stalled client would leave most of the
    // system's frames behind; a generous floor keeps a busy machine out of it.
    EXPECT_GE(static_cast<double>(delivered), 0.5 * (lastFrame - firstFrame)) << err;
}

// A system that goes silent is announced, and so is its return; the poses in
// between are simply absent.
TEST(IgtlServer, SilenceAndReturnOfTheSystemAreAnnounced)
{
    TempDir dir;
    const auto scenario = stillScenario(100);
    auto sim = ndisim::Simulator::serial(scenario);
    // The silence outlasts the grace the stream gives a line before it opens
    // the line again; at 9600 baud the device is found at once where a host
    // without the break wrapper opens it.
    std::vector<std::string> args = romArgs(scenario, dir.path);
    args.insert(args.end(), {"--rate", "9600"});
    TrackedRun run(*sim, args);
    ASSERT_GT(run.port, 0) << run.process->err();
    Client client;
    ASSERT_TRUE(client.connect(run.port));
    auto got = readFrames(client, "PointerToTracker", 10);

    ndisim::Faults silent;
    silent.dropEvery = 1;
    sim->setFaults(silent);
    std::vector<Message> during;
    while (auto m = client.next()) {
        during.push_back(*m);
        if (m->type == "STATUS" && m->statusCode == kStatusTimeOut) break;
    }
    sim->setFaults(ndisim::Faults{});
    std::vector<Message> after;
    while (auto m = client.next()) {
        after.push_back(*m);
        if (m->type == "TRANSFORM") break;
    }
    ASSERT_FALSE(during.empty());
    EXPECT_EQ(during.back().statusCode, kStatusTimeOut);
    EXPECT_EQ(statusCodes(after), std::vector<int>{kStatusOk});
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back().type, "TRANSFORM");
    run.process->signal(SIGINT);
    EXPECT_TRUE(run.process->wait(10s).ended);
}

// The stray markers come as one POINT per frame, when asked for, and the
// markers on tools are not among them.
TEST(IgtlServer, StrayMarkersComeAsOnePointMessagePerFrame)
{
    TempDir dir;
    ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Polaris);
    scenario.strays.clear();
    for (const ndisim::Vec3& at : {ndisim::Vec3{12.5, -3, -1500}, ndisim::Vec3{-40, 60, -1620}}) {
        ndisim::StrayMarker stray;
        stray.trajectory.center = at;
        scenario.strays.push_back(stray);
    }
    auto sim = ndisim::Simulator::serial(scenario);
    std::vector<std::string> roms;
    for (const auto& tool : scenario.tools) {
        const std::string path = dir.path + "/" + tool.partNumber + ".rom";
        benchsupport::writePartNumberImage(path, tool.partNumber);
        roms.insert(roms.end(), {"--rom", path});
    }
    std::vector<std::string> args{"--family", "polaris", "--igtl-strays"};
    args.insert(args.end(), roms.begin(), roms.end());
    TrackedRun run(*sim, args);
    ASSERT_GT(run.port, 0) << run.process->err();
    Client client;
    ASSERT_TRUE(client.connect(run.port));
    int points = 0;
    while (points < 10) {
        auto m = client.next();
        ASSERT_TRUE(m) << run.process->err();
        if (m->type != "POINT") continue;
        ++points;
        EXPECT_EQ(m->device, "StrayMarkers");
        ASSERT_EQ(m->points.size(), 2u);
        EXPECT_NEAR(m->points[0][0], 12.5, 1e-3);
        EXPECT_NEAR(m->points[0][2], -1500, 1e-2);
        EXPECT_NEAR(m->points[1][1], 60, 1e-3);
    }
    run.process->signal(SIGINT);
    EXPECT_TRUE(run.process->wait(10s).ended);
}

// Ports that are no ports are refused before anything is opened; a port that
// is taken is said as such.
TEST(IgtlServer, BadOrTakenPortsAreRefused)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string takenPort = std::to_string(ntohs(address.sin_port));

    const struct {
        std::string port;
        const char* says;
    } cases[] = {
        {"abc", "--igtl-port 'abc'"},
        {"70000", "--igtl-port '70000'"},
        {takenPort, "cannot listen on port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        TrackProcess run(
            {"--device", sim->serialDevice(), "--duration", "1", "--igtl-port", c.port}, devnull);
        ::close(devnull);
        const Ending ending = run.wait(30s);
        ASSERT_TRUE(ending.ended);
        EXPECT_EQ(ending.code, 2) << run.err();
        EXPECT_NE(run.err().find(c.says), std::string::npos) << run.err();
    }
    ::close(taken);
    EXPECT_FALSE(sim->stats().tracking);
}

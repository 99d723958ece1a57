// ndi-track run as a program against simulated systems: what it prints, how
// it ends, and what it tells a user who can fix something.
#include "RunProcess.h"
#include "ToolImages.h"

#include <NetNamespace.h>
#include <device_namespace.h>
#include <ndisim/Simulator.h>

#include <Velantor/Properties.h>
#include <Velantor/WorkspaceFile.h>

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace ndisim;
using tracktest::toolFiles;

namespace {

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : text) {
        if (c == separator) {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty() || (!text.empty() && text.back() == separator)) parts.push_back(part);
    return parts;
}

// The tracker ids of n markers read from files: they carry no id of their
// own, so they are numbered in order from 100000.
std::vector<std::string> markerIds(std::size_t n)
{
    std::vector<std::string> ids;
    for (std::size_t k = 0; k < n; ++k) ids.push_back("ndi-polaris-" + std::to_string(100000 + k));
    return ids;
}

// Checks csv output: a line for every tool in every frame, each pose inside
// the tool's trajectory (a decoding fault lands far outside it).
void expectEveryToolInEveryFrame(const Outcome& run, const Scenario& scenario,
                                 const std::vector<std::string>& ids)
{
    ASSERT_EQ(run.code, 0) << run.err;
    const auto lines = split(run.out, '\n');
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "frame,timestamp_ms,id,name,state,x,y,z,q0,qx,qy,qz,quality");
    std::map<std::string, std::set<std::string>> idsByFrame;
    for (std::size_t n = 1; n < lines.size(); ++n) {
        if (lines[n].empty()) continue;
        const auto f = split(lines[n], ',');
        ASSERT_EQ(f.size(), 13u) << lines[n];
        EXPECT_TRUE(idsByFrame[f[0]].insert(f[2]).second)
            << "an instrument twice in frame " << f[0];
        if (f[4] != "ok") continue;
        const auto tool = std::find(ids.begin(), ids.end(), f[2]);
        ASSERT_NE(tool, ids.end()) << f[2];
        const auto& trajectory =
            scenario.tools[static_cast<std::size_t>(tool - ids.begin())].trajectory;
        for (int axis = 0; axis < 3; ++axis) {
            const double value = std::stod(f[5 + static_cast<std::size_t>(axis)]);
            EXPECT_LE(std::fabs(value - trajectory.center[axis]), trajectory.amplitude[axis] + 0.02)
                << lines[n];
        }
        const double q0 = std::stod(f[8]), qx = std::stod(f[9]), qy = std::stod(f[10]),
                     qz = std::stod(f[11]);
        EXPECT_NEAR(q0 * q0 + qx * qx + qy * qy + qz * qz, 1.0, 1e-3) << lines[n];
    }
    ASSERT_GE(idsByFrame.size(), 5u) << "a second of tracking gives many frames";
    for (const auto& [frame, seen] : idsByFrame)
        EXPECT_EQ(seen, std::set<std::string>(ids.begin(), ids.end())) << frame;
}

const std::vector<std::string> kAuroraIds = {"ndi-aurora-1-610066", "ndi-aurora-2-610062-3AAA",
                                             "ndi-aurora-3-610029-36C3", "ndi-aurora-4-610065"};

}  // namespace

TEST(NdiTrack, CsvHasEveryToolInEveryFrameInBothModes)
{
    const Scenario scenario = defaultScenario(Family::Aurora);
    auto sim = Simulator::serial(scenario);
    for (const char* mode : {"--format=csv", "--text"}) {
        SCOPED_TRACE(mode);
        QStringList args{QStringLiteral("--device"),   QString::fromStdString(sim->serialDevice()),
                         QStringLiteral("--duration"), QStringLiteral("1"),
                         QStringLiteral("--format"),   QStringLiteral("csv")};
        if (std::string(mode) == "--text") args << QStringLiteral("--text");
        expectEveryToolInEveryFrame(ndiTrack(args), scenario, kAuroraIds);
        // Each run ends with TSTOP and COMM:00000, so the next finds the line at 9600.
        EXPECT_FALSE(sim->stats().tracking);
        EXPECT_EQ(sim->deviceLine().baud, 9600);
    }
}

TEST(NdiTrack, VegaOverTcpTracksTheRegisteredTools)
{
    const Scenario scenario = defaultScenario(Family::Vega);
    auto sim = Simulator::tcp(scenario, "127.0.0.1", 0);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList args{
        QStringLiteral("--family"),   QStringLiteral("vega"),
        QStringLiteral("--address"),  QStringLiteral("127.0.0.1:%1").arg(sim->tcpPort()),
        QStringLiteral("--duration"), QStringLiteral("1"),
        QStringLiteral("--format"),   QStringLiteral("csv")};
    args << toolFiles(scenario, dir, QStringLiteral("--marker"), true);
    const std::vector<std::string> ids = markerIds(scenario.tools.size());
    const Outcome run = ndiTrack(args);
    expectEveryToolInEveryFrame(run, scenario, ids);
    for (std::size_t k = 0; k < ids.size(); ++k)
        EXPECT_NE(run.err.find("marker " + scenario.tools[k].name + " has tracker id " + ids[k]),
                  std::string::npos)
            << run.err;
    // A tool out of view is reported without a pose, never with a stale one.
    for (const auto& line : split(run.out, '\n')) {
        if (line.find(",missing,") != std::string::npos) {
            EXPECT_NE(line.find(",missing,,,,,,,,"), std::string::npos);
        }
    }
}

// A workspace saved by an older version names one algorithm for every camera
// and the family by "systemType": ndi-track converts it, says so, and tracks.
TEST(NdiTrack, TracksAWorkspaceSavedWithTheOlderAlgorithmId)
{
    const Scenario scenario = defaultScenario(Family::Aurora);
    auto sim = Simulator::serial(scenario);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString old = dir.filePath(QStringLiteral("old.json"));
    std::ofstream(old.toStdString()) << R"({"format": "velantor-workspace", "version": 20,
        "workspace": {"name": "Workspace", "blocks": [{"name": "Algorithms", "blocks": [
          {"name": "NDITracking.PolarisAuroraTrackingStream",
           "params": [{"key": "systemType", "kind": "int", "value": 2},
                      {"key": "hardwareDevice", "kind": "text", "value": ")"
                                     << sim->serialDevice() << R"("}]}]}]}})";
    const Outcome run =
        ndiTrack({QStringLiteral("--workspace"), old, QStringLiteral("--duration"),
                  QStringLiteral("1"), QStringLiteral("--format"), QStringLiteral("csv")});
    expectEveryToolInEveryFrame(run, scenario, kAuroraIds);
    EXPECT_NE(run.err.find("plugin Velantor.NDI loaded from"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("NDITracking.PolarisAuroraTrackingStream is now "
                           "NDITracking.AuroraTrackingStream"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Renamed PolarisAuroraTrackingStream to camera-specific TrackingStream"),
              std::string::npos)
        << run.err;

    // A workspace that tracks another family than the one asked for.
    const Outcome mismatch = ndiTrack(
        {QStringLiteral("--workspace"), old, QStringLiteral("--family"), QStringLiteral("vega")});
    EXPECT_EQ(mismatch.code, 2);
    EXPECT_NE(mismatch.err.find("the workspace tracks the aurora family, not vega"),
              std::string::npos)
        << mismatch.err;
}

// What a run saves is what the next run tracks: the same camera, the same
// markers under the same tracker ids, the same main instrument.
TEST(NdiTrack, ASavedWorkspaceTracksTheSameMarkersAgain)
{
    const Scenario scenario = defaultScenario(Family::Vega);
    auto sim = Simulator::tcp(scenario, "127.0.0.1", 0);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString saved = dir.filePath(QStringLiteral("session.json"));
    const std::vector<std::string> ids = markerIds(scenario.tools.size());
    QStringList args{
        QStringLiteral("--family"),         QStringLiteral("vega"),
        QStringLiteral("--address"),        QStringLiteral("127.0.0.1:%1").arg(sim->tcpPort()),
        QStringLiteral("--duration"),       QStringLiteral("1"),
        QStringLiteral("--format"),         QStringLiteral("csv"),
        QStringLiteral("--select"),         QString::fromStdString(ids[1]),
        QStringLiteral("--save-workspace"), saved};
    args << toolFiles(scenario, dir, QStringLiteral("--marker"), true);
    const Outcome first = ndiTrack(args);
    expectEveryToolInEveryFrame(first, scenario, ids);

    Velantor::Properties workspace;
    int version = 0;
    std::string error;
    ASSERT_TRUE(Velantor::WorkspaceFile::read(Velantor::Filesystem::Path(saved.toStdString()),
                                              workspace, version, &error))
        << error;
    const Velantor::Properties* algorithms = workspace.subProperties("Algorithms");
    ASSERT_NE(algorithms, nullptr);
    ASSERT_EQ(algorithms->subProperties().size(), 1u);
    const Velantor::Properties& block = *algorithms->subProperties()[0];
    EXPECT_EQ(block.name(), "NDITracking.PolarisVegaTrackingStream");
    std::string selected;
    EXPECT_TRUE(block.param("selectedInstrument", selected));
    EXPECT_EQ(selected, ids[1]);
    ASSERT_NE(block.subProperties("TrackingTargets"), nullptr);
    EXPECT_EQ(block.subProperties("TrackingTargets")->subProperties().size(),
              scenario.tools.size());

    const Outcome second =
        ndiTrack({QStringLiteral("--workspace"), saved, QStringLiteral("--duration"),
                  QStringLiteral("1"), QStringLiteral("--format"), QStringLiteral("csv")});
    expectEveryToolInEveryFrame(second, scenario, ids);
}

// A tool the system could not load (here: no port handle left for the third)
// is named with the reason, in the table and at the end, the others are
// tracked, and the exit code says so.
TEST(NdiTrack, AToolThatCannotBeLoadedIsNamedAndTheOthersTracked)
{
    struct Case {
        Family family;
        const char* option;
        std::string notTracked;
    };
    const std::vector<Case> cases = {
        {Family::Vega, "--marker", "the marker Patient (ndi-polaris-100002) is not tracked: "},
        {Family::Polaris, "--rom", "the tool Patient ("},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        Scenario scenario = defaultScenario(c.family);
        scenario.maxPortHandles = 2;
        auto sim = c.family == Family::Vega ? Simulator::tcp(scenario, "127.0.0.1", 0)
                                            : Simulator::serial(scenario);
        QTemporaryDir dir;
        QStringList args{
            QStringLiteral("--family"),
            c.family == Family::Vega ? QStringLiteral("vega") : QStringLiteral("polaris"),
            QStringLiteral("--duration"),
            QStringLiteral("1"),
            QStringLiteral("--format"),
            QStringLiteral("csv")};
        if (c.family == Family::Vega)
            args << QStringLiteral("--address")
                 << QStringLiteral("127.0.0.1:%1").arg(sim->tcpPort());
        else
            args << QStringLiteral("--device") << QString::fromStdString(sim->serialDevice());
        args << toolFiles(scenario, dir, QString::fromLatin1(c.option), true);
        const Outcome run = ndiTrack(args);
        EXPECT_EQ(run.code, 7) << run.err;
        // Said once after the open and once more at the end.
        std::size_t said = 0;
        for (std::size_t at = run.err.find(c.notTracked); at != std::string::npos;
             at = run.err.find(c.notTracked, at + 1))
            ++said;
        EXPECT_EQ(said, 2u) << run.err;
        const std::string tracked =
            c.family == Family::Vega ? ",ndi-polaris-100001," : ",ndi-polaris-8700340,";
        EXPECT_NE(run.out.find(tracked), std::string::npos) << run.out.substr(0, 400);
        // The marker stream keeps the marker registered, never with a pose.
        for (const auto& line : split(run.out, '\n'))
            if (line.find(",Patient,") != std::string::npos) {
                EXPECT_EQ(c.family, Family::Vega) << line;
                EXPECT_EQ(line.find(",ok,"), std::string::npos) << line;
            }
    }
}

TEST(NdiTrack, StopsCleanlyOnSigterm)
{
    auto sim = Simulator::serial(defaultScenario(Family::Aurora));
    QProcess process;
    process.start(QStringLiteral(NDI_TRACK),
                  {QStringLiteral("--device"), QString::fromStdString(sim->serialDevice()),
                   QStringLiteral("--format"), QStringLiteral("jsonl")});
    ASSERT_TRUE(process.waitForStarted(-1));
    // Wait for tracking output, then ask it to stop as a service manager would.
    std::string out;
    while (std::count(out.begin(), out.end(), '\n') < 8 && process.state() == QProcess::Running) {
        process.waitForReadyRead(-1);
        out += process.readAllStandardOutput().toStdString();
    }
    process.terminate();
    ASSERT_TRUE(process.waitForFinished(-1));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    EXPECT_NE(out.find("\"id\":\"ndi-aurora-4-610065\""), std::string::npos) << out;
    EXPECT_FALSE(sim->stats().tracking);
    EXPECT_EQ(sim->deviceLine().baud, 9600);
}

TEST(NdiTrack, ErrorsDuringTrackingGiveTheirOwnExitCode)
{
    struct Case {
        const char* name;
        Faults faults;
        std::string note;
    };
    Faults corrupt;
    corrupt.corruptCrcEvery = 7;
    Faults disconnect;
    disconnect.disconnectAfterFrames = 40;
    // A system gone for good fails every pass: its error is shown once and counted.
    const std::vector<Case> cases = {
        {"corrupt CRC", corrupt, "the system reported errors while tracking"},
        {"disconnect", disconnect, "more times)"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sim = Simulator::serial(defaultScenario(Family::Aurora));
        sim->setFaults(c.faults);
        const Outcome run =
            ndiTrack({QStringLiteral("--device"), QString::fromStdString(sim->serialDevice()),
                      QStringLiteral("--duration"), QStringLiteral("1"), QStringLiteral("--format"),
                      QStringLiteral("csv")});
        EXPECT_EQ(run.code, 4) << run.err;
        EXPECT_NE(run.err.find(c.note), std::string::npos) << run.err;
        EXPECT_LT(std::count(run.err.begin(), run.err.end(), '\n'), 40) << run.err;
    }
}

TEST(NdiTrack, FailuresTellTheUserWhatToDo)
{
    struct Case {
        QStringList args;
        int code;
        std::string advice;
    };
    const std::vector<Case> cases = {
        {{"--device", "/dev/ttyNDI-not-there"}, 1, "does not exist: check the cable"},
        {{"--device", "/dev/null"}, 1, "no NDI system answered on /dev/null"},
        {{"--family", "vega", "--address", "127.0.0.1:1"}, 1, "could not connect to 127.0.0.1:1"},
        {{"--family", "vega", "--address", "camera.local"}, 2, "must be a dotted IPv4 address"},
        {{"--family", "aurora", "--address", "10.0.0.7"}, 2, "use --device"},
        {{"--family", "vega", "--rate", "9600"}, 2, "--rate applies to aurora and polaris"},
        {{"--rate", "1000"}, 2, "choose 9600, 19200"},
        {{"--rate", "14400"}, 2, "cannot run at 14400 baud"},
        {{"--rom", "/dev/null"}, 2, "write NAME=FILE@PORT"},
        {{"--family", "polaris", "--rom", "/nonexistent.rom"},
         2,
         "cannot read the tool-definition file"},
        {{"--duration", "-1"}, 2, "--duration must be a positive number"},
        {{"--format", "xml"}, 2, "choose table, csv or jsonl"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"discover", "--no-serial", "--no-network"}, 3, "no NDI system found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Outcome run = ndiTrack(c.args);
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_NE(run.err.find(c.advice), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("ndi-aurora"), std::string::npos);
    }
}

TEST(NdiTrack, AnUnreadableDeviceNamesTheDialoutGroup)
{
    auto sim = Simulator::serial(defaultScenario(Family::Aurora));
    // As an ordinary user, who may not open the root-owned pseudo-terminal.
    const Outcome run =
        runProcess(QStringLiteral("setpriv"),
                   {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                    QStringLiteral("--clear-groups"), QStringLiteral(NDI_TRACK),
                    QStringLiteral("--device"), QString::fromStdString(sim->serialDevice())});
    if (run.code == -1) GTEST_SKIP() << "setpriv is not available";
    if (run.err.find("setpriv:") != std::string::npos)
        GTEST_SKIP() << "cannot change user: " << run.err;
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_NE(run.err.find("no permission to open " + sim->serialDevice()), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("dialout"), std::string::npos) << run.err;
    EXPECT_EQ(sim->stats().commands, 0u);
}

TEST(NdiTrack, DiscoversAndAutoDetectsTheSerialDevice)
{
    NDI_IN_DEVICE_NAMESPACE([] {
        const Scenario scenario = defaultScenario(Family::Aurora);
        auto sim = Simulator::serial(scenario);
        ndi::testsupport::bindDevice(sim->serialDevice(), "/dev/ttyUSB2");
        const Outcome found =
            ndiTrack({QStringLiteral("discover"), QStringLiteral("--no-network")});
        EXPECT_EQ(found.code, 0) << found.err;
        EXPECT_EQ(found.out, "serial /dev/ttyUSB2\n");
        // Without --device, the stream finds the same system by itself.
        expectEveryToolInEveryFrame(ndiTrack({QStringLiteral("--duration"), QStringLiteral("1"),
                                              QStringLiteral("--format"), QStringLiteral("csv")}),
                                    scenario, kAuroraIds);
    });
}

// A camera one veth link away, in a namespace of its own: heard through its
// PTP messages by discover, and found and tracked without an address.
TEST(NdiTrack, HearsANetworkCameraAndTracksItWithoutAnAddress)
{
    std::string error;
    auto host = NetNamespace::create(&error);
    std::unique_ptr<NetNamespace> camera;
    if (host) camera = NetNamespace::create(&error);
    if (!camera)
        GTEST_SKIP() << "cannot create network namespaces (needs root or CAP_SYS_ADMIN): " << error;
    ASSERT_TRUE(host->exec({"ip", "link", "add", "hc", "type", "veth", "peer", "name", "ch"}) &&
                host->exec({"ip", "link", "set", "ch", "netns", camera->path()}) &&
                host->exec({"ip", "addr", "add", "10.78.0.1/24", "dev", "hc"}) &&
                host->exec({"ip", "link", "set", "hc", "up"}) &&
                camera->exec({"ip", "addr", "add", "10.78.0.2/24", "dev", "ch"}) &&
                camera->exec({"ip", "link", "set", "ch", "up"}));

    const Scenario scenario = defaultScenario(Family::Vega);
    std::unique_ptr<Simulator> sim;
    camera->run([&] { sim = Simulator::tcp(scenario, "10.78.0.2", 0); });

    std::atomic<bool> stop{false};
    std::thread ptp([&] {
        camera->run([&] {
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            in_addr source{};
            inet_pton(AF_INET, "10.78.0.2", &source);
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &source, sizeof source);
            sockaddr_in group{};
            group.sin_family = AF_INET;
            group.sin_port = htons(319);
            inet_pton(AF_INET, "224.0.1.129", &group.sin_addr);
            std::uint8_t sync[44] = {0x00, 0x02};  // a Sync message header, version 2
            while (!stop) {
                sendto(fd, sync, sizeof sync, 0, reinterpret_cast<const sockaddr*>(&group),
                       sizeof group);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            close(fd);
        });
    });

    QTemporaryDir dir;
    QStringList args{QStringLiteral("--family"),   QStringLiteral("vega"),
                     QStringLiteral("--port"),     QString::number(sim->tcpPort()),
                     QStringLiteral("--duration"), QStringLiteral("1"),
                     QStringLiteral("--format"),   QStringLiteral("csv")};
    // A tool-definition file given with --rom is read as a marker too.
    args << toolFiles(scenario, dir, QStringLiteral("--rom"), false);
    const std::vector<std::string> ids = markerIds(scenario.tools.size());
    Outcome found, tracked;
    host->run([&] {
        found = ndiTrack({QStringLiteral("discover"), QStringLiteral("--no-serial"),
                          QStringLiteral("--window"), QStringLiteral("1000")});
        tracked = ndiTrack(args);
    });
    stop = true;
    ptp.join();
    EXPECT_EQ(found.code, 0) << found.err;
    EXPECT_EQ(found.out, "network 10.78.0.2\n");
    expectEveryToolInEveryFrame(tracked, scenario, ids);
}

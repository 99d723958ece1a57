// A run recorded with ndi-track --record, played back by ndi-sim --replay and
// tracked again through the whole stack (plugin, stream, protocol, line) gives
// the recorded frames back: the same tools, states and poses, in order.
#include "../tools/RunProcess.h"
#include "PartNumberImage.h"

#include <ndirecording/Recording.h>
#include <ndisim/Simulator.h>

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace ndi_recording;

namespace {

// ndi-sim --replay serving a recording; ended with SIGTERM when it goes.
class ReplayDevice {
public:
    explicit ReplayDevice(const QStringList& arguments)
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral(NDI_SIM), arguments + QStringList{"--no-status"});
        m_process.waitForStarted(30000);
    }
    ~ReplayDevice()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    // The rest of the first output line that begins with prefix; empty when
    // none came within 30 s or the program ended first.
    std::string lineAfter(const std::string& prefix)
    {
        for (int wait = 0; wait < 300; ++wait) {
            std::istringstream lines(m_output);
            for (std::string line; std::getline(lines, line);)
                if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
            if (m_process.state() == QProcess::NotRunning) break;
            m_process.waitForReadyRead(100);
            m_output += m_process.readAll().toStdString();
        }
        ADD_FAILURE() << "ndi-sim never said \"" << prefix << "\"; it said: " << m_output;
        return {};
    }

private:
    QProcess m_process;
    std::string m_output;
};

double translationOf(const RecordedInstrument& i, int axis)
{
    return i.matrix[static_cast<std::size_t>(4 * axis + 3)];
}

// Whether a frame tracked from the replay is the recorded frame: the poses
// crossed the wire twice in the device's binary reply, which carries each
// number as a 32-bit float. Translations and stray markers are floats
// widened to double both times, so they come back bit for bit. The rotation
// is recorded as a matrix and replayed as the unit quaternion of that
// matrix, which differs from the device's slightly non-unit float quaternion
// by up to a float step: the matrix entries agree within 1e-6. Tool markers
// are the tool's geometry moved by that rotation: within 1e-3 mm.
std::string differences(const RecordedFrame& recorded, const RecordedFrame& replayed)
{
    std::ostringstream why;
    if (recorded.instruments.size() != replayed.instruments.size()) return "the tools differ";
    for (std::size_t t = 0; t < recorded.instruments.size(); ++t) {
        const RecordedInstrument& a = recorded.instruments[t];
        const RecordedInstrument& b = replayed.instruments[t];
        if (a.id != b.id || a.name != b.name) return "tool " + a.id + " is " + b.id + " " + b.name;
        if (a.state != b.state)
            return a.id + " is " + stateName(b.state) + ", recorded " + stateName(a.state);
        if (a.state != ToolState::Ok) continue;
        for (int axis = 0; axis < 3; ++axis)
            if (translationOf(a, axis) != translationOf(b, axis))
                why << a.id << " translation " << axis << ": " << translationOf(b, axis)
                    << " recorded " << translationOf(a, axis) << "; ";
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 3; ++column) {
                const auto k = static_cast<std::size_t>(4 * row + column);
                if (!(std::fabs(a.matrix[k] - b.matrix[k]) <= 1e-6))
                    why << a.id << " rotation (" << row << "," << column << ")" << b.matrix[k]
                        << " recorded " << a.matrix[k] << "; ";
            }
        if (!(std::fabs(a.quality - b.quality) <= 1e-6))
            why << a.id << " quality " << b.quality << " recorded " << a.quality << "; ";
    }
    if (recorded.markers.size() != replayed.markers.size()) return "the markers differ";
    for (std::size_t m = 0; m < recorded.markers.size(); ++m) {
        const RecordedMarker& a = recorded.markers[m];
        const RecordedMarker& b = replayed.markers[m];
        if (a.owner != b.owner) return "marker owners differ";
        for (std::size_t k = 0; k < 3; ++k) {
            const bool same = a.owner.empty() ? a.position[k] == b.position[k]
                                              : std::fabs(a.position[k] - b.position[k]) <= 1e-3;
            if (!same) why << "marker " << m << " (" << a.owner << ") differs; ";
        }
    }
    return why.str();
}

// Every frame tracked from the replay is one of the recorded frames, in the
// recorded order (a host that polls late skips a frame, never invents one),
// and the last one is the last recorded frame, which the replay holds.
void expectReplayOf(const Recording& recorded, const Recording& replayed)
{
    ASSERT_FALSE(recorded.frames.empty());
    ASSERT_FALSE(replayed.frames.empty()) << "the replay delivered no frame";
    std::size_t next = 0;
    for (const RecordedFrame& f : replayed.frames) {
        const std::size_t from = next;
        while (next < recorded.frames.size() && !differences(recorded.frames[next], f).empty())
            ++next;
        ASSERT_LT(next, recorded.frames.size())
            << "replayed frame " << f.seq << " is none of the recorded frames from " << from + 1
            << " on; against frame " << from + 1 << ": "
            << differences(recorded.frames[std::min(from, recorded.frames.size() - 1)], f);
        ++next;
    }
    EXPECT_EQ(next, recorded.frames.size()) << "the replay ended before the last recorded frame";
}

QString path(const QTemporaryDir& dir, const char* name) { return dir.filePath(QString(name)); }

}  // namespace

TEST(RecordReplay, AnAuroraRunReplayedOverAPtyIsTrackedWithTheRecordedPoses)
{
    const ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Aurora);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Recording recorded;
    {
        auto sim = ndisim::Simulator::serial(scenario);
        // The recording does not depend on what stdout shows: the table here.
        const Outcome run = ndiTrack({"--device", QString::fromStdString(sim->serialDevice()),
                                      "--duration", "1.5", "--record", path(dir, "run.jsonl")});
        ASSERT_EQ(run.code, 0) << run.err;
        recorded = readRecording(path(dir, "run.jsonl").toStdString());
    }
    EXPECT_EQ(recorded.header.family, "aurora");
    ASSERT_EQ(recorded.header.tools.size(), scenario.tools.size());
    for (std::size_t t = 0; t < scenario.tools.size(); ++t) {
        EXPECT_EQ(recorded.header.tools[t].port, scenario.tools[t].port);
        EXPECT_EQ(recorded.header.tools[t].name, scenario.tools[t].name);
    }
    ASSERT_GE(recorded.frames.size(), 10u);

    ReplayDevice replay({"--replay", path(dir, "run.jsonl"), "--speed", "2"});
    const std::string line = replay.lineAfter("serial line: ");
    ASSERT_FALSE(line.empty());
    const double seconds =
        static_cast<double>(recorded.frames.back().offsetNs - recorded.frames.front().offsetNs) *
        1e-9 / 2;
    const Outcome run = ndiTrack({"--device", QString::fromStdString(line), "--duration",
                                  QString::number(seconds + 1.0), "--format", "csv", "--record",
                                  path(dir, "replay.jsonl")});
    ASSERT_EQ(run.code, 0) << run.err;
    const Recording replayed = readRecording(path(dir, "replay.jsonl").toStdString());
    EXPECT_EQ(replayed.header.family, "aurora");
    expectReplayOf(recorded, replayed);
}

TEST(RecordReplay, AVegaRunReplayedOverTcpGivesTheRecordedPosesAndStrays)
{
    const ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Vega);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList markers;
    for (const auto& tool : scenario.tools) {
        const QString file = dir.filePath(QString::fromStdString(tool.partNumber + ".rom"));
        benchsupport::writePartNumberImage(file.toStdString(), tool.partNumber);
        markers << "--marker" << QString::fromStdString(tool.name) + "=" + file;
    }
    Recording recorded;
    {
        auto sim = ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
        const Outcome run =
            ndiTrack(QStringList{"--family", "vega", "--address",
                                 QStringLiteral("127.0.0.1:%1").arg(sim->tcpPort()), "--duration",
                                 "1", "--format", "jsonl", "--record", path(dir, "run.jsonl")} +
                     markers);
        ASSERT_EQ(run.code, 0) << run.err;
        recorded = readRecording(path(dir, "run.jsonl").toStdString());
    }
    ASSERT_GE(recorded.frames.size(), 10u);
    ASSERT_FALSE(recorded.frames[0].markers.empty());
    ASSERT_EQ(recorded.header.files.size(), scenario.tools.size());
    EXPECT_EQ(recorded.header.files[0].kind, "marker");

    ReplayDevice replay({"vega", "--replay", path(dir, "run.jsonl"), "--tcp", "127.0.0.1:0"});
    const std::string address = replay.lineAfter("listening on TCP ");
    ASSERT_FALSE(address.empty());
    const double seconds =
        static_cast<double>(recorded.frames.back().offsetNs - recorded.frames.front().offsetNs) *
        1e-9;
    const Outcome run =
        ndiTrack(QStringList{"--family", "vega", "--address", QString::fromStdString(address),
                             "--duration", QString::number(seconds + 1.0), "--format", "csv",
                             "--record", path(dir, "replay.jsonl")} +
                 markers);
    ASSERT_EQ(run.code, 0) << run.err;
    expectReplayOf(recorded, readRecording(path(dir, "replay.jsonl").toStdString()));
}

// What cannot be recorded or replayed ends the program with the cause.
TEST(RecordReplay, ARecordingThatCannotBeWrittenOrReadEndsTheRunWithItsCause)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    {
        std::ofstream(path(dir, "broken.jsonl").toStdString())
            << R"({"format":"ndi-track-recording","version":1,"family":"aurora","device":"",)"
               R"("start_utc":"","start_ns":"0","tools":[],"files":[]})"
            << "\n{\"seq\":1,\n";
        std::ofstream(path(dir, "empty-run.jsonl").toStdString())
            << R"({"format":"ndi-track-recording","version":1,"family":"aurora","device":"",)"
               R"("start_utc":"","start_ns":"0","tools":[],"files":[]})"
            << "\n";
        std::ofstream(path(dir, "one-frame.jsonl").toStdString())
            << R"({"format":"ndi-track-recording","version":1,"family":"aurora","device":"",)"
               R"("start_utc":"","start_ns":"0","tools":[],"files":[]})"
            << "\n"
            << R"({"seq":1,"t_ns":0,"stamp_ms":0,"main":"","tools":[],"markers":[]})"
            << "\n";
    }
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    const QString device = QString::fromStdString(sim->serialDevice());
    const struct {
        const char* what;
        QString program;
        QStringList arguments;
        int code;
        std::string message;
    } cases[] = {
        {"the disk is full",
         NDI_TRACK,
         {"--device", device, "--duration", "20", "--record", "/dev/full"},
         6,
         "cannot write the recording /dev/full: No space left on device"},
        {"no such folder",
         NDI_TRACK,
         {"--device", device, "--record", path(dir, "none/run.jsonl")},
         6,
         "cannot create the recording"},
        {"a broken line",
         NDI_SIM,
         {"--replay", path(dir, "broken.jsonl")},
         1,
         "broken.jsonl: line 2: not JSON"},
        {"no frames",
         NDI_SIM,
         {"--replay", path(dir, "empty-run.jsonl")},
         1,
         "the recording holds no frames"},
        {"another family",
         NDI_SIM,
         {"vega", "--replay", path(dir, "one-frame.jsonl")},
         2,
         "the recording is for aurora, not vega"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome run = runProcess(c.program, c.arguments);
        EXPECT_EQ(run.code, c.code) << run.err << run.out;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

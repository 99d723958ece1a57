// ndi-workbench on a real X server tracking a simulated Aurora on a
// pseudo-terminal: the picture it takes, what its instrument table holds at
// that moment, the workspace it saves, and the system it leaves behind.
#include "WorkbenchProcess.h"
#include "XServer.h"

#include <ndisim/Simulator.h>

#include <Velantor/Properties.h>
#include <Velantor/WorkspaceFile.h>

#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

using namespace workbenchtest;

namespace {

const std::vector<std::string> kAuroraIds = {"ndi-aurora-1-610066", "ndi-aurora-2-610062-3AAA",
                                             "ndi-aurora-3-610029-36C3", "ndi-aurora-4-610065"};

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

// The dump's rows by instrument id: column name -> cell.
std::map<std::string, std::map<std::string, std::string>> rowsById(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::map<std::string, std::map<std::string, std::string>> rows;
    std::vector<std::string> header;
    for (const std::string& line : split(text.str(), '\n')) {
        if (line.empty() || line.front() == '[') continue;
        const auto cells = split(line, '\t');
        if (cells.empty()) continue;
        if (cells.front() == "ID") {
            header = cells;
            continue;
        }
        for (std::size_t c = 0; c < cells.size() && c < header.size(); ++c)
            rows[cells.front()][header[c]] = cells[c];
    }
    return rows;
}

void expectLeftClosed(const ndisim::Simulator& sim)
{
    EXPECT_FALSE(sim.stats().tracking) << "tracking was not stopped";
    EXPECT_EQ(sim.deviceLine().baud, 9600) << "the line was not returned to its start speed";
}

}  // namespace

TEST(WorkbenchRun, ScreenshotShowsTheTrackedAuroraToolsAndTheWorkspaceIsSaved)
{
    if (!XServer::available()) GTEST_SKIP() << "Xvfb is not installed: no X server to run on";
    XServer x;
    ASSERT_FALSE(x.display().isEmpty()) << "Xvfb did not start";
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString png = dir.filePath(QStringLiteral("shot.png"));
    const QString dump = dir.filePath(QStringLiteral("model.tsv"));
    const QString workspace = dir.filePath(QStringLiteral("workspace.json"));

    const Outcome run = runWorkbench(
        {QStringLiteral("--algorithm"), QStringLiteral("NDITracking.AuroraTrackingStream"),
         QStringLiteral("--device"), QString::fromStdString(sim->serialDevice()),
         QStringLiteral("--start"), QStringLiteral("--screenshot"), png, QStringLiteral("--after"),
         QStringLiteral("0.5"), QStringLiteral("--dump-model"), dump,
         QStringLiteral("--save-workspace"), workspace},
        x.environment());
    ASSERT_TRUE(run.ended) << run.err;
    ASSERT_EQ(run.code, 0) << run.err;

    QImage image;
    ASSERT_TRUE(image.load(png, "PNG")) << "not a PNG: " << png.toStdString();
    EXPECT_GE(image.width(), 400);
    EXPECT_GE(image.height(), 300);
    std::set<QRgb> colours;
    for (int y = 0; y < image.height() && colours.size() < 2; y += 3)
        for (int x2 = 0; x2 < image.width() && colours.size() < 2; x2 += 3)
            colours.insert(image.pixel(x2, y));
    EXPECT_GE(colours.size(), 2u) << "the screenshot is blank";

    // What the table showed when the picture was taken: every simulated tool,
    // tracked, with a position.
    const auto rows = rowsById(dump.toStdString());
    EXPECT_EQ(rows.size(), kAuroraIds.size());
    for (const std::string& id : kAuroraIds) {
        SCOPED_TRACE(id);
        const auto row = rows.find(id);
        ASSERT_NE(row, rows.end());
        EXPECT_EQ(row->second.at("State"), "ok");
        EXPECT_FALSE(row->second.at("x (mm)").empty());
        EXPECT_FALSE(row->second.at("Name").empty());
    }

    // Loaded again, the workspace makes the same stream and tracks at once.
    Velantor::Properties tree;
    int version = 0;
    std::string error;
    ASSERT_TRUE(Velantor::WorkspaceFile::read(Velantor::Filesystem::Path(workspace.toStdString()),
                                              tree, version, &error))
        << error;
    const Velantor::Properties* algorithms = tree.subProperties("Algorithms");
    ASSERT_NE(algorithms, nullptr);
    const auto blocks = algorithms->subProperties();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0]->name(), "NDITracking.AuroraTrackingStream");
    bool open = false, start = false;
    EXPECT_TRUE(blocks[0]->param("open", open) && open);
    EXPECT_TRUE(blocks[0]->param("start", start) && start);

    expectLeftClosed(*sim);
}

// Ctrl-C and SIGTERM end the program, but not before the system is stopped
// and its line is back at its start speed for the next host.
TEST(WorkbenchRun, TerminationStopsAndClosesTheSystem)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    WorkbenchProcess run({QStringLiteral("--algorithm"), QStringLiteral("AuroraTrackingStream"),
                          QStringLiteral("--device"), QString::fromStdString(sim->serialDevice()),
                          QStringLiteral("--start")});
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!sim->stats().tracking && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(sim->stats().tracking) << "the workbench never started tracking";
    run.terminate();
    const Outcome end = run.wait(20000);
    ASSERT_TRUE(end.ended) << end.err;
    EXPECT_EQ(end.code, 128 + SIGTERM) << end.err;
    expectLeftClosed(*sim);
}

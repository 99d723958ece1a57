// ndi-track while the system's cable is pulled and put back: the output says
// when the connection was lost and when it came back, poses follow again, and
// the run ends as if nothing had happened, or with 4 when the system was still
// gone at the end.
#include "ToolImages.h"

#include <ndisim/Simulator.h>

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using namespace ndisim;

namespace {

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    return out;
}

std::size_t count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// ndi-track on a simulated system: an Aurora behind a link that stays put
// while the terminal behind it is pulled and replaced, as a udev name does,
// or a vega whose TCP port refuses connections while unplugged.
class TrackedSystem {
public:
    TrackedSystem(Family family, const QString& format)
    {
        QStringList args{QStringLiteral("--format"), format};
        if (family == Family::Aurora) {
            const std::string link = "/tmp/ndi-track-reconnect-" + std::to_string(::getpid());
            m_sim = Simulator::serial(defaultScenario(Family::Aurora), link);
            // At 9600 baud the line speed never changes, so the fresh
            // terminal needs no break to find the device again.
            args << QStringLiteral("--device") << QString::fromStdString(link)
                 << QStringLiteral("--rate") << QStringLiteral("9600");
        } else {
            m_sim = Simulator::tcp(defaultScenario(Family::Vega), "127.0.0.1", 0);
            args << QStringLiteral("--family") << QStringLiteral("vega")
                 << QStringLiteral("--address")
                 << QStringLiteral("127.0.0.1:%1").arg(m_sim->tcpPort());
            args << tracktest::toolFiles(m_sim->scenario(), m_files, QStringLiteral("--marker"),
                                         true);
        }
        m_process.start(QStringLiteral(NDI_TRACK), args);
    }
    ~TrackedSystem()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    Simulator& sim() { return *m_sim; }
    const std::string& out() const { return m_out; }

    // Reads stdout until `ready` holds for what came since `from`; the
    // limit only keeps a broken build from hanging.
    bool readUntil(std::size_t from, const std::function<bool(const std::string&)>& ready)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!ready(m_out.substr(from))) {
            if (m_process.state() == QProcess::NotRunning || std::chrono::steady_clock::now() > end)
                return false;
            m_process.waitForReadyRead(200);
            m_out += m_process.readAllStandardOutput().toStdString();
        }
        return true;
    }
    bool readUntilText(std::size_t from, const std::string& text)
    {
        return readUntil(from,
                         [&](const std::string& s) { return s.find(text) != std::string::npos; });
    }

    // Stops the run as a service manager would; its exit code (-1 for a crash).
    int stop(std::string& err)
    {
        m_process.terminate();
        if (!m_process.waitForFinished(60000)) return -2;
        m_out += m_process.readAllStandardOutput().toStdString();
        err = m_process.readAllStandardError().toStdString();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    QTemporaryDir m_files;
    std::unique_ptr<Simulator> m_sim;
    QProcess m_process;
    std::string m_out;
};

}  // namespace

TEST(NdiTrackReconnect, SaysWhenTheSystemWasLostAndBackAndTracksOn)
{
    struct Case {
        Family family;
        std::string format;
        std::string pose;        // in a line with a pose
        std::string lost, back;  // in what the output shows of the gap
    };
    const std::vector<Case> cases = {
        {Family::Aurora, "jsonl", "\"state\":\"ok\"", "{\"event\":\"reconnecting\",",
         "{\"event\":\"reconnected\","},
        {Family::Vega, "csv", ",ok,", ",,,reconnecting,", ",,,reconnected,"},
        // A snapshot a second when stdout is no terminal.
        {Family::Aurora, "table", "  ok", "reconnecting\u2026", "gaps 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        TrackedSystem run(c.family, QString::fromStdString(c.format));
        const auto posesSince = [&](std::size_t from) {
            return run.readUntil(from, [&](const std::string& s) { return count(s, c.pose) >= 8; });
        };
        ASSERT_TRUE(posesSince(0)) << run.out();
        run.sim().unplug();
        ASSERT_TRUE(run.readUntilText(0, c.lost)) << run.out();
        const std::size_t lostAt = run.out().find(c.lost);
        run.sim().plugIn();
        ASSERT_TRUE(run.readUntilText(lostAt, c.back)) << run.out().substr(lostAt);
        // Poses again, from the system found again.
        ASSERT_TRUE(posesSince(run.out().find(c.back, lostAt))) << run.out().substr(lostAt);
        std::string err;
        EXPECT_EQ(run.stop(err), 0) << err;
        EXPECT_NE(err.find("lost; reconnecting"), std::string::npos) << err;
        EXPECT_NE(err.find("gaps: 1, total "), std::string::npos) << err;
        if (c.format == "table") continue;

        // One line each, between the frames they separate, naming the last
        // frame before the gap; the frame numbers go on after it.
        EXPECT_EQ(count(run.out(), c.lost), 1u);
        EXPECT_EQ(count(run.out(), c.back), 1u);
        const std::vector<std::string> all = lines(run.out());
        std::size_t lost = 0, back = 0;
        for (std::size_t k = 0; k < all.size(); ++k) {
            if (all[k].find(c.lost) != std::string::npos) lost = k;
            if (all[k].find(c.back) != std::string::npos) back = k;
        }
        ASSERT_TRUE(lost > 0 && lost < back && back + 1 < all.size()) << run.out();
        const auto frameOf = [&](const std::string& line) {
            if (c.format == "csv") return std::stoull(line.substr(0, line.find(',')));
            return std::stoull(line.substr(line.find("\"frame\":") + 8));
        };
        const unsigned long long before = frameOf(all[lost - 1]);
        EXPECT_EQ(frameOf(all[lost]), before) << all[lost];
        EXPECT_EQ(frameOf(all[back]), before) << all[back];
        EXPECT_EQ(frameOf(all[back + 1]), before + 1) << all[back + 1];
        if (c.format == "csv") {
            EXPECT_EQ(count(all[lost], ","), 12u) << "not of the frame rows' shape: " << all[lost];
        } else {
            EXPECT_NE(all[back].find("\"gap_s\":"), std::string::npos) << all[back];
        }
    }
}

TEST(NdiTrackReconnect, ARunThatEndsWithTheSystemStillGoneSaysSoAndEndsWith4)
{
    TrackedSystem run(Family::Aurora, QStringLiteral("jsonl"));
    ASSERT_TRUE(run.readUntilText(0, "\"state\":\"ok\"")) << run.out();
    run.sim().unplug();
    ASSERT_TRUE(run.readUntilText(0, "{\"event\":\"reconnecting\",")) << run.out();
    std::string err;
    EXPECT_EQ(run.stop(err), 4) << err;
    EXPECT_NE(err.find("unreachable at the end of the run"), std::string::npos) << err;
    EXPECT_NE(err.find("gaps: 0, total 0.0 s"), std::string::npos) << err;
    EXPECT_EQ(run.out().find("\"reconnected\""), std::string::npos) << run.out();
}

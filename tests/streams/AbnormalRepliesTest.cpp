// Replies no well-behaved system gives, from a scripted device on loopback
// TCP: a failed INIT, a port handle that cannot be had, a pose that is not
// a number.
#include "StreamTestSupport.h"

#include "reply_encoder.h"
#include "scripted_device.h"

#include <atomic>
#include <cmath>
#include <limits>

using namespace streamtest;
using Velantor::Log;
using Velantor::LogCapture;

namespace {

// Answers the commands an optical stream sends at open; `special` may take
// over any command first.
class ScriptedCamera {
public:
    using Special = std::function<std::optional<std::string>(const std::string& command)>;

    explicit ScriptedCamera(Special special)
        : m_special(std::move(special)),
          m_device(nditest::ScriptedDevice::Line::Tcp,
                   [this](const std::string& command) { return answer(command); })
    {
    }

    int port() const { return m_device.port(); }
    std::size_t count(const std::string& name) const
    {
        std::size_t n = 0;
        for (const std::string& c : m_device.commands()) n += c.rfind(name, 0) == 0 ? 1 : 0;
        return n;
    }

private:
    std::string answer(const std::string& command)
    {
        if (std::optional<std::string> reply = m_special(command)) return *reply;
        if (command.rfind("SFLIST:", 0) == 0) return replies::frameText("ERROR01");
        if (command.rfind("PHSR:", 0) == 0) return replies::frameText("00");
        if (command.rfind("PHRQ:", 0) == 0) return replies::frameText("0A");
        return replies::frameText("OKAY");
    }

    Special m_special;
    nditest::ScriptedDevice m_device;
};

}  // namespace

// A system that did not initialise is no open system.
TEST(AbnormalReplies, FailedInitFailsTheOpen)
{
    ScriptedCamera camera([](const std::string& command) -> std::optional<std::string> {
        if (command.rfind("INIT:", 0) == 0) return replies::frameText("ERROR0C");
        return std::nullopt;
    });
    LogCapture log(true);
    VegaStream stream("Scripted");
    stream.setHardwareDevice("127.0.0.1");
    stream.setHardwareIPPort(camera.port());
    EXPECT_FALSE(stream.openAsync().get());
    EXPECT_TRUE(log.contains(
        Log::Error, "NDI",
        "NDI Tracking System Error in stream 'Scripted': 12 " + std::string(ndiErrorString(0x0C))));
    EXPECT_TRUE(log.contains(Log::Error, "NDI", "Device could not be initialized!"));
    EXPECT_EQ(camera.count("SFLIST"), 0u);
    EXPECT_EQ(camera.count("PHRQ"), 0u);
}

// Without a fresh handle a tool's ROM would overwrite the previous tool's:
// the tool is skipped instead.
TEST(AbnormalReplies, ToolWithoutAPortHandleIsSkipped)
{
    std::atomic<int> requests{0};
    ScriptedCamera camera([&](const std::string& command) -> std::optional<std::string> {
        if (command.rfind("PHRQ:", 0) == 0 && requests++ > 0) return replies::frameText("ERROR2D");
        return std::nullopt;
    });
    TempFile first("scripted-first.rom", romImage("111"));
    TempFile second("scripted-second.rom", romImage("222"));
    LogCapture log(true);
    VegaStream stream("Scripted");
    stream.setHardwareDevice("127.0.0.1");
    stream.setHardwareIPPort(camera.port());
    stream.registerTool(target("First", first.path(), 1));
    stream.registerTool(target("Second", second.path(), 1));
    ASSERT_TRUE(stream.openAsync().get());

    const auto instruments = stream.trackingInstruments()->instruments();
    ASSERT_EQ(instruments.size(), 1u);
    EXPECT_EQ(instruments[0].id.ID(), "ndi-polaris-111");
    EXPECT_EQ(camera.count("PVWR"), 16u);
    EXPECT_EQ(stream.trackingTargets()[0].portHandle, 0x0A);
    EXPECT_EQ(stream.trackingTargets()[1].portHandle, -1);
    EXPECT_TRUE(log.contains(Log::Error, "NDI",
                             "ROM file for Second could not be uploaded from " + second.path()));
    EXPECT_TRUE(stream.closeAsync().get());
}

// A pose that is not a number is no pose: the tool reads as missing in that
// frame and is tracked again in the next.
TEST(AbnormalReplies, NonFinitePoseReadsAsMissing)
{
    std::atomic<std::uint32_t> frame{0};
    ScriptedCamera camera([&](const std::string& command) -> std::optional<std::string> {
        if (command.rfind("BX:", 0) != 0) return std::nullopt;
        replies::BxEntry entry;
        entry.handle = 0x0A;
        entry.frame = ++frame;
        entry.pose = {1, 0, 0, 0, 10, 20, 30, 0.5f};
        if (entry.frame == 1) entry.pose[5] = std::numeric_limits<float>::quiet_NaN();
        replies::BxReply reply;
        reply.entries = {entry};
        return replies::frameBx(replies::encodeBx(0x180F, reply));
    });
    TempFile rom("scripted-tool.rom", romImage("333"));
    LogCapture log(true);
    VegaStream stream("Scripted");
    stream.setHardwareDevice("127.0.0.1");
    stream.setHardwareIPPort(camera.port());
    stream.registerTool(target("Tool", rom.path(), 1));
    ASSERT_TRUE(stream.openAsync().get());
    log.clear();  // the scripted camera has no volume list
    FrameLog frames(stream);
    ASSERT_TRUE(stream.startImpl());
    stream.doWork();
    stream.doWork();
    ASSERT_EQ(frames.size(), 2u);

    const Velantor::TrackingInstrument nan = frames.frames()[0]->instruments.at(0);
    EXPECT_TRUE(nan.active);
    EXPECT_EQ(nan.quality, 0.0);
    EXPECT_EQ(nan.matrix, Eigen::Matrix4d::Identity());
    const Velantor::TrackingInstrument good = frames.frames()[1]->instruments.at(0);
    EXPECT_TRUE(good.active);
    EXPECT_DOUBLE_EQ(good.quality, 0.95);
    EXPECT_EQ(good.matrix(1, 3), 20.0);
    EXPECT_EQ(countContaining(log, Log::Error, "NDI Tracking System Error"), 0u);
    EXPECT_TRUE(stream.closeAsync().get());
}

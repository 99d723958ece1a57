// The tracking loop against simulated systems: every delivered frame is
// exactly what the device reported for one of its frames, frames are never
// repeated (also while the main tool is disabled), strays and tool markers
// carry their owners, and the host's worker keeps going when a receiver
// throws.
#include "StreamTestSupport.h"

#include <stdexcept>

using namespace streamtest;
using Velantor::Log;
using Velantor::LogCapture;

namespace {

struct Mode {
    const char* what;
    ndisim::Family family;
    bool binary;
};

const Mode kModes[] = {
    {"polaris binary", ndisim::Family::Polaris, true},
    {"polaris text", ndisim::Family::Polaris, false},
    {"aurora binary", ndisim::Family::Aurora, true},
    {"aurora text", ndisim::Family::Aurora, false},
};

// ROM files for the optical scenario's tools (their geometry included, so
// that the markers the system reports are the scenario's).
std::vector<std::unique_ptr<TempFile>> romsFor(const ndisim::Scenario& scenario)
{
    std::vector<std::unique_ptr<TempFile>> roms;
    for (const ndisim::ToolDescription& tool : scenario.tools)
        roms.push_back(std::make_unique<TempFile>("loop-" + tool.partNumber + ".rom",
                                                  romImage(tool.partNumber, tool.markers)));
    return roms;
}

// Opens a stream of the scenario's kind on the simulator with every optical
// tool registered, and runs passes by hand until the device has moved on
// `frames` frames, checking each delivered frame against the device.
template <class Stream>
void trackAndCompare(const ndisim::Scenario& scenario, bool binary, std::uint32_t frames)
{
    auto sim = ndisim::Simulator::serial(scenario);
    const auto roms = romsFor(scenario);
    Stream stream("Loop");
    stream.setHardwareDevice(sim->serialDevice());
    stream.setBinaryQueryMode(binary);
    if (ndisim::isOptical(scenario.family))
        for (std::size_t i = 0; i < roms.size(); ++i)
            stream.registerTool(target(scenario.tools[i].name, roms[i]->path(), 1));
    ASSERT_TRUE(stream.openAsync().get());
    ASSERT_EQ(stream.trackingInstruments()->size(), scenario.tools.size());
    const std::map<std::string, int> handles = handlesById(stream);

    FrameLog log(stream);
    ASSERT_TRUE(stream.startImpl());
    const std::uint32_t first = sim->currentFrame();
    std::optional<std::uint32_t> previous;
    std::size_t delivered = 0;
    for (int i = 0; i < 20000 && sim->currentFrame() < first + frames; ++i) {
        const Pass pass = runPass(stream, *sim, log);
        if (!pass.frame) continue;
        ++delivered;
        std::string why;
        const std::optional<std::uint32_t> f = matchingFrame(*sim, pass, handles, binary, &why);
        ASSERT_TRUE(f.has_value()) << "frame " << delivered << ": " << why;
        if (previous) {
            ASSERT_GT(*f, *previous) << "a device frame was delivered twice";
        }
        previous = f;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GE(delivered, 3u);
    EXPECT_TRUE(stream.stopImpl());
    EXPECT_TRUE(stream.closeAsync().get());
}

}  // namespace

TEST(TrackingLoop, FramesAreTheDevicesPosesAndMarkersOncePerDeviceFrame)
{
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.what);
        ndisim::Scenario scenario = ndisim::defaultScenario(mode.family);
        for (ndisim::ToolDescription& tool : scenario.tools) tool.missing.clear();
        if (mode.family == ndisim::Family::Aurora)
            trackAndCompare<AuroraStream>(scenario, mode.binary, 8);
        else
            trackAndCompare<PolarisStream>(scenario, mode.binary, 8);
    }
}

// The frame number comes from the main tool while the reply carries one for
// it; a main tool the system reports disabled must not freeze the others.
TEST(TrackingLoop, FramesKeepFlowingWhileTheMainToolIsDisabled)
{
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.what);
        ndisim::Scenario scenario = ndisim::defaultScenario(mode.family);
        for (ndisim::ToolDescription& tool : scenario.tools) tool.missing.clear();
        // The first tool becomes the main instrument at open.
        scenario.tools[0].disabled = {{0, 4000000000u}};
        if (mode.family == ndisim::Family::Aurora)
            trackAndCompare<AuroraStream>(scenario, mode.binary, 8);
        else
            trackAndCompare<PolarisStream>(scenario, mode.binary, 8);
    }
}

// Quality is 1 - error / 10 without clamping; a missing tool keeps its place
// and is read again; a disabled one turns inactive while the system reports
// it disabled, and comes back when the system reports it again.
TEST(TrackingLoop, QualityMissingAndDisabledTools)
{
    for (bool binary : {true, false}) {
        SCOPED_TRACE(binary ? "binary" : "text");
        ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Polaris);
        ASSERT_EQ(scenario.tools.size(), 3u);
        scenario.tools[0].rmsError = 12.5;
        scenario.tools[0].missing.clear();
        scenario.tools[1].missing = {{0, 4000000000u}};
        scenario.tools[2].missing.clear();
        // Disabled for the first one and a half seconds of the device.
        constexpr std::uint32_t kLastDisabled = 90;
        scenario.tools[2].disabled = {{0, kLastDisabled}};
        auto sim = ndisim::Simulator::serial(scenario);
        const auto roms = romsFor(scenario);

        PolarisStream stream("Loop");
        stream.setHardwareDevice(sim->serialDevice());
        stream.setBinaryQueryMode(binary);
        for (std::size_t i = 0; i < roms.size(); ++i)
            stream.registerTool(target(scenario.tools[i].name, roms[i]->path(), 1));
        ASSERT_TRUE(stream.openAsync().get());
        const std::string visible = "ndi-polaris-" + scenario.tools[0].partNumber;
        const std::string missing = "ndi-polaris-" + scenario.tools[1].partNumber;
        const std::string disabled = "ndi-polaris-" + scenario.tools[2].partNumber;
        ASSERT_EQ(stream.trackingInstruments()->mainId(), visible);

        FrameLog log(stream);
        ASSERT_TRUE(stream.startImpl());
        auto frameAfter = [&](std::size_t n) {
            for (int i = 0; i < 20000 && log.size() < n; ++i) {
                stream.doWork();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_GE(log.size(), n);
            return log.frames().back();
        };
        auto instrument = [](const Frame& frame, const std::string& id) {
            for (const Velantor::TrackingInstrument& i : frame->instruments)
                if (i.id.ID() == id) return i;
            ADD_FAILURE() << id << " not in the frame";
            return Velantor::TrackingInstrument();
        };

        bool sawDisabled = false, cameBack = false;
        for (std::size_t n = 1; n <= 3 || sim->currentFrame() <= kLastDisabled + 2; ++n) {
            const Frame frame = frameAfter(n);
            const Velantor::TrackingInstrument v = instrument(frame, visible);
            if (binary) {
                EXPECT_EQ(v.quality, -0.25);
            } else {
                EXPECT_NEAR(v.quality, 1.0 - 9.9999 / 10.0, 1e-6);  // the text field ends at 9.9999
            }
            EXPECT_TRUE(v.active);
            EXPECT_NE(v.matrix, Eigen::Matrix4d::Identity());
            const Velantor::TrackingInstrument m = instrument(frame, missing);
            EXPECT_TRUE(m.active);
            EXPECT_EQ(m.quality, 0.0);
            EXPECT_EQ(m.matrix, Eigen::Matrix4d::Identity());
            EXPECT_EQ(m.timestamp, v.timestamp);  // read again every frame
            const Velantor::TrackingInstrument d = instrument(frame, disabled);
            EXPECT_EQ(d.timestamp, v.timestamp);  // read again every frame as well
            if (!d.active) {
                EXPECT_FALSE(cameBack) << "disabled again after it came back";
                EXPECT_EQ(d.matrix, Eigen::Matrix4d::Identity());
                EXPECT_EQ(d.quality, 0.0);
                sawDisabled = true;
            } else {
                EXPECT_NE(d.matrix, Eigen::Matrix4d::Identity());
                cameBack = true;
            }
        }
        EXPECT_TRUE(sawDisabled);
        EXPECT_TRUE(cameBack);
        EXPECT_TRUE(stream.stopImpl());
        EXPECT_TRUE(stream.closeAsync().get());
    }
}

// The host's own worker: frames flow, a receiver that throws is logged and
// the loop goes on.
TEST(TrackingLoop, WorkerKeepsGoingWhenAReceiverThrows)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    LogCapture capture(true);
    AuroraStream stream("Aurora");
    stream.setHardwareDevice(sim->serialDevice());
    ASSERT_TRUE(stream.openAsync().get());

    std::atomic<int> calls{0};
    stream.dataSignal.connect(nullptr, [&](std::shared_ptr<const Velantor::StreamData>) {
        if (calls++ == 0) throw std::runtime_error("receiver failed");
    });
    FrameLog frames(stream);
    ASSERT_TRUE(stream.startAsync().get());
    EXPECT_TRUE(frames.waitFor(5));
    ASSERT_TRUE(stream.stopAsync().get());
    stream.dataSignal.disconnect(static_cast<const void*>(nullptr));

    EXPECT_EQ(
        capture.count(Log::Error, "NDI", "Error while receiving tracking data. receiver failed"),
        1u);
    EXPECT_GE(calls.load(), 6);
    // Frame after frame the main instrument moved on: no frame was repeated.
    const std::vector<Frame> list = frames.frames();
    for (std::size_t i = 1; i < list.size(); ++i) {
        const std::string main = list[i]->mainInstrumentId;
        const auto pose = [&](const Frame& f) {
            for (const Velantor::TrackingInstrument& inst : f->instruments)
                if (inst.id.ID() == main) return inst.matrix;
            return Eigen::Matrix4d(Eigen::Matrix4d::Zero());
        };
        EXPECT_NE(pose(list[i]), pose(list[i - 1])) << "frame " << i;
    }
    EXPECT_TRUE(stream.closeAsync().get());
}

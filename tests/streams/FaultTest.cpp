// Device faults during tracking: replies with a bad CRC, replies that never
// come, and a link that goes down. The stream reports them through the
// error callback, delivers nothing from a failed reply, and can be closed
// and opened again.
#include "StreamTestSupport.h"

#include <NDIPolarisTrackingStream.h>

#include <Velantor/Properties.h>

using namespace streamtest;
using Velantor::Log;
using Velantor::LogCapture;

namespace {

const std::string kStreamError = "NDI Tracking System Error in stream 'Faulty': ";

}  // namespace

// With no tool registered every pass with a good reply delivers its strays,
// so a pass that delivered from a failed reply would show at once; with a
// tool, the frame number guards as well.
TEST(StreamFaults, FailedRepliesDeliverNothing)
{
    for (bool withTool : {false, true}) {
        SCOPED_TRACE(withTool ? "with a tool" : "placeholder only");
        auto sim =
            ndisim::Simulator::tcp(ndisim::defaultScenario(ndisim::Family::Vega), "127.0.0.1", 0);
        const ndisim::ToolDescription& tool = sim->scenario().tools[1];
        TempFile rom("fault-tool.rom", romImage(tool.partNumber, tool.markers));
        LogCapture log(true);

        VegaStream stream("Faulty");
        stream.setHardwareDevice("127.0.0.1");
        stream.setHardwareIPPort(sim->tcpPort());
        if (withTool) stream.registerTool(target("Tool", rom.path(), 1));
        ASSERT_TRUE(stream.openAsync().get());
        const std::map<std::string, int> handles = handlesById(stream);
        FrameLog frames(stream);
        ASSERT_TRUE(stream.startImpl());

        ndisim::Faults faults;
        faults.corruptCrcEvery = 3;
        faults.dropEvery = 7;
        sim->setFaults(faults);
        const FaultyPasses passes =
            passesUnderFaults(stream, *sim, frames, log, kStreamError, handles);
        EXPECT_GE(passes.failed, 20u);
        EXPECT_GT(passes.delivered, 0u);
        EXPECT_GE(
            countContaining(log, Log::Error, kStreamError + std::to_string(NDI_ERR_CRC) + " "), 1u);
        // A reply that never comes: a TCP receive time-out reads as a failed read.
        EXPECT_GE(
            countContaining(log, Log::Error, kStreamError + std::to_string(NDI_ERR_TIMEOUT) + " ") +
                countContaining(log, Log::Error, kStreamError + std::to_string(NDI_ERR_READ) + " "),
            1u);
        sim->setFaults(ndisim::Faults());
        EXPECT_TRUE(stream.stopImpl());
        EXPECT_TRUE(stream.closeAsync().get());
    }
}

// The link goes down while the host's worker tracks, with recovery off: each
// pass reports the failure and delivers nothing, the stream neither crashes
// nor hangs, and closing and opening it again brings the frames back.
TEST(StreamFaults, DisconnectWhileTrackingThenReopen)
{
    struct Case {
        const char* what;
        bool serial;
    };
    for (const Case& c : {Case{"tcp", false}, Case{"serial", true}}) {
        SCOPED_TRACE(c.what);
        const std::string link = "/tmp/ndi-streams-test-" + std::to_string(::getpid()) + "-line";
        ndisim::Scenario scenario =
            ndisim::defaultScenario(c.serial ? ndisim::Family::Aurora : ndisim::Family::Vega);
        scenario.faults.disconnectAfterFrames = 30;
        auto sim = c.serial ? ndisim::Simulator::serial(scenario, link)
                            : ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
        const ndisim::ToolDescription& tool = sim->scenario().tools[0];
        TempFile rom("disconnect-tool.rom", romImage(tool.partNumber, tool.markers));
        LogCapture log(true);

        std::unique_ptr<Velantor::NDITrackingStream> stream;
        if (c.serial) {
            auto aurora = std::make_unique<AuroraStream>("Faulty");
            aurora->setHardwareDevice(link);
            aurora->setAutoReconnect(false);
            stream = std::move(aurora);
        } else {
            auto vega = std::make_unique<VegaStream>("Faulty");
            vega->setHardwareDevice("127.0.0.1");
            vega->setHardwareIPPort(sim->tcpPort());
            vega->registerTool(target("Tool", rom.path(), 1));
            vega->setAutoReconnect(false);
            stream = std::move(vega);
        }
        FrameLog frames(*stream);
        ASSERT_TRUE(stream->openAsync().get());
        ASSERT_TRUE(stream->startAsync().get());
        ASSERT_TRUE(
            eventually([&] { return countContaining(log, Log::Error, kStreamError) >= 3; }));
        EXPECT_EQ(stream->currentState(), Velantor::Stream::Running);
        const std::size_t framesBeforeTheEnd = frames.size();
        EXPECT_LE(framesBeforeTheEnd, 30u);
        EXPECT_GT(framesBeforeTheEnd, 0u);

        // What a user does: stop, close, open and start again.
        EXPECT_TRUE(stream->stopAsync().get());
        EXPECT_TRUE(stream->closeAsync().get());
        EXPECT_EQ(frames.size(), framesBeforeTheEnd);
        ASSERT_TRUE(stream->openAsync().get());
        ASSERT_TRUE(stream->startAsync().get());
        EXPECT_TRUE(frames.waitFor(framesBeforeTheEnd + 5));
        EXPECT_TRUE(stream->closeAsync().get());
    }
}

namespace {

// Each optical stream kind with one tool registered for the scenario's
// second tool, on a simulated Vega over TCP.
struct OpticalStream {
    const char* what;
    std::function<std::unique_ptr<Velantor::TrackingStream>(const ndisim::Simulator&,
                                                            const std::string& rom)>
        make;
};

const std::vector<OpticalStream>& opticalStreams()
{
    static const std::vector<OpticalStream> kinds = {
        {"camera stream",
         [](const ndisim::Simulator& sim, const std::string& rom) {
             auto s = std::make_unique<VegaStream>("Faulty");
             s->setHardwareDevice("127.0.0.1");
             s->setHardwareIPPort(sim.tcpPort());
             s->registerTool(target("Tool", rom, 1));
             return std::unique_ptr<Velantor::TrackingStream>(std::move(s));
         }},
        {"marker stream",
         [](const ndisim::Simulator& sim, const std::string& rom) {
             auto s = std::make_unique<Velantor::NDIPolarisTrackingStream>("Faulty");
             s->setHardwareDevice("127.0.0.1");
             s->setHardwareIPPort(sim.tcpPort());
             s->addTrackingMarker(rom, "Tool");
             return std::unique_ptr<Velantor::TrackingStream>(std::move(s));
         }},
    };
    return kinds;
}

}  // namespace

// One corrupted reply among the 16 of an upload: the upload is tried again
// and the tool is tracked, instead of being dropped without a word.
TEST(StreamFaults, AnUploadMetByALineFaultIsTriedAgain)
{
    for (const OpticalStream& kind : opticalStreams()) {
        SCOPED_TRACE(kind.what);
        auto sim =
            ndisim::Simulator::tcp(ndisim::defaultScenario(ndisim::Family::Vega), "127.0.0.1", 0);
        const ndisim::ToolDescription& tool = sim->scenario().tools[1];
        TempFile rom("retry-tool.rom", romImage(tool.partNumber, tool.markers));
        LogCapture log(true);
        auto stream = kind.make(*sim, rom.path());
        // INIT, SFLIST, VSEL, PHSR and PHRQ come first: the 20th reply is
        // the 15th of the upload, and the second attempt ends before the 40th.
        ndisim::Faults faults;
        faults.corruptCrcEvery = 20;
        sim->setFaults(faults);
        ASSERT_TRUE(stream->openAsync().get());
        sim->setFaults(ndisim::Faults());
        EXPECT_EQ(countContaining(log, Log::Error, kStreamError + std::to_string(NDI_ERR_CRC)), 1u);
        EXPECT_FALSE(countContaining(log, Log::Error, "could not be uploaded"));
        ASSERT_EQ(stream->trackingInstruments()->size(), 1u);
        EXPECT_TRUE(stream->trackingInstruments()->instruments().at(0).active);
        const std::vector<int> handles = sim->portHandles();
        ASSERT_EQ(handles.size(), 1u);
        EXPECT_EQ(sim->scenarioToolOf(handles[0]), 1);
        EXPECT_TRUE(stream->closeAsync().get());
    }
}

// A volume the system does not offer fails the open and names the ones it
// does: tracking on in another volume than the one asked for would mislead.
TEST(StreamFaults, AVolumeTheSystemDoesNotOfferFailsTheOpen)
{
    for (const OpticalStream& kind : opticalStreams()) {
        SCOPED_TRACE(kind.what);
        auto sim =
            ndisim::Simulator::tcp(ndisim::defaultScenario(ndisim::Family::Vega), "127.0.0.1", 0);
        TempFile rom("volume-tool.rom", romImage(sim->scenario().tools[0].partNumber));
        LogCapture log(true);
        auto stream = kind.make(*sim, rom.path());
        Velantor::Properties p;
        p.setParam("maxRange", 7);
        stream->configure(&p);
        EXPECT_FALSE(stream->openAsync().get());
        EXPECT_EQ(countContaining(log, Log::Error,
                                  "Operating volume 7 is not one the system offers; choose one of "
                                  "0: Dome "),
                  1u);
        p.setParam("maxRange", 0);
        stream->configure(&p);
        EXPECT_TRUE(stream->openAsync().get());
        EXPECT_TRUE(stream->closeAsync().get());
    }
}

// A system that went silent during INIT (whose reply may take five seconds):
// cancelling the pending reply from another thread ends the open at once,
// and the stream opens again once the system answers.
TEST(StreamFaults, CancellingAPendingReplyEndsTheOpen)
{
    for (const OpticalStream& kind : opticalStreams()) {
        SCOPED_TRACE(kind.what);
        auto sim =
            ndisim::Simulator::tcp(ndisim::defaultScenario(ndisim::Family::Vega), "127.0.0.1", 0);
        TempFile rom("cancel-tool.rom", romImage(sim->scenario().tools[0].partNumber));
        LogCapture log(true);
        auto stream = kind.make(*sim, rom.path());
        ndisim::Faults silent;
        silent.dropEvery = 1;
        sim->setFaults(silent);
        const auto opening = stream->openAsync();
        ASSERT_TRUE(
            eventually([&] { return stream->currentState() == Velantor::Stream::Opening; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into the wait for INIT
        if (auto* camera = dynamic_cast<Velantor::NDITrackingStream*>(stream.get()))
            camera->cancelPendingReplies();
        else
            dynamic_cast<Velantor::NDIPolarisTrackingStream&>(*stream).cancelPendingReplies();
        // Far less than the five seconds INIT may take; only a cancel that
        // did nothing waits that long.
        ASSERT_EQ(opening.wait_for(std::chrono::seconds(4)), std::future_status::ready);
        EXPECT_FALSE(opening.get());
        EXPECT_TRUE(log.contains(Log::Error, "NDI", "Device could not be initialized!"));

        sim->setFaults(ndisim::Faults());
        EXPECT_TRUE(stream->openAsync().get());
        EXPECT_TRUE(stream->closeAsync().get());
    }
}

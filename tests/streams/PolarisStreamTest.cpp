// The optical streams: registered ROM files uploaded to fresh port handles
// on a simulated Polaris (pseudo-terminal), the placeholder tool when none
// loads, and the network kind over TCP with the commands it sends and its
// reply time-out while tracking.
#include "StreamTestSupport.h"

#include "CommandRecorder.h"

#include <algorithm>

using namespace streamtest;
using Velantor::Log;
using Velantor::LogCapture;

namespace {

bool contains(const std::vector<int>& list, int value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::vector<std::string> ids(const Velantor::TrackingStream& stream)
{
    std::vector<std::string> list;
    for (const Velantor::TrackingInstrument& i : stream.trackingInstruments()->instruments())
        list.push_back(i.id.ID());
    return list;
}

}  // namespace

TEST(PolarisStream, UploadsRegisteredToolsToFreshHandles)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Polaris));
    TempFile reference("reference.rom", romImage("8700339"));
    TempFile pointer("pointer.rom", romImage("8700340"));
    TempFile noPart("nopart.rom", romImage(""));
    LogCapture log(true);

    PolarisStream stream("Polaris");
    stream.setHardwareDevice(sim->serialDevice());
    stream.registerTool(target("Reference", reference.path(), 1));
    stream.registerTool(target("Missing file", "/nonexistent/tool.rom", 1));
    stream.registerTool(target("Pointer", pointer.path(), 1));
    stream.registerTool(target("Reference again", reference.path(), 1));
    stream.registerTool(target("No part", noPart.path(), 1));
    ASSERT_TRUE(stream.openAsync().get());

    EXPECT_EQ(ids(stream), (std::vector<std::string>{"ndi-polaris-8700339", "ndi-polaris-8700340",
                                                     "ndi-polaris-999999999"}));
    const auto first = stream.trackingInstruments()->find("ndi-polaris-8700339");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->id.name(), "Reference");
    EXPECT_EQ(first->id.modelNumber(), "");
    EXPECT_EQ(stream.trackingInstruments()->mainId(), "ndi-polaris-8700339");  // the first loaded

    EXPECT_TRUE(
        log.contains(Log::Error, "NDI",
                     "ROM file for Missing file could not be uploaded from /nonexistent/tool.rom"));
    EXPECT_TRUE(log.contains(
        Log::Warning, "NDI",
        "The part number 999999999 is reserved for internal purposes. Consider using another "
        "part number."));
    // The duplicate is refused by the registry, yet loaded on the system.
    EXPECT_TRUE(log.contains(Log::Error, "ThreadSafeInstruments",
                             "create: Instrument with ID ndi-polaris-8700339 already exists"));
    const std::vector<NDITrackingInstrumentInfo> targets = stream.trackingTargets();
    ASSERT_EQ(targets.size(), 5u);
    const std::vector<int> handles = sim->portHandles();
    for (std::size_t k : {0u, 2u, 3u, 4u}) {
        SCOPED_TRACE(targets[k].name);
        EXPECT_TRUE(contains(handles, targets[k].portHandle));
    }
    EXPECT_EQ(sim->scenarioToolOf(targets[3].portHandle),
              sim->scenarioToolOf(targets[0].portHandle));
    // One handle per registered tool, the one whose file is missing included
    // (it is freed at the next open); no placeholder: tools were loaded.
    EXPECT_EQ(handles.size(), 5u);
    EXPECT_FALSE(log.contains(Log::Warning, "NDI", "No tracking instruments initialized!"));

    // Reopening frees the previous handles first and loads everything afresh.
    ASSERT_TRUE(stream.closeAsync().get());
    ASSERT_TRUE(stream.openAsync().get());
    EXPECT_EQ(sim->portHandles().size(), 5u);
    EXPECT_EQ(ids(stream).size(), 3u);
}

// Without a tool of its own the optical system still reports stray markers:
// a placeholder is loaded, no instrument is added, and every pass with a
// reply delivers a frame of strays.
TEST(PolarisStream, PlaceholderToolWhenNoToolLoads)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Polaris));
    LogCapture log(true);

    PolarisStream stream("Polaris");
    stream.setHardwareDevice(sim->serialDevice());
    stream.registerTool(target("Broken", "/nonexistent.rom", 1));
    ASSERT_TRUE(stream.openAsync().get());
    EXPECT_TRUE(log.contains(Log::Warning, "NDI", "No tracking instruments initialized!"));
    EXPECT_FALSE(log.contains(Log::Error, "NDI", "Querying raw fiducials not possible"));
    EXPECT_EQ(stream.trackingInstruments()->size(), 0u);
    ASSERT_EQ(sim->portHandles().size(), 2u);  // the broken tool's and the placeholder's

    FrameLog frames(stream);
    ASSERT_TRUE(stream.startImpl());
    for (int i = 0; i < 5; ++i) {
        const Pass pass = runPass(stream, *sim, frames);
        ASSERT_TRUE(pass.frame);
        EXPECT_TRUE(pass.frame->instruments.empty());
        std::string why;
        EXPECT_TRUE(matchingFrame(*sim, pass, {}, true, &why).has_value()) << why;
    }
    EXPECT_TRUE(stream.stopImpl());
    EXPECT_TRUE(stream.closeAsync().get());
}

// The network kind: no COMM, INIT under a long time-out, the polaris
// tracking commands, and a short reply time-out while tracking.
TEST(VegaStream, TcpCommandsAndReplyTimeOut)
{
    auto sim =
        ndisim::Simulator::tcp(ndisim::defaultScenario(ndisim::Family::Vega), "127.0.0.1", 0);
    TempFile pointer("vega-pointer.rom", romImage("8700340"));
    LogCapture log(true);

    VegaStream stream("Vega");
    stream.setHardwareDevice("127.0.0.1");
    stream.registerTool(target("Pointer", pointer.path(), 1));
    for (bool binary : {true, false}) {
        SCOPED_TRACE(binary ? "binary" : "text");
        CommandRecorder relay(sim->tcpAddress(), sim->tcpPort());  // sees one connection
        stream.setHardwareIPPort(relay.port());
        stream.setBinaryQueryMode(binary);
        ASSERT_TRUE(stream.openAsync().get());
        FrameLog frames(stream);
        ASSERT_TRUE(stream.startImpl());
        for (int i = 0; i < 10000 && frames.size() == 0; ++i) stream.doWork();
        EXPECT_GT(frames.size(), 0u);
        EXPECT_TRUE(stream.stopImpl());
        EXPECT_TRUE(stream.closeAsync().get());

        std::vector<std::string> names;
        for (const std::string& command : relay.commands())
            names.push_back(command.substr(0, command.find(':')));
        EXPECT_EQ(std::count(names.begin(), names.end(), "COMM"), 0);
        EXPECT_EQ(std::count(names.begin(), names.end(), "INIT"), 1);
        EXPECT_EQ(std::count(names.begin(), names.end(), "PVWR"), 16);
        const std::vector<std::string> commands = relay.commands();
        EXPECT_NE(std::find_if(commands.begin(), commands.end(),
                               [](const std::string& c) {
                                   return c.rfind("PENA:", 0) == 0 && c.size() > 7 && c[7] == 'D';
                               }),
                  commands.end());
        const std::string tracking = binary ? "BX:180F" : "TX:1005";
        EXPECT_NE(std::find_if(commands.begin(), commands.end(),
                               [&](const std::string& c) { return c.rfind(tracking, 0) == 0; }),
                  commands.end());
    }

    // While tracking a reply that is a second late has timed out (a TCP
    // receive time-out reads as a failed read).
    stream.setBinaryQueryMode(true);
    stream.setHardwareIPPort(sim->tcpPort());
    ASSERT_TRUE(stream.openAsync().get());
    ASSERT_TRUE(stream.startImpl());
    ndisim::Faults late;
    late.delayMs = 1000;
    sim->setFaults(late);
    log.clear();
    stream.doWork();
    const std::string prefix = "NDI Tracking System Error in stream 'Vega': ";
    EXPECT_EQ(countContaining(log, Log::Error, prefix + std::to_string(NDI_ERR_TIMEOUT) + " ") +
                  countContaining(log, Log::Error, prefix + std::to_string(NDI_ERR_READ) + " "),
              1u);
    sim->setFaults(ndisim::Faults());
    EXPECT_TRUE(stream.closeAsync().get());

    // A slow system: INIT's reply is waited for, the commands after it run
    // into the short time-out.
    ndisim::Faults slow;
    slow.delayMs = 300;
    sim->setFaults(slow);
    log.clear();
    EXPECT_TRUE(stream.openAsync().get());
    EXPECT_FALSE(log.contains(Log::Error, "NDI", "Device could not be initialized!"));
    EXPECT_GE(countContaining(log, Log::Error, prefix + std::to_string(NDI_ERR_TIMEOUT) + " ") +
                  countContaining(log, Log::Error, prefix + std::to_string(NDI_ERR_READ) + " "),
              1u);
    sim->setFaults(ndisim::Faults());
    EXPECT_TRUE(stream.closeAsync().get());
}

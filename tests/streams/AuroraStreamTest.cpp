// The Aurora stream against a simulated Aurora on a pseudo-terminal: wired
// tools found on their ports, named by type, matched to registered targets,
// and the serial line's speed at open and close.
#include "StreamTestSupport.h"

#include <DeviceErrorReport.h>
#include <WiredToolDiscovery.h>
#include <WiredToolNames.h>

#include <Velantor/Properties.h>

using namespace streamtest;
using Velantor::InstrumentModification;
using Velantor::Log;
using Velantor::LogCapture;

namespace {

// The built-in Aurora (reference, stylus, wire and probe on ports 1 to 4)
// plus a second probe on port 5.
ndisim::Scenario auroraWithTwoProbes()
{
    ndisim::Scenario s = ndisim::defaultScenario(ndisim::Family::Aurora);
    ndisim::ToolDescription second = s.tools.back();
    EXPECT_EQ(second.toolInfo.substr(0, 2), "02");
    second.port = 5;
    second.toolInfo = "02000000NDI         0013A1F0005";
    s.tools.push_back(second);
    return s;
}

struct Instrument {
    std::string id, model, name;
    bool operator==(const Instrument& o) const
    {
        return id == o.id && model == o.model && name == o.name;
    }
};

std::ostream& operator<<(std::ostream& out, const Instrument& i)
{
    return out << "{" << i.id << ", " << i.model << ", " << i.name << "}";
}

std::vector<Instrument> instruments(const Velantor::NDIInstrumentRegistry& registry)
{
    std::vector<Instrument> list;
    for (const Velantor::TrackingInstrument& i : registry.instruments())
        list.push_back({i.id.ID(), i.id.modelNumber(), i.id.name()});
    return list;
}

template <class Stream>
std::vector<Instrument> instruments(const Stream& stream)
{
    return instruments(*stream.instrumentRegistry());
}

// Discovery on a connection of the test's own: an open initialises the
// system afresh, so only here does discovery meet ports that are set up.
class AuroraSecondDiscovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(connection, nullptr);
        ndiSetErrorCallback(connection, &Velantor::reportDeviceError, nullptr);
        ndiCommand(connection, "INIT:");
        ASSERT_EQ(ndiGetError(connection), NDI_OKAY);
        discover();
        ASSERT_EQ(registry.size(), 4u);
    }
    void TearDown() override
    {
        if (connection != nullptr) ndiCloseSerial(connection);
    }
    void discover()
    {
        Velantor::discoverWiredTools(connection, registry, {}, [](std::size_t, int) {});
    }

    std::unique_ptr<ndisim::Simulator> sim =
        ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    NdiConnection* connection = ndiOpenSerial(sim->serialDevice().c_str());
    Velantor::NDIInstrumentRegistry registry;
};

}  // namespace

TEST(AuroraStream, DiscoversWiredToolsByTypeAndTakesRegisteredTargetsByPort)
{
    auto sim = ndisim::Simulator::serial(auroraWithTwoProbes());
    TempFile rom("aurora-ref.rom", romImage("610099"));
    LogCapture log(true);
    std::vector<Velantor::Flags<InstrumentModification>> announced;

    AuroraStream stream("Aurora");
    stream.setHardwareDevice(sim->serialDevice());
    stream.registerTool(target("Ref A", rom.path(), 1));
    stream.registerTool(target("Nowhere", rom.path(), 9));
    Velantor::Properties selection;
    selection.setParam("selectedInstrument", "ndi-aurora-4-610065");
    stream.configure(&selection);
    ASSERT_EQ(stream.selectedInstrument(), std::optional<std::string>("ndi-aurora-4-610065"));

    stream.instrumentsChanged.connect(
        nullptr, [&](Velantor::Flags<InstrumentModification> f) { announced.push_back(f); });

    ASSERT_TRUE(stream.openAsync().get());
    // COMM:50001 at the default rate: 115200 baud, 8N1, hardware handshake.
    EXPECT_EQ(sim->deviceLine().baud, 115200);
    EXPECT_TRUE(sim->deviceLine().handshake);
    EXPECT_EQ(sim->deviceLine().dataBits, 8);

    // The target on port 1 takes its name and its ROM (whose part number the
    // system then reports); the others are named by type, two probes counted.
    const std::vector<Instrument> expected = {
        {"ndi-aurora-1-610099", "610099", "Ref A"},
        {"ndi-aurora-2-610062-3AAA", "610062-3AAA", "Stylus"},
        {"ndi-aurora-3-610029-36C3", "610029-36C3", "Wire"},
        {"ndi-aurora-4-610065", "610065", "Probe"},
        {"ndi-aurora-5-610065", "610065", "Probe 1"},
    };
    EXPECT_EQ(instruments(stream), expected);
    EXPECT_EQ(log.count(Log::Info, "NDI", "ROM file for Ref A uploaded from " + rom.path()), 1u);

    const std::vector<NDITrackingInstrumentInfo> targets = stream.trackingTargets();
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(sim->scenarioToolOf(targets[0].portHandle), 0);
    EXPECT_EQ(targets[1].portHandle, -1);

    // The pending selection became the main instrument; the registry changes
    // were announced once, after the connection was released.
    EXPECT_EQ(stream.trackingInstruments()->mainId(), "ndi-aurora-4-610065");
    EXPECT_FALSE(stream.selectedInstrument().has_value());
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0],
              InstrumentModification::InstrumentList | InstrumentModification::MainInstrument);

    EXPECT_TRUE(stream.closeAsync().get());
    EXPECT_EQ(sim->deviceLine().baud, 9600);  // COMM:00000
    EXPECT_FALSE(sim->deviceLine().handshake);
    EXPECT_EQ(stream.trackingInstruments()->size(), 0u);
    EXPECT_EQ(announced.back(),
              InstrumentModification::InstrumentList | InstrumentModification::MainInstrument);
}

TEST(AuroraStream, OpenFailsWithoutTools)
{
    ndisim::Scenario s = ndisim::defaultScenario(ndisim::Family::Aurora);
    s.tools.clear();
    auto sim = ndisim::Simulator::serial(s);
    LogCapture log(true);

    AuroraStream stream("Aurora");
    stream.setHardwareDevice(sim->serialDevice());
    EXPECT_FALSE(stream.openAsync().get());
    EXPECT_EQ(stream.currentState(), Velantor::Stream::Closed);
    EXPECT_TRUE(log.contains(Log::Error, "NDI", "No tracking instruments available!"));
    EXPECT_EQ(sim->deviceLine().baud, 9600);  // the failed open still returned the line
}

// A line speed the host's serial line cannot take: the system switches, the
// host cannot follow. The open fails (instead of reporting a system that
// answers nothing as open), the system is reset to 9600 baud, and the next
// open at a usable speed works.
TEST(AuroraStream, LineSpeedTheHostCannotFollowFailsTheOpenAndLeavesTheSystemUsable)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    BreakNotify breaks(*sim);
    LogCapture log(true);

    AuroraStream stream("Aurora EM");
    stream.setHardwareDevice(sim->serialDevice());
    stream.setMeasurementRate(1);  // 14400
    ASSERT_EQ(stream.measurementRate(), 1);
    EXPECT_FALSE(stream.openAsync().get());
    EXPECT_EQ(countContaining(log, Log::Error,
                              "NDI Tracking System Error in stream 'Aurora EM': " +
                                  std::to_string(NDI_ERR_COMM) + " "),
              1u);
    EXPECT_TRUE(log.contains(Log::Error, "NDI", "Measurement rate could not be set!"));
    EXPECT_EQ(sim->deviceLine().baud, 9600);
    EXPECT_EQ(stream.trackingInstruments()->size(), 0u);

    stream.setMeasurementRate(5);
    log.clear();
    EXPECT_TRUE(stream.openAsync().get());
    EXPECT_EQ(stream.trackingInstruments()->size(), 4u);
    EXPECT_EQ(countContaining(log, Log::Error, "NDI Tracking System Error"), 0u);
    EXPECT_TRUE(stream.closeAsync().get());
}

// Rate and volume are refused while the connection is established and
// stored otherwise; "TrackingTargets" only replaces the list while closed;
// a selection names the main instrument at once when it exists.
TEST(AuroraStream, SettingsThatChangeTheConnectionWaitForClose)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    LogCapture log(true);
    const char* const rateRefused =
        "Measurement rate cannot be set when connection is established. Close connection first.";
    const char* const rangeRefused =
        "Max Range cannot be set when connection is established. Close connection first.";

    AuroraStream stream("Aurora");
    stream.setHardwareDevice(sim->serialDevice());
    EXPECT_TRUE(stream.maxRangeOptions().empty());
    stream.registerTool(target("Kept", "/tmp/kept.rom", 7));
    ASSERT_TRUE(stream.openAsync().get());
    ASSERT_EQ(stream.maxRangeOptions().size(), 1u);
    EXPECT_EQ(stream.maxRangeOptions()[0].rfind("Cube ", 0), 0u);

    // Open, then running: refused with the message, values kept.
    for (bool running : {false, true}) {
        SCOPED_TRACE(running ? "running" : "open");
        if (running) {
            ASSERT_TRUE(stream.startAsync().get());
        }
        log.clear();
        stream.setMeasurementRate(3);
        stream.setMaxRange(3);
        EXPECT_EQ(stream.measurementRate(), 5);
        EXPECT_EQ(stream.maxRange(), 0);
        EXPECT_EQ(log.count(Log::Error, "NDI", rateRefused), 1u);
        EXPECT_EQ(log.count(Log::Error, "NDI", rangeRefused), 1u);
    }

    Velantor::Properties replacement;
    replacement.addSubProperties("TrackingTargets")
        .addSubProperties("Other")
        .setParam("Path", "/tmp/other.rom");
    replacement.setParam("selectedInstrument", "ndi-aurora-3-610029-36C3");
    stream.configure(&replacement);
    ASSERT_EQ(stream.trackingTargets().size(), 1u);
    EXPECT_EQ(stream.trackingTargets()[0].name, "Kept");
    EXPECT_EQ(stream.trackingInstruments()->mainId(), "ndi-aurora-3-610029-36C3");
    EXPECT_FALSE(stream.selectedInstrument().has_value());

    // Written with the volume choices of this open.
    Velantor::Properties written;
    stream.configuration(&written);
    std::string values;
    EXPECT_TRUE(written.paramAttribute("maxRange", "values", values));
    EXPECT_EQ(values, stream.maxRangeOptions()[0]);
    std::string selected;
    EXPECT_TRUE(written.param("selectedInstrument", selected));
    EXPECT_EQ(selected, "ndi-aurora-3-610029-36C3");

    ASSERT_TRUE(stream.closeAsync().get());
    log.clear();
    stream.setMeasurementRate(7);  // accepted although not offered
    stream.setMaxRange(3);
    stream.setMeasurementRate(8);  // outside the table: ignored
    stream.setMaxRange(-1);        // ignored
    EXPECT_EQ(stream.measurementRate(), 7);
    EXPECT_EQ(stream.maxRange(), 3);
    EXPECT_TRUE(log.records().empty());
    stream.configure(&replacement);
    ASSERT_EQ(stream.trackingTargets().size(), 1u);
    EXPECT_EQ(stream.trackingTargets()[0].name, "Other");
    // The volume list of the last open outlives the close.
    EXPECT_EQ(stream.maxRangeOptions().size(), 1u);
}

// A second discovery on the same system: every port is initialised and
// enabled by now, so only PHSR and two PHINF per tool go out (no PINIT, no
// PENA), and the names are counted afresh.
TEST_F(AuroraSecondDiscovery, LeavesPortsThatAreSetUpAloneAndCountsNamesAfresh)
{
    const std::vector<Instrument> before = instruments(registry);
    const std::uint64_t commandsBefore = sim->stats().commands;
    discover();
    EXPECT_EQ(sim->stats().commands - commandsBefore, 1u + 4u * 2u);
    EXPECT_EQ(instruments(registry), before);
}

// A tool-information reply that fails its CRC leaves the previous tool's
// reply captured: the tool must not take that tool's part number or type.
TEST_F(AuroraSecondDiscovery, NeverReadsAnotherToolsReply)
{
    LogCapture log(true);
    // Discovery again with every port set up: replies PHSR, then per tool the
    // location and the tool information. The fifth is the second tool's
    // information.
    ndisim::Faults faults;
    faults.corruptCrcEvery = 5;
    sim->setFaults(faults);
    discover();
    sim->setFaults(ndisim::Faults());

    const std::vector<Instrument> expected = {
        {"ndi-aurora-1-610066", "610066", "Reference"},
        {"ndi-aurora-2-", "", "Unknown"},
        {"ndi-aurora-3-610029-36C3", "610029-36C3", "Wire"},
        {"ndi-aurora-4-610065", "610065", "Probe"},
    };
    EXPECT_EQ(instruments(registry), expected);
    EXPECT_EQ(countContaining(log, Log::Error,
                              "NDI Error occurred outside of PolarisAuroraTrackingStream: " +
                                  std::to_string(NDI_ERR_CRC) + " "),
              1u);
}

// The kind of a wired tool: its description decides, the part number only
// among the "02" tools, and the tests go in order ("021" with both marks is a
// stylus). Names of one run are numbered per kind.
TEST(AuroraToolNames, KindFromDescriptionThenPartNumber)
{
    const struct {
        const char* description;
        const char* partNumber;
        const char* kind;
    } cases[] = {
        {"", "610066", "Unknown"},
        {"0", "610066", "Unknown"},
        {"01000000", "610066", "Reference"},
        {"02100000", "610062-3AAA", "Stylus"},
        {"02100000", "610062-3AAA-36C3", "Stylus"},
        {"02100000", "610029-36C3", "Wire"},
        {"02000000", "610062-3AAA", "Probe"},
        {"02000000", "610029-36C3", "Wire"},
        {"02100000", "610065", "Probe"},
        {"03000000", "", "Switch"},
        {"05000000", "", "Microscope"},
        {"07000000", "", "Calibration Device"},
        {"08000000", "", "Strober"},
        {"0A000000", "", "C-Arm"},
        {"0B000000", "", "Catheter"},
        {"0C000000", "", "Unknown"},
        {"0a000000", "", "Unknown"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Velantor::wiredToolTypeName(c.description, c.partNumber), c.kind)
            << c.description << " / " << c.partNumber;

    Velantor::UniqueToolNames names;
    std::vector<std::string> given;
    for (const char* kind : {"Probe", "Wire", "Probe", "Probe", "Wire"})
        given.push_back(names.take(kind));
    EXPECT_EQ(given, (std::vector<std::string>{"Probe", "Wire", "Probe 1", "Probe 2", "Wire 1"}));
}

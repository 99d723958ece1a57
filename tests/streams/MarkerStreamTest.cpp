// The marker stream of network cameras against the simulated Vega over TCP:
// the exact commands of open, start, stop and close, markers uploaded from
// their temporary ROM files and tracked with the device's poses, the
// placeholder when no marker loads, registration only while closed, and the
// failures that must cost one marker, not the open or the frames.
#include "StreamTestSupport.h"

#include "CommandRecorder.h"

#include <DeviceErrorReport.h>
#include <NDIPolarisTrackingStream.h>

#include <Velantor/OpticalTrackingMarker.h>
#include <Velantor/Properties.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <algorithm>

using namespace streamtest;
using Velantor::Log;
using Velantor::LogCapture;
using Velantor::OpticalTrackingMarker;
using MarkerStream = Velantor::NDIPolarisTrackingStream;

namespace {

const std::string kCategory = "NDI.NDIPolarisTrackingStream";

std::unique_ptr<OpticalTrackingMarker> markerFor(const ndisim::ToolDescription& tool,
                                                 std::optional<std::uint32_t> id = std::nullopt)
{
    OpticalTrackingMarker::Geometry geometry;
    for (const ndisim::Vec3& m : tool.markers) geometry.emplace_back(m[0], m[1], m[2]);
    auto marker = std::make_unique<OpticalTrackingMarker>(tool.name, id, geometry);
    marker->setPartNumber(tool.partNumber);
    return marker;
}

std::map<std::string, int> markerHandles(MarkerStream& stream)
{
    std::map<std::string, int> handles;
    stream.instrumentRegistry()->modifyAll(MarkerStream::Registry::SpecialFunction(
        [&](const std::string& id, MarkerStream::ToolData& data) {
            handles[id] = data.portHandle;
        }));
    return handles;
}

// The command lines without their CRC.
std::vector<std::string> bareCommands(const CommandRecorder& relay)
{
    std::vector<std::string> commands;
    for (const std::string& line : relay.commands())
        commands.push_back(line.size() > 4 ? line.substr(0, line.size() - 4) : line);
    return commands;
}

// Points the process's temporary directory at a folder of the test's own for
// as long as it lives.
class TemporaryRoot {
public:
    explicit TemporaryRoot(const std::string& path) : m_old(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", QByteArray::fromStdString(path));
    }
    ~TemporaryRoot() { qputenv("TMPDIR", m_old); }

private:
    QByteArray m_old;
};

std::unique_ptr<ndisim::Simulator> vega(
    ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Vega))
{
    for (ndisim::ToolDescription& tool : scenario.tools) tool.missing.clear();
    return ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
}

// Runs passes by hand until `wanted` frames were delivered (or many passes
// went by); each delivered frame must be one the device reported.
std::size_t trackAndCompare(MarkerStream& stream, const ndisim::Simulator& sim, bool binary,
                            std::size_t wanted)
{
    const std::map<std::string, int> handles = markerHandles(stream);
    FrameLog log(stream);
    std::optional<std::uint32_t> previous;
    std::size_t delivered = 0;
    for (int i = 0; i < 20000 && delivered < wanted; ++i) {
        const Pass pass = runPass(stream, sim, log);
        if (!pass.frame) continue;
        ++delivered;
        std::string why;
        const std::optional<std::uint32_t> f = matchingFrame(sim, pass, handles, binary, &why);
        EXPECT_TRUE(f.has_value()) << "frame " << delivered << ": " << why;
        if (!f) break;
        if (previous) {
            EXPECT_GT(*f, *previous) << "a device frame was delivered twice";
        }
        previous = f;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return delivered;
}

// A marker stream set to a simulated camera, its ROM files under a
// temporary root of the test's own.
struct StreamOnCamera {
    explicit StreamOnCamera(
        ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Vega),
        const char* name = "Markers")
        : sim(vega(std::move(scenario))), temporaryRoot(root.path().toStdString()), stream(name)
    {
        stream.setHardwareDevice("127.0.0.1");
        stream.setHardwareIPPort(sim->tcpPort());
    }
    std::unique_ptr<ndisim::Simulator> sim;
    QTemporaryDir root;
    TemporaryRoot temporaryRoot;
    MarkerStream stream;
};

}  // namespace

TEST(MarkerStream, OpenTrackAndCloseWithTheExactCommands)
{
    auto sim = vega();
    const auto& tools = sim->scenario().tools;
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    TemporaryRoot temporaryRoot(root.path().toStdString());
    LogCapture log(true);

    std::string romDirectory;
    {
        MarkerStream stream("Markers");
        stream.setHardwareDevice("127.0.0.1");
        EXPECT_EQ(stream.addTrackingMarker(markerFor(tools[0])), "ndi-polaris-100000");
        EXPECT_EQ(stream.addTrackingMarker(markerFor(tools[1], 7)), "ndi-polaris-7");
        EXPECT_EQ(stream.addTrackingMarker(markerFor(tools[2])), "ndi-polaris-100001");
        EXPECT_TRUE(log.contains(Log::Info, kCategory,
                                 "Marker registered with tracker ID: ndi-polaris-100000"));
        // An id already taken leaves the first marker in place.
        EXPECT_EQ(stream.addTrackingMarker(markerFor(tools[0], 7)), "");
        EXPECT_EQ(stream.trackingMarker("ndi-polaris-7")->name(), tools[1].name);

        for (bool binary : {true, false}) {
            SCOPED_TRACE(binary ? "binary" : "text");
            CommandRecorder relay(sim->tcpAddress(), sim->tcpPort());
            stream.setHardwareIPPort(relay.port());
            stream.setBinaryQueryMode(binary);
            ASSERT_TRUE(stream.openAsync().get());

            // The ROM files are written at open, one per marker, in the
            // stream's own folder under the temporary root.
            const QStringList folders =
                QDir(root.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            ASSERT_EQ(folders.size(), 1);
            romDirectory = QDir(root.path()).filePath(folders[0]).toStdString();
            for (const char* id : {"100000", "7", "100001"})
                EXPECT_TRUE(QFileInfo::exists(
                    QString::fromStdString(romDirectory + "/marker_" + id + ".rom")))
                    << id;

            // Markers may change only while closed.
            EXPECT_EQ(stream.addTrackingMarker(markerFor(tools[0], 8)), "");
            EXPECT_TRUE(log.contains(Log::Error, kCategory,
                                     "Markers can only be added when the stream is closed"));
            EXPECT_FALSE(stream.removeTrackingMarker("ndi-polaris-7"));
            EXPECT_TRUE(log.contains(Log::Error, kCategory,
                                     "Markers can only be removed when the stream is closed"));

            const std::map<std::string, int> handles = markerHandles(stream);
            ASSERT_EQ(handles.size(), 3u);
            EXPECT_EQ(sim->scenarioToolOf(handles.at("ndi-polaris-100000")), 0);
            EXPECT_EQ(sim->scenarioToolOf(handles.at("ndi-polaris-7")), 1);
            EXPECT_EQ(sim->scenarioToolOf(handles.at("ndi-polaris-100001")), 2);

            ASSERT_TRUE(stream.startImpl());
            EXPECT_EQ(trackAndCompare(stream, *sim, binary, 5), 5u);
            EXPECT_TRUE(stream.stopImpl());
            EXPECT_TRUE(stream.closeAsync().get());

            std::vector<std::string> expected = {"INIT:", "SFLIST:03", "VSEL:1", "PHSR:01"};
            std::vector<std::string> commands = bareCommands(relay);
            // What PHSR names is freed (nothing here: INIT has freed it all).
            commands.erase(std::remove_if(commands.begin(), commands.end(),
                                          [](auto& c) { return c.rfind("PHF:", 0) == 0; }),
                           commands.end());
            for (std::string& c : commands)
                if (c.rfind("PVWR:", 0) == 0) c = "PVWR";
            std::vector<std::string> upload = {"PHRQ:*********1****"};
            for (int k = 0; k < 16; ++k) upload.push_back("PVWR");
            // Markers load in the registry's id order.
            for (const char* id : {"ndi-polaris-100000", "ndi-polaris-100001", "ndi-polaris-7"}) {
                char handle[3];
                std::snprintf(handle, sizeof handle, "%02X", handles.at(id));
                expected.insert(expected.end(), upload.begin(), upload.end());
                expected.push_back(std::string("PINIT:") + handle);
                expected.push_back(std::string("PENA:") + handle + "D");
            }
            expected.push_back("TSTART:");
            const auto tracking =
                std::find(commands.begin(), commands.end(), binary ? "BX:180F" : "TX:1005");
            ASSERT_NE(tracking, commands.end());
            EXPECT_EQ(std::vector<std::string>(commands.begin(), tracking), expected);
            EXPECT_EQ(commands.back(), "TSTOP:");
            EXPECT_TRUE(std::all_of(tracking, commands.end() - 1, [&](const std::string& c) {
                return c == (binary ? "BX:180F" : "TX:1005");
            }));

            // Closed: markers kept, without handle or pose.
            EXPECT_EQ(stream.trackingInstruments()->size(), 3u);
            for (const auto& [id, handle] : markerHandles(stream)) EXPECT_EQ(handle, -1) << id;
            for (const Velantor::TrackingInstrument& i :
                 stream.trackingInstruments()->instruments()) {
                EXPECT_EQ(i.matrix, Eigen::Matrix4d::Identity());
                EXPECT_EQ(i.quality, 0.0);
                EXPECT_TRUE(i.active);
            }
        }
        EXPECT_TRUE(stream.removeTrackingMarker("ndi-polaris-7"));
        EXPECT_FALSE(stream.removeTrackingMarker("ndi-polaris-7"));
        EXPECT_TRUE(log.contains(Log::Error, kCategory,
                                 "Marker with tracker ID 'ndi-polaris-7' not found"));
        EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(romDirectory)));
    }
    // The folder and its ROM files go with the stream.
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(romDirectory)));
}

// With no marker on the camera a placeholder tool still makes it report the
// stray markers, and every pass delivers them.
TEST(MarkerStream, PlaceholderWhenNoMarkerLoads)
{
    struct Case {
        const char* what;
        bool withMarker;    // a marker is registered (and fails)
        bool rootIsAFile;   // no temporary directory can be made
        std::string error;  // logged, category "NDI" unless it names the stream's
        std::string category;
    };
    const std::vector<Case> cases = {
        {"no marker", false, false, "No tracking instruments initialized!", "NDI"},
        {"a marker with too many spheres", true, false,
         "Failed to save marker 'Crowded' to temporary ROM file", "NDI"},
        {"no temporary directory", true, true,
         "Failed to create temporary directory for marker ROM files", kCategory},
    };
    auto sim = vega();
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const std::string file = root.filePath("a-file").toStdString();
    std::ofstream(file) << "not a folder";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TemporaryRoot temporaryRoot(c.rootIsAFile ? file : root.path().toStdString());
        LogCapture log(true);
        MarkerStream stream("Markers");
        stream.setHardwareDevice("127.0.0.1");
        stream.setHardwareIPPort(sim->tcpPort());
        if (c.withMarker) {
            auto crowded = markerFor(sim->scenario().tools[0]);
            crowded->setName("Crowded");
            if (!c.rootIsAFile) crowded->setGeometry(OpticalTrackingMarker::Geometry(21));
            ASSERT_NE(stream.addTrackingMarker(std::move(crowded)), "");
        }
        ASSERT_TRUE(stream.openAsync().get());
        EXPECT_TRUE(log.contains(c.withMarker ? Log::Error : Log::Warning, c.category, c.error));
        EXPECT_FALSE(log.contains(Log::Error, "NDI", "Querying raw fiducials not possible"));
        EXPECT_EQ(sim->portHandles().size(), 1u) << "the placeholder's handle";
        if (c.withMarker) {
            const std::string id = stream.trackingInstruments()->instruments().at(0).id.ID();
            EXPECT_FALSE(stream.trackingInstruments()->isActive(id));
            EXPECT_NE(stream.trackingMarkerProblem(id), "");
        }

        FrameLog frames(stream);
        ASSERT_TRUE(stream.startImpl());
        // Without a marker every pass is a frame; with the placeholder's
        // frame number, every new device frame is.
        std::size_t delivered = 0;
        for (int i = 0; i < 2000 && delivered < 3; ++i) {
            const Pass pass = runPass(stream, *sim, frames);
            if (!c.withMarker) {
                ASSERT_TRUE(pass.frame);
            }
            if (!pass.frame) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            ++delivered;
            const auto* fiducials =
                pass.frame->components().get<Velantor::TrackingInstrumentFiducialsData>();
            ASSERT_NE(fiducials, nullptr);
            EXPECT_EQ(fiducials->positions.size(), sim->expectedStrays(pass.before).size());
        }
        EXPECT_EQ(delivered, 3u);
        EXPECT_TRUE(stream.closeAsync().get());
    }
}

// Failures that used to cost the whole open, every frame or another marker:
// each one costs only the marker it concerns.
TEST(MarkerStream, AFailingMarkerCostsOnlyItself)
{
    ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Vega);
    scenario.maxPortHandles = 2;
    StreamOnCamera on(scenario);
    auto& sim = on.sim;
    MarkerStream& stream = on.stream;
    const auto& tools = sim->scenario().tools;
    LogCapture log(true);
    // The main marker (first in id order) cannot be written; an id too large
    // for an int becomes its part number; the fourth finds no free handle.
    auto unwritable = markerFor(tools[0], 1);
    unwritable->setGeometry(OpticalTrackingMarker::Geometry(21));
    ASSERT_EQ(stream.addTrackingMarker(std::move(unwritable)), "ndi-polaris-1");
    auto huge = markerFor(tools[1], 3000000000u);
    huge->setPartNumber("");
    ASSERT_EQ(stream.addTrackingMarker(std::move(huge)), "ndi-polaris-3000000000");
    ASSERT_EQ(stream.addTrackingMarker(markerFor(tools[1], 5)), "ndi-polaris-5");
    ASSERT_EQ(stream.addTrackingMarker(markerFor(tools[2], 6)), "ndi-polaris-6");
    ASSERT_EQ(stream.trackingInstruments()->mainId(), "ndi-polaris-1");

    ASSERT_TRUE(stream.openAsync().get());
    const std::map<std::string, int> handles = markerHandles(stream);
    EXPECT_EQ(handles.at("ndi-polaris-1"), -1);
    EXPECT_GE(handles.at("ndi-polaris-3000000000"), 0);
    EXPECT_EQ(sim->scenarioToolOf(handles.at("ndi-polaris-5")), 1);
    // No handle was left to give: the marker fails instead of overwriting
    // the previous marker's tool.
    EXPECT_EQ(handles.at("ndi-polaris-6"), -1);
    EXPECT_NE(stream.trackingMarkerProblem("ndi-polaris-6"), "");
    EXPECT_TRUE(log.contains(Log::Error, "NDI",
                             "ROM file for " + tools[2].name + " could not be uploaded"));
    EXPECT_FALSE(stream.trackingInstruments()->isActive("ndi-polaris-6"));
    EXPECT_EQ(stream.trackingMarkerProblem("ndi-polaris-5"), "");

    // The main marker is not on the camera; the frames come all the same.
    FrameLog frames(stream);
    ASSERT_TRUE(stream.startImpl());
    std::size_t delivered = 0;
    for (int i = 0; i < 2000 && delivered < 3; ++i) {
        if (runPass(stream, *sim, frames).frame) ++delivered;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(delivered, 3u);
    const auto tracked = stream.trackingInstruments()->find("ndi-polaris-5");
    ASSERT_TRUE(tracked.has_value());
    EXPECT_GT(tracked->quality, 0.0);

    // The query mode is that of the connection: a change waits for the next
    // open, and the running one keeps decoding what it asked for.
    stream.setBinaryQueryMode(false);
    const std::size_t before = frames.size();
    for (int i = 0; i < 2000 && frames.size() < before + 2; ++i) {
        runPass(stream, *sim, frames);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GE(frames.size(), before + 2);
    EXPECT_GT(stream.trackingInstruments()->find("ndi-polaris-5")->quality, 0.0);
    EXPECT_TRUE(stream.closeAsync().get());
}

// The camera reports the main marker disabled: the frame number comes from
// the markers it does report, and their frames keep coming.
TEST(MarkerStream, FramesKeepComingWhileTheMainMarkerIsDisabled)
{
    ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Vega);
    scenario.tools[0].disabled = {{0, 4000000000u}};
    StreamOnCamera on(scenario);
    const auto& tools = on.sim->scenario().tools;
    for (std::uint32_t i = 0; i < tools.size(); ++i)
        ASSERT_EQ(on.stream.addTrackingMarker(markerFor(tools[i], i + 1)),
                  "ndi-polaris-" + std::to_string(i + 1));
    ASSERT_EQ(on.stream.trackingInstruments()->mainId(), "ndi-polaris-1");
    ASSERT_TRUE(on.stream.openAsync().get());
    ASSERT_EQ(on.sim->scenarioToolOf(markerHandles(on.stream).at("ndi-polaris-1")), 0);
    ASSERT_TRUE(on.stream.startImpl());
    EXPECT_EQ(trackAndCompare(on.stream, *on.sim, true, 3), 3u);
    EXPECT_TRUE(on.stream.closeAsync().get());
}

// A marker whose PINIT reply is lost is not counted as enabled: it fails
// alone, and the marker after it is tracked.
TEST(MarkerStream, AMarkerThatCannotBeEnabledFailsAlone)
{
    StreamOnCamera on;
    auto& sim = on.sim;
    MarkerStream& stream = on.stream;
    const auto& tools = sim->scenario().tools;
    LogCapture log(true);
    ASSERT_EQ(stream.addTrackingMarker(markerFor(tools[0], 1)), "ndi-polaris-1");
    ASSERT_EQ(stream.addTrackingMarker(markerFor(tools[1], 2)), "ndi-polaris-2");
    // INIT, SFLIST, VSEL, PHSR, PHRQ and 16 PVWR: the 22nd reply is the
    // first marker's PINIT; the next corrupted one comes after the open.
    ndisim::Faults faults;
    faults.corruptCrcEvery = 22;
    sim->setFaults(faults);
    ASSERT_TRUE(stream.openAsync().get());
    sim->setFaults(ndisim::Faults());
    EXPECT_TRUE(log.contains(Log::Error, "NDI",
                             "Marker " + tools[0].name + " could not be enabled on the camera"));
    const std::map<std::string, int> handles = markerHandles(stream);
    EXPECT_EQ(handles.at("ndi-polaris-1"), -1);
    EXPECT_FALSE(stream.trackingInstruments()->isActive("ndi-polaris-1"));
    EXPECT_NE(stream.trackingMarkerProblem("ndi-polaris-1"), "");
    EXPECT_EQ(sim->scenarioToolOf(handles.at("ndi-polaris-2")), 1);
    EXPECT_TRUE(stream.closeAsync().get());
}

// Markers restored from a workspace keep their ids; a new one never takes
// an id that is already registered, and stored markers are only applied
// while closed.
TEST(MarkerStream, StoredMarkersAndNewOnes)
{
    auto sim = vega();
    const auto& tools = sim->scenario().tools;
    LogCapture log(true);

    Velantor::Properties stored;
    {
        MarkerStream first("Markers");
        ASSERT_EQ(first.addTrackingMarker(markerFor(tools[0])), "ndi-polaris-100000");
        ASSERT_EQ(first.addTrackingMarker(markerFor(tools[1])), "ndi-polaris-100001");
        first.configuration(&stored);
    }
    MarkerStream stream("Markers");
    stream.configure(&stored);
    EXPECT_EQ(stream.trackingInstruments()->size(), 2u);
    EXPECT_EQ(*stream.trackingMarker("ndi-polaris-100001"), *markerFor(tools[1], 100001));
    EXPECT_EQ(stream.addTrackingMarker(markerFor(tools[2])), "ndi-polaris-100002");

    // Stored markers given while the stream closes are not applied: the
    // registry is kept whole.
    stream.setHardwareDevice("127.0.0.1");
    stream.setHardwareIPPort(sim->tcpPort());
    ASSERT_TRUE(stream.openAsync().get());
    Velantor::Properties replacement;
    replacement.addSubProperties("TrackingTargets").addSubProperties("Other");
    std::atomic<bool> appliedWhileClosing{false};
    stream.StateChange.connect(&stream, [&](Velantor::Stream::State, Velantor::Stream::State now) {
        if (now != Velantor::Stream::Closing) return;
        stream.configure(&replacement);
        appliedWhileClosing = true;
    });
    EXPECT_TRUE(stream.closeAsync().get());
    stream.StateChange.disconnect(&stream);
    EXPECT_TRUE(appliedWhileClosing);
    EXPECT_EQ(stream.trackingInstruments()->size(), 3u);
    EXPECT_EQ(countContaining(log, Log::Error, "Markers can only be added"), 0u);
}

// The settings, every configuration key and its attributes.
TEST(MarkerStream, SettingsAndConfiguration)
{
    LogCapture log(true);
    MarkerStream stream("Markers");
    Velantor::Properties defaults;
    stream.configuration(&defaults);
    std::string device;
    int port = 0;
    bool binary = false;
    EXPECT_TRUE(defaults.param("hardwareDevice", device) && device == "auto");
    EXPECT_TRUE(defaults.param("hardwarePort", port) && port == 8765);
    EXPECT_TRUE(defaults.param("binaryQueryMode", binary) && binary);
    EXPECT_FALSE(defaults.hasParam("maxRange"));  // no volumes known yet
    ASSERT_NE(defaults.subProperties("TrackingTargets"), nullptr);
    EXPECT_EQ(stream.capabilities(), 1);

    struct Device {
        std::string given, stored;
        bool warned;
    };
    for (const Device& d :
         {Device{"10.0.0.7", "10.0.0.7", false}, Device{"300.1.2.3", "300.1.2.3", false},
          Device{"auto-find", "auto-find", false}, Device{"", "", false},
          Device{"camera.local", "", true}}) {
        SCOPED_TRACE(d.given);
        log.clear();
        stream.setHardwareDevice(d.given);
        EXPECT_EQ(stream.hardwareDevice(), d.stored);
        EXPECT_EQ(log.contains(Log::Warning, kCategory,
                               "Invalid IP address '" + d.given +
                                   "' provided to setHardwareDevice; falling back to "
                                   "auto-detection."),
                  d.warned);
    }

    Velantor::Properties p;
    p.setParam("hardwareDevice", "192.168.1.20");
    p.setParam("hardwarePort", 9000);
    p.setParam("binaryQueryMode", false);
    p.setParam("maxRange", 2);
    p.setParam("startAfterInit", true);
    p.setParam("blockingInit", false);
    Velantor::Properties& targets = p.addSubProperties("TrackingTargets");
    Velantor::Properties& probe = targets.addSubProperties("Probe");
    OpticalTrackingMarker("", 42, {{0, 0, 0}, {0, 0, 50}, {0, 30, 90}})
        .configuration(&probe.addSubProperties("Marker"));
    targets.addSubProperties("Nothing");
    p.setParam("selectedInstrument", "ndi-polaris-42");
    stream.configure(&p);

    EXPECT_EQ(stream.hardwareDevice(), "192.168.1.20");
    EXPECT_EQ(stream.hardwareIPPort(), 9000);
    EXPECT_FALSE(stream.binaryQueryMode());
    EXPECT_EQ(stream.maxRange(), 2);
    EXPECT_TRUE(log.contains(Log::Warning, "NDI",
                             "Parameter 'startAfterInit' was removed as it was not used anymore"));
    EXPECT_TRUE(log.contains(Log::Warning, "NDI",
                             "Parameter 'blockingInit' was removed as it was not used anymore"));
    ASSERT_EQ(stream.trackingInstruments()->size(), 1u);
    EXPECT_EQ(stream.trackingMarker("ndi-polaris-42")->name(), "Probe");
    EXPECT_EQ(stream.trackingInstruments()->mainId(), "ndi-polaris-42");

    Velantor::Properties written;
    stream.configuration(&written);
    EXPECT_TRUE(written.param("hardwareDevice", device) && device == "192.168.1.20");
    std::vector<Velantor::Properties::Attribute> attributes =
        written.paramAttributes("hardwareDevice");
    ASSERT_EQ(attributes.size(), 1u);
    EXPECT_EQ(attributes[0].name, "label");
    const Velantor::Properties* writtenTargets = written.subProperties("TrackingTargets");
    ASSERT_NE(writtenTargets, nullptr);
    ASSERT_NE(writtenTargets->subProperties("Probe"), nullptr);
    EXPECT_NE(writtenTargets->subProperties("Probe")->subProperties("Marker"), nullptr);
    std::string selected;
    EXPECT_TRUE(written.param("selectedInstrument", selected) && selected == "ndi-polaris-42");

    // A negative range is ignored without a word.
    log.clear();
    stream.setMaxRange(-1);
    EXPECT_EQ(stream.maxRange(), 2);
    EXPECT_TRUE(log.records().empty());
}

// Device faults while tracking: a failed reply delivers nothing and changes
// no pose, the error callback names the stream, and after the link went down
// a close and an open bring the frames back.
TEST(MarkerStream, DeviceFaultsDuringTracking)
{
    StreamOnCamera on(ndisim::defaultScenario(ndisim::Family::Vega), "Faulty");
    auto& sim = on.sim;
    MarkerStream& stream = on.stream;
    const std::string streamError = "NDI Tracking System Error in stream 'Faulty': ";
    LogCapture log(true);
    ASSERT_NE(stream.addTrackingMarker(markerFor(sim->scenario().tools[1])), "");
    ASSERT_TRUE(stream.openAsync().get());
    const std::map<std::string, int> handles = markerHandles(stream);
    FrameLog frames(stream);
    ASSERT_TRUE(stream.startImpl());

    ndisim::Faults faults;
    faults.corruptCrcEvery = 3;
    faults.dropEvery = 7;
    sim->setFaults(faults);
    // A failed reply changes no pose either.
    const FaultyPasses passes =
        passesUnderFaults(stream, *sim, frames, log, streamError, handles,
                          [&](const std::vector<Velantor::TrackingInstrument>& before) {
                              const auto after = stream.trackingInstruments()->instruments().at(0);
                              EXPECT_EQ(after.matrix, before.at(0).matrix);
                              EXPECT_EQ(after.timestamp, before.at(0).timestamp);
                          });
    EXPECT_GE(passes.failed, 20u);
    EXPECT_GT(passes.delivered, 0u);
    EXPECT_GE(countContaining(log, Log::Error, streamError + std::to_string(NDI_ERR_CRC) + " "),
              1u);
    // A report from a connection that belongs to no stream says so.
    char text[] = "Bad CRC";
    Velantor::reportMarkerStreamDeviceError(NDI_ERR_CRC, text, nullptr);
    EXPECT_TRUE(log.contains(Log::Error, "NDI",
                             "NDI Error occurred outside of NDIPolarisTrackingStream: " +
                                 std::to_string(NDI_ERR_CRC) + " Bad CRC"));
    sim->setFaults(ndisim::Faults());
    EXPECT_TRUE(stream.stopImpl());
    EXPECT_TRUE(stream.closeAsync().get());

    // The link goes down under the host's worker.
    ndisim::Faults disconnect;
    disconnect.disconnectAfterFrames = 30;
    sim->setFaults(disconnect);
    ASSERT_TRUE(stream.openAsync().get());
    const std::size_t framesBefore = frames.size();
    ASSERT_TRUE(stream.startAsync().get());
    log.clear();
    ASSERT_TRUE(eventually([&] { return countContaining(log, Log::Error, streamError) >= 3; }));
    EXPECT_EQ(stream.currentState(), Velantor::Stream::Running);
    EXPECT_TRUE(stream.closeAsync().get());
    const std::size_t framesAtTheEnd = frames.size();
    EXPECT_GT(framesAtTheEnd, framesBefore);
    sim->setFaults(ndisim::Faults());
    ASSERT_TRUE(stream.openAsync().get());
    ASSERT_TRUE(stream.startAsync().get());
    EXPECT_TRUE(frames.waitFor(framesAtTheEnd + 5));
    EXPECT_TRUE(stream.closeAsync().get());
}

// A failed INIT fails the open; reading the volume choices never waits for
// an open in progress.
TEST(MarkerStream, OpenFailsWithoutInitAndVolumesNeverWait)
{
    StreamOnCamera on;
    auto& sim = on.sim;
    MarkerStream& stream = on.stream;
    LogCapture log(true);

    ndisim::Faults corrupt;
    corrupt.corruptCrcEvery = 1;
    sim->setFaults(corrupt);
    EXPECT_FALSE(stream.openAsync().get());
    EXPECT_TRUE(log.contains(Log::Error, "NDI", "Device could not be initialized!"));
    EXPECT_EQ(stream.currentState(), Velantor::Stream::Closed);

    // Each reply late by 300 ms: the open takes seconds, during which the
    // user's thread asks for the choices.
    ndisim::Faults slow;
    slow.delayMs = 300;
    sim->setFaults(slow);
    const auto opening = stream.openAsync();
    ASSERT_TRUE(eventually([&] { return stream.currentState() == Velantor::Stream::Opening; }));
    (void)stream.maxRangeOptions();
    Velantor::Properties p;
    stream.configuration(&p);
    EXPECT_EQ(opening.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the choices waited for the open";
    opening.wait();
    sim->setFaults(ndisim::Faults());
    EXPECT_TRUE(stream.closeAsync().get());
}

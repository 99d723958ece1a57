// The marker stream of network cameras against the simulated Vega over TCP:
// the exact commands of open, start, stop and close, markers uploaded from
// their temporary ROM files and tracked with the device's poses, the
// placeholder when no marker loads, registration only while closed, and the
// failures that must cost one marker, not the open or the frames.
#include "StreamTestSupport.h"

#include "CommandRecorder.h"

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

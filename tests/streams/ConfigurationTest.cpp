// Configuration of the camera-specific streams without a device: the keys
// and attributes they write, what they read back, and the device setting's
// fall-back to auto-detection.
#include "StreamTestSupport.h"

#include <Velantor/Properties.h>

using namespace streamtest;
using Velantor::Log;
using Velantor::LogCapture;
using Velantor::Properties;
using Attributes = std::vector<Properties::Attribute>;

namespace {

template <class Stream>
Properties configurationOf(const Stream& stream)
{
    Properties p;
    stream.configuration(&p);
    return p;
}

Attributes attributes(std::initializer_list<std::pair<const char*, const char*>> pairs)
{
    Attributes list;
    for (const auto& [name, value] : pairs) list.emplace_back(name, value);
    return list;
}

}  // namespace

TEST(StreamConfiguration, SerialRoundTripKeepsEverySetting)
{
    PolarisStream stream("Polaris");
    stream.setHardwareDevice("/dev/ttyUSB0");
    stream.setBinaryQueryMode(false);
    stream.setMeasurementRate(3);
    stream.registerTool(target("Pointer", "/data/pointer.rom", 1));
    stream.registerTool(target("Reference", "/data/reference.rom", 2));
    Properties selection;
    selection.setParam("selectedInstrument", "ndi-polaris-8700340");
    stream.configure(&selection);

    const Properties written = configurationOf(stream);
    int rate = -1;
    EXPECT_TRUE(written.param("measurementRate", rate));
    EXPECT_EQ(rate, 3);
    EXPECT_EQ(written.paramType("measurementRate"), Velantor::PropertiesDetail::EnumIndex);
    EXPECT_EQ(written.paramAttributes("measurementRate"),
              attributes({{"values", "9600, 14400, 19200, 38400, 57600, 115200"}}));
    EXPECT_EQ(written.paramAttributes("hardwareDevice"), attributes({{"label", "COM port"}}));
    EXPECT_FALSE(written.hasParam("hardwarePort"));
    EXPECT_FALSE(written.hasParam("maxRange"));  // no volumes before the first open
    const Properties* targets = written.subProperties("TrackingTargets");
    ASSERT_NE(targets, nullptr);
    EXPECT_EQ(targets->attributes(), attributes({{"hidden", "true"}}));
    ASSERT_EQ(targets->subProperties().size(), 2u);
    EXPECT_EQ(targets->subProperties()[1]->name(), "Reference");
    EXPECT_EQ(written.paramAttributes("selectedInstrument"), attributes({{"hidden", "true"}}));
    // A selection still waiting for its instrument is not lost by saving.
    std::string selected;
    EXPECT_TRUE(written.param("selectedInstrument", selected));
    EXPECT_EQ(selected, "ndi-polaris-8700340");

    PolarisStream copy("Copy");
    copy.configure(&written);
    EXPECT_EQ(copy.hardwareDevice(), "/dev/ttyUSB0");
    EXPECT_FALSE(copy.binaryQueryMode());
    EXPECT_EQ(copy.measurementRate(), 3);
    ASSERT_EQ(copy.trackingTargets().size(), 2u);
    EXPECT_EQ(copy.trackingTargets()[1].romPath, "/data/reference.rom");
    EXPECT_EQ(copy.trackingTargets()[1].port, 2);
    EXPECT_EQ(copy.trackingTargets()[1].portHandle, -1);
    EXPECT_EQ(copy.selectedInstrument(), std::optional<std::string>("ndi-polaris-8700340"));
    EXPECT_EQ(configurationOf(copy), written);
}

TEST(StreamConfiguration, NetworkRoundTripWritesThePortAndNoRate)
{
    VegaStream stream("Vega");
    EXPECT_EQ(stream.connectionType(), VegaStream::Network);
    EXPECT_EQ(stream.hardwareIPPort(), 8765);
    EXPECT_TRUE(stream.measurementRateOptions().empty());
    stream.setMeasurementRate(0);  // no table: ignored without a message
    EXPECT_EQ(stream.measurementRate(), 5);

    Properties p;
    p.setParam("hardwareDevice", "192.168.10.20");
    p.setParam("hardwarePort", 8888);
    p.setParam("binaryQueryMode", false);
    stream.configure(&p);
    const Properties written = configurationOf(stream);
    int port = 0;
    EXPECT_TRUE(written.param("hardwarePort", port));
    EXPECT_EQ(port, 8888);
    EXPECT_FALSE(written.hasParam("measurementRate"));
    EXPECT_EQ(written.paramAttributes("hardwareDevice"), attributes({{"label", "IP address"}}));
    VegaStream copy("Copy");
    copy.configure(&written);
    EXPECT_EQ(configurationOf(copy), written);
}

// A device that cannot be used for the stream's connection is written as
// empty (auto-detection) and the stream forgets it; auto requests stay.
TEST(StreamConfiguration, UnusableDeviceFallsBackToAutoDetection)
{
    const Attributes serialAuto =
        attributes({{"label", "COM port"}, {"tooltip", "Auto-detect COM port upon open"}});
    const Attributes networkAuto =
        attributes({{"label", "IP address"}, {"tooltip", "Auto-detect IP address upon open"}});
    struct Case {
        bool serial;
        const char* device;
        const char* written;
        Attributes attributes;
    };
    const std::vector<Case> cases = {
        {true, "auto", "auto", serialAuto},
        {true, "", "", serialAuto},
        {true, "/dev/ttyS1", "/dev/ttyS1", attributes({{"label", "COM port"}})},
        {true, "COM3", "", serialAuto},
        {true, "/dev/ttys1", "", serialAuto},
        {false, "auto-detect", "auto-detect", networkAuto},
        {false, "10.0.0.5", "10.0.0.5", attributes({{"label", "IP address"}})},
        {false, "camera.local", "", networkAuto},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        std::unique_ptr<Velantor::NDITrackingStream> stream;
        if (c.serial)
            stream = std::make_unique<AuroraStream>("s");
        else
            stream = std::make_unique<VegaStream>("n");
        Properties p;
        p.setParam("hardwareDevice", c.device);
        stream->configure(&p);  // taken as given
        Properties written;
        stream->configuration(&written);
        std::string device;
        EXPECT_TRUE(written.param("hardwareDevice", device));
        EXPECT_EQ(device, c.written);
        EXPECT_EQ(written.paramAttributes("hardwareDevice"), c.attributes);
        const std::string kept = c.serial ? static_cast<AuroraStream&>(*stream).hardwareDevice()
                                          : static_cast<VegaStream&>(*stream).hardwareDevice();
        EXPECT_EQ(kept, c.written);
    }
}

TEST(StreamConfiguration, ReadsTargetsAndWarnsAboutRemovedKeys)
{
    LogCapture log(true);
    AuroraStream stream("Aurora");
    stream.registerTool(target("Replaced", "/x.rom", 1));
    EXPECT_EQ(log.count(Log::Info, "NDI",
                        "Instrument Replaced registered to instrument list. Instrument will be "
                        "loaded when opening "
                        "stream."),
              1u);

    Properties p;
    p.setParam("startAfterInit", false);
    p.setParam("blockingInit", true);
    p.setParam("unknownKey", 3);
    Properties& targets = p.addSubProperties("TrackingTargets");
    targets.addSubProperties("No path").setParam("Port", 2);
    targets.addSubProperties("No port").setParam("Path", "/b.rom");
    Properties& full = targets.addSubProperties("Full");
    full.setParam("Path", "/c.rom");
    full.setParam("Port", 4);
    stream.configure(&p);

    const std::vector<NDITrackingInstrumentInfo> list = stream.trackingTargets();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "No port");
    EXPECT_EQ(list[0].port, 0);
    EXPECT_EQ(list[1].name, "Full");
    EXPECT_EQ(list[1].port, 4);
    EXPECT_EQ(log.count(Log::Warning, "NDI",
                        "Parameter 'startAfterInit' was removed as it was not used anymore"),
              1u);
    EXPECT_EQ(log.count(Log::Warning, "NDI",
                        "Parameter 'blockingInit' was removed as it was not used anymore"),
              1u);

    // A selection the empty registry cannot hold stays pending, silently.
    log.clear();
    Properties selection;
    selection.setParam("selectedInstrument", "ndi-aurora-1-610066");
    stream.configure(&selection);
    EXPECT_EQ(stream.selectedInstrument(), std::optional<std::string>("ndi-aurora-1-610066"));
    EXPECT_TRUE(log.records().empty());
}

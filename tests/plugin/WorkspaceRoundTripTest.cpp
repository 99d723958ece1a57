// A workspace of the plugin's algorithms saved by the host and loaded again:
// the same algorithms come back, with the same settings, markers and main
// instrument.
#include "LoadedNdiPlugin.h"

#include <Velantor/Algorithm.h>
#include <Velantor/OpticalTrackingInterface.h>
#include <Velantor/OpticalTrackingMarker.h>
#include <Velantor/Properties.h>
#include <Velantor/Stream.h>
#include <Velantor/Workspace.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using Velantor::Algorithm;
using Velantor::Properties;

namespace {

std::unique_ptr<Algorithm> madeStream(const std::string& id, const Properties& settings)
{
    std::string error;
    auto algorithm = ndiPluginSet().createAlgorithm(id, &error);
    EXPECT_NE(algorithm, nullptr) << error;
    if (!algorithm) return nullptr;
    algorithm->configure(&settings);
    algorithm->compute();
    EXPECT_EQ(algorithm->status(), Algorithm::Success);
    return algorithm;
}

Velantor::Stream* streamOf(const Algorithm& algorithm)
{
    return dynamic_cast<const Velantor::StreamAlgorithmBase&>(algorithm).stream();
}

std::unique_ptr<Velantor::OpticalTrackingMarker> marker(const std::string& name, double spread)
{
    auto m = std::make_unique<Velantor::OpticalTrackingMarker>(name);
    Velantor::OpticalTrackingMarker::Geometry geometry;
    for (int k = 0; k < 4; ++k)
        geometry.push_back(Eigen::Vector3d(spread * k, k % 2 ? 30.0 : 0.0, k == 3 ? 20.0 : 0.0));
    m->setGeometry(geometry);
    return m;
}

Properties configurationOf(const Algorithm& algorithm)
{
    Properties p;
    algorithm.configuration(&p);
    return p;
}

}  // namespace

TEST(WorkspaceRoundTrip, TheSameAlgorithmsMarkersAndMainInstrumentComeBack)
{
    Properties vegaSettings;
    vegaSettings.setParam("hardwareDevice", "192.168.1.20");
    vegaSettings.setParam("hardwarePort", 8766);
    vegaSettings.setParam("binaryQueryMode", false);
    auto vega = madeStream("NDITracking.PolarisVegaTrackingStream", vegaSettings);
    ASSERT_NE(vega, nullptr);
    auto* markers = dynamic_cast<Velantor::OpticalTrackingInterface*>(streamOf(*vega));
    ASSERT_NE(markers, nullptr);
    ASSERT_EQ(markers->addTrackingMarker(marker("Pointer", 40)), "ndi-polaris-100000");
    auto withId = marker("Reference", 55);
    withId->setMarkerId(7);
    ASSERT_EQ(markers->addTrackingMarker(std::move(withId)), "ndi-polaris-7");
    Properties selection;
    selection.setParam("selectedInstrument", "ndi-polaris-100000");
    vega->configure(&selection);

    Properties auroraSettings;
    auroraSettings.setParam("hardwareDevice", "/dev/ttyUSB2");
    auroraSettings.setParam("measurementRate", 3);
    auto aurora = madeStream("NDITracking.AuroraTrackingStream", auroraSettings);
    ASSERT_NE(aurora, nullptr);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const Velantor::Filesystem::Path path(dir.filePath("session.json").toStdString());
    std::string error;
    const std::vector<const Algorithm*> toSave = {vega.get(), aurora.get()};
    ASSERT_TRUE(Velantor::Workspace::save(path, toSave, &error)) << error;

    Velantor::Workspace workspace;
    ASSERT_TRUE(workspace.load(path, ndiPluginSet(), &error)) << error;
    EXPECT_TRUE(workspace.conversions().empty());
    std::vector<std::unique_ptr<Algorithm>> loaded = workspace.takeAlgorithms();
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0]->id(), "NDITracking.PolarisVegaTrackingStream");
    EXPECT_EQ(loaded[1]->id(), "NDITracking.AuroraTrackingStream");

    // Before compute the algorithms hold the stored settings; the streams
    // they make take every one of them, markers and selection included.
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        SCOPED_TRACE(loaded[i]->id());
        const Properties before = configurationOf(*toSave[i]);
        EXPECT_EQ(configurationOf(*loaded[i]), before);
        loaded[i]->compute();
        ASSERT_EQ(loaded[i]->status(), Algorithm::Success);
        EXPECT_EQ(configurationOf(*loaded[i]), before);
    }
    auto* reloaded = dynamic_cast<Velantor::OpticalTrackingInterface*>(streamOf(*loaded[0]));
    ASSERT_NE(reloaded, nullptr);
    ASSERT_NE(reloaded->trackingMarker("ndi-polaris-7"), nullptr);
    EXPECT_EQ(reloaded->trackingMarker("ndi-polaris-7")->name(), "Reference");
    EXPECT_EQ(*reloaded->trackingMarker("ndi-polaris-100000"),
              *markers->trackingMarker("ndi-polaris-100000"));
}

// The panel as the loaded plugin hands it out for its serial algorithms:
// its own class, driving the algorithm's stream on a simulated system (under
// a fixed serial name in a private mount namespace, as the panel shows the
// stream's settings, which replace other device names with auto-detection).
#include "../plugin/LoadedNdiPlugin.h"
#include "PanelTestSupport.h"

#include <device_namespace.h>

#include <ndisim/Simulator.h>

#include <Velantor/AlgorithmControllerFactory.h>
#include <Velantor/AlgorithmFactory.h>
#include <Velantor/Log.h>
#include <Velantor/Plugin.h>
#include <Velantor/Properties.h>
#include <Velantor/Stream.h>
#include <Velantor/StreamControllerBase.h>

#include <QTest>

#include <gtest/gtest.h>

using namespace paneltest;
using Velantor::Stream;

namespace {

TEST(PluginPanel, SerialAlgorithmsGetTheNdiPanelDrivingTheirStream)
{
    // Named: commas in the body would split the macro's argument.
    const auto body = [] {
        guiTestApp();
        struct Family {
            const char* algorithm;
            ndisim::Family simulated;
            const char* device;
        };
        for (const Family family :
             {Family{"NDITracking.AuroraTrackingStream", ndisim::Family::Aurora, "/dev/ttyUSB0"},
              Family{"NDITracking.PolarisVicraTrackingStream", ndisim::Family::Polaris,
                     "/dev/ttyUSB1"}}) {
            SCOPED_TRACE(family.algorithm);
            Velantor::LogCapture log(true);
            auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(family.simulated));
            auto algorithm =
                loadedNdiPlugin().plugin()->algorithmFactory()->create(family.algorithm);
            ASSERT_NE(algorithm, nullptr);
            Velantor::Properties settings;
            ndi::testsupport::bindDevice(sim->serialDevice(), family.device);
            settings.setParam("hardwareDevice", std::string(family.device));
            algorithm->configure(&settings);
            algorithm->compute();
            Stream* stream = dynamic_cast<Velantor::StreamAlgorithmBase&>(*algorithm).stream();
            ASSERT_NE(stream, nullptr);

            auto controller =
                loadedNdiPlugin().plugin()->controllerFactory()->create(algorithm.get());
            auto* panel = dynamic_cast<Velantor::StreamControllerBase*>(controller.get());
            ASSERT_NE(panel, nullptr);
            EXPECT_STREQ(panel->metaObject()->className(), "Velantor::NDITrackingController");
            panel->init();
            const PanelButtons b = buttonsOf(*panel);
            ASSERT_NE(b.connection, nullptr);
            ASSERT_NE(b.start, nullptr);
            ASSERT_NE(b.addTracker, nullptr);

            b.connection->click();
            ASSERT_TRUE(waitUntil([&] { return b.start->isEnabled(); }));
            b.start->click();
            ASSERT_TRUE(
                waitUntil([&] { return b.start->isEnabled() && b.start->text() == "Stop"; }));
            EXPECT_EQ(stream->currentState(), Stream::Running);
            b.connection->click();
            ASSERT_TRUE(
                waitUntil([&] { return b.connection->text() == QString("Open Connection"); }));
            EXPECT_EQ(stream->currentState(), Stream::Closed);
            controller.reset();
        }
    };
    NDI_IN_DEVICE_NAMESPACE(body);
}

}  // namespace

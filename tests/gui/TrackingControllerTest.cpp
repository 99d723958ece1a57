// The serial streams' panel where no device is needed: the labels of stored
// tool definitions, start or stop requests that fail or take their time
// without taking the window with them, and streams the panel cannot serve.
#include "PanelOnStream.h"
#include "PanelTestSupport.h"

#include <PolarisAuroraTrackingStream.h>

#include <Velantor/Log.h>
#include <Velantor/Properties.h>

#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace paneltest;
using AuroraStream = Velantor::PolarisAuroraTrackingStream<Velantor::NDIAurora>;
using PolarisStream = Velantor::PolarisAuroraTrackingStream<Velantor::NDIPolarisSerial>;
using Velantor::Log;
using Velantor::LogCapture;
using Velantor::NDITrackingController;
using Velantor::Properties;
using Velantor::Stream;

namespace {

const std::string& kCategory = kPanelCategory;

class TrackingController : public ::testing::Test {
protected:
    static void SetUpTestSuite() { guiTestApp(); }
};

TEST_F(TrackingController, StoredToolDefinitionsAreLabelledWithThePortOnlyForAurora)
{
    Properties stored;
    Properties& targets = stored.addSubProperties("TrackingTargets");
    Properties& reference = targets.addSubProperties("Reference");
    reference.setParam("Path", "/data/reference.rom");
    reference.setParam("Port", 3);
    targets.addSubProperties("No path").setParam("Port", 4);

    struct Case {
        const char* name;
        std::function<std::unique_ptr<Velantor::NDITrackingStream>()> make;
        QStringList labels;
    };
    const Case cases[] = {
        {"Aurora",
         [] { return std::make_unique<AuroraStream>("stored"); },
         {"Instrument Geometry: Reference   Port: 3"}},
        {"Polaris Vicra/Spectra",
         [] { return std::make_unique<PolarisStream>("stored"); },
         {"Instrument Geometry: Reference"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto stream = c.make();
        stream->configure(&stored);
        Panel<Velantor::NDITrackingStream> p(std::move(stream));
        EXPECT_EQ(geometryLabels(p.panel), c.labels);
    }
}

TEST_F(TrackingController, AFailedStartOrStopIsLoggedAndThePanelStaysUsable)
{
    struct Case {
        const char* name;
        bool failStart;
        const char* errorText;
        QString startTextAfter;
    };
    const Case cases[] = {
        {"start throws", true, "lamp failure", "Start"},
        {"stop throws", false, "line dropped", "Start"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log(true);
        Panel<ControlledStream> p(std::make_unique<ControlledStream>());
        p.stream->throwOnStart = c.failStart;
        p.stream->throwOnStop = !c.failStart;
        p.buttons.connection->click();
        ASSERT_TRUE(waitUntil([&] { return p.buttons.start->isEnabled(); }));
        if (!c.failStart) {
            p.buttons.start->click();
            ASSERT_TRUE(waitUntil(
                [&] { return p.buttons.start->isEnabled() && p.buttons.start->text() == "Stop"; }));
        }
        p.buttons.start->click();
        const auto errorLogged = [&] {
            for (const Velantor::LogRecord& r : log.records())
                if (r.level == Log::Error && r.category == kCategory &&
                    r.message.find(c.errorText) != std::string::npos)
                    return true;
            return false;
        };
        ASSERT_TRUE(waitUntil([&] { return errorLogged(); }));
        // The stream is open and not tracking either way, and the panel says so.
        ASSERT_TRUE(waitUntil([&] { return p.buttons.start->isEnabled(); }));
        EXPECT_EQ(p.stream->currentState(), Stream::Open);
        EXPECT_EQ(p.buttons.start->text(), c.startTextAfter);
        EXPECT_EQ(p.buttons.connection->text(), "Close Connection");
    }
}

TEST_F(TrackingController, ASlowStartLeavesTheWindowResponsive)
{
    LogCapture log(true);
    Panel<ControlledStream> p(std::make_unique<ControlledStream>());
    p.stream->holdStart = true;
    p.buttons.connection->click();
    ASSERT_TRUE(waitUntil([&] { return p.buttons.start->isEnabled(); }));

    // If the click waited for the request it would return only after the
    // held start gave up, and the start would be finished by then.
    p.buttons.start->click();
    ASSERT_TRUE(waitUntil([&] { return p.stream->startEntered.load(); }));
    EXPECT_FALSE(p.stream->startFinished);
    // The window keeps handling events meanwhile, without offering a second start.
    QTest::qWait(20);
    EXPECT_FALSE(p.stream->startFinished);
    EXPECT_FALSE(p.buttons.start->isEnabled());

    p.stream->release();
    ASSERT_TRUE(waitUntil(
        [&] { return p.buttons.start->isEnabled() && p.buttons.start->text() == "Stop"; }));
    EXPECT_EQ(p.stream->currentState(), Stream::Running);
}

TEST_F(TrackingController, OtherNdiStreamsGetNoToolRegistration)
{
    LogCapture log(true);
    Panel<ControlledStream> p(std::make_unique<ControlledStream>());
    p.buttons.addTracker->click();
    EXPECT_TRUE(log.contains(Log::Warning, kCategory,
                             "Tool registration only available for Polaris and Aurora tracking "
                             "systems."));
    EXPECT_TRUE(geometryLabels(p.panel).isEmpty());
}

TEST_F(TrackingController, APanelWithoutAnNdiStreamStaysEmpty)
{
    LogCapture log(true);
    OwningAlgorithm algorithm(nullptr);
    NDITrackingController panel(&algorithm);
    panel.init();
    EXPECT_EQ(buttonsOf(panel).connection, nullptr);
    std::size_t errors = 0;
    for (const Velantor::LogRecord& r : log.records())
        errors += r.level == Log::Error && r.category == kCategory;
    EXPECT_EQ(errors, 1u);
}

}  // namespace

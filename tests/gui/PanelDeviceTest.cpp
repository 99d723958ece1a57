// The serial streams' panel over real streams on simulated systems (Aurora
// and Polaris Vicra/Spectra on pseudo-terminals): buttons driven by clicks
// through a whole session, and tool definitions added through the file
// dialog and the ROM dialog reaching the stream at its next open.
//
// The terminals appear under the fixed serial names inside a private mount
// namespace: the panel shows the stream's settings, and a stream's settings
// replace a device outside those names with auto-detection.
#include "../streams/StreamTestSupport.h"
#include "PanelOnStream.h"
#include "PanelTestSupport.h"

#include <ROMLoadingDialog.h>
#include <device_namespace.h>

#include <Velantor/Log.h>
#include <Velantor/QtHelpers.h>

#include <QFileInfo>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace paneltest;
using streamtest::AuroraStream;
using streamtest::PolarisStream;
using streamtest::romImage;
using streamtest::TempFile;
using Velantor::Log;
using Velantor::LogCapture;
using Velantor::Stream;
namespace QtHelpers = Velantor::QtHelpers;

namespace {

const std::string& kCategory = kPanelCategory;

struct Family {
    const char* name;
    ndisim::Family simulated;
    bool aurora;
    const char* device;
};
const Family kFamilies[] = {
    {"Aurora", ndisim::Family::Aurora, true, "/dev/ttyUSB0"},
    {"Polaris Vicra/Spectra", ndisim::Family::Polaris, false, "/dev/ttyUSB1"},
};

// The simulated system's terminal as the fixed serial name `name`, and a
// stream set to it.
template <class S>
std::unique_ptr<S> streamOn(const ndisim::Simulator& sim, const std::string& name)
{
    ndi::testsupport::bindDevice(sim.serialDevice(), name);
    auto stream = std::make_unique<S>("panel stream");
    stream->setHardwareDevice(name);
    return stream;
}

// The whole session by clicks: each step checks both buttons' texts and
// whether each control is offered.
template <class S>
void clickThroughASession(Panel<S>& p)
{
    PanelButtons& b = p.buttons;
    ASSERT_NE(b.connection, nullptr);
    ASSERT_NE(b.start, nullptr);
    ASSERT_NE(b.addTracker, nullptr);
    EXPECT_EQ(b.connection->text(), "Open Connection");
    EXPECT_EQ(b.start->text(), "Start");
    EXPECT_FALSE(b.start->isEnabled());
    EXPECT_TRUE(b.addTracker->isEnabled());

    b.connection->click();
    ASSERT_TRUE(waitUntil([&] { return b.connection->text() == QString("Close Connection"); }));
    EXPECT_TRUE(b.start->isEnabled());
    EXPECT_EQ(b.start->text(), "Start");
    EXPECT_FALSE(b.addTracker->isEnabled());

    b.start->click();
    // Not offered again until the stream has answered the request.
    EXPECT_FALSE(b.start->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return b.start->isEnabled() && b.start->text() == "Stop"; }));
    EXPECT_EQ(p.stream->currentState(), Stream::Running);
    EXPECT_EQ(b.connection->text(), "Close Connection");
    EXPECT_FALSE(b.addTracker->isEnabled());

    b.start->click();
    EXPECT_FALSE(b.start->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return b.start->isEnabled() && b.start->text() == "Start"; }));
    EXPECT_EQ(p.stream->currentState(), Stream::Open);

    b.connection->click();
    ASSERT_TRUE(waitUntil([&] { return b.connection->text() == QString("Open Connection"); }));
    EXPECT_FALSE(b.start->isEnabled());
    EXPECT_TRUE(b.addTracker->isEnabled());
    EXPECT_EQ(p.stream->currentState(), Stream::Closed);
}

TEST(PanelOnDevice, ButtonsDriveAndFollowTheStreamThroughASession)
{
    // Named: commas in the body would split the macro's argument.
    const auto body = [] {
        guiTestApp();
        for (const Family& family : kFamilies) {
            SCOPED_TRACE(family.name);
            auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(family.simulated));
            LogCapture log(true);
            if (family.aurora) {
                Panel<AuroraStream> p(streamOn<AuroraStream>(*sim, family.device));
                EXPECT_STREQ(p.panel.metaObject()->className(), "Velantor::NDITrackingController");
                clickThroughASession(p);
            } else {
                Panel<PolarisStream> p(streamOn<PolarisStream>(*sim, family.device));
                clickThroughASession(p);
            }
        }
    };
    NDI_IN_DEVICE_NAMESPACE(body);
}

TEST(PanelOnDevice, APolarisToolIsRegisteredOnlyWhenAFileWasChosen)
{
    // Named: commas in the body would split the macro's argument.
    const auto body = [] {
        guiTestApp();
        auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Polaris));
        TempFile rom("panel-pointer.rom", romImage("8700340"));
        const QString romFileName = QFileInfo(QString::fromStdString(rom.path())).fileName();
        LogCapture log(true);
        Panel<PolarisStream> p(streamOn<PolarisStream>(*sim, "/dev/ttyUSB1"));

        struct Asked {
            QWidget* parent = nullptr;
            QString category, caption, filter;
        } asked;
        for (const QString& answer : {QString(), QString::fromStdString(rom.path())}) {
            QtHelpers::ScopedOpenFilenameOverride chooser(
                [&](QWidget* parent, const QString& category, const QString& caption,
                    const QString& filter, QString*, const QString&, QWidget*,
                    QFileDialog::Options) {
                    asked = {parent, category, caption, filter};
                    return answer;
                });
            p.buttons.addTracker->click();
            EXPECT_EQ(asked.parent, &p.panel);
            EXPECT_EQ(asked.category, "Tracker");
            EXPECT_EQ(asked.caption, "Select Geometry file");
            EXPECT_EQ(asked.filter, "Geometry files (*.rom)");
        }
        // The cancelled choice left nothing behind; the chosen file is one tool.
        const auto targets = p.stream->trackingTargets();
        ASSERT_EQ(targets.size(), 1u);
        EXPECT_EQ(targets[0].name, romFileName.toStdString());
        EXPECT_EQ(targets[0].romPath, rom.path());
        EXPECT_EQ(targets[0].port, 1);
        EXPECT_EQ(targets[0].portHandle, -1);
        EXPECT_EQ(geometryLabels(p.panel), QStringList{"Instrument Geometry: " + romFileName});

        p.buttons.connection->click();
        ASSERT_TRUE(
            waitUntil([&] { return p.buttons.connection->text() == QString("Close Connection"); }));
        EXPECT_TRUE(p.stream->trackingInstruments()->find("ndi-polaris-8700340").has_value());
    };
    NDI_IN_DEVICE_NAMESPACE(body);
}

TEST(PanelOnDevice, AnAuroraToolIsRegisteredOnlyFromAnAcceptedDialogWithAnExistingFile)
{
    // Named: commas in the body would split the macro's argument.
    const auto body = [] {
        guiTestApp();
        auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
        TempFile rom("panel-aurora-ref.rom", romImage("610099"));
        const QString romPath = QString::fromStdString(rom.path());
        const QString romFileName = QFileInfo(romPath).fileName();
        Panel<AuroraStream> p(streamOn<AuroraStream>(*sim, "/dev/ttyUSB0"));

        struct Case {
            const char* name;
            QString path;
            int port;
            bool accept;
            bool registered;
            int logLevel;  // 0: nothing from the panel
            std::string logText;
        };
        const Case cases[] = {
            {"rejected", romPath, 2, false, false, 0, ""},
            {"missing file", "/nonexistent/panel-tool.rom", 2, true, false, Log::Error,
             "Failed to add instrument geometry"},
            {"no file at all", "", 2, true, false, Log::Error, "Failed to add instrument geometry"},
            {"a directory", "/tmp", 2, true, false, Log::Error,
             "Failed to add instrument geometry"},
            {"accepted", romPath, 1, true, true, Log::Info,
             "Loaded rom file : " + rom.path() + "For port: 1"},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            LogCapture log(true);
            const std::size_t targetsBefore = p.stream->trackingTargets().size();
            const int labelsBefore = geometryLabels(p.panel).size();
            answerNextModalDialog([&](QDialog& dialog) {
                EXPECT_NE(qobject_cast<Velantor::ROMLoadingDialog*>(&dialog), nullptr);
                dialog.findChild<QLineEdit*>("romPath")->setText(c.path);
                dialog.findChild<QSpinBox*>("port")->setValue(c.port);
                if (c.accept)
                    dialog.findChild<QPushButton*>("okButton")->click();
                else
                    QTest::keyClick(&dialog, Qt::Key_Escape);
            });
            p.buttons.addTracker->click();
            EXPECT_EQ(p.stream->trackingTargets().size(), targetsBefore + (c.registered ? 1 : 0));
            EXPECT_EQ(geometryLabels(p.panel).size(), labelsBefore + (c.registered ? 1 : 0));
            const std::vector<std::string> panelLog = log.messages(kCategory);
            if (c.logLevel == 0) {
                EXPECT_TRUE(panelLog.empty());
            } else {
                EXPECT_EQ(panelLog, std::vector<std::string>{c.logText});
                EXPECT_TRUE(log.contains(c.logLevel, kCategory, c.logText));
            }
        }

        const auto targets = p.stream->trackingTargets();
        ASSERT_EQ(targets.size(), 1u);
        EXPECT_EQ(targets[0].name, romFileName.toStdString());
        EXPECT_EQ(targets[0].romPath, rom.path());
        EXPECT_EQ(targets[0].port, 1);
        EXPECT_EQ(targets[0].portHandle, -1);
        EXPECT_EQ(geometryLabels(p.panel),
                  QStringList{"Instrument Geometry: " + romFileName + "   Port: 1"});

        // At the next open the tool on port 1 takes the registered name and ROM.
        LogCapture quiet(true);
        p.buttons.connection->click();
        ASSERT_TRUE(
            waitUntil([&] { return p.buttons.connection->text() == QString("Close Connection"); }));
        const auto instrument = p.stream->trackingInstruments()->find("ndi-aurora-1-610099");
        ASSERT_TRUE(instrument.has_value());
        EXPECT_EQ(instrument->id.name(), romFileName.toStdString());
    };
    NDI_IN_DEVICE_NAMESPACE(body);
}

}  // namespace

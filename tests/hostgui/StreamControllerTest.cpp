// The panels' base over a real stream: the standard panel's buttons drive
// and follow the stream, an edit reaches the stream as exactly the changed
// setting, a derived panel's own editor is kept in step, and the optical
// panel adds and removes markers through the replaceable file dialog.
#include "GuiTestApp.h"
#include "TestStreams.h"

#include <Velantor/Log.h>
#include <Velantor/OpticalTrackingMarkerIO.h>
#include <Velantor/OpticalTrackingStreamController.h>
#include <Velantor/QtHelpers.h>
#include <Velantor/StreamControllerBase.h>
#include <Velantor/TrackingInstrumentTable.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace Velantor;

namespace {

void typeInto(QWidget* editor, const QString& text)
{
    auto* edit = qobject_cast<QLineEdit*>(editor);
    ASSERT_NE(edit, nullptr);
    edit->clear();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

class StreamControllerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { guiTestApp(); }
    void SetUp() override
    {
        algorithm.compute();
        stream = algorithm.poseStream();
    }
    PoseAlgorithm algorithm;
    PoseStream* stream = nullptr;
};

TEST_F(StreamControllerTest, StandardPanelButtonsDriveAndFollowTheStream)
{
    StreamControllerBase panel(&algorithm, true);
    EXPECT_EQ(panel.findChild<QPushButton*>("connectionButton"), nullptr);  // nothing before init
    panel.init();
    EXPECT_EQ(panel.stream(), stream);
    auto* connection = panel.findChild<QPushButton*>("connectionButton");
    auto* start = panel.findChild<QPushButton*>("startButton");
    ASSERT_NE(connection, nullptr);
    ASSERT_NE(start, nullptr);
    ASSERT_NE(panel.propertiesWidget(), nullptr);
    ASSERT_NE(panel.findChild<TrackingInstrumentTable*>(), nullptr);
    EXPECT_EQ(panel.findChild<TrackingInstrumentTable*>()->options(), 7);
    EXPECT_EQ(connection->text(), "Open Connection");
    EXPECT_EQ(start->text(), "Start");
    EXPECT_FALSE(start->isEnabled());

    connection->click();
    ASSERT_EVENTUALLY_EQ(connection->text(), QString("Close Connection"));
    EXPECT_TRUE(start->isEnabled());
    start->click();
    ASSERT_EVENTUALLY_EQ(start->text(), QString("Stop"));
    start->click();
    ASSERT_EVENTUALLY_EQ(start->text(), QString("Start"));
    connection->click();
    ASSERT_EVENTUALLY_EQ(connection->text(), QString("Open Connection"));
    EXPECT_EQ(stream->currentState(), Stream::Closed);
}

TEST_F(StreamControllerTest, AnEditReachesTheStreamAsOnlyTheChangedSetting)
{
    Properties stored;
    stored.addSubProperties("TrackingTargets")
        .addSubProperties("tool.rom")
        .setParam("Path", "/r/tool.rom");
    stream->configure(&stored);

    StreamControllerBase panel(&algorithm, true);
    panel.init();
    PropertiesWidget* editor = panel.propertiesWidget();
    ASSERT_NE(editor, nullptr);
    ASSERT_NE(editor->editor("hardwareDevice"), nullptr);
    EXPECT_EQ(qobject_cast<QLineEdit*>(editor->editor("hardwareDevice"))->text(), "auto");
    const std::size_t before = stream->configuredBlocks().size();

    // The stream cleans "bad" to "": the editor must show what it accepted.
    typeInto(editor->editor("hardwareDevice"), "bad");
    auto blocks = stream->configuredBlocks();
    ASSERT_EQ(blocks.size(), before + 1);
    EXPECT_EQ(blocks.back().paramNames(), std::vector<std::string>{"hardwareDevice"});
    EXPECT_EQ(blocks.back().subProperties("TrackingTargets"),
              nullptr);  // the tool list is not re-applied
    EXPECT_EQ(blocks.back().paramAttributes("hardwareDevice").size(), 2u);
    EXPECT_EQ(qobject_cast<QLineEdit*>(panel.propertiesWidget()->editor("hardwareDevice"))->text(),
              "");

    qobject_cast<QComboBox*>(panel.propertiesWidget()->editor("maxRange"))->setCurrentIndex(1);
    blocks = stream->configuredBlocks();
    ASSERT_EQ(blocks.size(), before + 2);
    EXPECT_EQ(blocks.back().paramNames(), std::vector<std::string>{"maxRange"});
    EXPECT_EQ(blocks.back().paramType("maxRange"), PropertiesDetail::EnumIndex);
    Properties now;
    stream->configuration(&now);
    int range = 0;
    EXPECT_TRUE(now.param("maxRange", range));
    EXPECT_EQ(range, 1);
    ASSERT_NE(now.subProperties("TrackingTargets"), nullptr);
    EXPECT_EQ(now.subProperties("TrackingTargets")->subProperties().size(), 1u);

    // A stream that throws is reported, and the editor goes back to its value.
    LogCapture log(true);
    typeInto(panel.propertiesWidget()->editor("hardwareDevice"), "throw");
    EXPECT_TRUE(log.contains(Log::Error, "StreamControllerBase",
                             "Applying the changed settings failed: refused"));
    EXPECT_EQ(qobject_cast<QLineEdit*>(panel.propertiesWidget()->editor("hardwareDevice"))->text(),
              "");
}

// A panel that builds its own widgets, the way a plugin's panel does.
class OwnPanel : public StreamControllerBase {
public:
    explicit OwnPanel(Algorithm* a) : StreamControllerBase(a, false) {}
    void init() override
    {
        StreamControllerBase::init();
        editor = new PropertiesWidget(nullptr, this, this);
        connect(editor, &PropertiesWidget::parameterChanged, this,
                &StreamControllerBase::onParameterChanged);
        updatePropertiesWidget();
    }
    PropertiesWidget* editor = nullptr;
};

TEST_F(StreamControllerTest, DerivedPanelsOwnEditorIsKeptInStep)
{
    auto panel = std::make_unique<OwnPanel>(&algorithm);
    panel->init();
    EXPECT_EQ(panel->findChild<QPushButton*>("connectionButton"), nullptr);
    EXPECT_EQ(panel->propertiesWidget(), panel->editor);
    ASSERT_NE(panel->editor->editor("hardwareDevice"), nullptr);

    typeInto(panel->editor->editor("hardwareDevice"), "/dev/ttyS1");
    Properties now;
    stream->configuration(&now);
    std::string device;
    EXPECT_TRUE(now.param("hardwareDevice", device));
    EXPECT_EQ(device, "/dev/ttyS1");
    panel.reset();  // the editor outlives the base's members: must not touch them
}

TEST_F(StreamControllerTest, OpticalPanelAddsAndRemovesMarkersWhileClosed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString image = dir.filePath("pointer.rom");
    OpticalTrackingMarker marker("pointer", std::nullopt,
                                 {{0, 0, 0}, {50, 0, 0}, {0, 80, 0}, {30, 40, 10}});
    ASSERT_TRUE(OpticalTrackingMarkerIO::saveToFile(marker, image.toStdString()));

    OpticalTrackingStreamController panel(&algorithm);
    panel.init();
    auto* add = panel.findChild<QPushButton*>("addMarkerButton");
    auto* remove = panel.findChild<QPushButton*>("removeMarkerButton");
    auto* table = panel.findChild<TrackingInstrumentTable*>();
    ASSERT_NE(add, nullptr);
    ASSERT_NE(remove, nullptr);
    ASSERT_NE(table, nullptr);
    EXPECT_TRUE(add->isEnabled());

    QString answer = image;
    QString category;
    QtHelpers::ScopedOpenFilenameOverride chooser([&](QWidget*, const QString& cat, const QString&,
                                                      const QString&, QString*, const QString&,
                                                      QWidget*, QFileDialog::Options) {
        category = cat;
        return answer;
    });
    add->click();
    EXPECT_EQ(category, "Tracker");
    ASSERT_EVENTUALLY_EQ(table->rowCount(), 1);
    EXPECT_EQ(table->item(0, TrackingInstrumentTable::NameColumn)->text(), "pointer");

    answer.clear();  // cancelled: nothing added
    add->click();
    EXPECT_EQ(stream->registry().size(), 1u);

    table->selectRow(0);
    remove->click();
    ASSERT_EVENTUALLY_EQ(table->rowCount(), 0);

    ASSERT_TRUE(stream->openAsync().get());
    ASSERT_EVENTUALLY_TRUE(!add->isEnabled());
    EXPECT_FALSE(remove->isEnabled());
    ASSERT_TRUE(stream->closeAsync().get());
    ASSERT_EVENTUALLY_TRUE(add->isEnabled());
}

}  // namespace

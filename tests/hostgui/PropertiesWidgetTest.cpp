// The properties editor against a block shaped like a device stream's
// settings: what each kind of parameter is shown as, and that user edits land
// in the block (type and attributes kept) and are announced by key.
#include "GuiTestApp.h"

#include <Velantor/PropertiesWidget.h>
#include <Velantor/QtHelpers.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

using namespace Velantor;
using PropertiesDetail::Attribute;

namespace {

Properties deviceSettings()
{
    Properties p("settings");
    p.setParam("hardwareDevice", "auto");
    p.setParamAttributes("hardwareDevice",
                         {Attribute("label", "COM port"), Attribute("tooltip", "Auto-detect")});
    p.setParam("hardwarePort", 8765);
    p.setParam("binaryQueryMode", true);
    p.setParam("scale", 0.5);
    p.setParam("maxRange", 1);
    p.setParamType("maxRange", PropertiesDetail::EnumIndex);
    p.setParamAttributes("maxRange", {Attribute("values", "Small, Medium, Large")});
    p.setParam("selectedInstrument", "tool0");
    p.setParamAttributes("selectedInstrument", {Attribute("hidden", "true")});
    p.setParam("geometry", std::vector<double>{1, 2.5, -3});
    p.setParam("romFile", "/tmp/a.rom");
    p.setParamType("romFile", PropertiesDetail::Path);
    p.addSubProperties("TrackingTargets").setParam("Path", "x.rom");
    return p;
}

QString labelText(const PropertiesWidget& w, const std::string& key)
{
    auto* label = qobject_cast<QLabel*>(w.labelWidget(key));
    return label ? label->text() : QStringLiteral("<none>");
}

// Commits the text of a line edit as a user would: type it and press Return.
void typeInto(QWidget* editor, const QString& text)
{
    auto* edit = qobject_cast<QLineEdit*>(editor);
    ASSERT_NE(edit, nullptr);
    edit->clear();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

class PropertiesWidgetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { guiTestApp(); }
};

TEST_F(PropertiesWidgetTest, ShowsEachKindOfParameter)
{
    Properties p = deviceSettings();
    PropertiesWidget w(&p);
    w.setSplitCamelCase(true);

    EXPECT_NE(qobject_cast<QLineEdit*>(w.editor("hardwareDevice")), nullptr);
    EXPECT_EQ(qobject_cast<QLineEdit*>(w.editor("hardwareDevice"))->text(), "auto");
    EXPECT_EQ(labelText(w, "hardwareDevice"), "COM port");  // a label wins over the key
    EXPECT_EQ(w.editor("hardwareDevice")->toolTip(), "Auto-detect");
    EXPECT_EQ(w.labelWidget("hardwareDevice")->toolTip(), "Auto-detect");

    auto* port = qobject_cast<QSpinBox*>(w.editor("hardwarePort"));
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->value(), 8765);
    EXPECT_EQ(labelText(w, "hardwarePort"), "Hardware Port");

    auto* binary = qobject_cast<QCheckBox*>(w.editor("binaryQueryMode"));
    ASSERT_NE(binary, nullptr);
    EXPECT_TRUE(binary->isChecked());
    EXPECT_EQ(labelText(w, "binaryQueryMode"), "Binary Query Mode");

    EXPECT_EQ(qobject_cast<QLineEdit*>(w.editor("scale"))->text(), "0.5");

    auto* range = qobject_cast<QComboBox*>(w.editor("maxRange"));
    ASSERT_NE(range, nullptr);
    ASSERT_EQ(range->count(), 3);
    EXPECT_EQ(range->itemText(0), "Small");
    EXPECT_EQ(range->itemText(2), "Large");
    EXPECT_EQ(range->currentIndex(), 1);
    EXPECT_EQ(labelText(w, "maxRange"), "Max Range");

    auto* geometry = qobject_cast<QLabel*>(w.editor("geometry"));
    ASSERT_NE(geometry, nullptr);  // lists are shown, not edited
    EXPECT_EQ(geometry->text(), "1 2.5 -3");

    EXPECT_NE(w.findChild<QToolButton*>("romFile.browse"), nullptr);

    EXPECT_EQ(w.editor("selectedInstrument"), nullptr);
    EXPECT_EQ(w.findChild<QWidget*>("selectedInstrument"), nullptr);
    EXPECT_EQ(w.editor("TrackingTargets"), nullptr);
    EXPECT_EQ(w.findChild<QWidget*>("Path"), nullptr);

    // Without splitting, the key itself is the label.
    w.setSplitCamelCase(false);
    EXPECT_EQ(labelText(w, "maxRange"), "maxRange");
}

TEST_F(PropertiesWidgetTest, SplitsCamelCase)
{
    const std::pair<const char*, const char*> cases[] = {
        {"maxRange", "Max Range"},
        {"measurementRate", "Measurement Rate"},
        {"hardwareIPPort", "Hardware IP Port"},
        {"IPAddress", "IP Address"},
        {"port2Name", "Port2 Name"},
        {"x", "X"},
        {"", ""},
    };
    for (const auto& [key, shown] : cases)
        EXPECT_EQ(PropertiesWidget::displayName(key, true), shown) << key;
    EXPECT_EQ(PropertiesWidget::displayName("maxRange", false), "maxRange");
}

TEST_F(PropertiesWidgetTest, UserEditsAreWrittenBackAndAnnouncedByKey)
{
    Properties p = deviceSettings();
    PropertiesWidget w(&p);
    QSignalSpy spy(&w, &PropertiesWidget::parameterChanged);

    typeInto(w.editor("hardwareDevice"), "/dev/ttyUSB0");
    std::string device;
    EXPECT_TRUE(p.param("hardwareDevice", device));
    EXPECT_EQ(device, "/dev/ttyUSB0");
    // The edit keeps the parameter's attributes.
    EXPECT_EQ(p.paramAttributes("hardwareDevice").size(), 2u);

    qobject_cast<QSpinBox*>(w.editor("hardwarePort"))->setValue(9000);
    std::int64_t port = 0;
    EXPECT_TRUE(p.param("hardwarePort", port));
    EXPECT_EQ(port, 9000);

    qobject_cast<QCheckBox*>(w.editor("binaryQueryMode"))->click();
    bool binary = true;
    EXPECT_TRUE(p.param("binaryQueryMode", binary));
    EXPECT_FALSE(binary);

    qobject_cast<QComboBox*>(w.editor("maxRange"))->setCurrentIndex(2);
    std::int64_t range = 0;
    EXPECT_TRUE(p.param("maxRange", range));
    EXPECT_EQ(range, 2);
    EXPECT_EQ(p.paramType("maxRange"), PropertiesDetail::EnumIndex);
    std::string values;
    EXPECT_TRUE(p.paramAttribute("maxRange", "values", values));

    typeInto(w.editor("scale"), "1.25");
    double scale = 0;
    EXPECT_TRUE(p.param("scale", scale));
    EXPECT_EQ(scale, 1.25);

    ASSERT_EQ(spy.count(), 5);
    const char* keys[] = {"hardwareDevice", "hardwarePort", "binaryQueryMode", "maxRange", "scale"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(spy.at(i).at(0).value<std::string>(), keys[i]);
    const std::vector<std::string> changed = w.takeChangedKeys();
    EXPECT_EQ(changed, std::vector<std::string>(std::begin(keys), std::end(keys)));
    EXPECT_TRUE(w.takeChangedKeys().empty());
}

TEST_F(PropertiesWidgetTest, RejectsInputThatWouldCorruptAValue)
{
    Properties p = deviceSettings();
    p.setParam("maxRange", 7);  // no such choice
    p.setParam("counter", std::numeric_limits<std::int64_t>::max());
    p.setParam("level", "high");
    p.setParamType("level", PropertiesDetail::Int);
    PropertiesWidget w(&p);
    QSignalSpy spy(&w, &PropertiesWidget::parameterChanged);

    // A stored index outside the choices selects nothing and is not rewritten.
    EXPECT_EQ(qobject_cast<QComboBox*>(w.editor("maxRange"))->currentIndex(), -1);
    // Values a spin box cannot hold are shown as they are, not clamped.
    EXPECT_EQ(qobject_cast<QLabel*>(w.editor("counter"))->text(), "9223372036854775807");
    EXPECT_EQ(qobject_cast<QLabel*>(w.editor("level"))->text(), "high");

    // Text that is not a finite number goes back to the stored value.
    for (const char* bad : {"abc", "nan", "inf", ""}) {
        typeInto(w.editor("scale"), bad);
        EXPECT_EQ(qobject_cast<QLineEdit*>(w.editor("scale"))->text(), "0.5") << bad;
    }
    // Committing the value already stored announces nothing.
    typeInto(w.editor("hardwareDevice"), "auto");
    EXPECT_EQ(spy.count(), 0);
    std::int64_t range = 0, counter = 0;
    EXPECT_TRUE(p.param("maxRange", range));
    EXPECT_EQ(range, 7);
    EXPECT_TRUE(p.param("counter", counter));
    EXPECT_EQ(counter, std::numeric_limits<std::int64_t>::max());
}

TEST_F(PropertiesWidgetTest, RefreshFollowsTheBlockEvenFromInsideItsOwnSignal)
{
    Properties p = deviceSettings();
    PropertiesWidget w(&p);
    QWidget* deviceEditor = w.editor("hardwareDevice");

    // Same parameters, new values: the editors stay and show them.
    p.setParam("hardwarePort", 1234);
    w.refresh();
    EXPECT_EQ(w.editor("hardwareDevice"), deviceEditor);
    EXPECT_EQ(qobject_cast<QSpinBox*>(w.editor("hardwarePort"))->value(), 1234);

    // A listener that reshapes the block while the editor's own signal is
    // still running (a combo box goes on announcing its change after our slot
    // returns): that editor must survive until control is back in the loop.
    QObject::connect(&w, &PropertiesWidget::parameterChanged, &w, [&](std::string) {
        p.removeParam("scale");
        p.setParam("hardwareDevice", "normalised");
        p.setParamAttributes("hardwareDevice", {Attribute("label", "Device")});
        w.refresh();
    });
    qobject_cast<QComboBox*>(w.editor("maxRange"))->setCurrentIndex(2);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(w.editor("scale"), nullptr);
    ASSERT_NE(w.editor("hardwareDevice"), nullptr);
    EXPECT_NE(w.editor("hardwareDevice"), deviceEditor);
    EXPECT_EQ(qobject_cast<QLineEdit*>(w.editor("hardwareDevice"))->text(), "normalised");
    EXPECT_EQ(labelText(w, "hardwareDevice"), "Device");
    std::int64_t range = 0;
    EXPECT_TRUE(p.param("maxRange", range));
    EXPECT_EQ(range, 2);
}

TEST_F(PropertiesWidgetTest, PathIsChosenWithTheReplaceableFileDialog)
{
    Properties p = deviceSettings();
    QWidget dialogOwner;
    PropertiesWidget w(&p, nullptr, &dialogOwner);
    QString answer = "/data/tool.rom";
    QWidget* parentSeen = nullptr;
    QtHelpers::ScopedOpenFilenameOverride chooser(
        [&](QWidget* parent, const QString&, const QString&, const QString&, QString*,
            const QString&, QWidget*, QFileDialog::Options) {
            parentSeen = parent;
            return answer;
        });
    auto* browse = w.findChild<QToolButton*>("romFile.browse");
    ASSERT_NE(browse, nullptr);

    QTest::mouseClick(browse, Qt::LeftButton);
    std::string path;
    EXPECT_TRUE(p.param("romFile", path));
    EXPECT_EQ(path, "/data/tool.rom");
    EXPECT_EQ(parentSeen, &dialogOwner);
    EXPECT_EQ(w.takeChangedKeys(), std::vector<std::string>{"romFile"});

    answer.clear();  // cancelled: the path stays
    QTest::mouseClick(browse, Qt::LeftButton);
    EXPECT_TRUE(p.param("romFile", path));
    EXPECT_EQ(path, "/data/tool.rom");
    EXPECT_TRUE(w.takeChangedKeys().empty());
}

}  // namespace

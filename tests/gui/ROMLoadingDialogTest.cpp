// The dialog that asks for a tool-definition file and its Aurora port: what
// a fresh one reports, the port's range, the file choice replacing the path,
// and how it closes.
#include "PanelTestSupport.h"

#include <ROMLoadingDialog.h>

#include <Velantor/QtHelpers.h>

#include <QLineEdit>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

using Velantor::ROMLoadingDialog;
namespace QtHelpers = Velantor::QtHelpers;

namespace {

class RomDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite() { guiTestApp(); }
    QLineEdit* path() { return dialog.findChild<QLineEdit*>("romPath"); }
    QSpinBox* port() { return dialog.findChild<QSpinBox*>("port"); }
    QPushButton* button(const char* name) { return dialog.findChild<QPushButton*>(name); }

    ROMLoadingDialog dialog;
};

TEST_F(RomDialog, StartsWithPortOneAndNoPath)
{
    EXPECT_EQ(dialog.windowTitle(), "Load Geometry from ROM file");
    EXPECT_EQ(dialog.port(), 1);
    EXPECT_EQ(dialog.romFilepath().filePath(), QString());
    ASSERT_NE(button("browseButton"), nullptr);
    ASSERT_NE(button("okButton"), nullptr);
    EXPECT_EQ(button("browseButton")->text(), "...");
    EXPECT_EQ(button("okButton")->text(), "OK");
    QStringList labels;
    for (QLabel* label : dialog.findChildren<QLabel*>()) labels << label->text();
    EXPECT_EQ(labels, (QStringList{"ROM Geometry File:", "Port:"}));
}

TEST_F(RomDialog, PortStaysWithinOneToSixteen)
{
    ASSERT_NE(port(), nullptr);
    struct Case {
        int set;
        int expected;
    };
    for (const Case c : {Case{0, 1}, Case{1, 1}, Case{16, 16}, Case{17, 16}, Case{3, 3}}) {
        port()->setValue(c.set);
        EXPECT_EQ(dialog.port(), c.expected) << "set " << c.set;
    }
    // Typed by hand, 17 is refused at its second digit.
    port()->setValue(5);
    port()->selectAll();
    QTest::keyClicks(port(), "17");
    QTest::keyClick(port(), Qt::Key_Tab);
    EXPECT_EQ(dialog.port(), 1);
}

TEST_F(RomDialog, BrowsingReplacesThePathWithTheAnswerEvenAnEmptyOne)
{
    ASSERT_NE(path(), nullptr);
    struct Asked {
        QWidget* parent = nullptr;
        QString category, caption, filter, dir;
        QString* selectedFilter = nullptr;
        QWidget* extraWidget = nullptr;
    } asked;
    for (const QString& answer : {QString("/data/tools/probe 1.rom"), QString()}) {
        path()->setText("typed.rom");
        QtHelpers::ScopedOpenFilenameOverride chooser(
            [&](QWidget* parent, const QString& category, const QString& caption,
                const QString& filter, QString* selectedFilter, const QString& dir,
                QWidget* extraWidget, QFileDialog::Options) {
                asked = {parent, category, caption, filter, dir, selectedFilter, extraWidget};
                return answer;
            });
        button("browseButton")->click();
        EXPECT_EQ(path()->text(), answer);
        EXPECT_EQ(dialog.romFilepath().filePath(), answer);
        EXPECT_EQ(asked.parent, &dialog);
        EXPECT_EQ(asked.category, "Tracker");
        EXPECT_EQ(asked.caption, "Select Geometry file");
        EXPECT_EQ(asked.filter, "Geometry files (*.rom)");
        EXPECT_EQ(asked.dir, QString());
        EXPECT_EQ(asked.selectedFilter, nullptr);
        EXPECT_EQ(asked.extraWidget, nullptr);
    }
}

TEST_F(RomDialog, ATypedPathComesBackAsTyped)
{
    ASSERT_NE(path(), nullptr);
    QTest::keyClicks(path(), "tools dir/probe.rom");
    EXPECT_EQ(dialog.romFilepath().filePath(), "tools dir/probe.rom");
}

TEST_F(RomDialog, OkAcceptsAndEscapeRejects)
{
    struct Case {
        const char* name;
        std::function<void(QDialog&)> close;
        int result;
    };
    const Case cases[] = {
        {"OK", [](QDialog& d) { d.findChild<QPushButton*>("okButton")->click(); },
         QDialog::Accepted},
        {"Escape", [](QDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }, QDialog::Rejected},
    };
    for (const Case& c : cases) {
        ROMLoadingDialog modal;
        paneltest::answerNextModalDialog(c.close);
        EXPECT_EQ(modal.exec(), c.result) << c.name;
    }
}

}  // namespace

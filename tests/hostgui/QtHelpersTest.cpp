// The host's file question: an override answers it without a dialog and is
// put back by its guard; the real dialog remembers the last directory of
// each category and gives the caller's extra widget back.
#include "GuiTestApp.h"

#include <Velantor/QtHelpers.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

using namespace Velantor;

namespace {

class QtHelpersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { guiTestApp(); }
};

TEST_F(QtHelpersTest, OpenFilenameOverrideAnswersAndIsRestored)
{
    QWidget parent;
    QString category, caption, filter, dir;
    QString* filterOut = reinterpret_cast<QString*>(1);
    {
        QtHelpers::ScopedOpenFilenameOverride outer(
            [](QWidget*, const QString&, const QString&, const QString&, QString*, const QString&,
               QWidget*, QFileDialog::Options) { return QStringLiteral("outer"); });
        {
            QtHelpers::ScopedOpenFilenameOverride inner(
                [&](QWidget* p, const QString& cat, const QString& cap, const QString& fil,
                    QString* sel, const QString& d, QWidget*, QFileDialog::Options) {
                    EXPECT_EQ(p, &parent);
                    category = cat;
                    caption = cap;
                    filter = fil;
                    filterOut = sel;
                    dir = d;
                    return QStringLiteral("/x/tool.rom");
                });
            EXPECT_EQ(QtHelpers::getOpenFilename(&parent, "Tracker", "Select Geometry file",
                                                 "Geometry files (*.rom)"),
                      "/x/tool.rom");
        }
        EXPECT_EQ(QtHelpers::getOpenFilename(&parent, "Tracker", "c", "f"), "outer");
    }
    EXPECT_EQ(category, "Tracker");
    EXPECT_EQ(caption, "Select Geometry file");
    EXPECT_EQ(filter, "Geometry files (*.rom)");
    EXPECT_EQ(filterOut, nullptr);
    EXPECT_TRUE(dir.isEmpty());
    // Nothing left set: the real dialog would be shown now.
    EXPECT_FALSE(QtHelpers::setOpenFilenameOverride(nullptr));
}

// Answers modal file dialogs from inside their own event loop, for as long
// as it lives: with the file, or by cancelling when file is empty. Records the
// directory the dialog opened in. It keeps answering until the dialog has
// gone; any other modal window (a message box) fails the test and is closed,
// so that nothing waits for a person who is not there.
class DialogAnswerer {
public:
    DialogAnswerer(const QString& file, QString* openedIn)
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this, file, openedIn] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                ADD_FAILURE() << "unexpected message: " << box->text().toStdString();
                box->reject();
                return;
            }
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog) return;
            if (!m_answered) *openedIn = dialog->directory().absolutePath();
            m_answered = true;
            if (file.isEmpty()) {
                dialog->reject();
            } else {
                // selectFile leaves a focused file name box as it is (the user
                // may be typing), and the window may have been activated by now.
                if (QWidget* focused = dialog->focusWidget()) focused->clearFocus();
                dialog->selectFile(file);
                static_cast<QDialog*>(dialog)->accept();
            }
        });
        m_poll.start(10);
    }

private:
    QTimer m_poll;
    bool m_answered = false;
};

TEST_F(QtHelpersTest, RealFileDialogRemembersTheDirectoryPerCategory)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("tool.rom");
    QFile(file).open(QIODevice::WriteOnly);
    QWidget parent, extraOwner;
    auto* extra = new QWidget(&extraOwner);
    QString openedIn;

    {
        DialogAnswerer answer(file, &openedIn);
        EXPECT_EQ(QtHelpers::getOpenFilename(&parent, "Tracker", "Select", "Geometry files (*.rom)",
                                             nullptr, dir.path(), extra,
                                             QFileDialog::DontUseNativeDialog),
                  file);
    }
    EXPECT_EQ(extra->parentWidget(), &extraOwner);  // the caller's widget is given back

    // Same category, no directory given: back where the last file was chosen.
    {
        DialogAnswerer answer(QString(), &openedIn);
        EXPECT_TRUE(QtHelpers::getOpenFilename(&parent, "Tracker", "Select", "*.rom", nullptr,
                                               QString(), nullptr,
                                               QFileDialog::DontUseNativeDialog)
                        .isEmpty());  // cancelled
    }
    EXPECT_EQ(openedIn, QDir(dir.path()).absolutePath());
}

}  // namespace

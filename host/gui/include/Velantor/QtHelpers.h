#pragma once
// Small user-interface helpers of the host.
//
// getOpenFilename asks the user for one existing file. Panels call it instead
// of QFileDialog directly so that the host keeps one "last directory" per
// category (the first text argument, e.g. "Tracker") for the life of the
// process, and so that tests and scripted sessions can answer the question
// without a dialog (setOpenFilenameOverride). Call it on the user-interface
// thread only.
#include <QFileDialog>
#include <QString>

#include <functional>

class QWidget;

namespace Velantor::QtHelpers {

// parent: the dialog's parent window. category: the key under which the last
// directory is remembered. caption and filter: as for QFileDialog (filters
// separated by ";;"). selectedFilter: if not null, receives the filter the
// user chose. dir: the directory to start in; empty means the category's last
// directory (the current directory the first time). extraWidget: shown below
// the dialog's own controls (forces the non-native dialog); the dialog does
// not take ownership of it. Returns the chosen path, or an empty text when the
// user cancelled.
QString getOpenFilename(QWidget* parent, const QString& category, const QString& caption,
                        const QString& filter, QString* selectedFilter = nullptr,
                        const QString& dir = QString(), QWidget* extraWidget = nullptr,
                        QFileDialog::Options options = QFileDialog::Options());

using OpenFilenameFunction =
    std::function<QString(QWidget* parent, const QString& category, const QString& caption,
                          const QString& filter, QString* selectedFilter, const QString& dir,
                          QWidget* extraWidget, QFileDialog::Options options)>;

// While set, getOpenFilename calls the function with its own arguments and
// returns its answer; no dialog is shown and no directory is remembered. An
// empty function restores the dialog. Returns the function set before.
OpenFilenameFunction setOpenFilenameOverride(OpenFilenameFunction function);

// Sets an override for the lifetime of the guard and then puts back the one
// that was set before.
class ScopedOpenFilenameOverride {
public:
    explicit ScopedOpenFilenameOverride(OpenFilenameFunction function)
        : m_previous(setOpenFilenameOverride(std::move(function)))
    {
    }
    ~ScopedOpenFilenameOverride() { setOpenFilenameOverride(std::move(m_previous)); }
    ScopedOpenFilenameOverride(const ScopedOpenFilenameOverride&) = delete;
    ScopedOpenFilenameOverride& operator=(const ScopedOpenFilenameOverride&) = delete;

private:
    OpenFilenameFunction m_previous;
};

}  // namespace Velantor::QtHelpers

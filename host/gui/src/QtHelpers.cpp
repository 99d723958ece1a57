#include <Velantor/QtHelpers.h>

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHash>

#include <mutex>

namespace Velantor::QtHelpers {

namespace {

std::mutex g_mutex;
OpenFilenameFunction g_override;
QHash<QString, QString> g_lastDirectories;

}  // namespace

OpenFilenameFunction setOpenFilenameOverride(OpenFilenameFunction function)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::swap(g_override, function);
    return function;
}

QString getOpenFilename(QWidget* parent, const QString& category, const QString& caption,
                        const QString& filter, QString* selectedFilter, const QString& dir,
                        QWidget* extraWidget, QFileDialog::Options options)
{
    OpenFilenameFunction replacement;
    QString startDirectory = dir;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        replacement = g_override;
        if (startDirectory.isEmpty()) startDirectory = g_lastDirectories.value(category);
    }
    // Called without the lock: an override may well set another override.
    if (replacement)
        return replacement(parent, category, caption, filter, selectedFilter, dir, extraWidget,
                           options);

    QFileDialog dialog(parent, caption, startDirectory, filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (extraWidget) options |= QFileDialog::DontUseNativeDialog;
    dialog.setOptions(options);
    QWidget* const extraParent = extraWidget ? extraWidget->parentWidget() : nullptr;
    if (extraWidget) {
        if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()))
            grid->addWidget(extraWidget, grid->rowCount(), 0, 1, grid->columnCount());
    }
    const bool accepted = dialog.exec() == QDialog::Accepted;
    if (extraWidget) {
        // The caller owns the extra widget: take it back before the dialog dies.
        extraWidget->hide();
        extraWidget->setParent(extraParent);
    }
    if (!accepted || dialog.selectedFiles().isEmpty()) return QString();

    const QString path = dialog.selectedFiles().constFirst();
    if (selectedFilter) *selectedFilter = dialog.selectedNameFilter();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lastDirectories.insert(category, QFileInfo(path).absolutePath());
    return path;
}

}  // namespace Velantor::QtHelpers

#include "WorkbenchWindow.h"

#include "AlgorithmHost.h"
#include "InstrumentModel.h"
#include "StreamPage.h"

#include <Velantor/Workspace.h>
#include <Velantor/WorkspaceFile.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

namespace workbench {

namespace {

// Past this, a stream that has neither shown a frame nor failed is pictured
// as it is: the screenshot must come, and it shows what is wrong.
constexpr qint64 kSettleLimitMs = 30000;

// "IO;NDI Tracking;Aurora" as a menu path reads "NDI Tracking › Aurora".
QString menuText(const std::string& name, const std::string& id)
{
    QStringList parts = QString::fromStdString(name).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    if (parts.size() > 1 && parts.front() == QLatin1String("IO")) parts.pop_front();
    return parts.isEmpty() ? QString::fromStdString(id) : parts.join(QStringLiteral(" \u203a "));
}

}  // namespace

WorkbenchWindow::WorkbenchWindow(const AlgorithmHost& host, QWidget* parent)
    : QMainWindow(parent), m_host(host)
{
    setWindowTitle(QStringLiteral("NDI Workbench"));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Algorithm:"), central));
    m_algorithms = new QComboBox(central);
    for (const std::string& id : m_host.algorithmIds()) {
        m_algorithms->addItem(menuText(m_host.algorithmName(id), id), QString::fromStdString(id));
        m_algorithms->setItemData(m_algorithms->count() - 1, QString::fromStdString(id),
                                  Qt::ToolTipRole);
    }
    top->addWidget(m_algorithms);
    auto* create = new QPushButton(QStringLiteral("New Stream"), central);
    create->setEnabled(m_algorithms->count() > 0);
    connect(create, &QPushButton::clicked, this, &WorkbenchWindow::createChosen);
    top->addWidget(create);
    top->addStretch(1);
    auto* save = new QPushButton(QStringLiteral("Save Workspace..."), central);
    connect(save, &QPushButton::clicked, this, &WorkbenchWindow::saveWorkspaceAs);
    top->addWidget(save);
    layout->addLayout(top);
    m_tabs = new QTabWidget(central);
    layout->addWidget(m_tabs, 1);
    setCentralWidget(central);

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("&New Stream"), this, &WorkbenchWindow::createChosen);
    file->addAction(QStringLiteral("&Save Workspace..."), this, &WorkbenchWindow::saveWorkspaceAs,
                    QKeySequence::Save);
    file->addSeparator();
    file->addAction(QStringLiteral("&Quit"), this, &QWidget::close, QKeySequence::Quit);

    resize(1280, 760);
}

WorkbenchWindow::~WorkbenchWindow() { removeStreams(); }

void WorkbenchWindow::addStream(std::unique_ptr<StreamSession> session)
{
    const QString title = QString::fromStdString(session->stream().name());
    const QString id = QString::fromStdString(session->algorithm().id());
    auto* page = new StreamPage(m_host, std::move(session), m_tabs);
    const int index = m_tabs->addTab(page, title);
    m_tabs->setTabToolTip(index, id);
    m_tabs->setCurrentIndex(index);
    // The choice names what was made last, so that "New Stream" makes another alike.
    const int choice = m_algorithms->findData(id);
    if (choice >= 0) m_algorithms->setCurrentIndex(choice);
}

std::vector<StreamPage*> WorkbenchWindow::pages() const
{
    std::vector<StreamPage*> result;
    for (int i = 0; i < m_tabs->count(); ++i)
        if (auto* page = qobject_cast<StreamPage*>(m_tabs->widget(i))) result.push_back(page);
    return result;
}

std::vector<StreamSession*> WorkbenchWindow::sessions() const
{
    std::vector<StreamSession*> result;
    for (StreamPage* page : pages()) result.push_back(&page->session());
    return result;
}

void WorkbenchWindow::removeStreams()
{
    for (StreamPage* page : pages()) {
        m_tabs->removeTab(m_tabs->indexOf(page));
        delete page;
    }
}

void WorkbenchWindow::createChosen()
{
    const std::string id = m_algorithms->currentData().toString().toStdString();
    if (id.empty()) return;
    std::string error;
    std::unique_ptr<StreamSession> session;
    if (auto algorithm = m_host.create(id, &error))
        session = StreamSession::make(std::move(algorithm), Velantor::Properties(),
                                      Velantor::Properties(), false, false, &error);
    if (!session) {
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(error));
        return;
    }
    addStream(std::move(session));
}

void WorkbenchWindow::saveWorkspaceAs()
{
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Save Workspace"), QString(),
                                     QStringLiteral("Workspaces (*.json);;All files (*)"));
    if (path.isEmpty()) return;
    std::string error;
    if (!saveWorkspace(path.toStdString(), &error))
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(error));
}

bool WorkbenchWindow::saveWorkspace(const std::string& path, std::string* error) const
{
    std::vector<const Velantor::Algorithm*> algorithms;
    for (StreamSession* s : sessions()) algorithms.push_back(&s->algorithm());
    Velantor::Properties workspace = Velantor::Workspace::fromAlgorithms(algorithms);
    Velantor::Properties* blocks = workspace.subProperties(Velantor::Workspace::kAlgorithmsName);
    const std::vector<StreamSession*> all = sessions();
    if (blocks != nullptr) {
        // Blocks come in the order of the algorithms given.
        const auto list = blocks->subProperties();
        for (std::size_t i = 0; i < list.size() && i < all.size(); ++i) {
            list[i]->setParam("open", all[i]->isOpen());
            list[i]->setParam("start", all[i]->isRunning());
        }
    }
    if (Velantor::WorkspaceFile::write(Velantor::Filesystem::Path(path), workspace, error))
        return true;
    *error = "cannot save the workspace to " + path + ": " + *error;
    return false;
}

bool WorkbenchWindow::saveScreenshot(const std::string& path, std::string* error)
{
    const QImage image = grab().toImage();
    QImageWriter writer(QString::fromStdString(path), "png");
    if (!image.isNull() && writer.write(image)) return true;
    *error = "cannot write the screenshot to " + path + ": " +
             (image.isNull() ? std::string("the window rendered nothing")
                             : writer.errorString().toStdString());
    return false;
}

bool WorkbenchWindow::dumpModels(const std::string& path, std::string* error) const
{
    QString text;
    for (StreamPage* page : pages())
        text +=
            QStringLiteral("[%1]\n").arg(QString::fromStdString(page->session().algorithm().id())) +
            page->model().toText();
    QFile file(QString::fromStdString(path));
    const QByteArray bytes = text.toUtf8();
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
        file.write(bytes) == bytes.size() && file.flush())
        return true;
    *error = "cannot write the model dump to " + path + ": " + file.errorString().toStdString();
    return false;
}

void WorkbenchWindow::scheduleScreenshot(const std::string& path, double afterSeconds,
                                         const std::string& dumpPath)
{
    m_shotPath = path;
    m_dumpPath = dumpPath;
    m_shotAfterMs = static_cast<qint64>(afterSeconds * 1000.0);
    m_shotClock.start();
    m_shotTimer = new QTimer(this);
    connect(m_shotTimer, &QTimer::timeout, this, &WorkbenchWindow::checkScreenshot);
    m_shotTimer->start(50);
}

void WorkbenchWindow::checkScreenshot()
{
    const qint64 elapsed = m_shotClock.elapsed();
    if (elapsed < m_shotAfterMs) return;
    bool settled = true;
    for (StreamPage* page : pages()) settled = settled && page->settled();
    const bool late = elapsed >= m_shotAfterMs + kSettleLimitMs;
    if (!settled && !late) return;
    m_shotTimer->stop();
    if (!settled)
        std::fprintf(stderr,
                     "ndi-workbench: a stream neither showed a frame nor failed within %lld s; "
                     "taking the screenshot as it is\n",
                     static_cast<long long>(kSettleLimitMs / 1000));
    // The views show the latest frame, not one from up to a refresh ago.
    for (StreamPage* page : pages()) page->refreshNow();
    std::string error;
    int code = 0;
    if (!saveScreenshot(m_shotPath, &error)) {
        std::fprintf(stderr, "ndi-workbench: %s\n", error.c_str());
        code = 1;
    } else {
        std::fprintf(stderr, "ndi-workbench: screenshot written to %s\n", m_shotPath.c_str());
    }
    if (!m_dumpPath.empty() && !dumpModels(m_dumpPath, &error)) {
        std::fprintf(stderr, "ndi-workbench: %s\n", error.c_str());
        code = 1;
    }
    QCoreApplication::exit(code);
}

}  // namespace workbench

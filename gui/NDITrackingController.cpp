#include "NDITrackingController.h"

#include "ROMLoadingDialog.h"

#include <NDITrackingInstrumentInfo.h>
#include <NDITrackingStream.h>
#include <PolarisAuroraTrackingStream.h>

#include <Velantor/Log.h>
#include <Velantor/Properties.h>
#include <Velantor/PropertiesWidget.h>
#include <Velantor/QtHelpers.h>
#include <Velantor/TrackingInstrumentTable.h>

#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <exception>
#include <future>

namespace Velantor {

namespace {

const char* const kCategory = "NDITrackingController";

// Often enough that the panel follows the stream without a visible lag, and
// rare enough to cost nothing while a request runs.
constexpr int kRequestPollMs = 10;

bool isStarted(const Stream& stream)
{
    return stream.isStateOneOf({Stream::Running, Stream::Paused});
}

// Open is what a click means while the stream is closed or on its way
// there, and also while it is still opening (a repeated request costs
// nothing, the stream ignores it); tools are added only in these states too,
// since they take effect at the next open.
bool offersOpen(const Stream& stream)
{
    return stream.isStateOneOf({Stream::Closed, Stream::Opening, Stream::Closing});
}

template <typename Action>
void logFailures(const char* what, Action&& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        Log::logIf(Log::Error, kCategory, [&] { return std::string(what) + ": " + e.what(); });
    } catch (...) {
        Log::logIf(Log::Error, kCategory,
                   [&] { return std::string(what) + ": unknown exception"; });
    }
}

}  // namespace

NDITrackingController::NDITrackingController(Algorithm* algorithm, QWidget* parent)
    : StreamControllerBase(algorithm, false, parent)
{
}

NDITrackingController::~NDITrackingController()
{
    // A state change on another thread must not queue a call to a panel
    // that is going away; disconnect waits for a running callback.
    if (m_stream && m_stateConnection != 0) m_stream->StateChange.disconnect(m_stateConnection);
}

void NDITrackingController::init()
{
    StreamControllerBase::init();
    if (m_stream) return;
    m_stream = dynamic_cast<NDITrackingStream*>(stream());
    if (!m_stream) {
        Log::logIf(Log::Error, kCategory, [] {
            return std::string("The algorithm has no NDI tracking stream: the panel stays empty.");
        });
        return;
    }
    setupGUI();
    addStoredGeometryLabels();
    m_stateConnection = m_stream->StateChange.connect(this, [this](Stream::State, Stream::State) {
        QMetaObject::invokeMethod(this, "updateGUI", Qt::QueuedConnection);
    });
    updateGUI();
}

void NDITrackingController::setupGUI()
{
    m_propertiesWidget = new PropertiesWidget(nullptr, this, this);
    setPropertiesWidget(m_propertiesWidget);
    m_mainLayout = new QVBoxLayout(this);
    connect(m_propertiesWidget, &PropertiesWidget::parameterChanged, this,
            &StreamControllerBase::onParameterChanged);

    m_generalGroup = new QGroupBox(tr("General"), this);
    auto* grid = new QGridLayout(m_generalGroup);
    m_connectionButton = new QPushButton(tr("Init"), m_generalGroup);
    m_connectionButton->setObjectName(QStringLiteral("connectionButton"));
    m_startButton = new QPushButton(tr("Start"), m_generalGroup);
    m_startButton->setObjectName(QStringLiteral("startButton"));
    grid->addWidget(m_connectionButton, 0, 0);
    grid->addWidget(m_startButton, 0, 1);
    connect(m_connectionButton, &QPushButton::clicked, this,
            &NDITrackingController::onValueChanged);
    connect(m_startButton, &QPushButton::clicked, this, &NDITrackingController::onValueChanged);

    m_instrumentTable =
        new TrackingInstrumentTable(m_stream, TrackingInstrumentTable::AllOptions, this);

    m_propertiesWidget->setSplitCamelCase(true);

    m_addTrackerButton = new QPushButton(tr("Add Tracker ..."), this);
    m_addTrackerButton->setObjectName(QStringLiteral("addTrackerButton"));
    connect(m_addTrackerButton, &QPushButton::clicked, this,
            &NDITrackingController::onValueChanged);

    auto* geometryContainer = new QWidget(this);
    geometryContainer->setObjectName(QStringLiteral("geometryLabels"));
    m_geometryLabels = new QVBoxLayout(geometryContainer);

    connect(m_propertiesWidget, &PropertiesWidget::parameterChanged, this,
            &NDITrackingController::updateGUI);

    m_mainLayout->addWidget(m_generalGroup);
    m_mainLayout->addWidget(m_propertiesWidget);
    m_mainLayout->addWidget(m_addTrackerButton);
    m_mainLayout->addWidget(geometryContainer);
    m_mainLayout->addWidget(m_instrumentTable);

    m_requestWatch = new QTimer(this);
    m_requestWatch->setInterval(kRequestPollMs);
    connect(m_requestWatch, &QTimer::timeout, this, &NDITrackingController::checkPendingRequest);

    updateGUI();
}

void NDITrackingController::addStoredGeometryLabels()
{
    Properties stored;
    logFailures("Reading the stream's configuration failed",
                [&] { m_stream->configuration(&stored); });
    const bool aurora = dynamic_cast<PolarisAuroraTrackingStream<NDIAurora>*>(m_stream) != nullptr;
    for (const Properties* targets : stored.subPropertiesAll("TrackingTargets")) {
        for (const Properties* target : targets->subProperties()) {
            std::string path;
            if (!target->param("Path", path)) continue;
            QString text =
                QStringLiteral("Instrument Geometry: ") + QString::fromStdString(target->name());
            int port = 0;
            if (aurora && target->param("Port", port))
                text += QStringLiteral("   Port: ") + QString::number(port);
            addGeometryLabel(text);
        }
    }
}

void NDITrackingController::addGeometryLabel(const QString& text)
{
    m_geometryLabels->addWidget(new QLabel(text, m_geometryLabels->parentWidget()));
}

void NDITrackingController::updateGUI()
{
    if (!m_stream || !m_connectionButton) return;
    const int state = m_stream->currentState();
    switch (state) {
    case Stream::Opening: m_connectionButton->setText(tr("Initializing...")); break;
    case Stream::Closing: m_connectionButton->setText(tr("Closing...")); break;
    case Stream::Closed: m_connectionButton->setText(tr("Open Connection")); break;
    default: m_connectionButton->setText(tr("Close Connection")); break;
    }
    const bool requestPending = m_pendingRequest.valid();
    m_startButton->setEnabled(!requestPending && state > Stream::Opening &&
                              state != Stream::Closing);
    m_startButton->setText(state == Stream::Running || state == Stream::Paused ? tr("Stop")
                                                                               : tr("Start"));
    m_addTrackerButton->setEnabled(offersOpen(*m_stream));
    updatePropertiesWidget();
}

void NDITrackingController::onValueChanged()
{
    if (!m_stream) return;
    QWidget* source = qobject_cast<QWidget*>(sender());
    if (!source) return;
    // Nothing a click sets off may reach Qt's event loop as an exception;
    // the panel is brought in line with the stream whatever happened.
    bool update = true;
    logFailures("The requested action failed", [&] {
        if (source == m_connectionButton) {
            // The outcome arrives as state changes.
            if (offersOpen(*m_stream))
                m_stream->openAsync();
            else
                m_stream->closeAsync();
        } else if (source == m_startButton) {
            onStartClicked();
        } else if (source == m_addTrackerButton) {
            update = addTracker();
        }
    });
    if (update) updateGUI();
}

void NDITrackingController::onStartClicked()
{
    if (m_pendingRequest.valid()) return;
    m_pendingStop = isStarted(*m_stream);
    m_pendingRequest = m_pendingStop ? m_stream->stopAsync() : m_stream->startAsync();
    // The device may take its time: watch the request instead of waiting for
    // it, and keep the button off until it has an outcome.
    m_requestWatch->start();
}

void NDITrackingController::checkPendingRequest()
{
    if (!m_pendingRequest.valid()) {
        m_requestWatch->stop();
        return;
    }
    if (m_pendingRequest.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    m_requestWatch->stop();
    const Stream::AsyncResult request = m_pendingRequest;
    m_pendingRequest = Stream::AsyncResult();
    logFailures(m_pendingStop ? "Stopping the tracking failed" : "Starting the tracking failed",
                [&] { request.get(); });
    updateGUI();
}

bool NDITrackingController::addTracker()
{
    if (dynamic_cast<PolarisAuroraTrackingStream<NDIPolarisSerial>*>(m_stream) ||
        dynamic_cast<PolarisAuroraTrackingStream<NDIPolarisNetwork>*>(m_stream)) {
        addPolarisTracker();
        return true;
    }
    if (dynamic_cast<PolarisAuroraTrackingStream<NDIAurora>*>(m_stream)) return addAuroraTracker();
    Log::logIf(Log::Warning, kCategory, [] {
        return std::string(
            "Tool registration only available for Polaris and Aurora tracking systems.");
    });
    return true;
}

void NDITrackingController::addPolarisTracker()
{
    const QString path = QtHelpers::getOpenFilename(this, tr("Tracker"), tr("Select Geometry file"),
                                                    tr("Geometry files (*.rom)"), nullptr,
                                                    QString(), nullptr, QFileDialog::Options());
    // A cancelled dialog answers with an empty path: nothing was chosen, so
    // nothing is registered (a nameless tool would fail every later open).
    if (path.isEmpty()) return;
    const QString fileName = QFileInfo(path).fileName();
    NDITrackingInstrumentInfo info;
    info.name = fileName.toStdString();
    info.romPath = path.toStdString();
    info.port = 1;
    info.portHandle = -1;
    if (auto* polaris = dynamic_cast<PolarisAuroraTrackingStream<NDIPolarisSerial>*>(m_stream))
        polaris->registerTool(info);
    else
        dynamic_cast<PolarisAuroraTrackingStream<NDIPolarisNetwork>*>(m_stream)->registerTool(info);
    addGeometryLabel(QStringLiteral("Instrument Geometry: ") + fileName);
}

bool NDITrackingController::addAuroraTracker()
{
    ROMLoadingDialog dialog(this);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    // Escape or the window's close control is the user's "no".
    if (!accepted) return true;
    const QFileInfo file = dialog.romFilepath();
    const int port = dialog.port();
    if (!file.exists() || !file.isFile()) {
        Log::logIf(Log::Error, kCategory,
                   [] { return std::string("Failed to add instrument geometry"); });
        return false;
    }
    NDITrackingInstrumentInfo info;
    info.name = file.fileName().toStdString();
    info.romPath = file.filePath().toStdString();
    info.port = port;
    info.portHandle = -1;
    dynamic_cast<PolarisAuroraTrackingStream<NDIAurora>*>(m_stream)->registerTool(info);
    addGeometryLabel(QStringLiteral("Instrument Geometry: ") + file.fileName() +
                     QStringLiteral("   Port: ") + QString::number(port));
    Log::logIf(Log::Info, kCategory, [&] {
        return "Loaded rom file : " + info.romPath + "For port: " + std::to_string(port);
    });
    return true;
}

}  // namespace Velantor

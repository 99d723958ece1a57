#include <Velantor/OpticalTrackingStreamController.h>

#include <Velantor/OpticalTrackingInterface.h>
#include <Velantor/QtHelpers.h>
#include <Velantor/Stream.h>
#include <Velantor/TrackingInstrumentTable.h>

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace Velantor {

OpticalTrackingStreamController::OpticalTrackingStreamController(Algorithm* algorithm,
                                                                 QWidget* parent)
    : StreamControllerBase(algorithm, true, parent)
{
}

OpticalTrackingStreamController::~OpticalTrackingStreamController() = default;

OpticalTrackingInterface* OpticalTrackingStreamController::markers() const
{
    return dynamic_cast<OpticalTrackingInterface*>(stream());
}

void OpticalTrackingStreamController::init()
{
    StreamControllerBase::init();
    if (!markers() || !mainLayout() || m_addButton) return;

    auto* row = new QHBoxLayout;
    m_addButton = new QPushButton(tr("Add Marker ..."), this);
    m_addButton->setObjectName(QStringLiteral("addMarkerButton"));
    m_removeButton = new QPushButton(tr("Remove Marker"), this);
    m_removeButton->setObjectName(QStringLiteral("removeMarkerButton"));
    row->addWidget(m_addButton);
    row->addWidget(m_removeButton);
    row->addStretch();
    // Above the instrument table, which stays last.
    mainLayout()->insertLayout(mainLayout()->count() - 1, row);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("markerStatus"));
    m_status->setWordWrap(true);
    mainLayout()->insertWidget(mainLayout()->count() - 1, m_status);

    connect(m_addButton, &QPushButton::clicked, this, &OpticalTrackingStreamController::addMarker);
    connect(m_removeButton, &QPushButton::clicked, this,
            &OpticalTrackingStreamController::removeMarker);
    updateStandardControls();
}

void OpticalTrackingStreamController::updateStandardControls()
{
    StreamControllerBase::updateStandardControls();
    if (!m_addButton) return;
    Stream* s = stream();
    const bool closed = s && s->currentState() == Stream::Closed;
    m_addButton->setEnabled(closed);
    m_removeButton->setEnabled(closed);
}

void OpticalTrackingStreamController::addMarker()
{
    OpticalTrackingInterface* target = markers();
    if (!target) return;
    const QString path = QtHelpers::getOpenFilename(
        this, tr("Tracker"), tr("Select marker definition"), tr("Tool definition files (*.rom)"));
    if (path.isEmpty()) return;  // cancelled
    const std::string id =
        target->addTrackingMarker(Filesystem::Path(path.toStdString()), std::string());
    m_status->setText(id.empty()
                          ? tr("No marker was added from %1.").arg(QFileInfo(path).fileName())
                          : tr("Added marker %1.").arg(QString::fromStdString(id)));
    updatePropertiesWidget();
    updateStandardControls();
}

void OpticalTrackingStreamController::removeMarker()
{
    OpticalTrackingInterface* target = markers();
    TrackingInstrumentTable* table = instrumentTable();
    if (!target || !table) return;
    const std::string id = table->selectedInstrumentId();
    if (id.empty()) return;
    const bool removed = target->removeTrackingMarker(id);
    m_status->setText(removed ? tr("Removed marker %1.").arg(QString::fromStdString(id))
                              : tr("Marker %1 was not removed.").arg(QString::fromStdString(id)));
    updatePropertiesWidget();
    updateStandardControls();
}

}  // namespace Velantor

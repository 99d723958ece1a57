#pragma once
// The panel of the serial NDI streams (Polaris Vicra/Spectra, Aurora): open
// and close the connection, start and stop tracking, add tool definitions
// for the next open, and see the settings, the instruments and the tool
// definitions already registered.
//
// Everything here runs on the user-interface thread, which never waits for
// the device: the stream's state changes arrive as queued calls, and a start
// or stop request is watched until it completes while the start button stays
// disabled, so that the next action is offered only once the stream has
// answered. The stream must outlive the panel.
#include <Velantor/Stream.h>
#include <Velantor/StreamControllerBase.h>

#include <QString>

#include <cstdint>
#include <string>

class QGroupBox;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace Velantor {

class NDITrackingStream;
class PropertiesWidget;
class TrackingInstrumentTable;

class NDITrackingController : public StreamControllerBase {
    Q_OBJECT

public:
    explicit NDITrackingController(Algorithm* algorithm, QWidget* parent = nullptr);
    ~NDITrackingController() override;

    void init() override;

private Q_SLOTS:
    void setupGUI();
    void updateGUI();
    void onValueChanged();

private:
    void onStartClicked();
    // Whether the panel is to be brought up to date afterwards (not after a
    // refused tool definition).
    bool addTracker();
    void addPolarisTracker();
    bool addAuroraTracker();
    void addGeometryLabel(const QString& text);
    void addStoredGeometryLabels();
    // Called on the timer until the pending start or stop has an outcome.
    void checkPendingRequest();

    PropertiesWidget* m_propertiesWidget = nullptr;
    QVBoxLayout* m_mainLayout = nullptr;
    NDITrackingStream* m_stream = nullptr;
    QGroupBox* m_generalGroup = nullptr;
    QPushButton* m_connectionButton = nullptr;
    QPushButton* m_startButton = nullptr;
    QPushButton* m_addTrackerButton = nullptr;
    QVBoxLayout* m_geometryLabels = nullptr;
    TrackingInstrumentTable* m_instrumentTable = nullptr;

    std::uint64_t m_stateConnection = 0;
    Stream::AsyncResult m_pendingRequest;
    bool m_pendingStop = false;
    QTimer* m_requestWatch = nullptr;
};

}  // namespace Velantor

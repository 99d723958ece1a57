// Recovery of the marker stream's lost camera: giving the connection up when
// tracking replies keep failing, reconnecting with back-off on the retry
// runner, putting the same markers on the camera again and tracking on, and
// abandoning the retries when the stream is stopped or closed.
#include "NDIPolarisTrackingStream.h"

#include "DeviceErrorReport.h"
#include "DeviceInitialization.h"
#include "NDIPolarisTrackingStreamImpl.h"
#include "NDIStreamLog.h"
#include "NetworkCameraAddress.h"

#include <ndi/protocol.h>

#include <exception>
#include <optional>

namespace Velantor {

namespace {

using NDIStreamLog::markerStreamLog;

}  // namespace

void NDIPolarisTrackingStream::setAutoReconnect(bool on) { m_impl->autoReconnect = on; }

bool NDIPolarisTrackingStream::autoReconnect() const { return m_impl->autoReconnect; }

bool NDIPolarisTrackingStream::reconnecting() const { return m_impl->line.reconnecting; }

bool NDIPolarisTrackingStream::trackingReplyFailedLocked()
{
    LineRecovery& line = m_impl->line;
    if (!m_impl->autoReconnect || !line.linkLoss.passFailed(monotonicNs())) return false;
    markerStreamLog(Log::Warning, [&] { return line.lostMessage(); });
    line.giveUp(*m_instruments);
    // Closing sends nothing: the camera may not answer.
    closeConnectionLocked();
    return true;
}

void NDIPolarisTrackingStream::beginRecovery()
{
    emitSignals(InstrumentModification::TrackingData);
    ReconnectingChange.emitSignal(true);
    m_impl->line.runner->begin();
}

void NDIPolarisTrackingStream::abandonRecovery()
{
    if (m_impl->line.abandon(m_impl->connectionPointerMutex, m_impl->connection))
        ReconnectingChange.emitSignal(false);
}

bool NDIPolarisTrackingStream::attemptReconnect()
{
    Flags<InstrumentModification> flags;
    bool back = false;
    {
        std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
        if (m_impl->line.runner->abandoned()) return false;
        try {
            back = reconnectLocked(flags);
        } catch (const std::exception& e) {
            const std::string what = e.what();
            markerStreamLog(Log::Error, [&] { return "Error while reconnecting: " + what; });
        } catch (...) {
            markerStreamLog(Log::Error, [] { return "Error while reconnecting."; });
        }
        if (back) back = m_impl->line.settle(m_impl->connectionPointerMutex);
        if (back)
            markerStreamLog(Log::Info, [&] { return m_impl->line.reconnectedMessage(); });
        else
            closeConnectionLocked();
    }
    emitSignals(flags);
    if (back) ReconnectingChange.emitSignal(false);
    return back;
}

bool NDIPolarisTrackingStream::reconnectLocked(Flags<InstrumentModification>& flags)
{
    const ConnectionRecovery& recovery = *m_impl->line.runner;
    const int port = m_impl->line.openedPort;
    std::string address = m_impl->line.openedDevice;
    NdiConnection* connection = connectNetworkUnlessAbandoned(recovery, address, port);
    if (connection == nullptr && m_impl->line.detected && !recovery.abandoned()) {
        // The camera may have come back under another address.
        using Found = std::optional<std::string>;
        const std::optional<Found> found =
            recovery.callUnlessAbandoned<Found>([] { return networkCameraAddress(std::string()); });
        if (found && *found && **found != address) {
            connection = connectNetworkUnlessAbandoned(recovery, **found, port);
            if (connection != nullptr) {
                address = **found;
                std::lock_guard<std::mutex> settings(m_impl->settingsMutex);
                m_impl->hardwareDevice = address;
            }
        }
    }
    if (connection == nullptr) return false;
    m_impl->setConnection(connection);
    m_impl->line.openedDevice = address;
    m_impl->line.linkName = address + ":" + std::to_string(port);
    // A new connection counts its frames afresh, and no frame number of
    // before the gap may hold back the first one after it.
    m_impl->lastFrame = 0;
    m_impl->dummyToolHandle = -1;
    ndiSetErrorCallback(connection, &reportMarkerStreamDeviceError, static_cast<Data*>(this));

    if (!initializeNetworkDevice(connection)) return false;
    if (recovery.abandoned() || !queryOperatingVolumes()) return false;
    if (recovery.abandoned()) return false;

    // The same markers go back on the camera, each on a fresh handle.
    m_instruments->modifyAll(Registry::InstrumentSpecialFunction(
        [](const std::string&, TrackingInstrument& instrument, ToolData& data) {
            data.portHandle = -1;
            instrument.active = true;
        }));
    flags |= initializeOpticalTools();
    if (recovery.abandoned()) return false;

    ndiCommand(connection, "TSTART:");
    if (ndiGetError(connection) != NDI_OKAY) return false;
    m_impl->passGrid.restart();
    m_impl->line.linkLoss.restart(monotonicNs());
    m_impl->lastFiducialCount = 0;
    return true;
}

}  // namespace Velantor

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

#include <Velantor/StreamUtils.h>

#include <Eigen/Core>

#include <cstdio>
#include <exception>
#include <optional>

namespace Velantor {

namespace {

using NDIStreamLog::markerStreamLog;

std::string secondsText(std::int64_t ns)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ns) / 1e9);
    return text;
}

}  // namespace

void NDIPolarisTrackingStream::setAutoReconnect(bool on) { m_impl->autoReconnect = on; }

bool NDIPolarisTrackingStream::autoReconnect() const { return m_impl->autoReconnect; }

bool NDIPolarisTrackingStream::reconnecting() const { return m_impl->reconnecting; }

bool NDIPolarisTrackingStream::trackingReplyFailedLocked()
{
    if (!m_impl->autoReconnect || !m_impl->linkLoss.passFailed(monotonicNs())) return false;

    markerStreamLog(Log::Warning,
                    [&] { return "connection to " + m_impl->linkName + " lost; reconnecting"; });
    m_impl->lostAtNs = monotonicNs();
    // No pose from before the gap may pass for a current one. Markers stay
    // active: they are read again once the camera is back.
    const std::uint64_t now = StreamUtils::systemTimeMs();
    m_instruments->modifyAll(
        ThreadSafeInstrumentsBase::ModifyFunction([now](const std::string&, TrackingInstrument& i) {
            i.matrix = Eigen::Matrix4d::Identity();
            i.quality = 0.0;
            i.timestamp = now;
        }));
    // Closing sends nothing: the camera may not answer.
    closeConnectionLocked();
    m_impl->lineLost = true;
    m_impl->reconnecting = true;
    return true;
}

void NDIPolarisTrackingStream::beginRecovery()
{
    emitSignals(InstrumentModification::TrackingData);
    ReconnectingChange.emitSignal(true);
    m_impl->recovery->begin();
}

void NDIPolarisTrackingStream::abandonRecovery()
{
    {
        std::lock_guard<std::mutex> lock(m_impl->connectionPointerMutex);
        m_impl->refuseNewConnections = true;
        // Only an attempt's connection: a healthy one is still to be stopped.
        if (m_impl->reconnecting && m_impl->connection != nullptr)
            ndiCancelReplies(m_impl->connection);
    }
    m_impl->recovery->abandon();
    {
        std::lock_guard<std::mutex> lock(m_impl->connectionPointerMutex);
        m_impl->refuseNewConnections = false;
    }
    if (m_impl->reconnecting.exchange(false)) ReconnectingChange.emitSignal(false);
}

bool NDIPolarisTrackingStream::attemptReconnect()
{
    Flags<InstrumentModification> flags;
    bool back = false;
    {
        std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
        if (m_impl->recovery->abandoned()) return false;
        try {
            back = reconnectLocked(flags);
        } catch (const std::exception& e) {
            const std::string what = e.what();
            markerStreamLog(Log::Error, [&] { return "Error while reconnecting: " + what; });
        } catch (...) {
            markerStreamLog(Log::Error, [] { return "Error while reconnecting."; });
        }
        if (back) {
            // Decided under the canceller's lock: either abandonment finds the
            // stream back, or this attempt finds it abandoned.
            std::lock_guard<std::mutex> pointer(m_impl->connectionPointerMutex);
            back = !m_impl->refuseNewConnections;
            if (back) m_impl->reconnecting = false;
        }
        if (back) {
            m_impl->lineLost = false;
            const std::int64_t gap = monotonicNs() - m_impl->lostAtNs;
            markerStreamLog(Log::Info,
                            [&] { return "reconnected after " + secondsText(gap) + " s"; });
        } else {
            closeConnectionLocked();
        }
    }
    emitSignals(flags);
    if (back) ReconnectingChange.emitSignal(false);
    return back;
}

NdiConnection* NDIPolarisTrackingStream::connectUnlessAbandoned(const std::string& address,
                                                                int port)
{
    // A connect to a camera that is off waits seconds.
    return m_impl->recovery
        ->callUnlessAbandoned<NdiConnection*>(
            [address, port] { return ndiOpenNetwork(address.c_str(), port); },
            [](NdiConnection*& late) {
                if (late != nullptr) ndiCloseNetwork(late);
            })
        .value_or(nullptr);
}

bool NDIPolarisTrackingStream::reconnectLocked(Flags<InstrumentModification>& flags)
{
    const ConnectionRecovery& recovery = *m_impl->recovery;
    const int port = m_impl->openedPort;
    std::string address = m_impl->openedAddress;
    NdiConnection* connection = connectUnlessAbandoned(address, port);
    if (connection == nullptr && m_impl->addressDetected && !recovery.abandoned()) {
        // The camera may have come back under another address.
        using Found = std::optional<std::string>;
        const std::optional<Found> found =
            recovery.callUnlessAbandoned<Found>([] { return networkCameraAddress(std::string()); });
        if (found && *found && **found != address) {
            connection = connectUnlessAbandoned(**found, port);
            if (connection != nullptr) {
                address = **found;
                std::lock_guard<std::mutex> settings(m_impl->settingsMutex);
                m_impl->hardwareDevice = address;
            }
        }
    }
    if (connection == nullptr) return false;
    m_impl->setConnection(connection);
    m_impl->openedAddress = address;
    m_impl->linkName = address + ":" + std::to_string(port);
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
    m_impl->linkLoss.restart(monotonicNs());
    m_impl->lastFiducialCount = 0;
    return true;
}

}  // namespace Velantor

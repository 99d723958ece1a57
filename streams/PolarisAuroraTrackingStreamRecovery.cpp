// Recovery of a lost line: giving it up when tracking replies keep failing,
// reopening it with back-off on the retry runner, setting up the same tools
// again and tracking on, and abandoning the retries when the stream is
// stopped or closed.
#include "PolarisAuroraTrackingStream.h"

#include "DeviceInitialization.h"
#include "HardwareDeviceSetting.h"
#include "NDIStreamLog.h"
#include "NetworkCameraAddress.h"
#include "OpticalToolLoader.h"
#include "PolarisAuroraTrackingStreamImpl.h"
#include "WiredToolDiscovery.h"

#include <ndi/protocol.h>

#include <exception>
#include <optional>

namespace Velantor {

namespace {

using NDIStreamLog::log;

}  // namespace

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setAutoReconnect(bool on)
{
    m_impl->autoReconnect = on;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::autoReconnect() const
{
    return m_impl->autoReconnect;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::reconnecting() const
{
    return m_impl->line.reconnecting;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::trackingReplyFailedLocked()
{
    LineRecovery& line = m_impl->line;
    if (!m_impl->autoReconnect || !line.linkLoss.passFailed(monotonicNs())) return false;
    log(Log::Warning, [&] { return line.lostMessage(); });
    line.giveUp(*m_instruments);
    dropConnectionLocked();
    return true;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::dropConnectionLocked()
{
    NdiConnection* connection = m_impl->connection;
    if (connection == nullptr) return;
    m_impl->setConnection(nullptr);
    m_impl->dummyToolHandle = -1;
    if (m_impl->connectionType == Serial)
        ndiCloseSerial(connection);
    else
        ndiCloseNetwork(connection);
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::beginRecovery()
{
    emitSignals(InstrumentModification::TrackingData);
    ReconnectingChange.emitSignal(true);
    m_impl->line.runner->begin();
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::abandonRecovery()
{
    if (m_impl->line.abandon(m_impl->connectionPointerMutex, m_impl->connection))
        ReconnectingChange.emitSignal(false);
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::attemptReconnect()
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
            log(Log::Error, [&] { return "Error while reconnecting: " + what; });
        } catch (...) {
            NDIStreamLog::text(Log::Error, "Error while reconnecting.");
        }
        if (back) back = m_impl->line.settle(m_impl->connectionPointerMutex);
        if (back)
            log(Log::Info, [&] { return m_impl->line.reconnectedMessage(); });
        else
            dropConnectionLocked();
    }
    emitSignals(flags);
    if (back) ReconnectingChange.emitSignal(false);
    return back;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::reconnectLocked(Flags<InstrumentModification>& flags)
{
    const ConnectionRecovery& recovery = *m_impl->line.runner;
    std::string device;
    NdiConnection* connection =
        m_impl->connectionType == Serial ? reopenSerialLocked(device) : reopenNetworkLocked(device);
    if (connection == nullptr) return false;
    m_impl->setConnection(connection);

    // The query mode stays that of the open the user asked for.
    const bool binary = m_impl->binaryConnection;
    initializeConnectionLocked(device);
    m_impl->binaryConnection = binary;
    if (m_impl->connectionType == Serial) {
        if (!setLineSpeedLocked() || !sendInitLocked()) return false;
    } else if (!initializeNetworkDevice(connection)) {
        return false;
    }
    if (recovery.abandoned() || !queryOperatingVolumes()) return false;
    if (recovery.abandoned()) return false;
    flags |= reattachToolsLocked();
    if (recovery.abandoned()) return false;

    ndiCommand(connection, "TSTART:");
    if (ndiGetError(connection) != NDI_OKAY) return false;
    shortenTrackingTimeoutLocked();
    m_impl->passGrid.restart();
    m_impl->line.linkLoss.restart(monotonicNs());
    m_impl->lastFiducialCount = 0;
    return true;
}

template <NDISystemType Type>
NdiConnection* PolarisAuroraTrackingStream<Type>::reopenSerialLocked(std::string& device)
{
    const ConnectionRecovery& recovery = *m_impl->line.runner;
    // A probe of a device that does not answer takes seconds: it must not
    // hold up abandonment.
    const std::string last = m_impl->line.openedDevice;
    const std::optional<bool> answers = recovery.callUnlessAbandoned<bool>(
        [last] { return ndiSerialProbe(last.c_str()) == NDI_OKAY; });
    if (!answers) return nullptr;
    device = last;
    if (!*answers) {
        // An auto-detected device may come back under another name.
        if (!m_impl->line.detected) return nullptr;
        using Found = std::optional<std::string>;
        const std::optional<Found> found = recovery.callUnlessAbandoned<Found>(
            [] { return HardwareDeviceSetting::firstAnsweringSerialDevice(); });
        if (!found || !*found) return nullptr;
        device = **found;
        setHardwareDevice(device);
    }
    if (recovery.abandoned()) return nullptr;
    log(Log::Info, [&] { return "Connecting to " + device + " as serial device..."; });
    return ndiOpenSerial(device.c_str());
}

template <NDISystemType Type>
NdiConnection* PolarisAuroraTrackingStream<Type>::reopenNetworkLocked(std::string& device)
{
    const ConnectionRecovery& recovery = *m_impl->line.runner;
    const int port = m_impl->line.openedPort;
    device = m_impl->line.openedDevice;
    NdiConnection* connection = connectNetworkUnlessAbandoned(recovery, device, port);
    if (connection != nullptr || !m_impl->line.detected || recovery.abandoned()) return connection;

    // The camera may have come back under another address.
    using Found = std::optional<std::string>;
    const std::optional<Found> found =
        recovery.callUnlessAbandoned<Found>([] { return networkCameraAddress(std::string()); });
    if (!found || !*found || **found == device) return nullptr;
    connection = connectNetworkUnlessAbandoned(recovery, **found, port);
    if (connection == nullptr) return nullptr;
    device = **found;
    setHardwareDevice(device);
    return connection;
}

template <NDISystemType Type>
Flags<InstrumentModification> PolarisAuroraTrackingStream<Type>::reattachToolsLocked()
{
    NdiConnection* connection = m_impl->connection;
    const auto storeHandle = [this](std::size_t index, int portHandle) {
        storeTargetHandle(index, portHandle);
    };
    if (Type == NDIAurora)
        return reattachWiredTools(connection, *m_instruments, trackingTargets(), storeHandle);

    // The registered tools are the instruments the registry already has: the
    // same ones go back on the system, each on a fresh handle.
    OpticalToolLoader::freeStaleHandles(connection);
    struct Entry {
        std::string id;
        NDITrackingInstrumentInfo info;
    };
    std::vector<Entry> entries;
    m_instruments->modifyAll(
        Registry::SpecialFunction([&](const std::string& id, NDITrackingInstrumentInfo& info) {
            entries.push_back({id, info});
        }));
    const std::vector<NDITrackingInstrumentInfo> targets = trackingTargets();
    for (Entry& e : entries) {
        e.info.portHandle = OpticalToolLoader::reload(connection, e.info);
        for (std::size_t k = 0; k < targets.size(); ++k)
            if (targets[k].name == e.info.name && targets[k].romPath == e.info.romPath)
                storeHandle(k, e.info.portHandle);
    }
    Flags<InstrumentModification> flags;
    for (const Entry& e : entries)
        flags |=
            m_instruments->modify(e.id, Registry::InstrumentSpecialFunction(
                                            [&](const std::string&, TrackingInstrument& instrument,
                                                NDITrackingInstrumentInfo& info) {
                                                info.portHandle = e.info.portHandle;
                                                instrument.active = true;
                                            }));
    if (entries.empty()) m_impl->dummyToolHandle = OpticalToolLoader::loadPlaceholder(connection);
    return flags;
}

#define NDI_INSTANTIATE_RECOVERY(Type)                                                            \
    template void PolarisAuroraTrackingStream<Type>::setAutoReconnect(bool);                      \
    template bool PolarisAuroraTrackingStream<Type>::autoReconnect() const;                       \
    template bool PolarisAuroraTrackingStream<Type>::reconnecting() const;                        \
    template bool PolarisAuroraTrackingStream<Type>::trackingReplyFailedLocked();                 \
    template void PolarisAuroraTrackingStream<Type>::dropConnectionLocked();                      \
    template void PolarisAuroraTrackingStream<Type>::beginRecovery();                             \
    template void PolarisAuroraTrackingStream<Type>::abandonRecovery();                           \
    template bool PolarisAuroraTrackingStream<Type>::attemptReconnect();                          \
    template bool PolarisAuroraTrackingStream<Type>::reconnectLocked(                             \
        Flags<InstrumentModification>&);                                                          \
    template NdiConnection* PolarisAuroraTrackingStream<Type>::reopenSerialLocked(std::string&);  \
    template NdiConnection* PolarisAuroraTrackingStream<Type>::reopenNetworkLocked(std::string&); \
    template Flags<InstrumentModification> PolarisAuroraTrackingStream<Type>::reattachToolsLocked();
NDI_INSTANTIATE_FOR_EVERY_FAMILY(NDI_INSTANTIATE_RECOVERY)

}  // namespace Velantor

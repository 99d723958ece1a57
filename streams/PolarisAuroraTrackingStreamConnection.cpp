// Opening and closing the connection: finding the system, opening the serial
// line or TCP connection, the line speed, INIT, and handing over to tool
// set-up.
#include "PolarisAuroraTrackingStream.h"

#include "DeviceErrorReport.h"
#include "DeviceInitialization.h"
#include "HardwareDeviceSetting.h"
#include "NDIStreamLog.h"
#include "NetworkCameraAddress.h"
#include "PolarisAuroraTrackingStreamImpl.h"

#include <ndi/protocol.h>

#include <exception>
#include <optional>

namespace Velantor {

namespace {

using NDIStreamLog::log;
using NDIStreamLog::text;

}  // namespace

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::probeHardwareDevices()
{
    const std::optional<std::string> device = HardwareDeviceSetting::firstAnsweringSerialDevice();
    if (!device) return false;
    setHardwareDevice(*device);
    return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::openImpl()
{
    std::unique_lock<std::mutex> lock(m_impl->connectionMutex);
    m_impl->deferAnnouncements = true;
    m_impl->pendingAnnouncements = {};
    // The setting is overwritten with the device found; a lost line is looked
    // for the same way again.
    const bool autoDetect = HardwareDeviceSetting::isAutoDetect(hardwareDevice());

    bool opened = false;
    try {
        opened = m_impl->connectionType == Serial ? openSerialLocked() : openNetworkLocked();
    } catch (const std::exception& e) {
        const std::string what = e.what();
        log(Log::Error,
            [&] { return "Error during initalization of the NDI tracking system: " + what; });
    } catch (...) {
        text(Log::Error, "Error during initalization of the NDI tracking system.");
    }

    if (opened) {
        m_impl->line.detected = autoDetect;
        m_impl->line.lineLost = false;
        m_impl->line.linkLoss.restart(monotonicNs());
    }
    const Flags<InstrumentModification> flags = m_impl->pendingAnnouncements;
    m_impl->deferAnnouncements = false;
    m_impl->pendingAnnouncements = {};
    lock.unlock();
    emitSignals(flags);
    return opened;
}

template <NDISystemType Type>
std::optional<std::string> PolarisAuroraTrackingStream<Type>::findSerialDevice()
{
    const std::string device = hardwareDevice();
    if (!HardwareDeviceSetting::isAutoDetect(device)) {
        if (ndiSerialProbe(device.c_str()) == NDI_OKAY) return device;
        text(Log::Error, "Failed to probe device!");
        return std::nullopt;
    }
    text(Log::Debug, "Searching for tracking devices...");
    if (probeHardwareDevices()) return hardwareDevice();
    text(Log::Error, "No NDI tracking system found!");
    return std::nullopt;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::openSerialLocked()
{
    const std::optional<std::string> device = findSerialDevice();
    if (!device) return false;

    log(Log::Info, [&] { return "Connecting to " + *device + " as serial device..."; });
    closeConnectionLocked();
    m_impl->setConnection(ndiOpenSerial(device->c_str()));
    if (m_impl->connection == nullptr) {
        text(Log::Error, "Connection could not be established!");
        return false;
    }
    if (!initializeConnectionLocked(*device)) return false;
    if (!setLineSpeedLocked()) return false;
    if (!sendInitLocked()) return false;
    return setUpToolsLocked();
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::setLineSpeedLocked()
{
    const int rate = m_impl->measurementRate;
    log(Log::Debug, [&] { return "Setting measurement rate to " + std::to_string(rate) + "..."; });
    ndiCommand(m_impl->connection, "COMM:%d%03d%d", rate, 0, 1);
    // A system left at a speed the host did not follow answers nothing more:
    // an open that went on would only look successful.
    if (ndiGetError(m_impl->connection) == NDI_OKAY) return true;
    text(Log::Error, "Measurement rate could not be set!");
    // The system may have switched all the same: a break brings it back to
    // 9600 baud, where the host is and the next open expects it.
    ndiCommand(m_impl->connection, nullptr);
    return false;
}

template <NDISystemType Type>
std::optional<std::string> PolarisAuroraTrackingStream<Type>::findNetworkDevice()
{
    const std::string setting = hardwareDevice();
    const std::optional<std::string> address = networkCameraAddress(setting);
    if (address && *address != setting) setHardwareDevice(*address);
    return address;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::openNetworkLocked()
{
    const std::optional<std::string> device = findNetworkDevice();
    if (!device) return false;

    const int port = m_impl->hardwareIPPort;
    log(Log::Info,
        [&] { return "Connecting to " + *device + ":" + std::to_string(port) + " via IP..."; });
    closeConnectionLocked();
    m_impl->line.openedPort = port;
    m_impl->setConnection(ndiOpenNetwork(device->c_str(), port));
    if (m_impl->connection == nullptr) {
        text(Log::Error, "Connection could not be established!");
        return false;
    }
    if (!initializeConnectionLocked(*device)) return false;

    if (!initializeNetworkDevice(m_impl->connection)) return false;
    return setUpToolsLocked();
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::setUpToolsLocked()
{
    if (!queryOperatingVolumes()) return false;
    if (Type == NDIAurora)
        queryTools();
    else
        initializeOpticalTools();
    text(Log::Debug, "Full initialization complete!");

    if (m_instruments->size() > 0) return true;
    // Wired tools announce themselves: none means nothing to track. An optical
    // system still reports stray markers.
    if (Type == NDIAurora) {
        text(Log::Error, "No tracking instruments available!");
        return false;
    }
    text(Log::Warning, "No tracking instruments initialized!");
    return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::initializeConnectionLocked(const std::string& device)
{
    const bool binary = m_impl->binaryQueryMode;
    m_impl->binaryConnection = binary;
    m_impl->line.openedDevice = device;
    m_impl->line.linkName = m_impl->connectionType == Serial
                           ? device
                           : device + ":" + std::to_string(m_impl->line.openedPort);
    // A new connection counts its frames afresh: a number equal to the last one
    // of the previous connection is still a new frame.
    m_impl->lastFrame = 0;
    m_impl->dummyToolHandle = -1;
    log(Log::Info, [&] {
        return "Connection established at " + device + ". Using " + (binary ? "binary" : "text") +
               " mode.";
    });
    // The callback knows the stream as the host's Data, whatever the family.
    ndiSetErrorCallback(m_impl->connection, &reportDeviceError, static_cast<Data*>(this));
    return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::sendInitLocked()
{
    return initializeDevice(m_impl->connection);
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::queryOperatingVolumes()
{
    return m_impl->volumes.query(m_impl->connection);
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::closeConnectionLocked()
{
    NdiConnection* connection = m_impl->connection;
    if (connection == nullptr) return;
    // Out of reach of a canceller before it is closed. A connection whose
    // replies were cancelled fails the COMM below at once.
    m_impl->setConnection(nullptr);
    m_impl->dummyToolHandle = -1;
    if (m_impl->connectionType == Serial) {
        // Leave the system at the speed it starts at, for whoever opens it next.
        ndiCommand(connection, "COMM:%d%03d%d", 0, 0, 0);
        ndiCloseSerial(connection);
    } else {
        ndiCloseNetwork(connection);
    }
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::cancelPendingReplies()
{
    std::lock_guard<std::mutex> lock(m_impl->connectionPointerMutex);
    if (m_impl->connection != nullptr) ndiCancelReplies(m_impl->connection);
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::closeImpl()
{
    abandonRecovery();
    {
        std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
        closeConnectionLocked();
        m_impl->line.lineLost = false;
    }
    emitSignals(m_instruments->clear());
    return true;
}

#define NDI_INSTANTIATE_CONNECTION(Type)                                                        \
    template bool PolarisAuroraTrackingStream<Type>::probeHardwareDevices();                    \
    template bool PolarisAuroraTrackingStream<Type>::openImpl();                                \
    template std::optional<std::string> PolarisAuroraTrackingStream<Type>::findSerialDevice();  \
    template bool PolarisAuroraTrackingStream<Type>::openSerialLocked();                        \
    template bool PolarisAuroraTrackingStream<Type>::setLineSpeedLocked();                      \
    template std::optional<std::string> PolarisAuroraTrackingStream<Type>::findNetworkDevice(); \
    template bool PolarisAuroraTrackingStream<Type>::openNetworkLocked();                       \
    template bool PolarisAuroraTrackingStream<Type>::setUpToolsLocked();                        \
    template bool PolarisAuroraTrackingStream<Type>::initializeConnectionLocked(                \
        const std::string&);                                                                    \
    template bool PolarisAuroraTrackingStream<Type>::sendInitLocked();                          \
    template bool PolarisAuroraTrackingStream<Type>::queryOperatingVolumes();                   \
    template void PolarisAuroraTrackingStream<Type>::closeConnectionLocked();                   \
    template void PolarisAuroraTrackingStream<Type>::cancelPendingReplies();                    \
    template bool PolarisAuroraTrackingStream<Type>::closeImpl();
NDI_INSTANTIATE_FOR_EVERY_FAMILY(NDI_INSTANTIATE_CONNECTION)

}  // namespace Velantor

// Opening and closing the camera's connection: finding the camera, the TCP
// connection, INIT, the operating volume, and handing over to marker set-up.
#include "NDIPolarisTrackingStream.h"

#include "DeviceErrorReport.h"
#include "DeviceInitialization.h"
#include "HardwareDeviceSetting.h"
#include "NDIPolarisTrackingStreamImpl.h"
#include "NDIStreamLog.h"
#include "NetworkCameraAddress.h"

#include <ndi/protocol.h>

#include <Eigen/Core>

#include <exception>
#include <optional>

namespace Velantor {

namespace {

using NDIStreamLog::log;
using NDIStreamLog::text;

}  // namespace

bool NDIPolarisTrackingStream::openImpl()
{
    std::unique_lock<std::mutex> lock(m_impl->connectionMutex);
    // The setting is overwritten with the camera found; a lost camera is
    // looked for the same way again.
    const bool detect = HardwareDeviceSetting::isAutoDetect(hardwareDevice());
    bool opened = false;
    Flags<InstrumentModification> flags;
    try {
        opened = openLocked();
        if (opened) {
            flags = initializeOpticalTools();
            text(Log::Debug, "Full initialization complete!");
            if (m_instruments->size() == 0)
                text(Log::Warning, "No tracking instruments initialized!");
        }
    } catch (const std::exception& e) {
        const std::string what = e.what();
        log(Log::Error,
            [&] { return "Error during initialization of the NDI tracking system: " + what; });
        opened = false;
    }
    if (opened) {
        m_impl->line.detected = detect;
        m_impl->line.lineLost = false;
        m_impl->line.linkLoss.restart(monotonicNs());
    }
    lock.unlock();
    emitSignals(flags);
    return opened;
}

bool NDIPolarisTrackingStream::openLocked()
{
    const std::string setting = hardwareDevice();
    const std::optional<std::string> address = networkCameraAddress(setting);
    if (!address) return false;
    if (*address != setting) {
        // Later opens and the stored configuration use the camera found.
        std::lock_guard<std::mutex> settings(m_impl->settingsMutex);
        m_impl->hardwareDevice = *address;
    }

    const int port = m_impl->hardwareIPPort;
    log(Log::Info,
        [&] { return "Connecting to " + *address + ":" + std::to_string(port) + " via IP..."; });
    closeConnectionLocked();
    NdiConnection* connection = ndiOpenNetwork(address->c_str(), port);
    if (connection == nullptr) {
        text(Log::Error, "Connection could not be established!");
        return false;
    }
    m_impl->setConnection(connection);
    m_impl->line.openedDevice = *address;
    m_impl->line.openedPort = port;
    m_impl->line.linkName = *address + ":" + std::to_string(port);

    const bool binary = m_impl->binaryQueryMode;
    m_impl->binaryConnection = binary;
    // A new connection counts its frames afresh: a number equal to the last
    // one of the previous connection is still a new frame.
    m_impl->lastFrame = 0;
    m_impl->dummyToolHandle = -1;
    log(Log::Info, [&] {
        return "Connection established at " + *address + ". Using " + (binary ? "binary" : "text") +
               " mode.";
    });
    // The callback knows the stream as the host's Data.
    ndiSetErrorCallback(connection, &reportMarkerStreamDeviceError, static_cast<Data*>(this));

    if (!initializeNetworkDevice(connection)) return false;
    return queryOperatingVolumes();
}

bool NDIPolarisTrackingStream::queryOperatingVolumes()
{
    return m_impl->volumes.query(m_impl->connection);
}

void NDIPolarisTrackingStream::closeConnectionLocked()
{
    NdiConnection* connection = m_impl->connection;
    if (connection == nullptr) return;
    m_impl->setConnection(nullptr);
    ndiCloseNetwork(connection);
    m_impl->dummyToolHandle = -1;
}

void NDIPolarisTrackingStream::cancelPendingReplies()
{
    std::lock_guard<std::mutex> pointer(m_impl->connectionPointerMutex);
    if (m_impl->connection != nullptr) ndiCancelReplies(m_impl->connection);
}

bool NDIPolarisTrackingStream::closeImpl()
{
    abandonRecovery();
    {
        std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
        closeConnectionLocked();
        m_impl->line.lineLost = false;
    }
    // The markers stay registered for the next open, without a handle or a
    // pose from this one.
    const Flags<InstrumentModification> flags =
        m_instruments->modifyAll(Registry::InstrumentSpecialFunction(
            [](const std::string&, TrackingInstrument& instrument, ToolData& data) {
                data.portHandle = -1;
                instrument.matrix = Eigen::Matrix4d::Identity();
                instrument.quality = 0.0;
                instrument.timestamp = 0;
                instrument.active = true;
            }));
    emitSignals(flags);
    return true;
}

}  // namespace Velantor

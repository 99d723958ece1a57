// The marker stream's settings: the connection settings taken at the next
// open and the tracking-volume choice.
#include "NDIPolarisTrackingStream.h"

#include "HardwareDeviceSetting.h"
#include "NDIPolarisTrackingStreamImpl.h"
#include "NDIStreamLog.h"

#include <utility>

namespace Velantor {

void NDIPolarisTrackingStream::setHardwareDevice(const std::string& device)
{
    std::string stored = device;
    if (!HardwareDeviceSetting::isAutoDetect(device) && !NDIUtils::isValidIp(device)) {
        NDIStreamLog::markerStreamLog(Log::Warning, [&] {
            return "Invalid IP address '" + device +
                   "' provided to setHardwareDevice; falling back to auto-detection.";
        });
        stored.clear();
    }
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    m_impl->hardwareDevice = std::move(stored);
}

std::string NDIPolarisTrackingStream::hardwareDevice() const
{
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    return m_impl->hardwareDevice;
}

void NDIPolarisTrackingStream::setHardwareIPPort(int port) { m_impl->hardwareIPPort = port; }

int NDIPolarisTrackingStream::hardwareIPPort() const { return m_impl->hardwareIPPort; }

void NDIPolarisTrackingStream::setBinaryQueryMode(bool binary) { m_impl->binaryQueryMode = binary; }

bool NDIPolarisTrackingStream::binaryQueryMode() const { return m_impl->binaryQueryMode; }

std::vector<std::string> NDIPolarisTrackingStream::maxRangeOptions() const
{
    return m_impl->volumes.names();
}

int NDIPolarisTrackingStream::maxRange() const { return m_impl->volumes.index(); }

void NDIPolarisTrackingStream::setMaxRange(int index) { m_impl->volumes.setIndex(*this, index); }

}  // namespace Velantor

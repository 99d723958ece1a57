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
    std::lock_guard<std::mutex> lock(m_impl->volumesMutex);
    std::vector<std::string> names;
    names.reserve(m_impl->operatingVolumes.size());
    for (const NDIUtils::OperatingVolume& volume : m_impl->operatingVolumes)
        names.push_back(volume.name);
    return names;
}

int NDIPolarisTrackingStream::maxRange() const { return m_impl->maxRange; }

void NDIPolarisTrackingStream::setMaxRange(int index)
{
    if (index < 0) return;
    if (isStateOneOf({Closed, Opening, Closing})) {
        m_impl->maxRange = index;
        return;
    }
    NDIStreamLog::text(
        Log::Error,
        "Max Range cannot be set when connection is established. Close connection first.");
}

void NDIPolarisTrackingStream::queryOperatingVolumes()
{
    std::vector<NDIUtils::OperatingVolume> volumes =
        NDIUtils::queryOperatingVolumes(m_impl->connection, m_impl->maxRange);
    std::lock_guard<std::mutex> lock(m_impl->volumesMutex);
    m_impl->operatingVolumes = std::move(volumes);
}

}  // namespace Velantor

#include "NetworkCameraAddress.h"

#include "HardwareDeviceSetting.h"
#include "NDIStreamLog.h"
#include "NDIUtils.h"

namespace Velantor {

namespace {

constexpr int kDetectionTimeLimitMs = 2000;

}  // namespace

std::optional<std::string> networkCameraAddress(const std::string& setting)
{
    if (HardwareDeviceSetting::isAutoDetect(setting)) {
        NDIStreamLog::text(Log::Debug, "Searching for tracking devices...");
        const std::string address = NDIUtils::detectCameraIpAddress(kDetectionTimeLimitMs);
        if (address.empty() || !NDIUtils::isValidIp(address)) {
            NDIStreamLog::text(Log::Error, "No NDI tracking system found!");
            return std::nullopt;
        }
        return address;
    }
    if (NDIUtils::isValidIp(setting)) return setting;
    NDIStreamLog::text(Log::Error,
                       "Invalid IP address provided. TCP/IP connection is only supported for "
                       "valid IPv4 addresses.");
    return std::nullopt;
}

}  // namespace Velantor

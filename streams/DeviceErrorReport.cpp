#include "DeviceErrorReport.h"

#include "NDIStreamLog.h"

#include <Velantor/Data.h>

#include <string>

namespace Velantor {

void reportDeviceError(int code, char* text, void* stream)
{
    const std::string detail =
        std::to_string(code) + " " + (text != nullptr ? std::string(text) : std::string());
    if (stream != nullptr) {
        const auto* owner = static_cast<const Data*>(stream);
        NDIStreamLog::log(Log::Error, [&] {
            return "NDI Tracking System Error in stream '" + owner->name() + "': " + detail;
        });
    } else {
        NDIStreamLog::log(Log::Error, [&] {
            return "NDI Error occurred outside of PolarisAuroraTrackingStream: " + detail;
        });
    }
}

}  // namespace Velantor

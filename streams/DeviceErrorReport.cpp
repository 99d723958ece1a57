#include "DeviceErrorReport.h"

#include "NDIStreamLog.h"

#include <Velantor/Data.h>

#include <string>

namespace Velantor {

namespace {

void report(int code, const char* text, const void* stream, const char* streamKind)
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
            return std::string("NDI Error occurred outside of ") + streamKind + ": " + detail;
        });
    }
}

}  // namespace

void reportDeviceError(int code, char* text, void* stream)
{
    report(code, text, stream, "PolarisAuroraTrackingStream");
}

void reportMarkerStreamDeviceError(int code, char* text, void* stream)
{
    report(code, text, stream, "NDIPolarisTrackingStream");
}

}  // namespace Velantor

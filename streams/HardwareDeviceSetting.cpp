#include "HardwareDeviceSetting.h"

#include <ndi/protocol.h>

namespace Velantor::HardwareDeviceSetting {

namespace {

constexpr int kSerialDeviceCount = 20;

}  // namespace

bool isAutoDetect(const std::string& device)
{
    return device.empty() || device.find("auto") != std::string::npos;
}

bool isSerialDeviceName(const std::string& name)
{
    for (int i = 0; i < kSerialDeviceCount; ++i) {
        const char* device = ndiSerialDeviceName(i);
        if (device != nullptr && name == device) return true;
    }
    return false;
}

std::optional<std::string> firstAnsweringSerialDevice()
{
    for (int i = 0; i < kSerialDeviceCount; ++i) {
        const char* device = ndiSerialDeviceName(i);
        if (device == nullptr) continue;
        if (ndiSerialProbe(device) == NDI_OKAY) return std::string(device);
    }
    return std::nullopt;
}

}  // namespace Velantor::HardwareDeviceSetting

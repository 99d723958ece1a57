#pragma once
// What a stream's "hardwareDevice" setting means, and finding a serial
// device for it when it asks for auto-detection.
#include <optional>
#include <string>

namespace Velantor::HardwareDeviceSetting {

// Empty, or containing "auto": the device is searched for at open.
bool isAutoDetect(const std::string& device);

// Whether name is one of the platform's serial device names (indices 0 to 19).
bool isSerialDeviceName(const std::string& name);

// Probes the serial device names 0 to 19 in order and gives the first on which
// a measurement system answers.
std::optional<std::string> firstAnsweringSerialDevice();

}  // namespace Velantor::HardwareDeviceSetting

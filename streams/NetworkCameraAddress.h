#pragma once
// The address a network camera is reached at, from a stream's
// "hardwareDevice" setting: the setting itself when it is an address, or the
// first camera heard on the local networks when it asks for auto-detection.
#include <optional>
#include <string>

namespace Velantor {

// Nothing (with the reason logged) when detection heard no camera or the
// setting is neither an address nor a request to detect one.
std::optional<std::string> networkCameraAddress(const std::string& setting);

}  // namespace Velantor

#pragma once
// Reading a tool-definition image that a host uploaded with PVWR: the part
// number and, when the image carries it in the host stand-in's layout, the
// marker geometry. Every byte comes from the host and is checked.
#include <ndisim/Trajectory.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ndisim {

using ImageBytes = std::array<std::uint8_t, 1024>;

struct ToolImage {
    std::string partNumber;     // printable characters up to the first NUL, at most 20
    std::vector<Vec3> markers;  // empty when the image has no usable geometry
};

// nullopt when the bytes are not a tool-definition image at all (no "NDI"
// magic at the start). Geometry that is out of range (more than 20 markers,
// coordinates that are not finite or beyond a metre) is ignored, not trusted.
std::optional<ToolImage> parseToolImage(const ImageBytes& bytes);

}  // namespace ndisim

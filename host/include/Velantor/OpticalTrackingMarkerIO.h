#pragma once
// Tool-definition images of optical markers, in the layout of
// ToolDefinitionImageLayout.h (752 bytes).
//
// saveToFile writes the marker's geometry and, at byte 592, its part number:
// the marker's partNumber() when set, else its id in decimal, else nothing
// (all NUL). It refuses (false, with an error logged under category
// "OpticalTrackingMarkerIO") a marker with more than 20 spheres, a
// non-finite or float-overflowing coordinate, or a part number longer than
// 20 characters, and returns false when the file cannot be written
// completely. The file is written under a temporary name and renamed, so a
// reader never sees half an image.
//
// loadFromFile reads such an image back (the inverse of saveToFile; the
// name is not part of the image): it checks the size (at least 752 bytes),
// both magics and the marker count, and refuses non-finite coordinates.
#include <Velantor/Filesystem.h>
#include <Velantor/OpticalTrackingMarker.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Velantor::OpticalTrackingMarkerIO {

bool saveToFile(const OpticalTrackingMarker& marker, const Filesystem::Path& path);

// The image bytes saveToFile writes, or nothing when the marker is refused.
std::optional<std::vector<std::uint8_t>> toImage(const OpticalTrackingMarker& marker,
                                                 std::string* error = nullptr);

// The marker of an image (name empty, id none, part number as stored).
std::optional<OpticalTrackingMarker> fromImage(const std::uint8_t* data, std::size_t size,
                                               std::string* error = nullptr);
std::optional<OpticalTrackingMarker> loadFromFile(const Filesystem::Path& path,
                                                  std::string* error = nullptr);

}  // namespace Velantor::OpticalTrackingMarkerIO

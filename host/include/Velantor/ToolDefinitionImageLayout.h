#pragma once
// The layout of the tool-definition images that the host stand-in writes
// (OpticalTrackingMarkerIO::saveToFile) and the simulator reads back when a
// host uploads one with PVWR. It is defined here once for both, so that the
// two can never disagree about where the geometry is.
//
// Real NDI images carry much more (and in NDI's own format); the plugin only
// ever reads the part number, so this stand-in keeps just what the simulator
// needs to place a tool's markers:
//
//   offset  size       content
//   0       4          "NDI" and a NUL
//   8       1          marker count n, 0 to 20
//   12      12 * n     marker positions, x y z as little-endian IEEE-754
//                      single-precision floats, millimetres, tool coordinates
//   580     4          "NDI" and a NUL (as in NDI's images)
//   592     20         part number text, NUL-padded
//   752                image size
//
// A header-only description: no code, so either side can include it without
// linking the other.
#include <cstddef>
#include <cstdint>

namespace Velantor::ToolDefinitionImageLayout {

constexpr std::size_t kMagicOffset = 0;
constexpr char kMagic[4] = {'N', 'D', 'I', '\0'};
constexpr std::size_t kMarkerCountOffset = 8;
constexpr std::size_t kMarkersOffset = 12;
constexpr std::size_t kMarkerStride = 12;  // three floats
constexpr std::size_t kMaxMarkers = 20;
constexpr std::size_t kSecondMagicOffset = 580;
constexpr std::size_t kPartNumberOffset = 592;
constexpr std::size_t kPartNumberLength = 20;
constexpr std::size_t kImageSize = 752;
// The device takes images of up to 1024 bytes (16 PVWR chunks of 64 bytes).
constexpr std::size_t kUploadSize = 1024;

static_assert(kMarkersOffset + kMaxMarkers * kMarkerStride <= kSecondMagicOffset,
              "marker geometry must not reach the second magic");

}  // namespace Velantor::ToolDefinitionImageLayout

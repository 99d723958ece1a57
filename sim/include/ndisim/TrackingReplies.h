#pragma once
// The two tracking replies, TX (text) and BX (binary), built from one
// snapshot of what the device sees in a frame.
#include <ndisim/Scenario.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ndisim {

namespace ReplyOption {
constexpr unsigned kTransforms = 0x0001;
constexpr unsigned kToolInfo = 0x0002;
constexpr unsigned kSingleStray = 0x0004;
constexpr unsigned kToolMarkers = 0x0008;
constexpr unsigned kOutOfVolume = 0x0800;  // also transforms not normally reported
constexpr unsigned kPassiveStrays = 0x1000;
constexpr unsigned kAll = 0x180F;
}  // namespace ReplyOption

struct HandleFrame {
    int handle = 0;
    ToolFrame tool;
    std::vector<Vec3> markers;  // tool coordinates
    std::uint8_t toolInfo = 0;  // the tool-type byte of the tool information
    std::uint32_t portStatus = 0;
};

struct FrameSnapshot {
    std::uint32_t frame = 0;
    std::vector<HandleFrame> handles;  // enabled port handles, ascending
    std::vector<Vec3> strays;          // visible stray passive markers
    std::uint16_t systemStatus = 0;
};

// Payload of a TX reply (without CRC and carriage return).
std::string encodeTX(const FrameSnapshot& snapshot, unsigned options);
// A complete BX reply, framing included.
std::string encodeBX(const FrameSnapshot& snapshot, unsigned options);

}  // namespace ndisim

#pragma once
// The checksum of the device's command and reply framing (CRC-16/ARC). The
// simulator computes it with Boost.CRC, independently of the host library.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ndisim {

std::uint16_t crc16(const void* data, std::size_t size);
inline std::uint16_t crc16(std::string_view text) { return crc16(text.data(), text.size()); }

}  // namespace ndisim

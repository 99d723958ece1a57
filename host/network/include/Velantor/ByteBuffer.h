#pragma once

#include <cstdint>
#include <vector>

namespace Velantor {

/// The bytes of one received message (for example a datagram): data() and size()
/// give the bytes and their count. A plain vector, so that receivers can index,
/// iterate and copy it without learning a new type.
using ByteBuffer = std::vector<std::uint8_t>;

}  // namespace Velantor

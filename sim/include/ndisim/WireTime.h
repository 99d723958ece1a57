#pragma once
// The time bytes take on a serial line: each character carries a start bit,
// its data bits, a parity bit when parity is on, and its stop bits, at the
// line's rate. A simulated device releases each byte of a reply no earlier
// than the moment its last bit would have arrived, so that a host's exchange
// over a pseudo-terminal can be compared with the line it stands for.
#include <ndisim/LineSettings.h>

#include <chrono>
#include <cstddef>

namespace ndisim {

int bitsPerCharacter(const LineSettings& line);

// Rounded up to the next nanosecond: never shorter than the wire time. Zero
// for a line without a known rate.
std::chrono::nanoseconds wireTime(std::size_t bytes, const LineSettings& line);

}  // namespace ndisim

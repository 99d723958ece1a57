#include <ndisim/WireTime.h>

namespace ndisim {

int bitsPerCharacter(const LineSettings& line)
{
    return 1 + line.dataBits + (line.parity == 'N' ? 0 : 1) + line.stopBits;
}

std::chrono::nanoseconds wireTime(std::size_t bytes, const LineSettings& line)
{
    if (line.baud <= 0) return std::chrono::nanoseconds(0);
    // Whole numbers throughout: a reply of 10 kB at 12 bits per character is
    // 1.2e14 bit-nanoseconds, far inside 64 bits.
    const long long bits = static_cast<long long>(bytes) * bitsPerCharacter(line);
    const long long baud = line.baud;
    return std::chrono::nanoseconds((bits * 1000000000LL + baud - 1) / baud);
}

}  // namespace ndisim

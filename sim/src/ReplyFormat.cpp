#include <ndisim/ReplyFormat.h>

#include <ndisim/Crc16.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace ndisim {

std::string hexField(unsigned long value, int width)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*lX", width, value);
    return buffer;
}

std::string textReply(const std::string& payload)
{
    return payload + hexField(crc16(payload), 4) + '\r';
}

std::string errorReply(int code)
{
    return textReply("ERROR" + hexField(static_cast<unsigned>(code) & 0xFF, 2));
}

void appendU8(std::string& out, unsigned value) { out.push_back(static_cast<char>(value & 0xFF)); }

void appendU16(std::string& out, unsigned value)
{
    appendU8(out, value);
    appendU8(out, value >> 8);
}

void appendU32(std::string& out, std::uint32_t value)
{
    appendU16(out, value & 0xFFFF);
    appendU16(out, value >> 16);
}

void appendFloat(std::string& out, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    appendU32(out, bits);
}

std::string binaryReply(const std::string& body)
{
    std::string out;
    out.reserve(body.size() + 8);
    appendU8(out, 0xC4);
    appendU8(out, 0xA5);
    appendU16(out, static_cast<unsigned>(body.size()));
    appendU16(out, crc16(out.data(), 4));
    out += body;
    appendU16(out, crc16(body));
    return out;
}

std::string signedField(double value, double unit, int width)
{
    double limit = 1.0;
    for (int i = 1; i < width; ++i) limit *= 10.0;
    limit -= 1.0;
    double n = std::nearbyint(value / unit);
    if (!(n == n)) n = 0.0;  // NaN
    if (n > limit) n = limit;
    if (n < -limit) n = -limit;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%c%0*lld", n < 0 ? '-' : '+', width - 1,
                  static_cast<long long>(std::fabs(n)));
    return buffer;
}

std::string padded(const std::string& text, std::size_t width)
{
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

}  // namespace ndisim

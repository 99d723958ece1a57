#pragma once
// Framing of the device's replies and the fixed-width text fields they carry.
#include <cstdint>
#include <string>

namespace ndisim {

// payload + four upper-case hex CRC digits + carriage return.
std::string textReply(const std::string& payload);
// "ERROR" + two hex digits, framed as a text reply.
std::string errorReply(int code);
// 0xC4 0xA5, body length, header CRC, body, body CRC (little-endian).
std::string binaryReply(const std::string& body);

// A signed decimal field: sign character and (width - 1) digits of
// value / unit, rounded to the nearest unit and clamped to what fits.
std::string signedField(double value, double unit, int width);
// Upper-case hexadecimal of `width` digits.
std::string hexField(unsigned long value, int width);
// Text padded with blanks (or cut) to exactly `width` characters.
std::string padded(const std::string& text, std::size_t width);

void appendU8(std::string& out, unsigned value);
void appendU16(std::string& out, unsigned value);
void appendU32(std::string& out, std::uint32_t value);
void appendFloat(std::string& out, float value);

}  // namespace ndisim

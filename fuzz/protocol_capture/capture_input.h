// How a fuzz input (and a seed file) is laid out: one byte choosing the
// command, two bytes of option word (big-endian), one byte of flags, then
// the reply payload exactly as the capture receives it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace capture_input {

inline const char* const kCommands[] = {"TX",    "BX",    "GX",   "PSTAT", "SSTAT",
                                        "IRCHK", "PHINF", "PHRQ", "PHSR"};
constexpr int kCommandCount = sizeof kCommands / sizeof kCommands[0];
constexpr std::size_t kHeaderSize = 4;

enum Flags : unsigned char {
    NoOptionWord = 0x01,  // the command's parameters end after its name
    BlankSeparator = 0x02,
};

// The command text that asks for this reply, before its CRC digits.
inline std::string commandText(unsigned char command, unsigned option, unsigned char flags)
{
    const char* name = kCommands[command % kCommandCount];
    std::string text = std::string(name) + ((flags & BlankSeparator) ? " " : ":");
    if (text.compare(0, 5, "PHINF") == 0) {
        char handle[3];
        std::snprintf(handle, sizeof handle, "%02X", option >> 8);
        text += handle;
    }
    if (!(flags & NoOptionWord)) {
        char word[5];
        std::snprintf(word, sizeof word, "%04X", option & 0xFFFF);
        text += word;
    }
    return text;
}

inline std::string seed(unsigned char command, unsigned option, unsigned char flags,
                        const std::string& reply)
{
    std::string out;
    out += static_cast<char>(command);
    out += static_cast<char>(option >> 8);
    out += static_cast<char>(option & 0xFF);
    out += static_cast<char>(flags);
    return out + reply;
}

}  // namespace capture_input

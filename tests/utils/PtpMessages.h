#pragma once
// PTP version 2 event messages as a camera puts them on the wire: the 34-byte
// IEEE 1588-2008 common header followed by the message body, multi-byte
// fields big-endian.
#include <cstdint>
#include <vector>

namespace ptp {

enum MessageType : std::uint8_t { Sync = 0x0, DelayReq = 0x1, FollowUp = 0x8, Announce = 0xB };

inline void putBigEndian(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value,
                         std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * (size - 1 - i)));
}

// A message of the given type with its timestamp field (originTimestamp or
// preciseOriginTimestamp, right behind the header).
inline std::vector<std::uint8_t> message(MessageType type, bool twoStep, std::uint16_t sequenceId,
                                         std::uint64_t seconds, std::uint32_t nanoseconds)
{
    const std::size_t length = type == Announce ? 64 : 44;
    std::vector<std::uint8_t> bytes(length, 0);
    bytes[0] = 0x00 | type;  // transportSpecific 0, messageType
    bytes[1] = 0x02;         // versionPTP 2
    putBigEndian(bytes, 2, length, 2);
    bytes[4] = 0;                                       // domainNumber
    bytes[6] = twoStep ? 0x02 : 0x00;                   // flagField: twoStepFlag
    putBigEndian(bytes, 20, 0x0060b5fffe0a0b0cull, 8);  // sourcePortIdentity.clockIdentity
    putBigEndian(bytes, 28, 1, 2);                      // sourcePortIdentity.portNumber
    putBigEndian(bytes, 30, sequenceId, 2);
    bytes[32] = type == Sync ? 0 : type == FollowUp ? 2 : type == DelayReq ? 1 : 5;  // controlField
    bytes[33] = type == Announce ? 1 : 0xFD;  // logMessageInterval
    putBigEndian(bytes, 34, seconds, 6);
    putBigEndian(bytes, 40, nanoseconds, 4);
    if (type == Announce) {
        putBigEndian(bytes, 44, 37, 2);  // currentUtcOffset
        bytes[47] = 128;                 // grandmasterPriority1
        bytes[52] = 128;                 // grandmasterPriority2
    }
    return bytes;
}

}  // namespace ptp

// Diagnostic decoding of the PTP (IEEE 1588-2008) event messages heard while
// looking for a network camera. The bytes come from the network: every field
// is read only after the length has been checked.
#include "NDIUtils.h"
#include "NDIUtilsLog.h"

#include <ctime>

namespace Velantor {

namespace {

constexpr int kPtpEventPort = 319;
constexpr std::size_t kHeaderLength = 34;
constexpr std::size_t kTimestampEnd = 44;  // header + 10-byte timestamp

constexpr int kSync = 0;
constexpr int kFollowUp = 8;
constexpr int kAnnounce = 11;

std::string formatTimestamp(const std::tm& utc)
{
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%F %T", &utc);
    return std::string(text, n);
}

std::uint64_t bigEndian(const std::uint8_t* data, std::size_t bytes)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | data[i];
    return value;
}

// The originTimestamp at offset 34 (48-bit seconds, 32-bit nanoseconds) in
// whole seconds, as UTC without leap-second correction. The nanoseconds are
// carried into the seconds separately: scaling 48-bit seconds to nanoseconds
// would overflow 64 bits for timestamps a sender may well put on the wire.
std::string decodeTimestamp(const std::uint8_t* data)
{
    const std::uint64_t seconds = bigEndian(data + 34, 6);
    const std::uint64_t nanoseconds = bigEndian(data + 40, 4);
    const std::uint64_t whole = seconds + nanoseconds / 1000000000u;
    const std::time_t time = static_cast<std::time_t>(whole);
    std::tm utc{};
    if (gmtime_r(&time, &utc) == nullptr) return std::to_string(whole) + " s";
    return formatTimestamp(utc);
}

}  // namespace

void NDIUtils::logPtpDatagram(const std::string& sender, const std::uint8_t* data, std::size_t size)
{
    using namespace NDIUtilsLog;
    log(Information, [&] { return "PTP message received from " + sender; });
    if (size < kHeaderLength || data == nullptr) return;

    const int messageType = data[0] & 0x0F;
    const bool twoStep = (data[6] & 0x02) != 0;
    const unsigned sequenceId = data[30] * 256u + data[31];

    log(Debug, [] { return "PTP message on port " + std::to_string(kPtpEventPort); });
    log(Debug, [&] { return "  MessageType: " + std::to_string(messageType); });
    log(Debug, [&] { return std::string("  TwoStep: ") + (twoStep ? "yes" : "no"); });
    log(Debug, [&] { return "  SequenceID: " + std::to_string(sequenceId); });
    if (messageType == kSync) {
        if (twoStep || size < kTimestampEnd)
            log(Debug, [] { return "  Two-step Sync: timestamp in Follow_Up"; });
        else
            log(Debug, [&] { return "  OriginTimestamp: " + decodeTimestamp(data); });
    } else if ((messageType == kFollowUp || messageType == kAnnounce) && size >= kTimestampEnd) {
        log(Debug, [&] { return "  PreciseOriginTimestamp: " + decodeTimestamp(data); });
    }
    log(Debug, [] { return std::string(40, '-'); });
}

}  // namespace Velantor

// The diagnostic decoding of PTP datagrams, without sockets. The bytes are
// hostile: nothing may be read beyond the datagram, and a timestamp at the
// top of its 48-bit range must still come out as its date.
#include "LogLines.h"
#include "PtpMessages.h"

#include <NDIUtils.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Velantor::NDIUtils;

namespace {

const std::string kRule = "1|" + std::string(40, '-');

std::vector<std::string> decode(const std::vector<std::uint8_t>& datagram)
{
    NdiUtilsLog log;
    // A heap copy of exactly the datagram's size, so that AddressSanitizer
    // catches any read past its end.
    std::vector<std::uint8_t> exact(datagram);
    exact.shrink_to_fit();
    NDIUtils::logPtpDatagram("10.1.2.3", exact.empty() ? nullptr : exact.data(), exact.size());
    return log.lines();
}

std::vector<std::uint8_t> truncated(std::vector<std::uint8_t> bytes, std::size_t size)
{
    bytes.resize(size);
    return bytes;
}

}  // namespace

TEST(PtpDatagram, DecodedLines)
{
    using namespace ptp;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> datagram;
        std::vector<std::string> lines;
    };
    const std::string from = "2|PTP message received from 10.1.2.3";
    const std::string port = "1|PTP message on port 319";
    const std::vector<Case> cases = {
        {"one-step Sync, zero timestamp",
         message(Sync, false, 7, 0, 0),
         {from, port, "1|  MessageType: 0", "1|  TwoStep: no", "1|  SequenceID: 7",
          "1|  OriginTimestamp: 1970-01-01 00:00:00", kRule}},
        {"one-step Sync, nanoseconds do not round up",
         message(Sync, false, 0xBEEF, 1700000000, 999999999),
         {from, port, "1|  MessageType: 0", "1|  TwoStep: no", "1|  SequenceID: 48879",
          "1|  OriginTimestamp: 2023-11-14 22:13:20", kRule}},
        {"two-step Sync",
         message(Sync, true, 8, 1700000000, 0),
         {from, port, "1|  MessageType: 0", "1|  TwoStep: yes", "1|  SequenceID: 8",
          "1|  Two-step Sync: timestamp in Follow_Up", kRule}},
        {"one-step Sync too short for its timestamp",
         truncated(message(Sync, false, 9, 1, 0), 43),
         {from, port, "1|  MessageType: 0", "1|  TwoStep: no", "1|  SequenceID: 9",
          "1|  Two-step Sync: timestamp in Follow_Up", kRule}},
        {"Follow_Up",
         message(FollowUp, false, 8, 1700000000, 500000000),
         {from, port, "1|  MessageType: 8", "1|  TwoStep: no", "1|  SequenceID: 8",
          "1|  PreciseOriginTimestamp: 2023-11-14 22:13:20", kRule}},
        {"Announce of 64 bytes",
         message(Announce, false, 65535, 86400, 0),
         {from, port, "1|  MessageType: 11", "1|  TwoStep: no", "1|  SequenceID: 65535",
          "1|  PreciseOriginTimestamp: 1970-01-02 00:00:00", kRule}},
        {"Announce cut before its timestamp",
         truncated(message(Announce, false, 1, 86400, 0), 40),
         {from, port, "1|  MessageType: 11", "1|  TwoStep: no", "1|  SequenceID: 1", kRule}},
        {"Delay_Req: no timestamp logged",
         message(DelayReq, false, 3, 86400, 0),
         {from, port, "1|  MessageType: 1", "1|  TwoStep: no", "1|  SequenceID: 3", kRule}},
        {"largest timestamp",
         message(Sync, false, 1, 0xFFFFFFFFFFFFull, 0xFFFFFFFFu),
         {from, port, "1|  MessageType: 0", "1|  TwoStep: no", "1|  SequenceID: 1",
          "1|  OriginTimestamp: 8921556-12-07 10:44:19", kRule}},
        {"header only (34 bytes)",
         truncated(message(FollowUp, true, 2, 0, 0), 34),
         {from, port, "1|  MessageType: 8", "1|  TwoStep: yes", "1|  SequenceID: 2", kRule}},
        {"33 bytes: not decoded", truncated(message(Sync, false, 1, 0, 0), 33), {from}},
        {"20 bytes: not decoded", truncated(message(Sync, false, 1, 0, 0), 20), {from}},
        {"empty datagram", {}, {from}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decode(c.datagram), c.lines);
    }
}

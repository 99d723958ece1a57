#pragma once
// What every reply of the simulated device must be, whatever it was asked:
// framed so that a host can find its end and check its CRC, and, for TX and
// BX, laid out exactly as the reply options promise, so that a host decoding
// it field by field ends where the reply ends. A breach stops the fuzzer.
#include <ndisim/Crc16.h>
#include <ndisim/TrackingReplies.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace simfuzz {

inline void check(bool ok)
{
    if (!ok) __builtin_trap();
}

inline bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// A text reply's payload after checking the four upper-case CRC digits and
// the carriage return; the payload itself never holds a carriage return
// (the host would take it for the end) and only printable text or newlines.
inline std::string textPayload(const std::string& reply)
{
    check(reply.size() >= 5 && reply.back() == '\r');
    const std::string body = reply.substr(0, reply.size() - 5);
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", ndisim::crc16(body));
    check(reply.compare(reply.size() - 5, 4, crc) == 0);
    for (char c : body) check(c == '\n' || (c >= 32 && c <= 126));
    return body;
}

class TextCursor {
public:
    explicit TextCursor(const std::string& text) : m_text(text) {}
    bool at(const char* word) const { return m_text.compare(m_pos, std::strlen(word), word) == 0; }
    void skip(const char* word)
    {
        check(at(word));
        m_pos += std::strlen(word);
    }
    unsigned long hex(std::size_t digits)
    {
        check(m_pos + digits <= m_text.size());
        unsigned long v = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            const char c = m_text[m_pos + i];
            check(isHex(c));
            v = v * 16 + static_cast<unsigned long>(c <= '9' ? c - '0' : c - 'A' + 10);
        }
        m_pos += digits;
        return v;
    }
    // The field's value in units.
    double signedField(std::size_t width)
    {
        check(m_pos + width <= m_text.size());
        check(m_text[m_pos] == '+' || m_text[m_pos] == '-');
        double v = 0;
        for (std::size_t i = 1; i < width; ++i) {
            const char c = m_text[m_pos + i];
            check(c >= '0' && c <= '9');
            v = v * 10 + (c - '0');
        }
        const bool negative = m_text[m_pos] == '-';
        m_pos += width;
        return negative ? -v : v;
    }
    void digitsIn(std::size_t count, char lo, char hi)
    {
        check(m_pos + count <= m_text.size());
        for (std::size_t i = 0; i < count; ++i)
            check(m_text[m_pos + i] >= lo && m_text[m_pos + i] <= hi);
        m_pos += count;
    }
    bool done() const { return m_pos == m_text.size(); }

private:
    const std::string& m_text;
    std::size_t m_pos = 0;
};

// What a tracking reply said about one handle, to compare TX with BX.
struct HandleReport {
    enum State {
        Visible,
        Missing,
        Disabled,
        Unknown
    } state = Unknown;  // Unknown: no transforms asked
    unsigned handle = 0;
    double pose[8] = {};  // q0 qx qy qz tx ty tz error
    unsigned long portStatus = 0;
    unsigned long frame = 0;
};

struct TrackingReport {
    std::vector<HandleReport> handles;
    std::vector<std::array<double, 3>> strays;
};

// A TX payload walked with the options it was asked for.
inline TrackingReport checkTX(const std::string& payload, unsigned options)
{
    namespace O = ndisim::ReplyOption;
    TrackingReport report;
    TextCursor c(payload);
    const unsigned long handles = c.hex(2);
    for (unsigned long i = 0; i < handles; ++i) {
        HandleReport h;
        h.handle = static_cast<unsigned>(c.hex(2));
        bool disabled = false;
        if (options & O::kTransforms) {
            if (c.at("DISABLED")) {
                c.skip("DISABLED");
                disabled = true;
                h.state = HandleReport::Disabled;
            } else {
                if (c.at("MISSING")) {
                    c.skip("MISSING");
                    h.state = HandleReport::Missing;
                } else {
                    h.state = HandleReport::Visible;
                    for (int q = 0; q < 4; ++q) h.pose[q] = c.signedField(6) * 1e-4;
                    for (int t = 4; t < 7; ++t) h.pose[t] = c.signedField(7) * 0.01;
                    h.pose[7] = c.signedField(6) * 1e-4;
                }
                h.portStatus = c.hex(8);
                h.frame = c.hex(8);
            }
        } else if (c.at("\n")) {
            // Without transforms a disabled handle is its number alone.
            disabled = true;
        }
        report.handles.push_back(h);
        if (!disabled) {
            if (options & O::kToolInfo) {
                c.hex(2);
                c.digitsIn(18, '0', '3');
            }
            if (options & O::kSingleStray) c.skip("MISSING");
        }
        c.skip("\n");
    }
    if (options & O::kPassiveStrays) {
        const unsigned long strays = c.hex(2);
        if (strays > 0) {
            c.digitsIn((strays + 3) / 4, '0', '9');
            for (unsigned long s = 0; s < strays; ++s) {
                std::array<double, 3> v{};
                for (double& x : v) x = c.signedField(7) * 0.01;
                report.strays.push_back(v);
            }
        }
    }
    c.hex(4);  // system status
    check(c.done());
    return report;
}

inline unsigned u16At(const std::string& s, std::size_t at)
{
    return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}

inline float floatAt(const std::string& s, std::size_t at)
{
    float f;
    std::memcpy(&f, s.data() + at, sizeof f);
    return f;
}

inline std::uint32_t u32At(const std::string& s, std::size_t at)
{
    return u16At(s, at) | static_cast<std::uint32_t>(u16At(s, at + 2)) << 16;
}

// A complete BX reply (framing and body) walked with the options it was asked for.
inline TrackingReport checkBX(const std::string& reply, unsigned options)
{
    namespace O = ndisim::ReplyOption;
    check(reply.size() >= 8);
    check(static_cast<unsigned char>(reply[0]) == 0xC4 &&
          static_cast<unsigned char>(reply[1]) == 0xA5);
    const std::size_t length = u16At(reply, 2);
    check(length + 8 == reply.size());
    check(u16At(reply, 4) == ndisim::crc16(reply.data(), 4));
    const std::string body = reply.substr(6, length);
    check(u16At(reply, 6 + length) == ndisim::crc16(body));

    std::size_t pos = 0;
    auto take = [&](std::size_t n) {
        check(pos + n <= body.size());
        const std::size_t at = pos;
        pos += n;
        return at;
    };
    auto u8 = [&] { return static_cast<unsigned char>(body[take(1)]); };
    auto finiteFloats = [&](std::size_t n) {
        const std::size_t at = take(4 * n);
        for (std::size_t i = 0; i < n; ++i) check(std::isfinite(floatAt(body, at + 4 * i)));
    };
    TrackingReport report;
    const unsigned handles = u8();
    for (unsigned i = 0; i < handles; ++i) {
        HandleReport h;
        h.handle = u8();
        const unsigned status = u8();
        check(status == 0x01 || status == 0x02 || status == 0x04);
        h.state = status == 0x01   ? HandleReport::Visible
                  : status == 0x02 ? HandleReport::Missing
                                   : HandleReport::Disabled;
        report.handles.push_back(h);
        if (status == 0x04) continue;
        if (options & O::kTransforms) {
            if (status == 0x01) {
                const std::size_t at = pos;
                finiteFloats(8);
                for (int k = 0; k < 8; ++k)
                    report.handles.back().pose[k] =
                        floatAt(body, at + 4 * static_cast<std::size_t>(k));
            }
            report.handles.back().portStatus = u32At(body, take(4));
            report.handles.back().frame = u32At(body, take(4));
        }
        if (options & O::kToolInfo) take(11);
        if (options & O::kSingleStray) take(1);
        if (options & O::kToolMarkers) {
            const unsigned markers = u8();
            check(markers <= 20);
            take((markers + 7) / 8);
            finiteFloats(3 * markers);
        }
    }
    if (options & O::kPassiveStrays) {
        const unsigned strays = u8();
        check(strays <= 127);
        take((strays + 7) / 8);
        const std::size_t at = pos;
        finiteFloats(3 * strays);
        for (std::size_t k = 0; k < strays; ++k) {
            report.strays.push_back({floatAt(body, at + 12 * k), floatAt(body, at + 12 * k + 4),
                                     floatAt(body, at + 12 * k + 8)});
        }
    }
    take(2);
    check(pos == body.size());
    return report;
}

// TX and BX of the same frame, both with transforms (and strays when both
// asked for them), tell the same story within the text format's units.
inline void checkSameFrame(const TrackingReport& tx, const TrackingReport& bx)
{
    check(tx.handles.size() == bx.handles.size());
    for (std::size_t i = 0; i < tx.handles.size(); ++i) {
        const HandleReport& t = tx.handles[i];
        const HandleReport& b = bx.handles[i];
        check(t.handle == b.handle && t.state == b.state);
        if (t.state == HandleReport::Disabled) continue;
        check(t.portStatus == b.portStatus && t.frame == b.frame);
        if (t.state != HandleReport::Visible) continue;
        for (int k = 0; k < 8; ++k) {
            const double unit = k >= 4 && k < 7 ? 0.01 : 1e-4;
            check(std::fabs(t.pose[k] - b.pose[k]) <=
                  unit / 2 + 1e-3 * unit + std::fabs(b.pose[k]) * 1e-6);
        }
    }
    check(tx.strays.size() == bx.strays.size());
    for (std::size_t i = 0; i < tx.strays.size(); ++i) {
        for (int k = 0; k < 3; ++k) {
            check(std::fabs(tx.strays[i][k] - bx.strays[i][k]) <=
                  0.005 + 1e-5 + std::fabs(bx.strays[i][k]) * 1e-6);
        }
    }
}

}  // namespace simfuzz

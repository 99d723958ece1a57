// Builds tracker replies from their wire layouts, for the protocol library's
// tests, the capture fuzzer's seeds and the benchmarks: the one reply encoder
// of the tests. Written from the reply formats, independently of the capture
// code it exercises, and able to say what no well-behaved system says (wrong
// counts and lengths): text replies are assembled field by field, binary ones
// byte by byte (little-endian), and framing CRCs come from Boost.CRC, so that
// the library's own CRC is checked against an independent one.
#pragma once

#include <boost/crc.hpp>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace replies {

// ---- text fields ----

inline std::string hex(unsigned long value, int digits)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lX", digits, value);
    return std::string(buf).substr(std::strlen(buf) - static_cast<size_t>(digits));
}

// A sign followed by width - 1 decimal digits of value / scale.
inline std::string signedField(double value, double scale, int width)
{
    long units = std::lround(value / scale);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c%0*ld", units < 0 ? '-' : '+', width - 1, std::labs(units));
    return buf;
}

struct Pose {
    double q0 = 1, qx = 0, qy = 0, qz = 0, tx = 0, ty = 0, tz = 0, error = 0;
};

// 51 characters: quaternion 4 x 6, translation 3 x 7, error 6.
inline std::string poseText(const Pose& p)
{
    return signedField(p.q0, 1e-4, 6) + signedField(p.qx, 1e-4, 6) + signedField(p.qy, 1e-4, 6) +
           signedField(p.qz, 1e-4, 6) + signedField(p.tx, 0.01, 7) + signedField(p.ty, 0.01, 7) +
           signedField(p.tz, 0.01, 7) + signedField(p.error, 1e-4, 6);
}

// 21 characters: x, y, z in hundredths of a millimetre.
inline std::string coordText(double x, double y, double z)
{
    return signedField(x, 0.01, 7) + signedField(y, 0.01, 7) + signedField(z, 0.01, 7);
}

// ---- TX ----

struct TxEntry {
    int handle = 0;
    bool unoccupied = false;
    std::string transform;  // poseText(...), "MISSING" or "DISABLED"
    unsigned long portStatus = 0;
    unsigned long frame = 0;
    std::string information;  // 2 hex digits of tool information, then markers
    std::string singleStray;  // coordText(...), "MISSING" or "DISABLED"
};

struct TxReply {
    std::vector<TxEntry> entries;
    std::optional<int> handleCount;  // default: entries.size()
    std::vector<std::array<double, 3>> passiveStrays;
    std::optional<int> passiveStrayCount;  // default: passiveStrays.size()
    unsigned long systemStatus = 0;
};

inline std::string encodeTx(unsigned option, const TxReply& r)
{
    std::string out = hex(
        static_cast<unsigned long>(r.handleCount.value_or(static_cast<int>(r.entries.size()))), 2);
    for (const TxEntry& e : r.entries) {
        out += hex(static_cast<unsigned long>(e.handle), 2);
        if (e.unoccupied) {
            out += "UNOCCUPIED\n";
            continue;
        }
        if (option & 0x0001) {
            out += e.transform + hex(e.portStatus, 8) + hex(e.frame, 8);
        }
        if (option & 0x0002) {
            out += e.information;
        }
        if (option & 0x0004) {
            out += e.singleStray;
        }
        out += "\n";
    }
    if (option & 0x1000) {
        int count = r.passiveStrayCount.value_or(static_cast<int>(r.passiveStrays.size()));
        out += hex(static_cast<unsigned long>(count), 2);
        if (count > 0) {
            for (int i = 0; i < (count + 3) / 4; ++i) {
                out += hex(static_cast<unsigned long>(i % 16), 1);
            }
            for (const auto& s : r.passiveStrays) {
                out += coordText(s[0], s[1], s[2]);
            }
        }
    }
    out += hex(r.systemStatus, 4);
    return out;
}

// ---- GX (older tracking reply) ----

struct GxReply {
    std::array<std::string, 3> transforms;   // ports 1 to 3
    std::string status = "00000000";         // system, then ports 3, 2, 1
    std::array<std::string, 3> information;  // 12 characters each
    std::array<std::string, 3> singleStrays;
    std::array<std::string, 3> frames;             // 8 hex digits each
    std::array<std::string, 9> passiveTransforms;  // ports A to I
    std::array<std::string, 3> passiveStatus;      // system, then C, B, A; F, E, D; I, H, G
    std::array<std::string, 9> passiveInformation;
    std::array<std::string, 9> passiveFrames;
    std::string passiveStrays;  // signed count, then 21 per stray
};

inline std::string encodeGx(unsigned option, const GxReply& r)
{
    std::string out;
    if (option & 0x0001) {
        for (const auto& t : r.transforms) {
            out += t + "\n";
        }
        out += r.status + "\n";
    }
    if (option & 0x0002) {
        for (const auto& i : r.information) {
            out += i;
        }
        out += "\n";
    }
    if (option & 0x0004) {
        for (const auto& s : r.singleStrays) {
            out += s + "\n";
        }
    }
    if (option & 0x0008) {
        for (const auto& f : r.frames) {
            out += f;
        }
        out += "\n";
    }
    if (option & 0x8000) {
        int groups = (option & 0x2000) ? 3 : 1;
        if ((option & 0x0001) || (option & 0x000F) == 0) {
            for (int g = 0; g < groups; ++g) {
                for (int i = 0; i < 3; ++i) {
                    out += r.passiveTransforms[3 * g + i] + "\n";
                }
                out += r.passiveStatus[g] + "\n";
            }
        }
        if (option & 0x0002) {
            for (int i = 0; i < 3 * groups; ++i) {
                out += r.passiveInformation[i];
            }
            out += "\n";
        }
        if (option & 0x0008) {
            for (int i = 0; i < 3 * groups; ++i) {
                out += r.passiveFrames[i];
            }
            out += "\n";
        }
    }
    if (option & 0x1000) {
        out += r.passiveStrays;
    }
    return out;
}

// ---- BX ----

struct BxEntry {
    std::uint8_t handle = 0;
    std::uint8_t status = 0x01;  // 0x01 valid, 0x02 missing, 0x04 disabled
    std::array<float, 8> pose{1, 0, 0, 0, 0, 0, 0, 0};
    std::uint32_t portStatus = 0;
    std::uint32_t frame = 0;
    std::array<std::uint8_t, 11> information{};
    std::uint8_t strayStatus = 0;
    std::array<float, 3> stray{};
    std::vector<std::array<float, 3>> markers;
    std::optional<int> markerCount;  // signed byte on the wire; default markers.size()
};

struct BxReply {
    std::vector<BxEntry> entries;
    std::optional<int> handleCount;  // default entries.size()
    std::vector<std::array<float, 3>> passiveStrays;
    std::optional<int> passiveStrayCount;  // signed byte; default passiveStrays.size()
    std::uint16_t systemStatus = 0;
    std::optional<int> lengthField;  // default: the body's real length
};

class Bytes {
public:
    void u8(unsigned v) { data.push_back(static_cast<char>(v & 0xFF)); }
    void u16(unsigned v)
    {
        u8(v);
        u8(v >> 8);
    }
    void u32(std::uint32_t v)
    {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void f32(float f)
    {
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        u32(bits);
    }
    std::string data;
};

inline unsigned crc16(const std::string& bytes)
{
    boost::crc_16_type crc;
    crc.process_bytes(bytes.data(), bytes.size());
    return crc.checksum();
}

// The reply as the capture sees it: header (magic, length, header CRC over
// bytes 0 to 3) and body, without the body CRC.
inline std::string encodeBx(unsigned option, const BxReply& r)
{
    Bytes body;
    body.u8(static_cast<unsigned>(r.handleCount.value_or(static_cast<int>(r.entries.size()))));
    for (const BxEntry& e : r.entries) {
        body.u8(e.handle);
        body.u8(e.status);
        if (e.status == 0x04) {
            continue;
        }
        if (option & 0x0001) {
            if (e.status != 0x02) {
                for (float f : e.pose) {
                    body.f32(f);
                }
            }
            body.u32(e.portStatus);
            body.u32(e.frame);
        }
        if (option & 0x0002) {
            for (auto b : e.information) {
                body.u8(b);
            }
        }
        if (option & 0x0004) {
            body.u8(e.strayStatus);
            if (e.strayStatus != 0) {
                for (float f : e.stray) {
                    body.f32(f);
                }
            }
        }
        if (option & 0x0008) {
            int count = e.markerCount.value_or(static_cast<int>(e.markers.size()));
            body.u8(static_cast<unsigned>(count));
            if (count > 0) {
                for (int i = 0; i < (count + 7) / 8; ++i) {
                    body.u8(0x80u >> (i % 8));
                }
                for (const auto& m : e.markers) {
                    body.f32(m[0]);
                    body.f32(m[1]);
                    body.f32(m[2]);
                }
            }
        }
    }
    if (option & 0x1000) {
        int count = r.passiveStrayCount.value_or(static_cast<int>(r.passiveStrays.size()));
        body.u8(static_cast<unsigned>(count));
        if (count > 0) {
            for (int i = 0; i < (count + 7) / 8; ++i) {
                body.u8(static_cast<unsigned>(0x11 * (i + 1)));
            }
            for (const auto& s : r.passiveStrays) {
                body.f32(s[0]);
                body.f32(s[1]);
                body.f32(s[2]);
            }
        }
    }
    body.u16(r.systemStatus);

    Bytes header;
    header.u8(0xC4);
    header.u8(0xA5);
    header.u16(static_cast<unsigned>(r.lengthField.value_or(static_cast<int>(body.data.size()))));
    header.u16(crc16(header.data));
    return header.data + body.data;
}

// The whole binary reply on the wire: the payload and its body CRC.
inline std::string frameBx(const std::string& payload)
{
    Bytes crc;
    crc.u16(crc16(payload.substr(6)));
    return payload + crc.data;
}

// A whole binary reply around any body: magic, the body's length, header
// CRC, body, body CRC.
inline std::string binaryReply(const std::string& body)
{
    Bytes header;
    header.u8(0xC4);
    header.u8(0xA5);
    header.u16(static_cast<unsigned>(body.size()));
    header.u16(crc16(header.data));
    return frameBx(header.data + body);
}

// A text reply on the wire: payload, four CRC digits, carriage return.
inline std::string frameText(const std::string& payload)
{
    return payload + hex(crc16(payload), 4) + "\r";
}

}  // namespace replies

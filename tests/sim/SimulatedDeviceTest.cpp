// The simulated device's command interpreter and reply layouts, byte for
// byte, without any transport.
#include <ndisim/Crc16.h>
#include <ndisim/Device.h>
#include <ndisim/ReplyFormat.h>

#include <Velantor/ToolDefinitionImageLayout.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

using namespace ndisim;

namespace {

// A command as a host frames it: CRC digits after a ':' command.
std::string framed(const std::string& text) { return text + hexField(crc16(text), 4); }

// The payload of a text reply after checking its framing.
std::string payload(const std::string& reply)
{
    EXPECT_GE(reply.size(), 5u);
    if (reply.size() < 5) return {};
    EXPECT_EQ(reply.back(), '\r');
    const std::string body = reply.substr(0, reply.size() - 5);
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", crc16(body));
    EXPECT_EQ(reply.substr(reply.size() - 5, 4), crc) << "reply " << body;
    return body;
}

std::string send(Device& d, const std::string& text)
{
    return payload(d.command(framed(text)).bytes);
}

std::string hex(const std::uint8_t* bytes, std::size_t n)
{
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        out += b;
    }
    return out;
}

ImageBytes image(const std::string& part, const std::vector<Vec3>& markers)
{
    namespace L = Velantor::ToolDefinitionImageLayout;
    ImageBytes img{};
    std::memcpy(img.data(), L::kMagic, 4);
    img[L::kMarkerCountOffset] = static_cast<std::uint8_t>(markers.size());
    for (std::size_t m = 0; m < markers.size(); ++m) {
        for (std::size_t k = 0; k < 3; ++k) {
            const float f = static_cast<float>(markers[m][k]);
            std::memcpy(img.data() + L::kMarkersOffset + m * L::kMarkerStride + 4 * k, &f, 4);
        }
    }
    std::memcpy(img.data() + L::kSecondMagicOffset, L::kMagic, 4);
    std::memcpy(img.data() + L::kPartNumberOffset, part.data(), part.size());
    return img;
}

void upload(Device& d, int handle, const ImageBytes& img)
{
    for (int address = 0; address < 1024; address += 64) {
        char head[16];
        std::snprintf(head, sizeof head, "PVWR:%02X%04X", handle, address);
        ASSERT_EQ(send(d, head + hex(img.data() + address, 64)), "OKAY") << address;
    }
}

std::uint32_t u32(const std::string& s, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<std::uint8_t>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

float f32(const std::string& s, std::size_t at)
{
    const std::uint32_t bits = u32(s, at);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

}  // namespace

TEST(SimCrc, MatchesTheFramingExamples)
{
    EXPECT_EQ(crc16("123456789"), 0xBB3D);
    EXPECT_EQ(crc16("INIT:"), 0xE3A5);
    EXPECT_EQ(crc16("RESET"), 0xBE6F);
    EXPECT_EQ(crc16("OKAY"), 0xA896);
    EXPECT_EQ(crc16("VER:0"), 0x65EE);
    EXPECT_EQ(crc16("GETINFO:Features.Firmware.Version"), 0x0492);
    EXPECT_EQ(textReply("OKAY"), "OKAYA896\r");
}

TEST(SimText, SignedFieldsRoundAndClamp)
{
    struct Case {
        double value, unit;
        int width;
        const char* text;
    };
    const Case cases[] = {
        {1.0, 1e-4, 6, "+10000"},        {-0.70711, 1e-4, 6, "-07071"},
        {123.45, 0.01, 7, "+012345"},    {-0.004, 0.01, 7, "+000000"},
        {-1500.005, 0.01, 7, "-150000"}, {12345.0, 0.01, 7, "+999999"},
        {-99999.0, 1e-4, 6, "-99999"},
    };
    for (const Case& c : cases) EXPECT_EQ(signedField(c.value, c.unit, c.width), c.text) << c.value;
}

TEST(SimDevice, RefusesBadCommandsWithTheirCodes)
{
    Device d(defaultScenario(Family::Polaris));
    struct Case {
        std::string line;
        int code;
    };
    const Case cases[] = {
        {"INIT:E3A6", 0x04},        // wrong CRC
        {"INIT:", 0x04},            // CRC missing
        {"INIT:e3a5X", 0x04},       // not hex
        {framed("FOO:"), 0x01},     // unknown command
        {framed("tx:0001"), 0x01},  // names are upper case
        {"", 0x03},                 // empty line
        {framed("TX:0001"), 0x0C},  // not initialised yet
        {framed("INIT:1"), 0x07},
        {framed("COMM:5000"), 0x07},
        {framed("COMM:90000"), 0x23},
        {framed("VER:X"), 0x23},
    };
    for (const Case& c : cases) {
        char expected[8];
        std::snprintf(expected, sizeof expected, "ERROR%02X", c.code);
        EXPECT_EQ(payload(d.command(c.line).bytes), expected) << "command '" << c.line << "'";
    }
    ASSERT_EQ(send(d, "INIT:"), "OKAY");
    const Case initialised[] = {
        {framed("TX:0001"), 0x0C},                                // not tracking
        {framed("BX:0801"), 0x0C},   {framed("PINIT:05"), 0x0D},  // no such handle
        {framed("PENA:05D"), 0x0D},  {framed("PHINF:050001"), 0x0D},
        {framed("PHSR:07"), 0x23},   {framed("PHRQ:****"), 0x07},
        {framed("SFLIST:01"), 0x23}, {framed("VSEL:7"), 0x23},
        {framed("TSTART:81"), 0x23}, {framed("PVWR:0100" + std::string(128, '0')), 0x07},
    };
    for (const Case& c : initialised) {
        char expected[8];
        std::snprintf(expected, sizeof expected, "ERROR%02X", c.code);
        EXPECT_EQ(payload(d.command(c.line).bytes), expected) << "command '" << c.line << "'";
    }
    // The older blank-separated form carries no CRC.
    EXPECT_EQ(payload(d.command("TSTOP ").bytes), "OKAY");
}

TEST(SimDevice, PassiveToolExistsOnlyAfterUploadInitAndEnable)
{
    Device d(defaultScenario(Family::Polaris));
    ASSERT_EQ(send(d, "INIT:"), "OKAY");
    const std::string handleText = send(d, "PHRQ:*********1****");
    ASSERT_EQ(handleText.size(), 2u);
    const int h = std::stoi(handleText, nullptr, 16);
    char cmd[32];
    std::snprintf(cmd, sizeof cmd, "PINIT:%02X", h);
    EXPECT_EQ(send(d, cmd), "ERROR0D");  // nothing uploaded
    std::snprintf(cmd, sizeof cmd, "PHINF:%02X0001", h);
    EXPECT_EQ(send(d, cmd), "UNOCCUPIED");

    const ToolDescription& pointer = d.scenario().tools[1];
    const std::vector<Vec3> geometry = {{0, 0, 0}, {10, 0, 0}, {0, 20, 0}};
    upload(d, h, image(pointer.partNumber, geometry));
    std::snprintf(cmd, sizeof cmd, "PENA:%02XD", h);
    EXPECT_EQ(send(d, cmd), "ERROR0E");  // not initialised
    std::snprintf(cmd, sizeof cmd, "PINIT:%02X", h);
    EXPECT_EQ(send(d, cmd), "OKAY");
    std::snprintf(cmd, sizeof cmd, "PENA:%02XX", h);
    EXPECT_EQ(send(d, cmd), "ERROR09");
    std::snprintf(cmd, sizeof cmd, "PENA:%02XD", h);
    EXPECT_EQ(send(d, cmd), "OKAY");
    EXPECT_EQ(d.scenarioToolOf(h), 1);
    EXPECT_EQ(d.handleMarkers(h), geometry);  // the image's geometry wins

    char status[16];
    std::snprintf(status, sizeof status, "01%02X031", h);
    EXPECT_EQ(send(d, "PHSR:04"), status);
    EXPECT_EQ(send(d, "PHSR:02"), "00");

    // PHINF: 31 + 2, 8, 20, 2, 2, 14, 2 characters in option order.
    std::snprintf(cmd, sizeof cmd, "PHINF:%02X007F", h);
    const std::string info = send(d, cmd);
    ASSERT_EQ(info.size(), 33u + 8 + 20 + 2 + 2 + 14 + 2);
    EXPECT_EQ(info.substr(0, 31), pointer.toolInfo);
    EXPECT_EQ(info.substr(31, 2), "31");
    EXPECT_EQ(info.substr(41, 20),
              pointer.partNumber + std::string(20 - pointer.partNumber.size(), ' '));
}

TEST(SimDevice, WiredToolsAnnounceThemselvesWithPortLocations)
{
    Device d(defaultScenario(Family::Aurora));
    ASSERT_EQ(send(d, "INIT:"), "OKAY");
    const std::string all = send(d, "PHSR:00");
    ASSERT_EQ(all.substr(0, 2), "04");
    ASSERT_EQ(all.size(), 2u + 4 * 5);
    for (int i = 0; i < 4; ++i) {
        const int h = std::stoi(all.substr(2 + 5 * static_cast<std::size_t>(i), 2), nullptr, 16);
        EXPECT_EQ(all.substr(4 + 5 * static_cast<std::size_t>(i), 3), "001");  // occupied only
        char cmd[32];
        std::snprintf(cmd, sizeof cmd, "PHINF:%02X0025", h);
        const std::string info = send(d, cmd);
        ASSERT_EQ(info.size(), 33u + 20 + 14);
        const ToolDescription& tool =
            d.scenario().tools[static_cast<std::size_t>(d.scenarioToolOf(h))];
        EXPECT_EQ(info.substr(0, 31), tool.toolInfo);
        EXPECT_EQ(std::stoi(info.substr(53 + 10, 2)), tool.port) << info;
        // PHINF without an option word answers the basic information only.
        std::snprintf(cmd, sizeof cmd, "PHINF:%02X", h);
        EXPECT_EQ(send(d, cmd).size(), 33u);
    }
    EXPECT_EQ(send(d, "PHSR:02").substr(0, 2), "04");  // none initialised yet
}

TEST(SimDevice, TrackingRepliesCarryTheTrajectoryPoses)
{
    Scenario s = defaultScenario(Family::Aurora);
    s.tools.resize(2);
    s.tools[1].disabled = {{0, 0xFFFFFFFF}};
    Device d(s);
    ASSERT_EQ(send(d, "INIT:"), "OKAY");
    for (int h : d.portHandles()) {
        char cmd[32];
        std::snprintf(cmd, sizeof cmd, "PINIT:%02X", h);
        ASSERT_EQ(send(d, cmd), "OKAY");
        std::snprintf(cmd, sizeof cmd, "PENA:%02XD", h);
        ASSERT_EQ(send(d, cmd), "OKAY");
    }
    ASSERT_EQ(send(d, "TSTART:"), "OKAY");
    EXPECT_EQ(send(d, "TSTART:"), "ERROR0C");
    const Clock::time_point now = Clock::now();
    const std::uint32_t frame = d.frameAt(now);
    const int h0 = d.portHandles()[0], h1 = d.portHandles()[1];
    const Pose expected = toolFrameAt(s.tools[0], frame, s.frameRate).pose;

    // TX:0001 - count, then per handle a line; disabled tools say so.
    const std::string tx = payload(d.command(framed("TX:0001"), now).bytes);
    char head[8];
    std::snprintf(head, sizeof head, "02%02X", h0);
    ASSERT_EQ(tx.substr(0, 4), head);
    const std::string t = tx.substr(4, 51);
    EXPECT_NEAR(std::stoi(t.substr(0, 6)) * 1e-4, expected.q[0], 0.51e-4);
    EXPECT_NEAR(std::stoi(t.substr(24, 7)) * 0.01, expected.t[0], 0.0051);
    EXPECT_NEAR(std::stoi(t.substr(38, 7)) * 0.01, expected.t[2], 0.0051);
    EXPECT_EQ(tx.substr(55, 8), "00000031");
    EXPECT_EQ(std::stoul(tx.substr(63, 8), nullptr, 16), frame);
    std::snprintf(head, sizeof head, "\n%02X", h1);
    EXPECT_EQ(tx.substr(71, 12), std::string(head) + "DISABLED\n");
    EXPECT_EQ(tx.substr(83), "0000");

    // BX:0801 - header, CRCs, per handle status, pose floats, status, frame.
    const std::string bx = d.command(framed("BX:0801"), now).bytes;
    ASSERT_GE(bx.size(), 8u);
    ASSERT_EQ(static_cast<std::uint8_t>(bx[0]), 0xC4);
    ASSERT_EQ(static_cast<std::uint8_t>(bx[1]), 0xA5);
    const std::size_t length = static_cast<std::uint8_t>(bx[2]) | static_cast<std::uint8_t>(bx[3])
                                                                      << 8;
    ASSERT_EQ(bx.size(), length + 8);
    EXPECT_EQ(crc16(bx.data(), 4),
              (static_cast<std::uint8_t>(bx[4]) | static_cast<std::uint8_t>(bx[5]) << 8));
    EXPECT_EQ(crc16(bx.data() + 6, length), (static_cast<std::uint8_t>(bx[6 + length]) |
                                             static_cast<std::uint8_t>(bx[7 + length]) << 8));
    EXPECT_EQ(crc16(bx.data(), bx.size()), 0);  // the whole reply checks to zero
    const std::string body = bx.substr(6, length);
    ASSERT_EQ(body.size(), 1u + (2 + 32 + 8) + 2 + 2);
    EXPECT_EQ(body[0], 2);
    EXPECT_EQ(static_cast<std::uint8_t>(body[1]), h0);
    EXPECT_EQ(body[2], 0x01);
    EXPECT_FLOAT_EQ(f32(body, 3), static_cast<float>(expected.q[0]));
    EXPECT_FLOAT_EQ(f32(body, 3 + 16), static_cast<float>(expected.t[0]));
    EXPECT_FLOAT_EQ(f32(body, 3 + 28), static_cast<float>(expected.error));
    EXPECT_EQ(u32(body, 35), 0x31u);
    EXPECT_EQ(u32(body, 39), frame);
    EXPECT_EQ(static_cast<std::uint8_t>(body[43]), h1);
    EXPECT_EQ(body[44], 0x04);  // disabled: nothing follows
}

TEST(SimDevice, BinaryMarkersAndStraysFollowThePose)
{
    Scenario s = defaultScenario(Family::Vega);
    s.tools[0].missing.clear();
    Device d(s);
    ASSERT_EQ(send(d, "INIT:"), "OKAY");
    const int h = std::stoi(send(d, "PHRQ:*********1****"), nullptr, 16);
    upload(d, h, image(s.tools[0].partNumber, {}));  // no geometry: the scenario's
    char cmd[32];
    std::snprintf(cmd, sizeof cmd, "PINIT:%02X", h);
    ASSERT_EQ(send(d, cmd), "OKAY");
    std::snprintf(cmd, sizeof cmd, "PENA:%02XD", h);
    ASSERT_EQ(send(d, cmd), "OKAY");
    ASSERT_EQ(send(d, "TSTART:"), "OKAY");
    const Clock::time_point now = Clock::now();
    const std::uint32_t frame = d.frameAt(now);
    const std::string bx = d.command(framed("BX:180F"), now).bytes;
    const std::string body = bx.substr(6, bx.size() - 8);
    const Pose pose = toolFrameAt(s.tools[0], frame, s.frameRate).pose;
    // handle, status, 32 pose, 8 status+frame, 11 info, 1 single stray, then markers
    std::size_t at = 1 + 2 + 32 + 8 + 11;
    EXPECT_EQ(body[at++], 0);  // no single stray
    const std::size_t n = static_cast<std::uint8_t>(body[at++]);
    ASSERT_EQ(n, s.tools[0].markers.size());
    at += (n + 7) / 8;
    for (std::size_t m = 0; m < n; ++m, at += 12) {
        const Vec3 w = pose.apply(s.tools[0].markers[m]);
        for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(f32(body, at + 4 * k), w[k], 1e-3);
    }
    const std::size_t strays = static_cast<std::uint8_t>(body[at++]);
    ASSERT_EQ(strays, s.strays.size());
    at += (strays + 7) / 8;
    for (std::size_t i = 0; i < strays; ++i, at += 12) {
        EXPECT_NEAR(f32(body, at), strayPositionAt(s.strays[i], frame, s.frameRate)[0], 1e-3);
    }
    EXPECT_EQ(at + 2, body.size());  // then the system status
}

TEST(SimDevice, UnknownImagesAreMissingUnlessTrackedAndTheCounterRestarts)
{
    for (bool track : {false, true}) {
        Scenario s = defaultScenario(Family::Polaris);
        s.trackUnmatchedTools = track;
        Device d(s);
        ASSERT_EQ(send(d, "INIT:"), "OKAY");
        const int h = std::stoi(send(d, "PHRQ:*********1****"), nullptr, 16);
        upload(d, h, image("999999999", {}));  // the placeholder tool: no such tool in view
        char cmd[32];
        std::snprintf(cmd, sizeof cmd, "PINIT:%02X", h);
        ASSERT_EQ(send(d, cmd), "OKAY");
        std::snprintf(cmd, sizeof cmd, "PENA:%02XD", h);
        ASSERT_EQ(send(d, cmd), "OKAY");
        EXPECT_EQ(d.scenarioToolOf(h), -1);
        const Clock::time_point later = Clock::now() + std::chrono::seconds(100);
        ASSERT_GT(d.frameAt(later), 6000u);
        ASSERT_EQ(payload(d.command(framed("TSTART:80"), later).bytes), "OKAY");
        EXPECT_EQ(d.frameAt(later), 0u);
        const std::string tx = payload(d.command(framed("TX:0001"), later).bytes);
        EXPECT_EQ(tx.substr(4, 7) == "MISSING", !track) << tx;
        EXPECT_EQ(std::stoul(tx.substr(tx.size() - 13, 8), nullptr, 16), 0u) << tx;  // frame 0
    }
}

TEST(SimDevice, OperatingVolumesAndSelection)
{
    Device d(defaultScenario(Family::Polaris));
    ASSERT_EQ(send(d, "INIT:"), "OKAY");
    const std::string list = send(d, "SFLIST:03");
    ASSERT_EQ(list.size(), 1u + 2 * 75);
    EXPECT_EQ(list[0], '2');
    EXPECT_EQ(list.substr(1, 8), "5-133600");
    EXPECT_EQ(send(d, "VSEL:2"), "OKAY");
    EXPECT_EQ(d.selectedVolume(), 2);
    EXPECT_EQ(send(d, "VSEL:3"), "ERROR23");
}

TEST(SimDevice, CommAnswersBeforeSwitchingAndVersionQueries)
{
    Device d(defaultScenario(Family::Aurora));
    const DeviceReply r = d.command(framed("COMM:50001"));
    EXPECT_EQ(payload(r.bytes), "OKAY");
    ASSERT_TRUE(r.lineAfter);
    EXPECT_EQ(r.lineAfter->baud, 115200);
    EXPECT_TRUE(r.lineAfter->handshake);
    EXPECT_EQ(d.line().baud, 9600);  // the Simulator switches once the OKAY is out
    EXPECT_EQ(d.command(framed("COMM:A1210")).lineAfter->parity, 'E');
    EXPECT_EQ(send(d, "GETINFO:Features.Firmware.Version"), "ERROR01");  // an older system
    EXPECT_GT(send(d, "VER:0").size(), 6u);
    Device vega(defaultScenario(Family::Vega));
    EXPECT_EQ(
        send(vega, "GETINFO:Features.Firmware.Version").rfind("Features.Firmware.Version=", 0), 0u);
}

TEST(SimToolImage, HostileGeometryIsIgnored)
{
    ImageBytes img = image("12345", {{1, 2, 3}});
    ASSERT_TRUE(parseToolImage(img));
    EXPECT_EQ(parseToolImage(img)->partNumber, "12345");
    EXPECT_EQ(parseToolImage(img)->markers.size(), 1u);

    img[Velantor::ToolDefinitionImageLayout::kMarkerCountOffset] = 200;  // beyond the image
    EXPECT_TRUE(parseToolImage(img)->markers.empty());

    img = image("12345", {{1, 2, 3}});
    const float nan = std::nanf("");
    std::memcpy(img.data() + Velantor::ToolDefinitionImageLayout::kMarkersOffset, &nan, 4);
    EXPECT_TRUE(parseToolImage(img)->markers.empty());

    img = image(
        "\x01\x02"
        "99",
        {});
    EXPECT_EQ(parseToolImage(img)->partNumber, "??99");  // control characters never reach PHINF
    img[0] = 'X';
    EXPECT_FALSE(parseToolImage(img));
}

TEST(SimDevice, FrameCounterWrapsAfterThirtyTwoBits)
{
    // 400 Hz reaches the counter's end after some 124 days; the count goes on
    // from 0 instead of turning into an unrepresentable number.
    Scenario s = defaultScenario(Family::Aurora);
    s.frameRate = 400;
    s.firstFrame = 10;
    const Clock::time_point on = Clock::now();
    Device d(s, on);
    // The middle of frame 2^32 + 5 after power-on.
    const Clock::time_point later = on + std::chrono::microseconds(10737418253750);
    EXPECT_EQ(d.frameAt(later), 15u);
    ASSERT_EQ(send(d, "INIT:"), "OKAY");
    ASSERT_EQ(send(d, "PINIT:0A"), "OKAY");
    ASSERT_EQ(send(d, "PENA:0AD"), "OKAY");
    ASSERT_EQ(send(d, "TSTART:"), "OKAY");
    const std::string tx = payload(d.command(framed("TX:0001"), later).bytes);
    EXPECT_EQ(std::stoul(tx.substr(tx.size() - 13, 8), nullptr, 16), 15u) << tx;
}

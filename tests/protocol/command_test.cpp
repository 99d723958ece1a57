// The command engine against a scripted measurement system, on a
// pseudo-terminal and over loopback TCP.
#include "c_linkage_check.h"
#include "loopback_listener.h"
#include "reply_encoder.h"
#include "scripted_device.h"
#include "termios_request.h"

#include <ndi/protocol.h>

#include "ndi_crc_internal.h"

#include <gtest/gtest.h>

#include <boost/crc.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using nditest::Reply;
using nditest::ScriptedDevice;
using replies::binaryReply;
using replies::frameText;
using Line = ScriptedDevice::Line;

struct Reports {
    std::vector<std::pair<int, std::string>> calls;
};

void record(int code, char* message, void* data)
{
    static_cast<Reports*>(data)->calls.emplace_back(code, message);
}

// A connection to a scripted device, with the error callback recording.
class Connection {
public:
    Connection(Line line, nditest::Handler handler) : m_device(line, std::move(handler))
    {
        m_handle = line == Line::Pty ? ndiOpenSerial(m_device.path().c_str())
                                     : ndiOpenNetwork("127.0.0.1", m_device.port());
        EXPECT_NE(m_handle, nullptr);
        if (m_handle != nullptr) {
            ndiSetErrorCallback(m_handle, record, &m_reports);
        }
    }
    ~Connection()
    {
        if (m_handle != nullptr) {
            if (m_handle->DeviceHandle >= 0) {
                ndiCloseSerial(m_handle);
            } else {
                ndiCloseNetwork(m_handle);
            }
        }
    }
    NdiConnection* h() const { return m_handle; }
    ScriptedDevice& device() { return m_device; }
    Reports& reports() { return m_reports; }
    // Keeps failure rows quick: a silent device is noticed after 100 ms.
    void shortTimeOut()
    {
        if (m_handle->DeviceHandle >= 0) {
            ASSERT_EQ(ndiSerialTimeout(m_handle->DeviceHandle, 100), 0);
        } else {
            ASSERT_EQ(ndiTimeoutSocket(m_handle, 100), 1);
        }
    }

private:
    ScriptedDevice m_device;
    Reports m_reports;
    NdiConnection* m_handle = nullptr;
};

std::string lineName(Line line) { return line == Line::Pty ? "pty" : "tcp"; }

Reply okay(const std::string&) { return {frameText("OKAY")}; }

unsigned int boostCrc(const unsigned char* bytes, size_t n)
{
    boost::crc_16_type crc;
    crc.process_bytes(bytes, n);
    return crc.checksum();
}

// The CRC runs eight bytes at a time through tables, or sixteen at a time
// by carry-less multiplication: through either way and through the choice
// between them, every length, starting address and place where a caller
// splits the bytes must give what the plain definition (Boost.CRC) gives.
TEST(Crc16, EveryWayMatchesBoostCrc16OnKnownTextsAndRandomBytesInAnySplit)
{
    using CrcFunction = unsigned int (*)(unsigned int, const void*, int);
    std::vector<std::pair<const char*, CrcFunction>> ways = {{"ndiCRC16", ndiCRC16},
                                                             {"tables", ndiCrc16ByTables}};
    if (ndiCrc16FoldingAvailable()) {
        ways.emplace_back("folding", ndiCrc16ByFolding);
    } else {
        std::printf("this processor has no carry-less multiplication: folding not checked\n");
    }
    const std::pair<const char*, unsigned int> known[] = {{"INIT:", 0xE3A5},
                                                          {"RESET", 0xBE6F},
                                                          {"OKAY", 0xA896},
                                                          {"VER:0", 0x65EE},
                                                          {"123456789", 0xBB3D}};
    std::mt19937 random(7);
    std::vector<unsigned char> buffer(9000 + 16);
    for (unsigned char& c : buffer) {
        c = static_cast<unsigned char>(random());
    }
    for (const auto& [name, crc16] : ways) {
        SCOPED_TRACE(name);
        for (const auto& k : known) {
            EXPECT_EQ(crc16(0, k.first, static_cast<int>(std::strlen(k.first))), k.second)
                << k.first;
        }
        // Whole buffers of random length and alignment, and the same bytes
        // in random pieces, each piece going on from the CRC of the ones
        // before.
        for (int round = 0; round < 3000; ++round) {
            const int length = static_cast<int>(random() % 9001);
            const unsigned char* bytes = buffer.data() + random() % 16;
            const unsigned int expected = boostCrc(bytes, static_cast<size_t>(length));
            ASSERT_EQ(crc16(0, bytes, length), expected) << "length " << length;
            unsigned int crc = 0;
            for (int at = 0; at < length;) {
                const int piece = std::min(length - at, static_cast<int>(random() % 300));
                crc = crc16(crc, bytes + at, piece);
                at += piece;
            }
            ASSERT_EQ(crc, expected) << "length " << length << " in pieces";
        }
        // Every split of shorter buffers, where the steps, the four chains
        // and the bytes left over meet at every offset.
        for (int length = 0; length <= 160; ++length) {
            const unsigned int expected = boostCrc(buffer.data(), static_cast<size_t>(length));
            for (int split = 0; split <= length; ++split) {
                ASSERT_EQ(
                    crc16(crc16(0, buffer.data(), split), buffer.data() + split, length - split),
                    expected)
                    << "length " << length << " split at " << split;
            }
        }
    }
}

TEST(ErrorStrings, DeviceHighAndLibraryTables)
{
    const std::pair<int, const char*> cases[] = {
        {0x00, "No error"},
        {0x0D, "No tool assigned to the selected port handle"},
        {0x26, "Reserved - Unrecognized Error 0x26"},
        {0x30, "Invalid input or output state"},
        {0x31, "Unrecognized error code"},
        {0xF0, "Unrecognized error code"},
        {0xF1, "Too much environmental infrared"},
        {0xF2, "Unrecognized error code"},
        {0xF6, "Unable to erase Flash EPROM"},
        {0xF7, "Unrecognized error code"},
        {0x100, "Bad CRC on reply from Measurement System"},
        {0x1FF, "Bad CRC on reply from Measurement System"},
        {0x400, "Device->host communication timeout"},
        {0x7FF, "Measurement System failed to reset on break"},
        {0x800, "Measurement System not found on specified port"},
        {0x801, "Unrecognized error code"},
        {0x900, "Unrecognized error code"},
        {-1, "Unrecognized error code"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(ndiErrorString(c.first), c.second) << std::hex << c.first;
    }
}

// What goes on the wire: the text, its CRC (from Boost.CRC, not from the
// library) when the name ends in a colon, and a carriage return.
TEST(CommandEngine, SendsTextCrcAndCarriageReturn)
{
    std::string pvwrData(128, 'F');
    const struct {
        std::function<char*(NdiConnection*)> send;
        std::string text;
        bool crc;
    } cases[] = {
        {[](NdiConnection* h) { return ndiCommand(h, "INIT:"); }, "INIT:", true},
        {[](NdiConnection* h) { return ndiCommand(h, "TX:%04X", 0x0801); }, "TX:0801", true},
        // Numbers wider than their field, and several in one command.
        {[](NdiConnection* h) { return ndiCommand(h, "PHSR:%02X", 0x1F3); }, "PHSR:1F3", true},
        {[](NdiConnection* h) { return ndiCommand(h, "PENA:%02X%08X", 0, 0xDEADBEEF); },
         "PENA:00DEADBEEF", true},
        {[](NdiConnection* h) { return ndiCommand(h, "PENA:%02X%c", 0x0A, 'D'); }, "PENA:0AD",
         true},
        {[](NdiConnection* h) { return ndiCommand(h, "VSEL:%d%%", 3); }, "VSEL:3%", true},
        {[](NdiConnection* h) { return ndiCommand(h, "PHRQ:*********1****"); },
         "PHRQ:*********1****", true},
        {[&](NdiConnection* h) {
             return ndiCommand(h, "PVWR:%02X%04X%.128s", 0x0A, 0x40, pvwrData.c_str());
         },
         "PVWR:0A0040" + pvwrData, true},
        {[](NdiConnection* h) { return ndiCommand(h, "TSTOP "); }, "TSTOP ", false},
        {[](NdiConnection* h) { return ndiCommand(h, "VER"); }, "VER", false},
        {[](NdiConnection* h) { return ndiCommand(h, "%s", ""); }, "", false},
    };
    for (Line line : {Line::Pty, Line::Tcp}) {
        Connection c(line, okay);
        for (size_t i = 0; i < std::size(cases); i++) {
            SCOPED_TRACE(lineName(line) + " " + cases[i].text);
            char* reply = cases[i].send(c.h());
            EXPECT_EQ(ndiGetError(c.h()), 0);
            EXPECT_STREQ(reply, "OKAY");
            EXPECT_EQ(reply, c.h()->ReplyText);
            std::string sent = c.device().commands().at(i);
            std::string expected = cases[i].text;
            if (cases[i].crc) {
                char digits[8];
                std::snprintf(digits, sizeof digits, "%04X", replies::crc16(cases[i].text));
                expected += digits;
            }
            EXPECT_EQ(sent, expected);
            EXPECT_EQ(std::string(c.h()->CommandBuffer), expected + "\r");
        }
        EXPECT_EQ(c.device().commands().front(), "INIT:E3A5");
        EXPECT_TRUE(c.reports().calls.empty());
    }
}

struct FailureRow {
    const char* name;
    std::function<Reply(const std::string&)> device;
    const char* command;  // sent as "%s"
    int code;
    const char* replyText;
};

// Rows of the failure table that the device's replies bring about, on both
// lines; each is reported once, through LastError and the callback.
TEST(CommandEngine, ReportsEveryBadReplyOnceThroughLastErrorAndCallback)
{
    std::string goodFrame = binaryReply(std::string("\x00\x00\x00", 3));
    std::string badBody = goodFrame;
    badBody.back() ^= 0x01;
    std::string badHeader = goodFrame;
    badHeader[4] ^= 0x01;
    const FailureRow rows[] = {
        {"text shorter than a CRC", [](const std::string&) { return Reply{"AB\r"}; },
         "INIT:", NDI_ERR_CRC, ""},
        {"text CRC mismatch", [](const std::string&) { return Reply{"OKAY0000\r"}; },
         "INIT:", NDI_ERR_CRC, "OKAY"},
        {"binary body CRC mismatch", [&](const std::string&) { return Reply{badBody}; }, "BX:0001",
         NDI_ERR_CRC, nullptr},
        {"binary header CRC mismatch", [&](const std::string&) { return Reply{badHeader}; },
         "BX:0001", NDI_ERR_CRC, nullptr},
        {"device error", [](const std::string&) { return Reply{frameText("ERROR0D")}; }, "PENA:0AD",
         0x0D, "ERROR0D"},
        {"device error to a binary command",
         [](const std::string&) { return Reply{frameText("ERROR0D")}; }, "BX:0001", 0x0D,
         "ERROR0D"},
        {"high device error", [](const std::string&) { return Reply{frameText("ERRORF4")}; },
         "PVWR:0A0000", 0xF4, "ERRORF4"},
        {"no reply", [](const std::string&) { return Reply{}; }, "INIT:", -1, ""},
        {"reply cut short", [](const std::string&) { return Reply{"OKAYA8"}; }, "INIT:", -1, ""},
    };
    for (Line line : {Line::Pty, Line::Tcp}) {
        for (const FailureRow& row : rows) {
            SCOPED_TRACE(lineName(line) + ": " + row.name);
            Connection c(line, row.device);
            c.shortTimeOut();
            // Silence is a time-out on either line.
            int code = row.code != -1 ? row.code : NDI_ERR_TIMEOUT;
            char* reply = ndiCommand(c.h(), "%s", row.command);
            EXPECT_EQ(ndiGetError(c.h()), code);
            ASSERT_EQ(c.reports().calls.size(), 1u);
            EXPECT_EQ(c.reports().calls[0].first, code);
            EXPECT_EQ(c.reports().calls[0].second, ndiErrorString(code));
            if (row.replyText != nullptr) {
                EXPECT_STREQ(reply, row.replyText);
            }
        }
    }
}

TEST(CommandEngine, CallbackGetsItsDataAndCanBeSwitchedOff)
{
    Connection c(Line::Pty, [](const std::string&) { return Reply{frameText("ERROR0D")}; });
    EXPECT_EQ(ndiGetErrorCallback(c.h()), &record);
    EXPECT_EQ(ndiGetErrorCallbackData(c.h()), &c.reports());
    ndiCommand(c.h(), "PENA:0AD");
    ASSERT_EQ(c.reports().calls.size(), 1u);
    EXPECT_EQ(c.reports().calls[0],
              std::make_pair(0x0D, std::string("No tool assigned to the selected port handle")));

    ndiSetErrorCallback(c.h(), nullptr, nullptr);
    EXPECT_EQ(ndiGetErrorCallback(c.h()), nullptr);
    ndiCommand(c.h(), "PENA:0AD");
    EXPECT_EQ(ndiGetError(c.h()), 0x0D);
    EXPECT_EQ(c.reports().calls.size(), 1u);
}

TEST(CommandEngine, LineFailuresAreWriteAndReadErrors)
{
    {
        SCOPED_TRACE("TCP peer closes instead of answering");
        Connection c(Line::Tcp, [](const std::string&) {
            Reply r;
            r.hangUp = true;
            return r;
        });
        EXPECT_STREQ(ndiCommand(c.h(), "INIT:"), "");
        EXPECT_EQ(ndiGetError(c.h()), NDI_ERR_READ);
    }
    {
        SCOPED_TRACE("TCP sending side closed");
        Connection c(Line::Tcp, okay);
        ASSERT_EQ(shutdown(ndiGetSocket(c.h()), SHUT_WR), 0);
        ndiCommand(c.h(), "INIT:");
        EXPECT_EQ(ndiGetError(c.h()), NDI_ERR_WRITE);
        EXPECT_TRUE(c.device().commands().empty());
    }
    {
        SCOPED_TRACE("serial line hung up");
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
        NdiConnection* h = ndiOpenSerial(ptsname(master));
        ASSERT_NE(h, nullptr);
        close(master);
        Reports reports;
        ndiSetErrorCallback(h, record, &reports);
        ndiCommand(h, "INIT:");
        EXPECT_EQ(ndiGetError(h), NDI_ERR_WRITE);
        EXPECT_EQ(reports.calls.size(), 1u);
        ndiCloseSerial(h);
    }
}

TEST(CommandEngine, HandleWithoutALineSendsNothing)
{
    std::vector<char> command(NDI_BUFFER_SIZE), reply(NDI_BUFFER_SIZE), text(NDI_BUFFER_SIZE);
    NdiConnection h{};
    h.DeviceHandle = -1;
    h.Socket = -1;
    h.Port = -1;
    h.CommandBuffer = command.data();
    h.ReplyBuffer = reply.data();
    h.ReplyText = text.data();
    Reports reports;
    ndiSetErrorCallback(&h, record, &reports);
    EXPECT_STREQ(ndiCommand(&h, "INIT:"), "");
    EXPECT_EQ(ndiGetError(&h), NDI_ERR_OPEN);
    EXPECT_STREQ(ndiCommand(&h, nullptr), "");
    EXPECT_EQ(ndiGetError(&h), NDI_ERR_OPEN);
    EXPECT_EQ(reports.calls.size(), 2u);
}

speed_t deviceSpeedFor(char digit)
{
    switch (digit) {
    case '0': return B9600;
    case '2': return B19200;
    case '3': return B38400;
    case '4': return B57600;
    case '5': return B115200;
    case '6': return B921600;
    case 'A': return B230400;
    default: return B1000000;  // no host speed matches
    }
}

// The device takes the new settings as soon as it has answered.
Reply followingDevice(const std::string& command)
{
    if (command.rfind("COMM:", 0) == 0) {
        Reply r{frameText("OKAY")};
        r.newSpeed = deviceSpeedFor(command[5]);
        return r;
    }
    return {frameText("OKAY")};
}

TEST(CommandEngine, HostFollowsCommAndReportsSettingsItCannotTake)
{
    const struct {
        const char* command;
        speed_t speed;
        tcflag_t size;
        tcflag_t parity;
        bool twoStop;
        bool handshake;
    } cases[] = {
        {"COMM:50000", B115200, CS8, 0, false, false},
        {"COMM:50001", B115200, CS8, 0, false, true},
        {"COMM:41211", B57600, CS7, PARENB, true, true},
        {"COMM:20100", B19200, CS8, PARENB | PARODD, false, false},
        {"COMM:A0000", B230400, CS8, 0, false, false},
        {"COMM:3", B38400, CS8, 0, false, false},
        {"COMM:00000", B9600, CS8, 0, false, false},
    };
    Connection c(Line::Pty, followingDevice);
    for (const auto& k : cases) {
        SCOPED_TRACE(k.command);
        ndiCommand(c.h(), "%s", k.command);
        ASSERT_EQ(ndiGetError(c.h()), 0);
        termios t = c.device().hostSettings();
        EXPECT_EQ(cfgetospeed(&t), k.speed);
        EXPECT_EQ(t.c_cflag & PARODD, k.parity & PARODD);
        // The pty forces 8 bits and no parity enable: check what was asked.
        EXPECT_EQ(nditest::lastTermiosRequest().c_cflag & CSIZE, k.size);
        EXPECT_EQ(nditest::lastTermiosRequest().c_cflag & (PARENB | PARODD), k.parity);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, k.twoStop);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, k.handshake);
        // Host and device now talk at the new speed.
        EXPECT_STREQ(ndiCommand(c.h(), "INIT:"), "OKAY");
        EXPECT_EQ(ndiGetError(c.h()), 0);
    }

    // 921600 baud: the device switches, the host cannot.
    ndiCommand(c.h(), "COMM:60000");
    EXPECT_EQ(ndiGetError(c.h()), NDI_ERR_COMM);
    ASSERT_EQ(c.reports().calls.size(), 1u);
    EXPECT_EQ(c.reports().calls[0].first, NDI_ERR_COMM);
    EXPECT_EQ(c.device().hostSpeed(), B9600);
}

TEST(CommandEngine, InitPausesAtLeast100Milliseconds)
{
    for (Line line : {Line::Pty, Line::Tcp}) {
        Connection c(line, okay);
        auto start = std::chrono::steady_clock::now();
        ndiCommand(c.h(), "INIT:");
        auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(ndiGetError(c.h()), 0);
        EXPECT_GE(elapsed, std::chrono::milliseconds(100)) << lineName(line);
    }
}

TEST(CommandEngine, TrackingActiveFollowsTheCommandsSent)
{
    Connection c(Line::Pty, [](const std::string& command) {
        if (command.rfind("TSTART:", 0) == 0) {
            return Reply{frameText("ERROR12")};  // the device refuses; the flag is set anyway
        }
        return Reply{frameText("OKAY")};
    });
    const struct {
        const char* command;  // null: reset
        int active;
    } steps[] = {{"TSTART:", 1}, {"TSTOP:", 0},   {"TSTART:", 1}, {"INIT:", 0},
                 {"TSTART:", 1}, {"TSTARTX:", 1}, {"TX:0001", 1}, {"INITX:", 1},
                 {"TSTOP ", 0},  {"TSTART:", 1},  {nullptr, 0}};
    for (const auto& s : steps) {
        if (s.command != nullptr) {
            ndiCommand(c.h(), "%s", s.command);
        } else {
            ndiCommand(c.h(), nullptr);
        }
        EXPECT_EQ(c.h()->TrackingActive, s.active) << (s.command ? s.command : "reset");
    }
}

TEST(CommandEngine, ResetSendsABreakAt9600AndExpectsResetBe6)
{
    Connection c(Line::Pty, followingDevice);
    ndiCommand(c.h(), "COMM:50001");
    ASSERT_EQ(c.device().hostSpeed(), B115200);

    EXPECT_STREQ(ndiCommand(c.h(), nullptr), "RESET");
    EXPECT_EQ(ndiGetError(c.h()), 0);
    EXPECT_EQ(c.device().breaks(), 1);
    termios t = c.device().hostSettings();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_STREQ(ndiCommand(c.h(), "INIT:"), "OKAY");

    c.device().setBreakReply("RESETXXXX\r");
    EXPECT_STREQ(ndiCommand(c.h(), nullptr), "");
    EXPECT_EQ(ndiGetError(c.h()), NDI_ERR_RESET);
    ASSERT_EQ(c.reports().calls.size(), 1u);
    EXPECT_EQ(c.reports().calls[0].first, NDI_ERR_RESET);
}

// A reply longer than the reply buffer is refused, and the rest of it must
// not be taken for the reply to the next command.
TEST(CommandEngine, OversizedReplyIsReportedAndItsRestDiscarded)
{
    const struct {
        const char* name;
        const char* command;
        std::string reply;
    } cases[] = {
        {"text", "TX:0001", frameText(std::string(NDI_BUFFER_SIZE + 1000, 'A'))},
        {"binary", "BX:0001", binaryReply(std::string(NDI_BUFFER_SIZE + 3000, '\x01'))},
        {"binary holding carriage returns", "BX:0001",
         binaryReply(std::string(NDI_BUFFER_SIZE + 1000, '\r'))},
        {"text error to a binary command", "BX:0001",
         frameText("ERROR" + std::string(NDI_BUFFER_SIZE + 1000, '0'))},
    };
    for (Line line : {Line::Pty, Line::Tcp}) {
        for (const auto& k : cases) {
            SCOPED_TRACE(lineName(line) + ": " + k.name);
            std::string reply = k.reply;
            Connection c(line, [reply](const std::string& command) {
                return command.rfind("INIT:", 0) == 0 ? Reply{frameText("OKAY")} : Reply{reply};
            });
            EXPECT_STREQ(ndiCommand(c.h(), "%s", k.command), "");
            EXPECT_EQ(ndiGetError(c.h()), NDI_ERR_READ);
            EXPECT_STREQ(ndiCommand(c.h(), "INIT:"), "OKAY");
            EXPECT_EQ(ndiGetError(c.h()), 0);
        }
    }
}

// The command, its CRC digits, the carriage return and the NUL must fit the
// buffer; a longer command is refused before anything is sent.
TEST(CommandEngine, CommandTooLongForTheBufferIsRefusedUnsent)
{
    constexpr size_t kSize = NDI_BUFFER_SIZE;
    const struct {
        std::string text;
        bool fits;
    } cases[] = {
        {"PVWR:" + std::string(kSize - 11, 'A'), true},  // + CRC + CR + NUL = the buffer
        {"PVWR:" + std::string(kSize - 10, 'A'), false},
        {"VER" + std::string(kSize - 5, ' '), true},  // no CRC: + CR + NUL
        {"VER" + std::string(kSize - 4, ' '), false},
        {"PVWR:" + std::string(kSize + 3000, 'A'), false},
    };
    // The same texts as formats of their own, and with a number at the end.
    const struct {
        std::string format;
        bool fits;
    } formats[] = {
        {"PVWR:" + std::string(kSize - 11, 'A'), true},
        {"PVWR:" + std::string(kSize - 10, 'A'), false},
        {"PVWR:" + std::string(kSize - 15, 'A') + "%04X", true},
        {"PVWR:" + std::string(kSize - 14, 'A') + "%04X", false},
        {"PVWR:" + std::string(kSize - 13, 'A') + "%02X", false},  // 0x1234 takes four digits
    };
    Connection c(Line::Tcp, okay);
    size_t sent = 0;
    auto check = [&](char* reply, bool fits) {
        if (fits) {
            EXPECT_EQ(ndiGetError(c.h()), 0);
            EXPECT_STREQ(reply, "OKAY");
            ++sent;
            c.device().waitForCommands(sent);
        } else {
            EXPECT_EQ(ndiGetError(c.h()), NDI_ERR_WRITE);
            ASSERT_EQ(c.reports().calls.size(), 1u);
            EXPECT_EQ(c.reports().calls[0].first, NDI_ERR_WRITE);
            EXPECT_STREQ(c.h()->CommandBuffer, "");
        }
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text.size());
        c.reports().calls.clear();
        check(ndiCommand(c.h(), "%s", k.text.c_str()), k.fits);
    }
    for (const auto& k : formats) {
        SCOPED_TRACE(k.format.size());
        c.reports().calls.clear();
        check(ndiCommand(c.h(), k.format.c_str(), 0x1234), k.fits);
    }
    // Only what fitted reached the device, and nothing of what did not.
    ndiCommand(c.h(), "INIT:");
    c.device().waitForCommands(sent + 1);
    std::vector<std::string> commands = c.device().commands();
    ASSERT_EQ(commands.size(), sent + 1);
    EXPECT_EQ(commands.back(), "INIT:E3A5");
}

TEST(CommandEngine, OnlySuccessfulRepliesAreCaptured)
{
    // One handle, 0x0A, disabled; then the system status.
    std::string body = std::string("\x01\x0A\x04", 3) + std::string("\x00\x00", 2);
    std::string brokenFrame = binaryReply(std::string("\x02\x0A\x04\x0B\x04\x00\x00", 7));
    brokenFrame.back() ^= 1;
    const std::vector<std::string> replies = {binaryReply(body), frameText("ERROR0D"), brokenFrame};
    Connection c(Line::Pty, [replies, next = size_t{0}](const std::string&) mutable {
        return Reply{replies.at(next++)};
    });
    ndiCommand(c.h(), "BX:0001");
    ASSERT_EQ(ndiGetError(c.h()), 0);
    EXPECT_EQ(ndiGetBXReplyLength(c.h()), static_cast<int>(body.size()));
    EXPECT_EQ(ndiGetBXMarkerCount(c.h()), 1);
    float transform[8];
    EXPECT_EQ(ndiGetBXTransform(c.h(), 0x0A, transform), 1);

    ndiCommand(c.h(), "BX:0001");
    EXPECT_EQ(ndiGetError(c.h()), 0x0D);
    ndiCommand(c.h(), "BX:0001");
    EXPECT_EQ(ndiGetError(c.h()), NDI_ERR_CRC);
    EXPECT_EQ(ndiGetBXMarkerCount(c.h()), 1) << "a failed exchange overwrote the capture";
    EXPECT_EQ(ndiGetBXReplyLength(c.h()), static_cast<int>(body.size()));
}

// A TCP reply that arrives after its command timed out waits on the stream.
// The next exchange must not take it for its own reply: each later exchange
// would then report the previous reply (an old frame as the new one).
TEST(CommandEngine, LateTcpReplyIsNotTakenForTheNextCommandsReply)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);

    NdiConnection* h = ndiOpenNetwork("127.0.0.1", ntohs(addr.sin_port));
    ASSERT_NE(h, nullptr);
    int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(ndiTimeoutSocket(h, 100), 1);

    ndiCommand(h, "TX:0001");
    ASSERT_EQ(ndiGetError(h), NDI_ERR_TIMEOUT) << "the silent device should time the command out";

    const std::string late = frameText("LATE");
    ASSERT_EQ(send(peer, late.data(), late.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(late.size()));
    pollfd ready{ndiGetSocket(h), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1) << "the late reply never reached the host";

    // The device answers the second command once it has seen it.
    std::thread device([peer] {
        std::string received;
        char buffer[256];
        while (std::count(received.begin(), received.end(), '\r') < 2) {
            ssize_t n = recv(peer, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            received.append(buffer, static_cast<size_t>(n));
        }
        const std::string own = frameText("SECOND");
        (void)send(peer, own.data(), own.size(), MSG_NOSIGNAL);
    });
    ASSERT_EQ(ndiTimeoutSocket(h, 10000), 1);
    EXPECT_STREQ(ndiCommand(h, "VER:0"), "SECOND");
    EXPECT_EQ(ndiGetError(h), 0);
    device.join();
    ndiCloseNetwork(h);
    close(peer);
    close(listener);
}

// A line whose last exchange went wrong may still hold bytes of an old reply:
// one that came after its command had timed out, or the rest of one whose
// garbled length cut it short. The next command must get its own reply, on
// either line; the device here is a bare descriptor the test writes to.
TEST(CommandEngine, BytesLeftByAFailedExchangeAreNotTakenForTheNextReply)
{
    // One tool, 0x0A, disabled, and the system status; the length field says
    // 4 bytes less than the body holds, so the host reads 4 bytes short and
    // takes 2 body bytes for the CRC. What it did not read arrives after it
    // has given up on the reply.
    std::string whole = binaryReply(std::string("\x01\x0A\x04\x00\x00", 5) + "TAIL");
    whole[2] = static_cast<char>(whole[2] - 4);
    whole[4] = static_cast<char>(replies::crc16(whole.substr(0, 4)) & 0xFF);
    whole[5] = static_cast<char>(replies::crc16(whole.substr(0, 4)) >> 8);
    const std::string head = whole.substr(0, whole.size() - 4);
    const std::string tail = whole.substr(whole.size() - 4);
    const std::string late = binaryReply(std::string("\x00\x00\x00", 3));

    const struct {
        Line line;
        const char* failure;
        std::string firstReply;  // the device's answer to the first command; empty: silence
        std::string afterwards;  // bytes that reach the host once it has given up
        int firstError;
    } cases[] = {
        {Line::Pty, "late reply", "", late, NDI_ERR_TIMEOUT},
        {Line::Pty, "cut reply", head, tail, NDI_ERR_CRC},
        {Line::Tcp, "cut reply", head, tail, NDI_ERR_CRC},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(lineName(k.line) + ", " + k.failure);
        int device = -1, listener = -1;
        NdiConnection* h = nullptr;
        if (k.line == Line::Pty) {
            device = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(device, 0);
            ASSERT_EQ(grantpt(device), 0);
            ASSERT_EQ(unlockpt(device), 0);
            h = ndiOpenSerial(ptsname(device));
            ASSERT_NE(h, nullptr);
            ASSERT_EQ(ndiSerialTimeout(h->DeviceHandle, 100), 0);
        } else {
            const auto peer = ndi::testsupport::listenOnLoopback(1);
            listener = peer.fd;
            h = ndiOpenNetwork("127.0.0.1", peer.port);
            ASSERT_NE(h, nullptr);
            device = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ASSERT_GE(device, 0);
            ASSERT_EQ(ndiTimeoutSocket(h, 100), 1);
        }
        // The device answers the first command as the row says and the
        // second with a reply of its own.
        std::thread answering([device, &k] {
            std::string received;
            char buffer[256];
            size_t answered = 0;
            while (answered < 2) {
                ssize_t n = read(device, buffer, sizeof buffer);
                if (n <= 0) {
                    return;
                }
                received.append(buffer, static_cast<size_t>(n));
                const size_t commands =
                    static_cast<size_t>(std::count(received.begin(), received.end(), '\r'));
                for (; answered < commands; ++answered) {
                    const std::string reply = answered == 0 ? k.firstReply : frameText("SECOND");
                    if (!reply.empty() && write(device, reply.data(), reply.size()) < 0) {
                        return;
                    }
                }
            }
        });
        ndiCommand(h, "BX:0001");
        EXPECT_EQ(ndiGetError(h), k.firstError);
        ASSERT_EQ(write(device, k.afterwards.data(), k.afterwards.size()),
                  static_cast<ssize_t>(k.afterwards.size()));
        pollfd ready{k.line == Line::Pty ? h->DeviceHandle : h->Socket, POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 10000), 1) << "the old bytes never reached the host";

        if (k.line == Line::Pty) {
            ASSERT_EQ(ndiSerialTimeout(h->DeviceHandle, 10000), 0);
        } else {
            ASSERT_EQ(ndiTimeoutSocket(h, 10000), 1);
        }
        EXPECT_STREQ(ndiCommand(h, "VER:0"), "SECOND");
        EXPECT_EQ(ndiGetError(h), 0);
        if (k.line == Line::Pty) {
            ndiCloseSerial(h);
        } else {
            ndiCloseNetwork(h);
        }
        // The host's side is closed: the device's read ends (end of file on
        // the socket, an error on the terminal) even without a second command.
        answering.join();
        close(device);
        if (listener >= 0) {
            close(listener);
        }
    }
}

// An "ERROR" reply is a refusal even when its code is missing or 00; the
// code is its two characters read as hex, up to the first that is none.
TEST(CommandEngine, ErrorReplyWithoutAKnownCodeIsStillAFailure)
{
    const struct {
        const char* text;
        int code;
    } cases[] = {
        {"ERROR00", NDI_ERR_UNRECOGNIZED_DEVICE_ERROR},
        {"ERROR", NDI_ERR_UNRECOGNIZED_DEVICE_ERROR},
        {"ERRORZZ", NDI_ERR_UNRECOGNIZED_DEVICE_ERROR},
        {"ERRORZ1", NDI_ERR_UNRECOGNIZED_DEVICE_ERROR},
        {"ERROR1", 0x01},
        {"ERROR1Z", 0x01},
        {"ERROR0D7", 0x0D},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        const char* text = k.text;
        Connection c(Line::Tcp, [text](const std::string&) { return Reply{frameText(text)}; });
        ndiCommand(c.h(), "PINIT:0A");
        EXPECT_EQ(ndiGetError(c.h()), k.code);
        ASSERT_EQ(c.reports().calls.size(), 1u);
        EXPECT_EQ(c.reports().calls[0].second, ndiErrorString(k.code));
    }
}

TEST(Connection, HandlesKeepTheirLineAndNothingElse)
{
    {
        ScriptedDevice device(Line::Pty, okay);
        NdiConnection* h = ndiOpenSerial(device.path().c_str());
        ASSERT_NE(h, nullptr);
        EXPECT_GE(ndiGetDeviceHandle(h), 0);
        EXPECT_STREQ(ndiGetSerialDeviceName(h), device.path().c_str());
        EXPECT_NE(ndiGetSerialDeviceName(h), device.path().c_str()) << "the name must be a copy";
        EXPECT_EQ(ndiGetSocket(h), -1);
        EXPECT_EQ(ndiGetHostname(h), nullptr);
        EXPECT_EQ(ndiGetPort(h), -1);
        EXPECT_EQ(ndiGetSocketError(h), 0);
        EXPECT_EQ(ndiGetThreadMode(h), 0);
        EXPECT_EQ(ndiGetError(h), 0);
        termios t = device.hostSettings();
        EXPECT_EQ(cfgetospeed(&t), B9600);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
        ndiCloseSerial(h);
    }
    {
        ScriptedDevice device(Line::Tcp, okay);
        std::string host = "127.0.0.1";
        NdiConnection* h = ndiOpenNetwork(host.c_str(), device.port());
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(ndiGetDeviceHandle(h), -1);
        EXPECT_EQ(ndiGetSerialDeviceName(h), nullptr);
        EXPECT_GE(ndiGetSocket(h), 0);
        EXPECT_STREQ(ndiGetHostname(h), "127.0.0.1");
        EXPECT_EQ(ndiGetPort(h), device.port());
        EXPECT_EQ(ndiTimeoutSocket(h, 0), 0);
        EXPECT_EQ(ndiTimeoutSocket(h, 250), 1);
        ndiCloseNetwork(h);
    }
    EXPECT_EQ(ndiOpenSerial("/dev/ndi-no-such-line"), nullptr);
    EXPECT_EQ(ndiOpenNetwork("ndi-no-such-host.invalid", 8765), nullptr);
}

TEST(CLinkage, HeaderCompilesAsCAndTheLibraryLinks)
{
    ScriptedDevice device(Line::Pty, [](const std::string& command) {
        return command.rfind("TSTART:", 0) == 0 ? Reply{frameText("ERROR0C")}
                                                : Reply{frameText("OKAY")};
    });
    const char* failure = checkLibraryFromC(device.path().c_str());
    EXPECT_EQ(failure, nullptr) << failure;
}

}  // namespace

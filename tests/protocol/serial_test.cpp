// The serial transport on pseudo-terminals: the test holds the master side
// and reads the host line's settings back from it.
#include "termios_request.h"

#include <ndi/protocol.h>

#include "error_reports.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class Pty {
public:
    Pty()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        m_path = ptsname(m_master);
    }
    ~Pty() { closeMaster(); }
    int master() const { return m_master; }
    const char* path() const { return m_path.c_str(); }
    void closeMaster()
    {
        if (m_master >= 0) {
            close(m_master);
            m_master = -1;
        }
    }
    termios settings() const
    {
        termios t{};
        EXPECT_EQ(tcgetattr(m_master, &t), 0);
        return t;
    }
    void send(const std::string& bytes) const
    {
        ASSERT_EQ(write(m_master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(size_t n) const
    {
        std::string got;
        while (got.size() < n) {
            char buffer[256];
            ssize_t r = read(m_master, buffer, std::min(sizeof buffer, n - got.size()));
            if (r <= 0) {
                break;
            }
            got.append(buffer, static_cast<size_t>(r));
        }
        return got;
    }

private:
    int m_master = -1;
    std::string m_path;
};

// Opens the slave through the library and closes it at the end of the scope.
class Line {
public:
    explicit Line(const Pty& pty) : m_fd(ndiSerialOpen(pty.path())) { EXPECT_GE(m_fd, 0); }
    ~Line()
    {
        if (m_fd >= 0) {
            ndiSerialClose(m_fd);
        }
    }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

bool sameSettings(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && a.c_cc[VMIN] == b.c_cc[VMIN] &&
           a.c_cc[VTIME] == b.c_cc[VTIME];
}

TEST(SerialLine, OpensRawWithFiveSecondReadsAndRestoresTheSettingsItFound)
{
    Pty pty;
    termios before = pty.settings();
    before.c_iflag = ICRNL | IXON;
    before.c_oflag = OPOST | ONLCR;
    before.c_lflag = ICANON | ECHO | ISIG;
    before.c_cc[VMIN] = 3;
    before.c_cc[VTIME] = 7;
    cfsetispeed(&before, B4800);
    cfsetospeed(&before, B4800);
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &before), 0);
    before = pty.settings();

    int fd = ndiSerialOpen(pty.path());
    ASSERT_GE(fd, 0);
    termios raw = pty.settings();
    EXPECT_EQ(raw.c_iflag, 0u);
    EXPECT_EQ(raw.c_oflag, 0u);
    EXPECT_EQ(raw.c_lflag, 0u);
    EXPECT_EQ(raw.c_cflag, before.c_cflag) << "control flags are left for ndiSerialComm";
    EXPECT_EQ(raw.c_cc[VMIN], 0);
    EXPECT_EQ(raw.c_cc[VTIME], 50);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "reads must block until VTIME";

    ndiSerialClose(fd);
    EXPECT_TRUE(sameSettings(pty.settings(), before));
}

TEST(SerialLine, OpenFailsForAMissingDevice)
{
    EXPECT_EQ(ndiSerialOpen("/dev/ndi-no-such-line"), -1);
    EXPECT_EQ(ndiSerialOpen(nullptr), -1);
    // A file that is no terminal opens and locks, then fails and lets go.
    char path[] = "/tmp/ndi-not-a-line-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    EXPECT_EQ(ndiSerialOpen(path), -1);
    flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    EXPECT_EQ(fcntl(file, F_OFD_GETLK, &lock), 0);
    EXPECT_EQ(lock.l_type, F_UNLCK) << "the failed open kept its lock";
    close(file);
    unlink(path);
}

struct CommCase {
    int baud;
    const char* mode;
    int handshake;
    speed_t speed;
    tcflag_t size;
    tcflag_t parity;  // PARENB / PARODD bits
    bool twoStop;
};

TEST(SerialLine, CommSetsSpeedCharacterParityStopBitsAndFlowControl)
{
    // Consecutive rows differ in every setting that the pty keeps.
    const CommCase cases[] = {
        {9600, "8N1", 0, B9600, CS8, 0, false},
        {19200, "7E2", 1, B19200, CS7, PARENB, true},
        {38400, "8O1", 0, B38400, CS8, PARENB | PARODD, false},
        {57600, "7E2", 1, B57600, CS7, PARENB, true},
        {115200, "7O1", 0, B115200, CS7, PARENB | PARODD, false},
        {230400, "8N2", 1, B230400, CS8, 0, true},
    };
    Pty pty;
    Line line(pty);
    for (const CommCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + " " + c.mode);
        ASSERT_EQ(ndiSerialComm(line.fd(), c.baud, c.mode, c.handshake), 0);
        termios t = pty.settings();
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & PARODD, c.parity & PARODD);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.handshake != 0);
        EXPECT_EQ(nditest::lastTermiosRequest().c_cflag & CSIZE, c.size);
        EXPECT_EQ(nditest::lastTermiosRequest().c_cflag & (PARENB | PARODD), c.parity);
    }
}

TEST(SerialLine, CommRefusesUnsupportedSettingsWithoutTouchingTheLine)
{
    Pty pty;
    Line line(pty);
    ASSERT_EQ(ndiSerialComm(line.fd(), 57600, "7E2", 1), 0);
    termios before = pty.settings();
    const struct {
        int baud;
        const char* mode;
    } refused[] = {{14400, "8N1"}, {921600, "8N1"}, {1228739, "8N1"}, {0, "8N1"},
                   {9600, "9N1"},  {9600, "8X1"},   {9600, "8N3"},    {9600, ""}};
    for (const auto& r : refused) {
        SCOPED_TRACE(std::to_string(r.baud) + " '" + r.mode + "'");
        EXPECT_EQ(ndiSerialComm(line.fd(), r.baud, r.mode, 0), -1);
        EXPECT_TRUE(sameSettings(pty.settings(), before));
    }
}

TEST(SerialLine, TimeoutSetsVtimeInTenthsOfASecond)
{
    Pty pty;
    Line line(pty);
    const struct {
        int ms;
        int vtime;
    } cases[] = {{7000, 70}, {100, 1},     {199, 1},    {50, 0},
                 {0, 0},     {25500, 255}, {30000, 255}};  // VTIME is one byte: no wrap to 4.4 s
    for (const auto& c : cases) {
        ASSERT_EQ(ndiSerialTimeout(line.fd(), c.ms), 0);
        termios t = pty.settings();
        EXPECT_EQ(t.c_cc[VTIME], c.vtime) << c.ms << " ms";
        EXPECT_EQ(t.c_cc[VMIN], 0);
    }
}

// A line opened through the bare descriptor or through a connection; each
// kind keeps the line's earlier settings in its own place.
struct OpenKind {
    const char* name;
    std::function<std::function<void()>(const char* path)> open;  // returns the close, or null
};

const OpenKind openKinds[] = {
    {"descriptor",
     [](const char* path) -> std::function<void()> {
         int fd = ndiSerialOpen(path);
         if (fd < 0) {
             return nullptr;
         }
         return [fd] { ndiSerialClose(fd); };
     }},
    {"connection",
     [](const char* path) -> std::function<void()> {
         NdiConnection* h = ndiOpenSerial(path);
         if (h == nullptr) {
             return nullptr;
         }
         return [h] { ndiCloseSerial(h); };
     }},
};

// Settings no line has by chance, different for every n.
termios distinctSettings(const Pty& pty, int n)
{
    static const speed_t speeds[] = {B1200, B2400, B4800, B19200, B38400, B57600, B115200};
    termios t = pty.settings();
    t.c_iflag = ICRNL | (n % 2 ? IXON : 0);
    t.c_lflag = ICANON | (n % 3 ? ECHO : 0);
    t.c_cc[VMIN] = static_cast<cc_t>(1 + n % 7);
    t.c_cc[VTIME] = static_cast<cc_t>(1 + n % 11);
    cfsetispeed(&t, speeds[n % 7]);
    cfsetospeed(&t, speeds[n % 7]);
    EXPECT_EQ(tcsetattr(pty.master(), TCSANOW, &t), 0);
    return pty.settings();
}

// More lines than any fixed table would hold, closed in another order than
// they were opened: each gets its own settings back.
TEST(SerialLine, SixLinesOpenAtOnceEachGetTheirOwnSettingsBack)
{
    for (const OpenKind& kind : openKinds) {
        SCOPED_TRACE(kind.name);
        std::vector<std::unique_ptr<Pty>> ptys;
        std::vector<termios> before;
        std::vector<std::function<void()>> closes;
        for (int i = 0; i < 6; i++) {
            ptys.push_back(std::make_unique<Pty>());
            before.push_back(distinctSettings(*ptys.back(), i));
            closes.push_back(kind.open(ptys.back()->path()));
            ASSERT_TRUE(closes.back()) << "line " << i;
            EXPECT_EQ(ptys.back()->settings().c_lflag, 0u) << "line " << i << " was not made raw";
        }
        for (int i : {4, 1, 5, 0, 3, 2}) {
            closes[static_cast<size_t>(i)]();
            EXPECT_TRUE(sameSettings(ptys[static_cast<size_t>(i)]->settings(),
                                     before[static_cast<size_t>(i)]))
                << "line " << i;
        }
    }
}

// Streams open and close their lines on their own threads.
TEST(SerialLine, LinesOpenedAndClosedFromTwoThreadsAtOnceGetTheirSettingsBack)
{
    auto rounds = [](int first) {
        for (int round = 0; round < 100; round++) {
            Pty pty;
            const termios before = distinctSettings(pty, first + round);
            const OpenKind& kind = openKinds[round % 2];
            std::function<void()> close = kind.open(pty.path());
            if (!close) {
                ADD_FAILURE() << kind.name << " open failed in round " << round;
                return;
            }
            close();
            if (!sameSettings(pty.settings(), before)) {
                ADD_FAILURE() << kind.name << " settings lost in round " << round;
                return;
            }
        }
    };
    std::thread other(rounds, 1);
    rounds(0);
    other.join();
}

// A serial handle has no socket: setting the network's time-out on it does
// nothing and says so, and line failures are worded for the serial port.
TEST(SerialLine, ConnectionKeepsNetworkSettingsAndWordingOffTheSerialPort)
{
    Pty pty;
    NdiConnection* h = ndiOpenSerial(pty.path());
    ASSERT_NE(h, nullptr);
    const termios before = pty.settings();
    EXPECT_EQ(ndiTimeoutSocket(h, 100), 0);
    EXPECT_TRUE(sameSettings(pty.settings(), before));

    ErrorReports errors;
    errors.attachTo(h);
    const auto& reports = errors.list;
    pty.closeMaster();
    ndiCommand(h, "INIT:");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], std::make_pair(NDI_ERR_WRITE, std::string("Serial port write error")));
    ndiCloseSerial(h);
}

// The lock must keep every other opener out: another process, and also
// another open in this one (a stream probing the ports must not talk over a
// line that another stream drives, nor drop its lock when the probe closes).
TEST(SerialLine, LockKeepsOtherOpenersOutUntilClose)
{
    Pty pty;
    auto openInChild = [&] {
        pid_t child = fork();
        if (child == 0) {
            int fd = ndiSerialOpen(pty.path());
            _exit(fd >= 0 ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };

    int fd = ndiSerialOpen(pty.path());
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(openInChild()) << "another process opened a locked line";
    int second = ndiSerialOpen(pty.path());
    EXPECT_EQ(second, -1) << "a second open in the same process got the line";
    if (second >= 0) {
        ndiSerialClose(second);
    }
    EXPECT_FALSE(openInChild()) << "the refused open released the lock";

    ndiSerialClose(fd);
    EXPECT_TRUE(openInChild());
}

// Feeds the reply in pieces, each only after the reader has taken the one
// before, so that the read loop must put the pieces together.
void feedInPieces(const Pty& pty, int fd, const std::vector<std::string>& pieces)
{
    for (const std::string& piece : pieces) {
        pty.send(piece);
        // Let the piece land, then wait until the reader has taken it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        int pending = 1;
        while (pending > 0 && ioctl(fd, FIONREAD, &pending) == 0) {
            std::this_thread::yield();
        }
    }
}

TEST(SerialLine, ReadsAssembleRepliesThatArriveInPieces)
{
    const struct {
        const char* name;
        std::vector<std::string> pieces;
        int binary;
        int expected;
    } cases[] = {
        {"text", {"OKAY", "A896\r"}, 0, 9},
        {"text in single bytes", {"O", "K", "A", "Y", "A", "8", "9", "6", "\r"}, 0, 9},
        {"binary to its framed length",
         {std::string("\xC4\xA5", 2), std::string("\x10\x00", 2), std::string(10, 'x'),
          std::string(10, 'y')},
         1,
         24},
        {"binary command, text error", {"ERROR", "0D", "XXXX\r"}, 1, 12},
        {"binary reply holding a carriage return",
         {std::string("\xC4\xA5\x04\x00", 4), "ab\r", "\rxyzz"},
         1,
         12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pty pty;
        Line line(pty);
        char buffer[64];
        std::thread feeder([&] { feedInPieces(pty, line.fd(), c.pieces); });
        int n = ndiSerialRead(line.fd(), buffer, sizeof buffer, c.binary, nullptr);
        feeder.join();
        std::string all;
        for (const std::string& p : c.pieces) {
            all += p;
        }
        ASSERT_EQ(n, c.expected);
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)),
                  all.substr(0, static_cast<size_t>(n)));
    }
}

TEST(SerialLine, ReadStopsAtCapacityAndReportsATimeOutForAPartialReply)
{
    Pty pty;
    Line line(pty);
    ASSERT_EQ(ndiSerialTimeout(line.fd(), 100), 0);
    char buffer[8];
    pty.send("OKAYA896\r");
    EXPECT_EQ(ndiSerialRead(line.fd(), buffer, 4, 0, nullptr), 4);
    EXPECT_EQ(std::string(buffer, 4), "OKAY");
    EXPECT_EQ(ndiSerialRead(line.fd(), buffer, 8, 0, nullptr), 5);

    pty.send("OKAY");
    EXPECT_EQ(ndiSerialRead(line.fd(), buffer, 8, 0, nullptr), 0) << "no carriage return came";
    pty.send(std::string("\xC4\xA5\x10\x00", 4) + "abc");
    EXPECT_EQ(ndiSerialRead(line.fd(), buffer, 8, 1, nullptr), 0) << "the frame stayed short";
}

TEST(SerialLine, FlushDiscardsPendingInput)
{
    for (int which : {1, 3, 7}) {
        Pty pty;
        Line line(pty);
        ASSERT_EQ(ndiSerialTimeout(line.fd(), 100), 0);
        pty.send("stale reply\r");
        int pending = 0;
        while (pending == 0) {
            ASSERT_EQ(ioctl(line.fd(), FIONREAD, &pending), 0);
        }
        EXPECT_EQ(ndiSerialFlush(line.fd(), which), 0);
        char buffer[32];
        EXPECT_EQ(ndiSerialRead(line.fd(), buffer, sizeof buffer, 0, nullptr), 0) << which;
    }
}

TEST(SerialLine, WriteSendsEveryByteAndFailsOnAHungUpLine)
{
    Pty pty;
    Line line(pty);
    std::string command = "GETINFO:Features.Firmware.Version0492\r";
    EXPECT_EQ(ndiSerialWrite(line.fd(), command.data(), static_cast<int>(command.size())),
              static_cast<int>(command.size()));
    EXPECT_EQ(pty.receive(command.size()), command);

    pty.closeMaster();
    EXPECT_EQ(ndiSerialWrite(line.fd(), "INIT:E3A5\r", 10), -1);
}

// A pseudo-terminal has no modem lines: reading them fails, and a line whose
// DSR cannot be read counts as ready. (A line with DSR clear needs real
// hardware; this is what can be checked here.)
TEST(SerialLine, DsrCountsAsSetWhereModemLinesCannotBeRead)
{
    Pty pty;
    Line line(pty);
    int bits = 0;
    ASSERT_NE(ioctl(line.fd(), TIOCMGET, &bits), 0) << "this kernel's ptys have modem lines now";
    EXPECT_EQ(ndiSerialCheckDSR(line.fd()), 1);
    EXPECT_EQ(ndiSerialBreak(line.fd()), 0);
}

TEST(SerialLine, DeviceNames)
{
    EXPECT_STREQ(ndiSerialDeviceName(0), "/dev/ttyS0");
    EXPECT_STREQ(ndiSerialDeviceName(1), "/dev/ttyS1");
    EXPECT_STREQ(ndiSerialDeviceName(2), "/dev/ttyUSB0");
    EXPECT_STREQ(ndiSerialDeviceName(7), "/dev/ttyUSB5");
    EXPECT_EQ(ndiSerialDeviceName(8), nullptr);
    EXPECT_EQ(ndiSerialDeviceName(-1), nullptr);
}

}  // namespace

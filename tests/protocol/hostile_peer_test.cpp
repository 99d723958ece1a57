// Peers that do not behave like a measurement system: bytes without end, a
// reply dripped a byte at a time, a reply that never reaches its end, or no
// reply at all until the caller gives up on it. Every command must come back
// with an error in a bounded time and decode nothing; a caller that stops
// must be able to end a pending read at once.
#include "loopback_listener.h"
#include "reply_encoder.h"
#include "scripted_device.h"

#include <ndi/protocol.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using replies::frameText;

// Only keeps a broken build from hanging the suite: the connections below
// give a reply 200 ms, and the proof is that the command returns at all,
// with an error.
constexpr auto kBound = std::chrono::seconds(5);
// The peers give up their misbehaviour after this long, so that a library
// that waits them out fails the bound above instead of hanging.
constexpr auto kPeerPersistence = std::chrono::seconds(10);

enum class Line { Pty, Tcp };

std::string lineName(Line line) { return line == Line::Pty ? "pty" : "tcp"; }

void check(bool ok, const char* what)
{
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// How the peer answers the command that sets it off.
enum class Misbehaviour {
    Flood,  // head, then body over and over, as fast as the line takes it
    Drip,   // head and body over and over, one byte every 50 ms
};

struct Script {
    std::string trigger;  // the command (up to its first ':') that sets the peer off
    Misbehaviour how;
    std::string head;
    std::string body;  // repeated without end
};

// A peer on the master side of a pseudo-terminal or on loopback TCP that
// answers OKAY to everything until the trigger command, and from then on
// sends what its script says until kPeerPersistence has passed.
class HostilePeer {
public:
    HostilePeer(Line line, Script script) : m_line(line), m_script(std::move(script))
    {
        check(pipe2(m_wake, O_CLOEXEC) == 0, "pipe");
        if (line == Line::Pty) {
            m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
            check(m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0, "pty");
            m_path = ptsname(m_master);
            // Keeps the terminal from hanging up while the host has it closed.
            m_slaveKeeper = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            check(m_slaveKeeper >= 0, "open slave");
        } else {
            const ndi::testsupport::LoopbackListener listener =
                ndi::testsupport::listenOnLoopback(1);
            m_listener = listener.fd;
            m_port = listener.port;
        }
        m_thread = std::thread([this] { run(); });
    }

    ~HostilePeer()
    {
        char byte = 0;
        (void)!write(m_wake[1], &byte, 1);
        m_thread.join();
        for (int fd : {m_master, m_slaveKeeper, m_listener, m_connection, m_wake[0], m_wake[1]})
            if (fd >= 0) close(fd);
    }

    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    NdiConnection* connect() const
    {
        NdiConnection* h = m_line == Line::Pty ? ndiOpenSerial(m_path.c_str())
                                               : ndiOpenNetwork("127.0.0.1", m_port);
        if (h == nullptr) return nullptr;
        if (m_line == Line::Pty)
            EXPECT_EQ(ndiSerialTimeout(ndiGetDeviceHandle(h), 200), 0);
        else
            EXPECT_EQ(ndiTimeoutSocket(h, 200), 1);
        return h;
    }

private:
    int connection() const { return m_line == Line::Pty ? m_master : m_connection; }

    void onCommand(const std::string& command)
    {
        if (m_started) return;  // a peer gone bad answers nothing any more
        if (command.substr(0, command.find(':')) == m_script.trigger) {
            m_started = true;
            m_since = Clock::now();
            m_pending = m_script.head;
        } else {
            m_pending += frameText("OKAY");
        }
    }

    // Sends what is due now. Returns how long to wait before more is due:
    // -1 nothing is (wait for commands), 0 as soon as the line takes more.
    int sendDue()
    {
        if (m_started && Clock::now() - m_since > kPeerPersistence) {
            m_pending.clear();
            return -1;
        }
        if (m_started && m_pending.empty()) m_pending = m_script.body;
        if (m_pending.empty()) return -1;
        const bool drip = m_started && m_script.how == Misbehaviour::Drip;
        if (drip && Clock::now() < m_nextDrip) {
            return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        m_nextDrip - Clock::now())
                                        .count()) +
                   1;
        }
        const size_t n = drip ? 1 : m_pending.size();
        const ssize_t r = m_line == Line::Tcp
                              ? send(connection(), m_pending.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT)
                              : write(connection(), m_pending.data(), n);
        if (r > 0) m_pending.erase(0, static_cast<size_t>(r));
        if (drip) {
            m_nextDrip = Clock::now() + std::chrono::milliseconds(50);
            return 50;
        }
        return 0;
    }

    void run()
    {
        std::string input;
        for (;;) {
            const bool connected = connection() >= 0;
            pollfd fds[2] = {{m_wake[0], POLLIN, 0},
                             {connected ? connection() : m_listener, POLLIN, 0}};
            int timeout = -1;
            if (connected) {
                timeout = sendDue();
                if (timeout == 0) {
                    fds[1].events |= POLLOUT;
                    timeout = -1;
                }
            }
            if (poll(fds, 2, timeout) < 0 && errno != EINTR) return;
            if (fds[0].revents != 0) return;
            if (!connected) {
                if (fds[1].revents & POLLIN)
                    m_connection =
                        accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                continue;
            }
            if ((fds[1].revents & POLLIN) == 0) continue;
            char buffer[4096];
            const ssize_t n = read(connection(), buffer, sizeof buffer);
            if (n == 0 && m_line == Line::Tcp) return;  // the host closed
            if (n <= 0) continue;
            input.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = input.find('\r')) != std::string::npos) {
                onCommand(input.substr(0, end));
                input.erase(0, end + 1);
            }
        }
    }

    Line m_line;
    Script m_script;
    int m_wake[2] = {-1, -1};
    int m_master = -1;
    int m_slaveKeeper = -1;
    int m_listener = -1;
    int m_connection = -1;
    int m_port = 0;
    std::string m_path;
    std::string m_pending;
    bool m_started = false;
    Clock::time_point m_since;
    Clock::time_point m_nextDrip;
    std::thread m_thread;
};

void closeConnection(NdiConnection* h)
{
    if (ndiGetDeviceHandle(h) >= 0)
        ndiCloseSerial(h);
    else
        ndiCloseNetwork(h);
}

// Nothing of a tracking reply may have been taken for a frame.
void expectNoPose(NdiConnection* h)
{
    float t[8];
    double d[8];
    EXPECT_EQ(ndiGetBXMarkerCount(h), 0);
    EXPECT_EQ(ndiGetBXTransform(h, 0x01, t), 1);
    EXPECT_EQ(ndiGetTXTransformf(h, 0x01, t), 1);
    EXPECT_EQ(ndiGetTXTransform(h, 0x01, d), 1);
}

// A binary header announcing a frame of nearly 64 KiB (the length field
// plus the 8 framing bytes must stay below 65536), with its CRC.
std::string longestFrameHeader()
{
    std::string header = "\xC4\xA5\xF0\xFF";
    const unsigned crc = replies::crc16(header);
    header += static_cast<char>(crc & 0xFF);
    header += static_cast<char>(crc >> 8);
    return header + "\x01\x01\x01";
}

TEST(HostilePeer, EveryCommandEndsInBoundedTimeWithAnErrorAndNoPose)
{
    const std::string flood(4096, 'A');
    const struct {
        const char* name;
        Script script;
        const char* command;  // what runs into the peer
        int error;            // 0: NDI_ERR_READ or NDI_ERR_TIMEOUT, as the host's pace allows
    } cases[] = {
        {"endless bytes at INIT", {"INIT", Misbehaviour::Flood, "", flood}, "INIT:", 0},
        {"endless replies with a wrong CRC at INIT",
         {"INIT", Misbehaviour::Flood, "", "OKAYA897\r"},
         "INIT:",
         NDI_ERR_CRC},
        {"endless bytes while tracking, binary",
         {"BX", Misbehaviour::Flood, "", flood},
         "BX:180F",
         0},
        {"endless bytes while tracking, text",
         {"TX", Misbehaviour::Flood, "", flood},
         "TX:1005",
         0},
        {"text reply that never ends",
         {"TX", Misbehaviour::Flood, "01", "0123456789"},
         "TX:1005",
         0},
        {"error reply that never ends, to a binary command",
         {"BX", Misbehaviour::Flood, "ERROR", "0"},
         "BX:180F",
         0},
        {"binary frame longer than any reply",
         {"BX", Misbehaviour::Flood, longestFrameHeader(), flood},
         "BX:180F",
         0},
        {"one byte every 50 ms, text",
         {"TX", Misbehaviour::Drip, "01", "0A+05000"},
         "TX:1005",
         NDI_ERR_TIMEOUT},
        {"one byte every 50 ms, binary",
         {"BX", Misbehaviour::Drip, longestFrameHeader(), "\x01"},
         "BX:180F",
         NDI_ERR_TIMEOUT},
        {"one byte every 50 ms at INIT",
         {"INIT", Misbehaviour::Drip, "", "OKAY"},
         "INIT:",
         NDI_ERR_TIMEOUT},
    };
    for (Line line : {Line::Pty, Line::Tcp}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(lineName(line) + ": " + c.name);
            HostilePeer peer(line, c.script);
            NdiConnection* h = peer.connect();
            ASSERT_NE(h, nullptr);
            if (std::string(c.command) != "INIT:") {
                ndiCommand(h, "INIT:");
                ASSERT_EQ(ndiGetError(h), 0);
                ndiCommand(h, "TSTART:");
                ASSERT_EQ(ndiGetError(h), 0);
            }
            // The first command meets the misbehaviour, the second one what
            // it left on the line.
            for (int attempt = 0; attempt < 2; ++attempt) {
                SCOPED_TRACE(attempt == 0 ? "first command" : "the command after it");
                const auto start = Clock::now();
                ndiCommand(h, "%s", c.command);
                EXPECT_LT(Clock::now() - start, kBound);
                const int error = ndiGetError(h);
                if (c.error > 0 && attempt == 0) {
                    EXPECT_EQ(error, c.error) << ndiErrorString(error);
                } else if (c.error == 0) {
                    EXPECT_TRUE(error == NDI_ERR_READ || error == NDI_ERR_TIMEOUT)
                        << ndiErrorString(error);
                } else {
                    EXPECT_NE(error, 0);
                }
                expectNoPose(h);
            }
            closeConnection(h);
        }
    }
}

// What the caller's stop does from another thread or from its signal
// handler: the pending read ends at once, and nothing more is sent.
NdiConnection* g_cancelled = nullptr;

void cancelFromSignal(int) { ndiCancelReplies(g_cancelled); }

TEST(HostilePeer, CancelledRepliesEndAPendingReadAndEveryLaterCommand)
{
    struct sigaction action {};
    action.sa_handler = cancelFromSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

    for (nditest::ScriptedDevice::Line line :
         {nditest::ScriptedDevice::Line::Pty, nditest::ScriptedDevice::Line::Tcp}) {
        for (bool fromSignal : {false, true}) {
            SCOPED_TRACE(std::string(line == nditest::ScriptedDevice::Line::Pty ? "pty" : "tcp") +
                         (fromSignal ? ", from a signal handler" : ", from another thread"));
            // A device that takes the tracking command and never answers it.
            nditest::ScriptedDevice device(line, [](const std::string& command) {
                return command.rfind("BX", 0) == 0 ? nditest::Reply{} : frameText("OKAY");
            });
            NdiConnection* h = line == nditest::ScriptedDevice::Line::Pty
                                   ? ndiOpenSerial(device.path().c_str())
                                   : ndiOpenNetwork("127.0.0.1", device.port());
            ASSERT_NE(h, nullptr);
            // Far longer than the bound: only the cancel can end the read in time.
            if (line == nditest::ScriptedDevice::Line::Pty)
                ASSERT_EQ(ndiSerialTimeout(ndiGetDeviceHandle(h), 20000), 0);
            else
                ASSERT_EQ(ndiTimeoutSocket(h, 20000), 1);
            ndiCommand(h, "INIT:");
            ASSERT_EQ(ndiGetError(h), 0);

            g_cancelled = h;
            const pthread_t reader = pthread_self();
            std::thread stopper([&] {
                device.waitForCommands(2);  // INIT, and the BX now waiting for its reply
                if (fromSignal)
                    pthread_kill(reader, SIGUSR1);
                else
                    ndiCancelReplies(h);
            });
            const auto start = Clock::now();
            ndiCommand(h, "BX:%04X", 0x180F);
            const auto waited = Clock::now() - start;
            stopper.join();
            EXPECT_LT(waited, kBound);
            EXPECT_EQ(ndiGetError(h), NDI_ERR_TIMEOUT);
            expectNoPose(h);

            // Later commands fail the same way without reaching the device.
            for (const char* later : {"INIT:", "TSTOP:"}) {
                const auto again = Clock::now();
                ndiCommand(h, "%s", later);
                EXPECT_LT(Clock::now() - again, kBound);
                EXPECT_EQ(ndiGetError(h), NDI_ERR_TIMEOUT) << later;
            }
            ndiCommand(h, nullptr);
            EXPECT_EQ(ndiGetError(h), NDI_ERR_TIMEOUT) << "reset";
            EXPECT_EQ(device.commands().size(), 2u);
            if (line == nditest::ScriptedDevice::Line::Pty) {
                EXPECT_EQ(device.breaks(), 0);
            }
            closeConnection(h);
            g_cancelled = nullptr;
        }
    }
    signal(SIGUSR1, SIG_DFL);
}

TEST(HostilePeer, CancelIsHarmlessOnAHandleWithoutALine) { ndiCancelReplies(nullptr); }

// A listener whose queue is full drops every further connection request, as
// an address where nothing answers does: the open must give up in time.
TEST(HostilePeer, OpeningAnAddressThatNeverAcceptsEndsWithoutAConnection)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t length = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    std::vector<int> waiting;
    bool full = false;
    while (!full && waiting.size() < 16) {
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(client, 0);
        waiting.push_back(client);
        if (connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) continue;
        pollfd p{client, POLLOUT, 0};
        full = errno == EINPROGRESS && poll(&p, 1, 500) == 0;
    }
    if (full) {
        const auto start = Clock::now();
        NdiConnection* h = ndiOpenNetwork("127.0.0.1", ntohs(addr.sin_port));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
        EXPECT_EQ(h, nullptr);
        if (h != nullptr) ndiCloseNetwork(h);
    }
    for (int fd : waiting) close(fd);
    close(listener);
    if (!full) GTEST_SKIP() << "the listener's queue never filled";
}

// A pseudo-terminal master opens like a serial line but takes its settings
// for the other side: the host's read time-out never applies to it, and no
// device ever answers there.
TEST(HostilePeer, ProbingAPseudoTerminalMasterEndsWithAnError)
{
    if (access("/dev/ptmx", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/ptmx to probe";
    const auto start = Clock::now();
    EXPECT_NE(ndiSerialProbe("/dev/ptmx"), 0);
    // The probe's own waits: 100 ms for the first answer, 7 s after the break.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
}

}  // namespace

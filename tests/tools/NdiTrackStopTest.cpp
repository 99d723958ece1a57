// ndi-track stopped by Ctrl-C (SIGINT) or its --duration while the system on
// the other end misbehaves: whatever the peer does, the program is gone
// within a second, and a run that could not end in order does not claim
// success. The peers answer like a system until the phase under test and then
// turn hostile, on loopback TCP and on a pseudo-terminal.
#include "TrackProcess.h"
#include "reply_encoder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tracktest::Ending;
using tracktest::TrackProcess;

namespace {

// When the peer turns hostile: at its Nth INIT, at the first command once
// tracking has begun, or at the stop.
enum class When { AtInit, WhileTracking, AtStop };
// What it does then: sends bytes without end, one byte every 50 ms, a reply
// that is begun and never finished (text or binary, as the command asked), or
// nothing at all.
enum class What { Flood, Drip, ReplyNeverEnds, Silence };

class HostilePeer {
public:
    enum class Line { Tcp, Pty };

    HostilePeer(Line line, When when, What what, int initsBeforeMisdeed)
        : m_line(line), m_when(when), m_what(what), m_initsBefore(initsBeforeMisdeed)
    {
        if (::pipe2(m_wake, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        if (line == Line::Tcp) {
            m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
                ::listen(m_listener, 4) != 0 ||
                ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
                throw std::runtime_error("cannot listen on loopback");
            m_port = ntohs(address.sin_port);
        } else {
            int slave = -1;
            if (::openpty(&m_fd, &slave, nullptr, nullptr, nullptr) != 0)
                throw std::runtime_error("openpty");
            m_path = ::ttyname(slave);
            // Kept open so that the line never hangs up between the program's opens.
            m_slaveKeeper = slave;
            ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(m_slaveKeeper, F_SETFD, FD_CLOEXEC);
            ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        }
        m_thread = std::thread([this] { serve(); });
    }
    ~HostilePeer()
    {
        const char stop = 's';
        (void)!::write(m_wake[1], &stop, 1);
        m_thread.join();
        for (int fd : {m_fd, m_listener, m_slaveKeeper, m_wake[0], m_wake[1]})
            if (fd >= 0) ::close(fd);
    }
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
    const std::string& device() const { return m_path; }

    // Waits until the program is in the phase the test stops it in: the
    // misdeed has begun, or (at the stop) tracking has. False after `limit`.
    bool waitForPhase(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] {
            return m_when == When::AtStop ? m_trackingCommands > 0 : m_hostile;
        });
    }
    bool hostile() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_hostile;
    }

private:
    void serve()
    {
        std::string pending;
        auto nextDrip = std::chrono::steady_clock::now();
        for (;;) {
            if (m_fd < 0) {
                pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
                if (fds[1].revents) return;
                if (fds[0].revents) m_fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                continue;
            }
            const bool flooding = isHostile() && m_what == What::Flood;
            const bool dripping = isHostile() && m_what == What::Drip;
            pollfd fds[2] = {{m_fd, static_cast<short>(POLLIN | (flooding ? POLLOUT : 0)), 0},
                             {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 2, dripping ? 10 : 50) < 0 && errno != EINTR) return;
            if (fds[1].revents) return;
            if (fds[0].revents & POLLIN) {
                char buffer[4096];
                const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
                if (n <= 0 && m_line == Line::Tcp && !(n < 0 && errno == EAGAIN)) {
                    ::close(m_fd);  // the program went; the next may connect
                    m_fd = -1;
                    continue;
                }
                for (ssize_t i = 0; i < n; ++i) {
                    if (buffer[i] != '\r') {
                        pending += buffer[i];
                        continue;
                    }
                    const std::string reply = answer(pending);
                    pending.clear();
                    send(reply);
                }
            } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                // A pty whose program closed it reports a hang-up until it
                // opens again.
                std::this_thread::sleep_for(10ms);
            }
            if (flooding && (fds[0].revents & POLLOUT)) send(std::string(4096, 'A'));
            if (dripping && std::chrono::steady_clock::now() >= nextDrip) {
                send("7");
                nextDrip = std::chrono::steady_clock::now() + 50ms;
            }
        }
    }

    bool isHostile() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_hostile;
    }

    void turnHostile()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hostile = true;
        m_changed.notify_all();
    }

    // A command's reply as a system that knows no tools gives it; once the
    // peer is hostile, only what the misdeed sends.
    std::string answer(const std::string& command)
    {
        if (isHostile()) return {};
        const auto is = [&](const char* name) { return command.rfind(name, 0) == 0; };
        bool trackingCommand = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (is("INIT")) ++m_inits;
            if (m_tracking && !is("TSTART") && !is("TSTOP")) {
                trackingCommand = true;
                ++m_trackingCommands;
                m_changed.notify_all();
            }
            if (is("TSTART")) m_tracking = true;
        }
        const bool turn = (m_when == When::AtInit && is("INIT") && m_inits > m_initsBefore) ||
                          (m_when == When::WhileTracking && trackingCommand) ||
                          (m_when == When::AtStop && is("TSTOP"));
        if (turn) {
            turnHostile();
            if (m_what != What::ReplyNeverEnds) return {};
            // The start of a reply whose end never comes.
            if (is("BX")) return std::string("\xC4\xA5\x40\x00", 4).append(2, '\x11') + "\x01\x0A";
            return "010A+09812+00000-00051";
        }
        if (is("SFLIST") || is("GETINFO")) return replies::frameText("ERROR01");
        if (is("VER")) return replies::frameText("Scripted Control Firmware\nRevision 001");
        if (is("PHSR")) return replies::frameText("00");
        if (is("PHRQ")) return replies::frameText("0A");
        if (trackingCommand && is("BX")) {
            const unsigned option = std::stoul(command.substr(3, 4), nullptr, 16);
            return replies::frameBx(replies::encodeBx(option, replies::BxReply{}));
        }
        if (trackingCommand && is("TX")) {
            const unsigned option = std::stoul(command.substr(3, 4), nullptr, 16);
            return replies::frameText(replies::encodeTx(option, replies::TxReply{}));
        }
        return replies::frameText("OKAY");
    }

    void send(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = m_line == Line::Tcp
                                  ? ::send(m_fd, bytes.data() + done, bytes.size() - done,
                                           MSG_NOSIGNAL | MSG_DONTWAIT)
                                  : ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;  // a full line drops the rest: a flood does not care
            done += static_cast<std::size_t>(n);
        }
    }

    const Line m_line;
    const When m_when;
    const What m_what;
    const int m_initsBefore;
    int m_fd = -1;
    int m_listener = -1;
    int m_slaveKeeper = -1;
    int m_wake[2] = {-1, -1};
    int m_port = 0;
    std::string m_path;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_hostile = false;
    bool m_tracking = false;
    int m_inits = 0;
    int m_trackingCommands = 0;
    std::thread m_thread;
};

const char* whatName(What what)
{
    switch (what) {
    case What::Flood: return "endless bytes";
    case What::Drip: return "a byte every 50 ms";
    case What::ReplyNeverEnds: return "a reply that never ends";
    case What::Silence: return "silence";
    }
    return "?";
}

const char* whenName(When when)
{
    switch (when) {
    case When::AtInit: return "at INIT";
    case When::WhileTracking: return "while tracking";
    case When::AtStop: return "at the stop";
    }
    return "?";
}

// Generous for a shared, loaded machine; the program aims at one second.
constexpr double kBoundSeconds = 3.0;

}  // namespace

TEST(NdiTrackStop, SigintEndsTheRunWithinASecondWhateverThePeerDoes)
{
    struct Case {
        HostilePeer::Line line;
        When when;
        What what;
        bool text;  // TX instead of BX
    };
    using L = HostilePeer::Line;
    const std::vector<Case> cases = {
        {L::Tcp, When::AtInit, What::Flood, false},
        {L::Tcp, When::AtInit, What::Drip, false},
        {L::Tcp, When::WhileTracking, What::Flood, false},
        {L::Tcp, When::WhileTracking, What::Drip, false},
        {L::Tcp, When::WhileTracking, What::ReplyNeverEnds, false},
        {L::Tcp, When::WhileTracking, What::ReplyNeverEnds, true},
        {L::Tcp, When::AtStop, What::Silence, false},
        {L::Pty, When::AtInit, What::Flood, false},
        {L::Pty, When::AtInit, What::Drip, false},
        {L::Pty, When::WhileTracking, What::Flood, false},
        {L::Pty, When::WhileTracking, What::Drip, false},
        {L::Pty, When::WhileTracking, What::ReplyNeverEnds, false},
        {L::Pty, When::WhileTracking, What::ReplyNeverEnds, true},
        {L::Pty, When::AtStop, What::Silence, false},
    };
    for (const Case& c : cases) {
        const bool tcp = c.line == L::Tcp;
        SCOPED_TRACE(std::string(tcp ? "tcp" : "pty") + ", " + whatName(c.what) + " " +
                     whenName(c.when) + (c.text ? " (text)" : ""));
        // The serial probe sends an INIT of its own before the stream's.
        HostilePeer peer(c.line, c.when, c.what, tcp ? 0 : 1);
        std::vector<std::string> args =
            tcp ? std::vector<std::string>{"--family", "vega", "--address", peer.address()}
                : std::vector<std::string>{"--family", "polaris", "--device", peer.device()};
        args.insert(args.end(), {"--format", "csv", "--log-level", "3"});
        if (c.text) args.push_back("--text");
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        TrackProcess run(args, devNull);
        ::close(devNull);

        ASSERT_TRUE(peer.waitForPhase(20s)) << run.err();
        // Into the read that waits on the peer.
        std::this_thread::sleep_for(200ms);
        run.signal(SIGINT);
        const Ending ending = run.wait(10s);
        std::printf("    %s, %s %s%s: ended %.2f s after SIGINT\n", tcp ? "tcp" : "pty",
                    whatName(c.what), whenName(c.when), c.text ? " (text)" : "", ending.seconds);
        ASSERT_TRUE(ending.ended) << "still running 10 s after SIGINT\n" << run.err();
        EXPECT_LE(ending.seconds, kBoundSeconds) << run.err();
        EXPECT_TRUE(ending.exited) << "killed by signal " << ending.signal;
        // A run cut short by its system is no success.
        EXPECT_NE(ending.code, 0) << run.err();
        if (c.when == When::AtInit) {
            EXPECT_EQ(ending.code, 1) << run.err();
        }
    }
}

// --duration ends the run the same way when the system does not answer the
// stop, and says so: either the stop's own time-out came first and is among
// the run's errors, or the run gave the stop up.
TEST(NdiTrackStop, DurationEndsARunWhoseStopIsNeverAnswered)
{
    for (const auto line : {HostilePeer::Line::Tcp, HostilePeer::Line::Pty}) {
        const bool tcp = line == HostilePeer::Line::Tcp;
        SCOPED_TRACE(tcp ? "tcp" : "pty");
        HostilePeer peer(line, When::AtStop, What::Silence, 0);
        std::vector<std::string> args =
            tcp ? std::vector<std::string>{"--family", "vega", "--address", peer.address()}
                : std::vector<std::string>{"--family", "polaris", "--device", peer.device()};
        args.insert(args.end(), {"--format", "csv", "--duration", "0.5", "--log-level", "3"});
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        TrackProcess run(args, devNull);
        ::close(devNull);

        ASSERT_TRUE(peer.waitForPhase(20s)) << run.err();
        // From the first tracking command: the run's half second, then at most
        // the bound for the stop.
        const Ending ending = run.wait(15s);
        std::printf("    %s: ended %.2f s after tracking began (duration 0.5 s)\n",
                    tcp ? "tcp" : "pty", ending.seconds);
        ASSERT_TRUE(ending.ended) << run.err();
        EXPECT_TRUE(peer.hostile()) << "the stop was sent";
        EXPECT_LE(ending.seconds, 0.5 + kBoundSeconds) << run.err();
        EXPECT_TRUE(ending.exited && ending.code == 4) << ending.code << "\n" << run.err();
        const std::string err = run.err();
        EXPECT_TRUE(err.find("did not answer the stop") != std::string::npos ||
                    err.find("communication timeout") != std::string::npos)
            << err;
    }
}

// Listening for a camera's PTP messages takes two seconds and has no reply
// to cancel: the run is given up within the second all the same.
TEST(NdiTrackStop, SigintEndsTheSearchForACamera)
{
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    TrackProcess run({"--family", "vega", "--address", "auto", "--format", "csv"}, devNull);
    ::close(devNull);
    // Signalled before it took the stop signals over (a slow start, as under
    // a sanitizer), it would die of SIGINT instead: the plugin is loaded
    // after that.
    const auto limit = std::chrono::steady_clock::now() + 30s;
    while (run.err().find("loaded from") == std::string::npos &&
           std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(300ms);
    run.signal(SIGINT);
    const Ending ending = run.wait(10s);
    std::printf("    the search ended %.2f s after SIGINT\n", ending.seconds);
    ASSERT_TRUE(ending.ended) << run.err();
    EXPECT_LE(ending.seconds, kBoundSeconds) << run.err();
    EXPECT_EQ(ending.code, 1) << run.err();
}

// discover listens for as long as it was told; Ctrl-C still ends it.
TEST(NdiTrackStop, SigintEndsDiscover)
{
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    TrackProcess run({"discover", "--no-serial", "--window", "600000"}, devNull);
    ::close(devNull);
    std::this_thread::sleep_for(300ms);
    run.signal(SIGINT);
    const Ending ending = run.wait(10s);
    std::printf("    discover ended %.2f s after SIGINT\n", ending.seconds);
    ASSERT_TRUE(ending.ended) << run.err();
    EXPECT_LE(ending.seconds, kBoundSeconds);
}

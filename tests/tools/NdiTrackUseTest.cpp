// What careless use meets: an output that is full, closed or stalled, and an
// address that is no address. ndi-track tracks a simulated Aurora on a
// pseudo-terminal and writes where the test points its stdout.
#include "TrackProcess.h"

#include <ndisim/Simulator.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tracktest::Ending;
using tracktest::TrackProcess;

namespace {

const std::vector<std::string> kFormats = {"table", "csv", "jsonl"};

struct Pipe {
    Pipe()
    {
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    }
    ~Pipe()
    {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    void close(int end)
    {
        ::close(fds[end]);
        fds[end] = -1;
    }
    // Reads until a newline has come, EOF or `limit`.
    std::string readLine(std::chrono::milliseconds limit)
    {
        std::string text;
        const auto until = std::chrono::steady_clock::now() + limit;
        while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buffer[256];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    std::string readAll()
    {
        std::string text;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }
    int fds[2] = {-1, -1};
};

std::vector<std::string> trackArgs(const ndisim::Simulator& sim, const std::string& format,
                                   const char* duration)
{
    return {"--device",   sim.serialDevice(), "--format",    format,
            "--duration", duration,           "--log-level", "3"};
}

// The run stopped the system and returned its line to 9600 baud.
void expectClosedInOrder(const ndisim::Simulator& sim)
{
    EXPECT_FALSE(sim.stats().tracking);
    EXPECT_EQ(sim.deviceLine().baud, 9600);
}

}  // namespace

// A full disk ends the run at once, closing the system, with the cause named
// and an exit code that says the output is incomplete.
TEST(NdiTrackUse, AWriteErrorEndsTheRunWithItsCause)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    for (const std::string& format : kFormats) {
        SCOPED_TRACE(format);
        const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(full, 0);
        TrackProcess run(trackArgs(*sim, format, "60"), full);
        ::close(full);
        const Ending ending = run.wait(30s);
        ASSERT_TRUE(ending.ended) << "still writing into a full disk\n" << run.err();
        EXPECT_TRUE(ending.exited) << ending.signal;
        EXPECT_EQ(ending.code, 6) << run.err();
        EXPECT_NE(run.err().find("cannot write the output: No space left on device"),
                  std::string::npos)
            << run.err();
        expectClosedInOrder(*sim);
    }
}

// A reader that has had enough (| head -1) ends the run without a word of
// error, as a pipeline expects: by SIGPIPE, once the system is closed.
TEST(NdiTrackUse, AClosedPipeEndsTheRunQuietly)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    for (const std::string& format : kFormats) {
        SCOPED_TRACE(format);
        Pipe pipe;
        TrackProcess run(trackArgs(*sim, format, "60"), pipe.fds[1]);
        pipe.close(1);
        EXPECT_NE(pipe.readLine(20s).find('\n'), std::string::npos) << run.err();
        pipe.close(0);
        const Ending ending = run.wait(30s);
        ASSERT_TRUE(ending.ended) << "still writing into a closed pipe\n" << run.err();
        EXPECT_FALSE(ending.exited) << "exit code " << ending.code << "\n" << run.err();
        EXPECT_EQ(ending.signal, SIGPIPE) << run.err();
        EXPECT_EQ(run.err().find("cannot write"), std::string::npos) << run.err();
        EXPECT_EQ(run.err().find("[error]"), std::string::npos) << run.err();
        expectClosedInOrder(*sim);
    }
}

// Frames for an output that does not keep up are held only up to the cap;
// the rest are dropped, counted and reflected in the exit code, and what is
// written stays whole and in order.
TEST(NdiTrackUse, AStalledOutputDropsFramesBeyondTheCapAndSaysSo)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    Pipe pipe;
    // The smallest pipe fills within a few frames.
    ASSERT_GT(::fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096), 0);
    TrackProcess run(trackArgs(*sim, "csv", "1.5"), pipe.fds[1], {"NDI_TRACK_QUEUE_BYTES=30000"});
    pipe.close(1);
    // Nobody reads until the run has stopped the system.
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (!sim->stats().tracking && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    while (sim->stats().tracking && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    const std::string out = pipe.readAll();
    const Ending ending = run.wait(30s);
    ASSERT_TRUE(ending.ended) << run.err();
    EXPECT_EQ(ending.code, 5) << run.err();

    const std::string err = run.err();
    unsigned long long total = 0, dropped = 0;
    const auto summary = err.find(" frames in ");
    ASSERT_NE(summary, std::string::npos) << err;
    total = std::stoull(err.substr(err.rfind(' ', summary - 1) + 1));
    const auto note = err.find(" frames were dropped: the output did not keep up");
    ASSERT_NE(note, std::string::npos) << err;
    dropped = std::stoull(err.substr(err.rfind(' ', note - 1) + 1));
    EXPECT_GT(dropped, 0u);

    // Every line whole, frames in order, each written frame complete.
    std::set<unsigned long long> frames;
    unsigned long long last = 0;
    std::size_t start = out.find('\n') + 1;  // after the header
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = out.substr(start, end - start);
        ASSERT_EQ(std::count(line.begin(), line.end(), ','), 12) << line;
        const unsigned long long frame = std::stoull(line);
        ASSERT_GE(frame, last) << line;
        last = frame;
        frames.insert(frame);
    }
    EXPECT_EQ(start, out.size()) << "a torn last line";
    EXPECT_EQ(frames.size() + dropped, total) << err;
}

// Ctrl-C is not held up by an output that takes nothing: the run stops and
// closes the system, counts what was never written and ends.
TEST(NdiTrackUse, AStalledOutputDoesNotHoldUpCtrlC)
{
    auto sim = ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora));
    Pipe pipe;
    ASSERT_GT(::fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096), 0);
    TrackProcess run({"--device", sim->serialDevice(), "--format", "csv", "--log-level", "3"},
                     pipe.fds[1]);
    pipe.close(1);
    // Until the pipe is full and the program's writes wait on it.
    int queued = 0;
    const auto until = std::chrono::steady_clock::now() + 30s;
    while ((::ioctl(pipe.fds[0], FIONREAD, &queued) != 0 || queued < 4000) &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    ASSERT_GE(queued, 4000) << run.err();
    std::this_thread::sleep_for(200ms);
    run.signal(SIGINT);
    const Ending ending = run.wait(10s);
    std::printf("    ended %.2f s after SIGINT\n", ending.seconds);
    ASSERT_TRUE(ending.ended) << run.err();
    EXPECT_LE(ending.seconds, 3.0) << run.err();
    EXPECT_EQ(ending.code, 5) << run.err();
    EXPECT_NE(run.err().find(" frames were not written: the output did not take them"),
              std::string::npos)
        << run.err();
    expectClosedInOrder(*sim);
}

// An address that cannot be one is the command line's fault, said as such
// before anything is opened; "auto" still listens for the camera.
TEST(NdiTrackUse, AnAddressThatIsNoAddressIsAUsageError)
{
    struct Case {
        std::string address;
        int code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1:abc", 2, "the port after ':' must be a number from 1 to 65535"},
        {"127.0.0.1:", 2, "the port after ':' must be a number"},
        {"127.0.0.1:70000", 2, "the port after ':' must be a number"},
        {"999.1.1.1", 2, "999.1.1.1 is not an IPv4 address"},
        {"10.0.0", 2, "must be a dotted IPv4 address"},
        {"10.0.0.1.5:8765", 2, "must be a dotted IPv4 address"},
        {"camera.local", 2, "host names are not supported"},
        {"auto", 1, "no camera was heard on the network"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        TrackProcess run({"--family", "vega", "--address", c.address, "--duration", "1"}, devNull);
        ::close(devNull);
        const Ending ending = run.wait(30s);
        ASSERT_TRUE(ending.ended) << run.err();
        EXPECT_EQ(ending.code, c.code) << run.err();
        EXPECT_NE(run.err().find(c.message), std::string::npos) << run.err();
    }
}

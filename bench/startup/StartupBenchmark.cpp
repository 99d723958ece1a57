// How long ndi-track takes from its start to its first pose, against the
// least any program could take for the same: a bare client
// (bench_startup_client) that starts, connects, sends the very commands
// ndi-track sent on its way to that pose, each once the reply before it is
// in, and pauses 100 ms after INIT as the system needs. Both run as child
// processes against the same simulated camera (a vega with three markers,
// over loopback TCP, a fresh device for every run), and both are timed from
// just before the process is spawned to the moment its first pose line is
// read from its output.
//
//   bench_startup [--runs N]      (default 5; floor and ndi-track alternate)
//
// First, one ndi-track run through a recording relay gives the commands
// (they depend on what ndi-track sends, which this program does not assume).
// Prints each run, then min/median/max of floor, ndi-track and their ratio
// (goal: median ratio <= 1.15), and the load average before and after. Run it
// three times on a quiet machine; process start-up is noisy under load.
#include "PartNumberImage.h"

#include <ndisim/Scenario.h>
#include <ndisim/Simulator.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Every wait of this program ends by then: a run that has not shown its
// first pose is a failure, not a figure.
constexpr auto kRunLimit = std::chrono::seconds(20);

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The camera of every run: tools in view from the first frame, so that the
// first tracking reply holds a pose for ndi-track and the floor alike.
ndisim::Scenario cameraScenario()
{
    ndisim::Scenario s = ndisim::defaultScenario(ndisim::Family::Vega);
    for (auto& tool : s.tools) {
        tool.missing.clear();
        tool.disabled.clear();
    }
    return s;
}

// A child process whose stdout is a pipe read line by line.
class Child {
public:
    explicit Child(const std::vector<std::string>& arguments)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<std::string> args(arguments);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        m_start = Clock::now();
        const int failed = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = out[0];
        if (failed != 0) {
            ::close(m_out);
            throw std::runtime_error("cannot start " + args[0]);
        }
    }
    // Asked to end first, so that it removes what it made (its temporary
    // files); killed only when it does not end within a few seconds.
    ~Child()
    {
        ::kill(m_pid, SIGTERM);
        const auto limit = Clock::now() + std::chrono::seconds(3);
        while (::waitpid(m_pid, nullptr, WNOHANG) == 0) {
            if (Clock::now() > limit) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(m_out);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Seconds from the spawn to the first line holding `text`, or a negative
    // number when the output ended or the limit passed first.
    double secondsUntilLine(const std::string& text)
    {
        const auto limit = m_start + kRunLimit;
        std::string buffer;
        for (;;) {
            std::size_t end;
            while ((end = buffer.find('\n')) != std::string::npos) {
                if (buffer.substr(0, end).find(text) != std::string::npos)
                    return std::chrono::duration<double>(Clock::now() - m_start).count();
                buffer.erase(0, end + 1);
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now());
            if (left.count() <= 0) return -1;
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return -1;
            char chunk[4096];
            const ssize_t n = ::read(m_out, chunk, sizeof chunk);
            if (n <= 0) return -1;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    pid_t m_pid = 0;
    int m_out = -1;
    Clock::time_point m_start;
};

int listenOnLoopback(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port = ntohs(addr.sin_port);
    return fd;
}

int connectToLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot reach the simulator");
    return fd;
}

// Passes one connection through to the simulator and keeps what the host
// sent. Ends when either side closes or stop() is called.
class RecordingRelay {
public:
    explicit RecordingRelay(int devicePort) : m_devicePort(devicePort)
    {
        m_listener = listenOnLoopback(m_port);
        m_thread = std::thread([this] { relay(); });
    }
    ~RecordingRelay()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        ::close(m_listener);
    }
    int port() const { return m_port; }
    std::string sent()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        return m_sent;
    }

private:
    void relay()
    {
        pollfd accepting{m_listener, POLLIN, 0};
        const auto limit = Clock::now() + kRunLimit;
        while (!m_stop && ::poll(&accepting, 1, 50) == 0)
            if (Clock::now() > limit) return;
        if (m_stop) return;
        const int host = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (host < 0) return;
        const int device = connectToLoopback(m_devicePort);
        while (!m_stop && Clock::now() < limit) {
            pollfd p[2] = {{host, POLLIN, 0}, {device, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0) continue;
            char buffer[4096];
            if (p[0].revents) {
                const ssize_t n = ::recv(host, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                m_sent.append(buffer, static_cast<std::size_t>(n));
                ::send(device, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            }
            if (p[1].revents) {
                const ssize_t n = ::recv(device, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                ::send(host, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            }
        }
        ::close(host);
        ::close(device);
    }

    int m_devicePort;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::string m_sent;
    std::thread m_thread;
};

struct Tools {
    std::string directory;
    std::vector<std::string> arguments;  // --marker NAME=FILE for each
};

Tools writeTools(const ndisim::Scenario& scenario)
{
    char pattern[] = "/tmp/bench-startup-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    Tools tools{pattern, {}};
    for (std::size_t i = 0; i < scenario.tools.size(); ++i) {
        const std::string path = tools.directory + "/tool" + std::to_string(i) + ".rom";
        benchsupport::writePartNumberImage(path, scenario.tools[i].partNumber);
        tools.arguments.push_back("--marker");
        tools.arguments.push_back("Tool" + std::to_string(i) + "=" + path);
    }
    return tools;
}

std::vector<std::string> trackCommand(int port, const Tools& tools)
{
    std::vector<std::string> command = {
        NDI_TRACK,  "--family", "vega", "--address", "127.0.0.1:" + std::to_string(port),
        "--format", "jsonl"};
    command.insert(command.end(), tools.arguments.begin(), tools.arguments.end());
    return command;
}

// The commands up to and including the first tracking command (BX or TX).
std::string commandsToFirstFrame(const std::string& sent)
{
    std::string out;
    for (std::size_t at = 0; at < sent.size();) {
        const std::size_t end = sent.find('\r', at);
        if (end == std::string::npos) break;
        const std::string command = sent.substr(at, end + 1 - at);
        out += command;
        if (command.compare(0, 3, "BX:") == 0 || command.compare(0, 3, "TX:") == 0) return out;
        at = end + 1;
    }
    return {};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void summary(const char* what, std::vector<double> v, const char* unit, double scale)
{
    std::sort(v.begin(), v.end());
    if (v.empty()) return;
    std::printf("  %-28s min %8.2f  median %8.2f  max %8.2f %s\n", what, v.front() * scale,
                median(v) * scale, v.back() * scale, unit);
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::printf("usage: %s [--runs N]\n", argv[0]);
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("load average before: %s\n", loadAverage().c_str());
    const ndisim::Scenario scenario = cameraScenario();
    const Tools tools = writeTools(scenario);
    const std::string transcriptPath = tools.directory + "/commands";

    // What ndi-track sends on its way to the first pose.
    {
        auto sim = ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
        RecordingRelay relay(sim->tcpPort());
        Child track(trackCommand(relay.port(), tools));
        if (track.secondsUntilLine("\"position\"") < 0) {
            std::printf("ndi-track showed no pose through the relay\n");
            return 1;
        }
        const std::string commands = commandsToFirstFrame(relay.sent());
        if (commands.empty()) {
            std::printf("no tracking command seen\n");
            return 1;
        }
        std::ofstream(transcriptPath, std::ios::binary) << commands;
        std::size_t count = 0;
        for (char c : commands) count += c == '\r';
        std::printf("exchanges to the first frame: %zu (INIT followed by a 100 ms pause)\n", count);
    }

    std::vector<double> floors, ours, ratios;
    std::printf("  %-6s %14s %14s %8s\n", "run", "floor (ms)", "ndi-track (ms)", "ratio");
    for (int run = 1; run <= runs; ++run) {
        double floor = -1, track = -1;
        {
            auto sim = ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
            Child client({FLOOR_CLIENT, std::to_string(sim->tcpPort()), transcriptPath});
            floor = client.secondsUntilLine("first pose");
        }
        {
            auto sim = ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
            Child child(trackCommand(sim->tcpPort(), tools));
            track = child.secondsUntilLine("\"position\"");
        }
        if (floor < 0 || track < 0) {
            std::printf("  run %d failed (floor %s, ndi-track %s)\n", run, floor < 0 ? "no" : "ok",
                        track < 0 ? "no pose" : "ok");
            continue;
        }
        floors.push_back(floor);
        ours.push_back(track);
        ratios.push_back(track / floor);
        std::printf("  %-6d %14.2f %14.2f %8.3f\n", run, floor * 1e3, track * 1e3, track / floor);
    }
    std::printf("start to first pose, %zu runs:\n", ratios.size());
    summary("floor (bare client)", floors, "ms", 1e3);
    summary("ndi-track", ours, "ms", 1e3);
    summary("ratio ndi-track / floor", ratios, "(goal: median <= 1.15)", 1);
    std::printf("load average after: %s\n", loadAverage().c_str());
    std::remove(transcriptPath.c_str());
    for (std::size_t i = 0; i < scenario.tools.size(); ++i)
        std::remove((tools.directory + "/tool" + std::to_string(i) + ".rom").c_str());
    ::rmdir(tools.directory.c_str());
    return ratios.empty() ? 1 : 0;
}

#include <ndisim/Simulator.h>

#include "PseudoTerminal.h"

#include <ndisim/ReplyFormat.h>
#include <ndisim/WireTime.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <ctime>
#include <stdexcept>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace ndisim {

namespace {

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void closeFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Bytes that do not form anything the host could take for a reply.
const std::string kGarbage("\x7f\xfe#~\x01", 5);

}  // namespace

struct Simulator::Impl {
    struct Piece {
        Clock::time_point due;
        std::string bytes;
        std::optional<LineSettings> lineAfter;
        bool hangUpAfter = false;
    };

    // What other threads ask of the serving thread, which alone owns the
    // line and the sockets.
    enum class Request { Unplug, PlugIn, PowerCycle };

    // Set up before the thread starts and not changed afterwards, except
    // where noted.
    bool serial = false;
    std::string link;
    std::string breakDir;
    std::string breakPath;
    std::string address;
    int port = 0;

    // Guarded by mutex: the device, faults, counters that others read, and
    // the terminal's name (it changes after a hang-up).
    mutable std::mutex mutex;
    Device device;
    Faults faults;
    SimulatorStats stats;
    std::uint64_t replies = 0;
    std::uint64_t framesSinceFaults = 0;
    std::string slaveName;
    std::deque<Request> requests;
    std::uint64_t requested = 0;
    std::uint64_t completed = 0;
    std::map<std::uint64_t, std::string> requestProblems;  // by request number
    std::condition_variable requestDone;

    // Owned by the serving thread.
    std::unique_ptr<PseudoTerminal> pty;
    int breakSocket = -1;
    int listener = -1;
    int client = -1;
    int wake = -1;
    std::string input;
    bool inputTooLong = false;
    std::deque<Piece> output;
    Clock::time_point lastDue{};
    bool pluggedIn = true;

    std::atomic<bool> stopping{false};
    std::thread thread;

    explicit Impl(Scenario s) : device(std::move(s)), faults(device.scenario().faults) {}

    ~Impl() { release(); }

    // Closes everything and removes the files made for this device.
    void release()
    {
        pty.reset();
        closeFd(breakSocket);
        closeFd(listener);
        closeFd(client);
        closeFd(wake);
        if (!breakPath.empty()) ::unlink(breakPath.c_str());
        if (!breakDir.empty()) ::rmdir(breakDir.c_str());
        if (!link.empty()) ::unlink(link.c_str());
        breakPath.clear();
        breakDir.clear();
        link.clear();
    }

    int ioFd() const { return serial ? (pty ? pty->master() : -1) : client; }

    // Points the link at the current terminal. Returns what went wrong, if
    // anything; a path that is not a symbolic link is never replaced.
    std::string makeLink()
    {
        if (link.empty()) return {};
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                return "refusing to replace " + link + ": it is not a symbolic link";
            ::unlink(link.c_str());
        }
        if (::symlink(pty->slaveName().c_str(), link.c_str()) != 0) {
            return "cannot make the link " + link + ": " + std::strerror(errno);
        }
        return {};
    }

    void openSerial()
    {
        pty = std::make_unique<PseudoTerminal>();
        slaveName = pty->slaveName();
        const std::string problem = makeLink();
        if (!problem.empty()) {
            link.clear();  // not ours: must not be removed at the end
            throw std::runtime_error(problem);
        }
        char dir[] = "/tmp/ndisim-XXXXXX";
        if (!::mkdtemp(dir)) throw systemError("cannot make a directory for the break socket");
        breakDir = dir;
        breakPath = breakDir + "/break";
        breakSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (breakSocket < 0) throw systemError("cannot make the break socket");
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, breakPath.c_str(), sizeof addr.sun_path - 1);
        if (::bind(breakSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw systemError("cannot bind the break socket");
        }
        stats.connections = 1;
    }

    void openTcp()
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listener < 0) throw systemError("cannot make a TCP socket");
        const int one = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
            throw std::runtime_error("not an IPv4 address: " + address);
        }
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw systemError("cannot listen on " + address + ":" + std::to_string(port));
        }
        if (::listen(listener, 4) != 0) throw systemError("cannot listen");
        if (port == 0) {
            // Only the first time: plugging in again reuses the port found,
            // and others read it meanwhile.
            socklen_t len = sizeof addr;
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
            port = ntohs(addr.sin_port);
        }
    }

    // Queues a reply. Called with the mutex held (reads device and faults).
    void queueReply(std::string bytes, std::optional<LineSettings> lineAfter, Clock::time_point now,
                    std::size_t commandLength, const Faults& f, std::uint64_t index)
    {
        if (f.corruptCrcEvery > 0 && index % static_cast<std::uint64_t>(f.corruptCrcEvery) == 0 &&
            bytes.size() >= 2) {
            if (bytes[bytes.size() - 1] == '\r' && bytes.size() >= 5) {
                // Text reply: a different, still well-formed CRC.
                char& digit = bytes[bytes.size() - 2];
                digit = digit == '0' ? '1' : '0';
            } else {
                bytes.back() = static_cast<char>(bytes.back() ^ 0x5A);
            }
        }
        if (f.garbageEvery > 0 && index % static_cast<std::uint64_t>(f.garbageEvery) == 0) {
            bytes = kGarbage + bytes;
        }
        const bool wire = serial && device.scenario().wireTime;
        const LineSettings line = device.line();
        auto onWire = [wire, &line](std::size_t n) -> Clock::duration {
            return wire ? std::chrono::ceil<Clock::duration>(wireTime(n, line))
                        : Clock::duration::zero();
        };
        // The command's own bytes take their time on the wire first.
        Clock::time_point start = now + onWire(commandLength);
        if (f.delayMs > 0 &&
            index % static_cast<std::uint64_t>(f.delayEvery > 0 ? f.delayEvery : 1) == 0) {
            start += std::chrono::milliseconds(f.delayMs);
        }
        if (start < lastDue) start = lastDue;
        std::size_t pieceSize = bytes.empty() ? 1 : bytes.size();
        if (f.splitBytes > 0) pieceSize = static_cast<std::size_t>(f.splitBytes);
        if (wire && pieceSize > 32) pieceSize = 32;
        // A piece leaves when its last byte has crossed the wire, counted
        // from the start of the reply so that rounding never adds up.
        Clock::time_point due = start;
        for (std::size_t at = 0; at < bytes.size(); at += pieceSize) {
            if (at > 0 && f.splitBytes > 0) start += std::chrono::milliseconds(f.splitPauseMs);
            Piece piece;
            piece.bytes = bytes.substr(at, pieceSize);
            due = start + onWire(at + piece.bytes.size());
            piece.due = due;
            output.push_back(std::move(piece));
        }
        if (lineAfter) {
            // New settings only once the last bit of the reply is out.
            Piece switchLine;
            switchLine.due = due;
            switchLine.lineAfter = lineAfter;
            output.push_back(std::move(switchLine));
        }
        lastDue = due;
    }

    void dropLink()
    {
        output.clear();
        lastDue = Clock::time_point{};
        input.clear();
        inputTooLong = false;
        if (serial) {
            // The line goes dead; a fresh terminal stands in for the device
            // being plugged in again, at power-on settings.
            pty->hangUp();
            try {
                pty = std::make_unique<PseudoTerminal>();
                std::lock_guard<std::mutex> lock(mutex);
                slaveName = pty->slaveName();
                device.reset();
                ++stats.connections;
            } catch (const std::exception&) {
                pty.reset();
            }
            if (pty) (void)makeLink();
        } else {
            closeFd(client);
            std::lock_guard<std::mutex> lock(mutex);
            stats.connected = false;
        }
    }

    void handleLine(const std::string& line, Clock::time_point now)
    {
        bool hangUp = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++stats.commands;
            const Faults f = faults;
            // A hung device takes the bytes in and does nothing with them.
            if (f.silent) return;
            DeviceReply reply;
            if (inputTooLong) {
                reply.bytes = errorReply(0x02);
                reply.error = true;
            } else if (f.errorAllCode > 0) {
                // Refused commands change nothing on the device.
                reply.bytes = errorReply(f.errorAllCode);
                reply.error = true;
            } else {
                reply = device.command(line, now);
            }
            if (reply.tracking && f.disconnectAfterFrames > 0 &&
                framesSinceFaults >= static_cast<std::uint64_t>(f.disconnectAfterFrames)) {
                faults.disconnectAfterFrames = 0;  // once
                hangUp = true;
            } else {
                const std::uint64_t index = ++replies;
                if (reply.error) ++stats.errors;
                if (reply.tracking) {
                    ++stats.frames;
                    ++framesSinceFaults;
                }
                if (f.ignoreComm) reply.lineAfter.reset();
                if (!(f.dropEvery > 0 && index % static_cast<std::uint64_t>(f.dropEvery) == 0)) {
                    queueReply(std::move(reply.bytes), reply.lineAfter, now, line.size() + 1, f,
                               index);
                } else if (reply.lineAfter) {
                    device.setLine(*reply.lineAfter);
                }
            }
        }
        if (hangUp) dropLink();
    }

    void receive(const char* data, std::size_t n, Clock::time_point now)
    {
        const int fd = ioFd();
        for (std::size_t i = 0; i < n; ++i) {
            const char c = data[i];
            if (c == '\r') {
                const std::string line = input;
                input.clear();
                handleLine(line, now);
                inputTooLong = false;
                if (ioFd() != fd) return;  // the link went down: the rest is lost with it
            } else if (input.size() < 2048) {
                input.push_back(c);
            } else {
                inputTooLong = true;
            }
        }
    }

    void readLine()
    {
        char buffer[4096];
        const int fd = ioFd();
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            // A pty master reads nothing only when no slave is open, which
            // cannot happen while we hold one; a socket has been closed.
            if (!serial) dropLink();
            return;
        }
        const Clock::time_point now = Clock::now();
        if (serial) {
            const LineSettings host = pty->hostSettings();
            bool noise;
            {
                std::lock_guard<std::mutex> lock(mutex);
                noise = !device.line().understands(host);
                if (noise) stats.noiseBytes += static_cast<std::uint64_t>(n);
            }
            if (noise) {
                // What arrives at the wrong speed is garbage to the device.
                input.clear();
                return;
            }
        }
        receive(buffer, static_cast<std::size_t>(n), now);
    }

    void readBreak()
    {
        char buffer[300];
        const ssize_t n = ::recv(breakSocket, buffer, sizeof buffer - 1, 0);
        if (n <= 0 || !pty) return;
        buffer[n] = '\0';
        // The wrapper names the terminal as the host opened it; a bind mount
        // or link may give it another name, so compare the devices.
        struct stat st {};
        if (std::strlen(buffer) != static_cast<std::size_t>(n) || ::stat(buffer, &st) != 0) return;
        if (!S_ISCHR(st.st_mode) || st.st_rdev != pty->slaveDevice()) return;
        output.clear();
        input.clear();
        inputTooLong = false;
        lastDue = Clock::time_point{};
        std::lock_guard<std::mutex> lock(mutex);
        ++stats.breaks;
        device.reset();
        Piece piece;
        piece.bytes = "RESETBE6F\r";
        piece.due = Clock::now();
        if (device.scenario().wireTime) {
            piece.due +=
                std::chrono::ceil<Clock::duration>(wireTime(piece.bytes.size(), device.line()));
        }
        output.push_back(piece);
    }

    void acceptClient()
    {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        client = fd;
        input.clear();
        inputTooLong = false;
        output.clear();
        lastDue = Clock::time_point{};
        std::lock_guard<std::mutex> lock(mutex);
        stats.connected = true;
        ++stats.connections;
    }

    // Writes the pieces that are due. Returns true when output is blocked.
    bool flush()
    {
        const Clock::time_point now = Clock::now();
        while (!output.empty() && output.front().due <= now) {
            Piece& piece = output.front();
            const int fd = ioFd();
            if (fd < 0) {
                output.clear();
                return false;
            }
            bool deliver = true;
            if (serial) {
                std::lock_guard<std::mutex> lock(mutex);
                // At another speed the host would only see garbage.
                deliver = device.line().understands(pty->hostSettings());
            }
            if (deliver && !piece.bytes.empty()) {
                const ssize_t n =
                    serial ? ::write(fd, piece.bytes.data(), piece.bytes.size())
                           : ::send(fd, piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EINTR) return true;
                    if (!serial) {
                        dropLink();
                        return false;
                    }
                    // A pty with no reader: the bytes are lost as on a wire.
                } else if (static_cast<std::size_t>(n) < piece.bytes.size()) {
                    piece.bytes.erase(0, static_cast<std::size_t>(n));
                    return true;
                }
            }
            if (piece.lineAfter) {
                std::lock_guard<std::mutex> lock(mutex);
                device.setLine(*piece.lineAfter);
            }
            output.pop_front();
        }
        return false;
    }

    // Forgets what was on its way in and out, as a line that goes dead does.
    void forgetTraffic()
    {
        output.clear();
        lastDue = Clock::time_point{};
        input.clear();
        inputTooLong = false;
    }

    void unplugNow()
    {
        if (!pluggedIn) return;
        forgetTraffic();
        pluggedIn = false;
        if (serial) {
            pty.reset();
            if (!link.empty()) ::unlink(link.c_str());
        } else {
            closeFd(client);
            closeFd(listener);
        }
        std::lock_guard<std::mutex> lock(mutex);
        slaveName.clear();
        stats.connected = false;
        stats.pluggedIn = false;
    }

    void plugInNow()
    {
        if (pluggedIn) return;
        if (serial) {
            pty = std::make_unique<PseudoTerminal>();
            const std::string problem = makeLink();
            if (!problem.empty()) {
                pty.reset();
                throw std::runtime_error(problem);
            }
        } else {
            try {
                openTcp();
            } catch (...) {
                closeFd(listener);
                throw;
            }
        }
        pluggedIn = true;
        std::lock_guard<std::mutex> lock(mutex);
        if (serial) {
            slaveName = pty->slaveName();
            ++stats.connections;
        }
        stats.pluggedIn = true;
    }

    void powerCycleNow()
    {
        forgetTraffic();
        if (!serial) closeFd(client);
        std::lock_guard<std::mutex> lock(mutex);
        device.reset();
        if (!serial) stats.connected = false;
    }

    void serveRequests()
    {
        for (;;) {
            Request request;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (requests.empty()) return;
                request = requests.front();
                requests.pop_front();
            }
            std::string problem;
            try {
                switch (request) {
                case Request::Unplug: unplugNow(); break;
                case Request::PlugIn: plugInNow(); break;
                case Request::PowerCycle: powerCycleNow(); break;
                }
            } catch (const std::exception& e) {
                problem = e.what();
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++completed;
                if (!problem.empty()) requestProblems[completed] = problem;
            }
            requestDone.notify_all();
        }
    }

    // Has the serving thread carry out a request and waits for it; what
    // went wrong, if anything. Nothing happens once the device has stopped.
    std::string perform(Request request)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (stopping.load()) return {};
        requests.push_back(request);
        const std::uint64_t number = ++requested;
        wakeUp();
        requestDone.wait(lock, [&] { return completed >= number; });
        const auto problem = requestProblems.find(number);
        if (problem == requestProblems.end()) return {};
        std::string text = problem->second;
        requestProblems.erase(problem);
        return text;
    }

    void wakeUp()
    {
        const std::uint64_t one = 1;
        (void)!::write(wake, &one, sizeof one);
    }

    void run()
    {
        // A wake-up for a piece may come this much after its time; the
        // default 50 us would blur a fast line's pieces.
        ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
        while (!stopping.load()) {
            serveRequests();
            const bool blocked = flush();
            pollfd fds[4];
            nfds_t count = 0;
            fds[count++] = {wake, POLLIN, 0};
            const int io = ioFd();
            int ioIndex = -1, breakIndex = -1, listenIndex = -1;
            if (io >= 0) {
                ioIndex = static_cast<int>(count);
                // While the host does not take our replies, we stop taking
                // its commands, as a device with a full output buffer does.
                fds[count++] = {io, static_cast<short>(blocked ? POLLOUT : POLLIN), 0};
            }
            if (serial && breakSocket >= 0) {
                breakIndex = static_cast<int>(count);
                fds[count++] = {breakSocket, POLLIN, 0};
            }
            if (!serial && client < 0 && listener >= 0) {
                listenIndex = static_cast<int>(count);
                fds[count++] = {listener, POLLIN, 0};
            }
            // The next piece is due to the nanosecond, not to the next whole
            // millisecond: a poll time-out would release it up to a
            // millisecond late, and rounding down would release it early.
            timespec wait{};
            timespec* timeout = nullptr;
            if (!blocked && !output.empty()) {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      output.front().due - Clock::now())
                                      .count();
                if (left > 0) {
                    wait.tv_sec = static_cast<time_t>(left / 1000000000LL);
                    wait.tv_nsec = static_cast<long>(left % 1000000000LL);
                }
                timeout = &wait;
            }
            const int ready = ::ppoll(fds, count, timeout, nullptr);
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            if (fds[0].revents & POLLIN) {
                std::uint64_t v;
                (void)!::read(wake, &v, sizeof v);
            }
            if (breakIndex >= 0 && (fds[breakIndex].revents & POLLIN)) readBreak();
            if (ioIndex >= 0 && ioFd() == io &&
                (fds[ioIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
                if (serial && !(fds[ioIndex].revents & POLLIN)) {
                    // Nobody on the slave side; do not spin.
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                } else {
                    readLine();
                }
            }
            if (listenIndex >= 0 && (fds[listenIndex].revents & POLLIN)) acceptClient();
        }
        // Nobody is left to carry out what was asked: release the callers.
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.clear();
            completed = requested;
        }
        requestDone.notify_all();
    }

    void start()
    {
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0) throw systemError("cannot make an eventfd");
        thread = std::thread([this] { run(); });
    }

    void stop()
    {
        if (!thread.joinable()) return;
        {
            // Under the mutex, so that no request slips in after the last
            // one the thread serves.
            std::lock_guard<std::mutex> lock(mutex);
            stopping.store(true);
        }
        wakeUp();
        thread.join();
    }
};

Simulator::Simulator(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Simulator::~Simulator() { stop(); }

std::unique_ptr<Simulator> Simulator::serial(Scenario scenario, const std::string& link)
{
    auto impl = std::make_unique<Impl>(std::move(scenario));
    impl->serial = true;
    impl->link = link;
    impl->openSerial();
    impl->start();
    return std::unique_ptr<Simulator>(new Simulator(std::move(impl)));
}

std::unique_ptr<Simulator> Simulator::tcp(Scenario scenario, const std::string& address, int port)
{
    if (port < 0 || port > 65535)
        throw std::runtime_error("TCP port out of range: " + std::to_string(port));
    auto impl = std::make_unique<Impl>(std::move(scenario));
    impl->address = address;
    impl->port = port;
    impl->openTcp();
    impl->start();
    return std::unique_ptr<Simulator>(new Simulator(std::move(impl)));
}

void Simulator::stop()
{
    m_impl->stop();
    m_impl->release();
}

bool Simulator::isSerial() const { return m_impl->serial; }

std::string Simulator::serialDevice() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->slaveName;
}

std::string Simulator::linkPath() const { return m_impl->link; }
std::string Simulator::breakNotifyPath() const { return m_impl->breakPath; }
std::string Simulator::tcpAddress() const { return m_impl->address; }
int Simulator::tcpPort() const { return m_impl->port; }

void Simulator::setFaults(const Faults& faults)
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->faults = faults;
    m_impl->replies = 0;
    m_impl->framesSinceFaults = 0;
}

void Simulator::unplug() { (void)m_impl->perform(Impl::Request::Unplug); }

void Simulator::plugIn()
{
    const std::string problem = m_impl->perform(Impl::Request::PlugIn);
    if (!problem.empty()) throw std::runtime_error(problem);
}

bool Simulator::pluggedIn() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->stats.pluggedIn;
}

void Simulator::powerCycle() { (void)m_impl->perform(Impl::Request::PowerCycle); }

Faults Simulator::faults() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->faults;
}

SimulatorStats Simulator::stats() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    SimulatorStats s = m_impl->stats;
    s.tracking = m_impl->device.tracking();
    s.deviceBaud = m_impl->device.line().baud;
    s.frame = m_impl->device.frameAt(Clock::now());
    return s;
}

const Scenario& Simulator::scenario() const { return m_impl->device.scenario(); }

std::uint32_t Simulator::currentFrame() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->device.frameAt(Clock::now());
}

std::vector<int> Simulator::portHandles() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->device.portHandles();
}

int Simulator::scenarioToolOf(int handle) const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->device.scenarioToolOf(handle);
}

std::optional<ToolFrame> Simulator::expectedFrame(int handle, std::uint32_t frame) const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->device.handleFrame(handle, frame);
}

std::vector<Vec3> Simulator::expectedMarkers(int handle, std::uint32_t frame) const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const auto f = m_impl->device.handleFrame(handle, frame);
    std::vector<Vec3> out;
    if (!f || f->visibility != Visibility::Visible) return out;
    for (const Vec3& m : m_impl->device.handleMarkers(handle)) out.push_back(f->pose.apply(m));
    return out;
}

std::vector<Vec3> Simulator::expectedStrays(std::uint32_t frame) const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->device.snapshot(frame).strays;
}

LineSettings Simulator::deviceLine() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->device.line();
}

int Simulator::selectedVolume() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->device.selectedVolume();
}

}  // namespace ndisim

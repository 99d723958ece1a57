#include "IgtlServer.h"

#include <Velantor/Log.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ndi_track {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Frames handed over and not yet taken by the serving thread; only reached
// when that thread itself is starved of the processor.
constexpr std::size_t kHandoverFrames = 64;
// A client's socket holds this much (the kernel doubles it) instead of
// growing to megabytes: about 0.1 s of 12 tools at 400 Hz. Poses that wait
// longer in a buffer are stale when they arrive; past this the client's
// frames are dropped and counted.
constexpr int kClientSendBuffer = 32 * 1024;
// What a stopping server gives its clients to take the last bytes.
constexpr auto kClosingGrace = milliseconds(100);

std::uint64_t nowMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

void log(int level, const std::string& text)
{
    Velantor::Log::logIf(level, "ndi-track", [&] { return "OpenIGTLink: " + text; });
}

}  // namespace

struct IgtlServer::Chunk {
    std::shared_ptr<const std::string> bytes;
    bool frame = false;
};

struct IgtlServer::Client {
    int fd = -1;
    std::string peer;
    std::deque<Chunk> queue;
    std::size_t offset = 0;  // bytes of the first chunk already written
    std::uint64_t sent = 0;
    std::uint64_t dropped = 0;
};

IgtlServer::IgtlServer(IgtlServerOptions options) : m_options(options), m_encoder(options.strays) {}

IgtlServer::~IgtlServer()
{
    stop();
    if (m_listenFd >= 0) ::close(m_listenFd);
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

bool IgtlServer::start(std::string* error)
{
    const auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        return false;
    };
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0) return fail("OpenIGTLink: eventfd");
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) return fail("OpenIGTLink: socket");
    // A run started right after the last one must get its port back.
    const int on = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(m_options.port));
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail("OpenIGTLink: cannot listen on port " + std::to_string(m_options.port));
    if (::listen(m_listenFd, 16) != 0) return fail("OpenIGTLink: listen");
    socklen_t length = sizeof address;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { serve(); });
    return true;
}

void IgtlServer::publish(std::shared_ptr<const Velantor::TrackingStreamData> frame)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        if (m_frames.size() >= kHandoverFrames) {
            ++m_handoverDropped;
            return;
        }
        m_frames.push_back(std::move(frame));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void IgtlServer::announce(IgtlStatusCode code, const std::string& text)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        m_announced.emplace_back(code, text);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void IgtlServer::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    if (m_wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }
    if (m_thread.joinable()) m_thread.join();
}

std::vector<std::string> IgtlServer::lossReports() const
{
    std::lock_guard<std::mutex> lock(m_reportMutex);
    return m_lossReports;
}

double IgtlServer::cpuSeconds() const
{
    if (!m_haveClock.load()) return 0;
    timespec t{};
    if (::clock_gettime(m_threadClock, &t) != 0) return 0;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void IgtlServer::distribute(const std::shared_ptr<const std::string>& bytes, bool frame)
{
    for (auto& client : m_clients) {
        // Statuses are few and say what the frames cannot: they always go.
        if (frame && client->queue.size() >= m_options.clientQueueFrames) {
            ++client->dropped;
            ++m_dropped;
            continue;
        }
        client->queue.push_back({bytes, frame});
    }
}

void IgtlServer::setStatus(IgtlStatusCode code, const std::string& text)
{
    m_status = code;
    m_statusText = text;
    if (code == IgtlStatusCode::Ok) m_lastFrame = Clock::now();
    if (m_clients.empty()) return;
    auto bytes = std::make_shared<std::string>();
    m_encoder.encodeStatus(code, text, nowMs(), *bytes);
    distribute(bytes, false);
}

void IgtlServer::flush(Client& client)
{
    while (!client.queue.empty()) {
        const std::string& bytes = *client.queue.front().bytes;
        const ssize_t n = ::send(client.fd, bytes.data() + client.offset,
                                 bytes.size() - client.offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // full (EAGAIN), or gone: poll tells which
        }
        client.offset += static_cast<std::size_t>(n);
        if (client.offset < bytes.size()) return;
        if (client.queue.front().frame) ++client.sent;
        client.queue.pop_front();
        client.offset = 0;
    }
}

void IgtlServer::dropClient(std::size_t index, const char* why)
{
    Client& client = *m_clients[index];
    ::close(client.fd);
    log(Velantor::Log::Info, "client " + client.peer + " " + why + " after " +
                                 std::to_string(client.sent) + " frames (" +
                                 std::to_string(client.dropped) + " dropped)");
    if (client.dropped > 0) {
        std::lock_guard<std::mutex> lock(m_reportMutex);
        m_lossReports.push_back("client " + client.peer + ": " + std::to_string(client.dropped) +
                                " of " + std::to_string(client.dropped + client.sent) +
                                " frames dropped, it did not keep up");
    }
    m_clients.erase(m_clients.begin() + static_cast<std::ptrdiff_t>(index));
}

void IgtlServer::acceptClients()
{
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // none waiting (or one that left before it was taken)
        // Each message should leave as soon as it is written: poses age.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kClientSendBuffer, sizeof kClientSendBuffer);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        char text[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
        client->peer = std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
        auto status = std::make_shared<std::string>();
        m_encoder.encodeStatus(m_status, m_statusText, nowMs(), *status);
        client->queue.push_back({std::move(status), false});
        log(Velantor::Log::Info, "client " + client->peer + " connected");
        m_clients.push_back(std::move(client));
        ++m_served;
    }
}

void IgtlServer::serve()
{
    if (::pthread_getcpuclockid(::pthread_self(), &m_threadClock) == 0) m_haveClock = true;
    std::vector<pollfd> fds;
    std::deque<std::shared_ptr<const Velantor::TrackingStreamData>> frames;
    std::vector<std::pair<IgtlStatusCode, std::string>> announced;
    bool stopping = false;
    while (!stopping) {
        int timeout = -1;
        if (m_status == IgtlStatusCode::Ok) {
            const auto left = std::chrono::duration_cast<milliseconds>(
                m_lastFrame + m_options.silence - Clock::now());
            timeout = static_cast<int>(std::max<std::int64_t>(left.count(), 0) + 1);
        }
        fds.clear();
        fds.push_back({m_wakeFd, POLLIN, 0});
        fds.push_back({m_listenFd, POLLIN, 0});
        for (const auto& c : m_clients)
            fds.push_back(
                {c->fd, static_cast<short>(POLLIN | (c->queue.empty() ? 0 : POLLOUT)), 0});
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;

        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &count, sizeof count);
        }
        std::uint64_t handoverDropped = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            frames.swap(m_frames);
            announced.swap(m_announced);
            stopping = m_stopping;
            handoverDropped = m_handoverDropped;
        }
        // Clients leaving or closing first, so that nothing is written to
        // a socket that is gone; the indices follow fds until clients change.
        for (std::size_t k = m_clients.size(); k-- > 0;) {
            const short revents = fds[k + 2].revents;
            if (revents & (POLLERR | POLLNVAL)) {
                dropClient(k, "failed");
                continue;
            }
            if (revents & (POLLIN | POLLHUP)) {
                // Whatever a client asks is not served: reading keeps its
                // requests from filling the socket, and finds its end.
                char scratch[4096];
                ssize_t n = 0;
                while ((n = ::recv(m_clients[k]->fd, scratch, sizeof scratch, MSG_DONTWAIT)) > 0) {
                }
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                    dropClient(k, "left");
            }
        }
        if (fds[1].revents & POLLIN) acceptClients();

        if (handoverDropped != m_handoverDroppedSeen) {
            const std::uint64_t lost = handoverDropped - m_handoverDroppedSeen;
            m_handoverDroppedSeen = handoverDropped;
            for (auto& c : m_clients) c->dropped += lost;
            m_dropped += lost * m_clients.size();
        }
        for (const auto& [code, text] : announced) setStatus(code, text);
        announced.clear();
        for (const auto& frame : frames) {
            m_lastFrame = Clock::now();
            if (m_status == IgtlStatusCode::TimeOut)
                setStatus(IgtlStatusCode::Ok, "tracking again");
            if (m_clients.empty()) continue;
            auto bytes = std::make_shared<std::string>();
            m_encoder.encodeFrame(*frame, *bytes);
            for (const std::string& warning : m_encoder.takeWarnings())
                log(Velantor::Log::Warning, warning);
            if (!bytes->empty()) distribute(bytes, true);
        }
        frames.clear();
        if (m_status == IgtlStatusCode::Ok && Clock::now() - m_lastFrame >= m_options.silence)
            setStatus(IgtlStatusCode::TimeOut, "no frame from the measurement system for " +
                                                   std::to_string(m_options.silence.count()) +
                                                   " ms");
        for (auto& c : m_clients) flush(*c);
    }

    setStatus(IgtlStatusCode::ShutDown, "the tracking run has ended");
    const auto until = Clock::now() + kClosingGrace;
    for (;;) {
        fds.clear();
        for (auto& c : m_clients) {
            flush(*c);
            if (!c->queue.empty()) fds.push_back({c->fd, POLLOUT, 0});
        }
        const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
        if (fds.empty() || left <= 0) break;
        ::poll(fds.data(), fds.size(), static_cast<int>(left));
    }
    for (std::size_t k = m_clients.size(); k-- > 0;) {
        // What could not be written by now is lost to this client too.
        for (const Chunk& chunk : m_clients[k]->queue)
            if (chunk.frame) {
                ++m_clients[k]->dropped;
                ++m_dropped;
            }
        ::shutdown(m_clients[k]->fd, SHUT_RDWR);
        dropClient(k, "closed by the server");
    }
    m_haveClock = false;
}

}  // namespace ndi_track

#include "scripted_device.h"

#include "loopback_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace nditest {

static void check(bool ok, const char* what)
{
    if (!ok) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
}

ScriptedDevice::ScriptedDevice(Line line, Handler handler, Use use)
    : m_line(line), m_handler(std::move(handler)), m_use(use)
{
    check(pipe2(m_wake, O_CLOEXEC) == 0, "pipe");
    if (m_line == Line::Pty) {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        check(m_master >= 0, "posix_openpt");
        check(grantpt(m_master) == 0 && unlockpt(m_master) == 0, "unlockpt");
        m_path = ptsname(m_master);
        m_slaveKeeper = open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        check(m_slaveKeeper >= 0, "open slave");
        struct termios t;
        check(tcgetattr(m_master, &t) == 0, "tcgetattr");
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        check(tcsetattr(m_master, TCSANOW, &t) == 0, "tcsetattr");

        static std::atomic<int> serial{0};
        m_breakPath = "/tmp/ndi-break-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        unlink(m_breakPath.c_str());
        m_breakSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        check(m_breakSocket >= 0, "socket");
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, m_breakPath.c_str(), sizeof addr.sun_path - 1);
        check(bind(m_breakSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind");
        setenv("NDI_BREAK_NOTIFY", m_breakPath.c_str(), 1);
    } else {
        const ndi::testsupport::LoopbackListener listener = ndi::testsupport::listenOnLoopback(4);
        m_listener = listener.fd;
        m_port = listener.port;
    }
    m_thread = std::thread([this] { run(); });
}

ScriptedDevice::~ScriptedDevice()
{
    char byte = 0;
    (void)!write(m_wake[1], &byte, 1);
    if (m_use == Use::Benchmark && m_line == Line::Tcp) {
        // Ends a wait in accept or recv; the poll of a test's device sees
        // the byte on the wake pipe instead.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        shutdown(m_listener, SHUT_RDWR);
        if (m_connection >= 0) {
            shutdown(m_connection, SHUT_RDWR);
        }
    }
    m_thread.join();
    for (int fd : {m_master, m_slaveKeeper, m_listener, m_breakSocket, m_wake[0], m_wake[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (!m_breakPath.empty()) {
        unlink(m_breakPath.c_str());
        unsetenv("NDI_BREAK_NOTIFY");
    }
}

void ScriptedDevice::setSpeed(speed_t speed)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_speed = speed;
}

void ScriptedDevice::setBreakReply(std::string reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_breakReply = std::move(reply);
}

struct termios ScriptedDevice::hostSettings() const
{
    struct termios t {};
    tcgetattr(m_master, &t);  // a pty master reads and writes the slave's settings
    return t;
}

speed_t ScriptedDevice::hostSpeed() const
{
    struct termios t = hostSettings();
    return cfgetospeed(&t);
}

std::vector<std::string> ScriptedDevice::commands() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

int ScriptedDevice::breaks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_breaks;
}

void ScriptedDevice::waitForCommands(size_t count) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_commands.size() >= count; });
}

void ScriptedDevice::writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = m_line == Line::Tcp
                        ? send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                        : write(fd, bytes.data() + done, bytes.size() - done);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return;
        }
        done += static_cast<size_t>(r);
    }
}

void ScriptedDevice::handleBytes(int fd, const char* data, size_t n)
{
    if (m_line == Line::Pty) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (hostSpeed() != m_speed) {
            m_pending.clear();  // at the wrong speed the device hears only noise
            return;
        }
    }
    m_pending.append(data, n);
    size_t end;
    while ((end = m_pending.find('\r')) != std::string::npos) {
        std::string command = m_pending.substr(0, end);
        m_pending.erase(0, end + 1);
        if (m_use == Use::Test) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_commands.push_back(command);
            }
            m_changed.notify_all();
        }
        Reply reply = m_handler(command);
        writeAll(fd, reply.bytes);
        if (reply.newSpeed != 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_speed = reply.newSpeed;
        }
        if (reply.hangUp) {
            m_hangUpNow = true;
            m_pending.clear();
            return;
        }
    }
}

void ScriptedDevice::onBreak(int fd)
{
    char path[256];
    ssize_t n = recv(m_breakSocket, path, sizeof path - 1, 0);
    if (n <= 0 || std::string(path, static_cast<size_t>(n)) != m_path) {
        return;  // another line's break
    }
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_breaks;
        m_speed = B9600;
        reply = m_breakReply;
    }
    m_pending.clear();
    writeAll(fd, reply);
}

void ScriptedDevice::serveBlocking()
{
    for (;;) {
        int peer = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        int on = 1;
        setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                close(peer);
                return;
            }
            m_connection = peer;
        }
        m_pending.clear();
        char buffer[4096];
        for (;;) {
            ssize_t n = recv(peer, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            handleBytes(peer, buffer, static_cast<size_t>(n));
            if (m_hangUpNow) {
                m_hangUpNow = false;
                break;
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connection = -1;
        }
        close(peer);
    }
}

void ScriptedDevice::run()
{
    if (m_use == Use::Benchmark && m_line == Line::Tcp) {
        serveBlocking();
        return;
    }
    // A real system answers within its own bounded time, whatever the host
    // machine is doing; the probe gives it only 200 ms. Keep the stand-in as
    // prompt on a loaded machine where the scheduler allows (root).
    if (m_use == Use::Test) {
        sched_param priority{};
        priority.sched_priority = 1;
        (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    }

    int connection = m_line == Line::Pty ? m_master : -1;
    for (;;) {
        pollfd fds[3] = {{m_wake[0], POLLIN, 0}, {-1, POLLIN, 0}, {m_breakSocket, POLLIN, 0}};
        fds[1].fd = connection >= 0 ? connection : m_listener;
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        // Bytes that came before a break are heard before it.
        if (fds[1].revents != 0) {
            if (connection < 0) {
                connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                m_pending.clear();
                if (connection >= 0) {
                    // A device answers at once; its replies must not wait
                    // for the host's acknowledgement of the previous one.
                    int on = 1;
                    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                }
            } else {
                char buffer[4096];
                ssize_t n = read(connection, buffer, sizeof buffer);
                if (n > 0) {
                    handleBytes(connection, buffer, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    if (m_line == Line::Pty) {
                        break;  // the test closed the master
                    }
                    close(connection);
                    connection = -1;
                }
                if (m_hangUpNow && m_line == Line::Tcp && connection >= 0) {
                    m_hangUpNow = false;
                    close(connection);
                    connection = -1;
                }
            }
        }
        if (fds[2].revents & POLLIN) {
            onBreak(m_master);
        }
    }
    if (m_line == Line::Tcp && connection >= 0) {
        close(connection);
    }
}

}  // namespace nditest

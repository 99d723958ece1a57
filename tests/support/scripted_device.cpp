#include "scripted_device.h"

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
    : line_(line), handler_(std::move(handler)), use_(use)
{
    check(pipe2(wake_, O_CLOEXEC) == 0, "pipe");
    if (line_ == Line::Pty) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        check(master_ >= 0, "posix_openpt");
        check(grantpt(master_) == 0 && unlockpt(master_) == 0, "unlockpt");
        path_ = ptsname(master_);
        slaveKeeper_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        check(slaveKeeper_ >= 0, "open slave");
        struct termios t;
        check(tcgetattr(master_, &t) == 0, "tcgetattr");
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        check(tcsetattr(master_, TCSANOW, &t) == 0, "tcsetattr");

        static std::atomic<int> serial{0};
        breakPath_ = "/tmp/ndi-break-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        unlink(breakPath_.c_str());
        breakSocket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        check(breakSocket_ >= 0, "socket");
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, breakPath_.c_str(), sizeof addr.sun_path - 1);
        check(bind(breakSocket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind");
        setenv("NDI_BREAK_NOTIFY", breakPath_.c_str(), 1);
    } else {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        check(listener_ >= 0, "socket");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        check(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind");
        check(listen(listener_, 4) == 0, "listen");
        socklen_t length = sizeof addr;
        check(getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) == 0, "getsockname");
        port_ = ntohs(addr.sin_port);
    }
    thread_ = std::thread([this] { run(); });
}

ScriptedDevice::~ScriptedDevice()
{
    char byte = 0;
    (void)!write(wake_[1], &byte, 1);
    if (use_ == Use::Benchmark && line_ == Line::Tcp) {
        // Ends a wait in accept or recv; the poll of a test's device sees
        // the byte on the wake pipe instead.
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR);
        if (connection_ >= 0) {
            shutdown(connection_, SHUT_RDWR);
        }
    }
    thread_.join();
    for (int fd : {master_, slaveKeeper_, listener_, breakSocket_, wake_[0], wake_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (!breakPath_.empty()) {
        unlink(breakPath_.c_str());
        unsetenv("NDI_BREAK_NOTIFY");
    }
}

void ScriptedDevice::setSpeed(speed_t speed)
{
    std::lock_guard<std::mutex> lock(mutex_);
    speed_ = speed;
}

void ScriptedDevice::setBreakReply(std::string reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    breakReply_ = std::move(reply);
}

struct termios ScriptedDevice::hostSettings() const
{
    struct termios t{};
    tcgetattr(master_, &t); // a pty master reads and writes the slave's settings
    return t;
}

speed_t ScriptedDevice::hostSpeed() const
{
    struct termios t = hostSettings();
    return cfgetospeed(&t);
}

std::vector<std::string> ScriptedDevice::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

int ScriptedDevice::breaks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return breaks_;
}

void ScriptedDevice::waitForCommands(size_t count) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return commands_.size() >= count; });
}

void ScriptedDevice::writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = line_ == Line::Tcp ? send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
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
    if (line_ == Line::Pty) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (hostSpeed() != speed_) {
            pending_.clear(); // at the wrong speed the device hears only noise
            return;
        }
    }
    pending_.append(data, n);
    size_t end;
    while ((end = pending_.find('\r')) != std::string::npos) {
        std::string command = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (use_ == Use::Test) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(command);
            }
            changed_.notify_all();
        }
        Reply reply = handler_(command);
        writeAll(fd, reply.bytes);
        if (reply.newSpeed != 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            speed_ = reply.newSpeed;
        }
        if (reply.hangUp) {
            hangUpNow_ = true;
            pending_.clear();
            return;
        }
    }
}

void ScriptedDevice::onBreak(int fd)
{
    char path[256];
    ssize_t n = recv(breakSocket_, path, sizeof path - 1, 0);
    if (n <= 0 || std::string(path, static_cast<size_t>(n)) != path_) {
        return; // another line's break
    }
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++breaks_;
        speed_ = B9600;
        reply = breakReply_;
    }
    pending_.clear();
    writeAll(fd, reply);
}

void ScriptedDevice::serveBlocking()
{
    for (;;) {
        int peer = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        int on = 1;
        setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                close(peer);
                return;
            }
            connection_ = peer;
        }
        pending_.clear();
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
            if (hangUpNow_) {
                hangUpNow_ = false;
                break;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connection_ = -1;
        }
        close(peer);
    }
}

void ScriptedDevice::run()
{
    if (use_ == Use::Benchmark && line_ == Line::Tcp) {
        serveBlocking();
        return;
    }
    // A real system answers within its own bounded time, whatever the host
    // machine is doing; the probe gives it only 200 ms. Keep the stand-in as
    // prompt on a loaded machine where the scheduler allows (root).
    if (use_ == Use::Test) {
        sched_param priority{};
        priority.sched_priority = 1;
        (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    }

    int connection = line_ == Line::Pty ? master_ : -1;
    for (;;) {
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {-1, POLLIN, 0}, {breakSocket_, POLLIN, 0}};
        fds[1].fd = connection >= 0 ? connection : listener_;
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
                connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                pending_.clear();
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
                    if (line_ == Line::Pty) {
                        break; // the test closed the master
                    }
                    close(connection);
                    connection = -1;
                }
                if (hangUpNow_ && line_ == Line::Tcp && connection >= 0) {
                    hangUpNow_ = false;
                    close(connection);
                    connection = -1;
                }
            }
        }
        if (fds[2].revents & POLLIN) {
            onBreak(master_);
        }
    }
    if (line_ == Line::Tcp && connection >= 0) {
        close(connection);
    }
}

} // namespace nditest

#pragma once
// A bare-bones host for the simulator's own tests and benchmark: sends
// framed commands and reads replies from a socket or a pseudo-terminal, so
// that the simulator can be checked without the protocol library.
#include <ndisim/ReplyFormat.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace rawhost {

// A command is framed as a text reply is: text, CRC digits, carriage return.
inline std::string framed(const std::string& text) { return ndisim::textReply(text); }

// Waits, without any claim about time, until `ready` holds; the generous
// bound only keeps a broken simulator from hanging the test run.
template <typename F>
bool eventually(F ready)
{
    for (int i = 0; i < 20000; ++i) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class Link {
public:
    explicit Link(int fd) : m_fd(fd) {}
    ~Link() { close(); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    static Link tcp(int port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            return Link(-1);
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return Link(fd);
    }

    static Link serial(const std::string& path, speed_t speed = B9600)
    {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        Link link(fd);
        if (fd >= 0) link.setSpeed(speed);
        return link;
    }

    Link(Link&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    void close()
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

    void setSpeed(speed_t speed)
    {
        termios t{};
        ::tcgetattr(m_fd, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        ::tcsetattr(m_fd, TCSANOW, &t);
    }

    bool send(const std::string& bytes)
    {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.data() + at, bytes.size() - at);
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads one reply: up to a carriage return, or one framed binary reply.
    // Empty when the line closes or nothing comes for a long while.
    std::string reply()
    {
        std::string in;
        for (;;) {
            if (in.size() >= 4 && static_cast<std::uint8_t>(in[0]) == 0xC4 &&
                static_cast<std::uint8_t>(in[1]) == 0xA5) {
                const std::size_t length =
                    static_cast<std::uint8_t>(in[2]) | static_cast<std::uint8_t>(in[3]) << 8;
                if (in.size() >= length + 8) return in;
            } else if (!in.empty() && in.back() == '\r') {
                return in;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20000) <= 0) return {};
            // A byte at a time, so that nothing after the reply is taken.
            char c[1];
            const ssize_t n = ::read(m_fd, c, 1);
            if (n <= 0) {
                m_closedSeen = true;
                return {};
            }
            in.append(c, static_cast<std::size_t>(n));
        }
    }

    std::string exchange(const std::string& text)
    {
        if (!send(framed(text))) return {};
        return reply();
    }

    bool closedSeen() const { return m_closedSeen; }

private:
    int m_fd = -1;
    bool m_closedSeen = false;
};

}  // namespace rawhost

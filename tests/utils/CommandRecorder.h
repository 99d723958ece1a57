#pragma once
// A TCP relay between the protocol library and the simulator that keeps a
// copy of every command line the host sends. The simulator stays the device;
// the relay only lets a test see the exact bytes of each command.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class CommandRecorder {
public:
    CommandRecorder(const std::string& deviceAddress, int devicePort)
        : m_deviceAddress(deviceAddress), m_devicePort(devicePort)
    {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (m_listener < 0 ||
            bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_listener, 1) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("command recorder: cannot listen");
        m_port = ntohs(address.sin_port);
        m_wake = eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] { serve(); });
    }

    ~CommandRecorder()
    {
        const std::uint64_t one = 1;
        (void)!write(m_wake, &one, sizeof one);
        m_thread.join();
        close(m_wake);
        close(m_listener);
    }

    int port() const { return m_port; }

    // Complete command lines sent so far, without their carriage return.
    std::vector<std::string> commands() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_commands;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_commands.clear();
    }

private:
    sockaddr_in loopback(int port) const
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, port == 0 ? "127.0.0.1" : m_deviceAddress.c_str(), &a.sin_addr);
        return a;
    }

    // Waits for fd to be readable; false when the recorder is being destroyed.
    bool waitFor(int fd)
    {
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wake, POLLIN, 0}};
        while (poll(fds, 2, -1) < 0) {
        }
        return (fds[1].revents & POLLIN) == 0;
    }

    void serve()
    {
        if (!waitFor(m_listener)) return;
        const int host = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        const int device = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in target = loopback(m_devicePort);
        if (host >= 0 && device >= 0 &&
            connect(device, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0)
            relay(host, device);
        if (host >= 0) close(host);
        if (device >= 0) close(device);
    }

    void relay(int host, int device)
    {
        std::string pending;
        char buffer[4096];
        for (;;) {
            pollfd fds[3] = {{host, POLLIN, 0}, {device, POLLIN, 0}, {m_wake, POLLIN, 0}};
            if (poll(fds, 3, -1) < 0) continue;
            if (fds[2].revents & POLLIN) return;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = recv(host, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                pending.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t cr; (cr = pending.find('\r')) != std::string::npos;
                     pending.erase(0, cr + 1)) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_commands.push_back(pending.substr(0, cr));
                }
                if (!sendAll(device, buffer, n)) return;
            }
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = recv(device, buffer, sizeof buffer, 0);
                if (n <= 0 || !sendAll(host, buffer, n)) return;
            }
        }
    }

    static bool sendAll(int fd, const char* data, ssize_t n)
    {
        while (n > 0) {
            const ssize_t sent = send(fd, data, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            if (sent <= 0) return false;
            data += sent;
            n -= sent;
        }
        return true;
    }

    std::string m_deviceAddress;
    int m_devicePort;
    int m_listener = -1;
    int m_wake = -1;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_commands;
    std::thread m_thread;
};

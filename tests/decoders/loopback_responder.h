// A minimal measurement system on loopback TCP: accepts one connection and
// answers each command (the bytes up to its carriage return) with the reply
// that a caller-supplied function gives for it. Used by the exchange tests
// and the benchmarks; it runs on its own thread.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

class LoopbackResponder {
public:
    using Answer = std::function<std::string(const std::string& command)>;

    explicit LoopbackResponder(Answer answer) : answer_(std::move(answer))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0
            || ::listen(listener_, 1) != 0
            || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~LoopbackResponder()
    {
        // The client closes its end first; closing the listener also ends an
        // accept that never got a connection.
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(listener_);
    }

    int port() const { return port_; }

private:
    void serve()
    {
        int peer = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) {
            return;
        }
        int on = 1;
        ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::string pending;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            pending.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find('\r')) != std::string::npos) {
                const std::string reply = answer_(pending.substr(0, end));
                pending.erase(0, end + 1);
                for (size_t sent = 0; sent < reply.size();) {
                    ssize_t w = ::send(peer, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
                    if (w <= 0) {
                        ::close(peer);
                        return;
                    }
                    sent += static_cast<size_t>(w);
                }
            }
        }
        ::close(peer);
    }

    Answer answer_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

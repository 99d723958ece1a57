#pragma once
// A TCP listener on 127.0.0.1 at a port the system chose, for the peers the
// tests play: the scripted device, the hostile peers, the command recorder.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace ndi::testsupport {

struct LoopbackListener {
    int fd = -1;
    int port = 0;
};

// Throws when the system refuses: a test cannot go on without its peer.
inline LoopbackListener listenOnLoopback(int backlog)
{
    LoopbackListener l;
    l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (l.fd < 0 || ::bind(l.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(l.fd, backlog) != 0 ||
        ::getsockname(l.fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        if (l.fd >= 0) ::close(l.fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    l.port = ntohs(addr.sin_port);
    return l;
}

}  // namespace ndi::testsupport

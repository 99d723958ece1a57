// The least a program can do to get its first pose from a measurement system:
// start, connect, send the commands it is given one after the other, each
// once the reply to the one before is complete, pause 100 ms after INIT as the
// system needs, and print one line when the reply to the last command is in.
// No library, no stream, no host: the floor that bench_startup measures
// ndi-track against.
//
//   bench_startup_client PORT TRANSCRIPT
//
// TRANSCRIPT holds the commands as sent on the wire (CRC included), each
// ended by a carriage return. Exit code 0 after the line, 1 on any failure.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int kReplyTimeoutMs = 5000;

bool readSome(int fd, std::string& into)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

// A binary reply starts with A5C4 (low byte first) and gives its body's
// length in the next two bytes; header CRC, body and body CRC follow. A text
// reply ends with a carriage return.
bool readReply(int fd)
{
    std::string reply;
    for (;;) {
        if (reply.size() >= 2 && static_cast<unsigned char>(reply[0]) == 0xC4 &&
            static_cast<unsigned char>(reply[1]) == 0xA5) {
            if (reply.size() >= 4) {
                const std::size_t body =
                    static_cast<unsigned char>(reply[2]) |
                    static_cast<std::size_t>(static_cast<unsigned char>(reply[3])) << 8;
                if (reply.size() >= 6 + body + 2) return true;
            }
        } else if (reply.find('\r') != std::string::npos) {
            return true;
        }
        if (!readSome(fd, reply)) return false;
    }
}

void pauseMs(int ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT TRANSCRIPT\n", argv[0]);
        return 1;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::string transcript((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    std::vector<std::string> commands;
    for (std::size_t at = 0; at < transcript.size();) {
        const std::size_t end = transcript.find('\r', at);
        if (end == std::string::npos) break;
        commands.push_back(transcript.substr(at, end + 1 - at));
        at = end + 1;
    }
    if (commands.empty()) return 1;

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
    for (const std::string& command : commands) {
        if (::send(fd, command.data(), command.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(command.size()))
            return 1;
        if (!readReply(fd)) return 1;
        if (command.compare(0, 5, "INIT:") == 0) pauseMs(100);
    }
    std::printf("first pose\n");
    std::fflush(stdout);
    ::close(fd);
    return 0;
}

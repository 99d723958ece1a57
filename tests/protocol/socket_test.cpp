// The TCP transport against a loopback peer that the test drives by hand.
#include <ndi/protocol.h>

#include "error_reports.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

class Peer {
public:
    Peer()
    {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(m_listener, 1), 0);
        socklen_t length = sizeof addr;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &length);
        m_port = ntohs(addr.sin_port);
    }
    ~Peer()
    {
        hangUp();
        close(m_listener);
    }
    int port() const { return m_port; }
    // Connects the library to this peer; returns the library's socket.
    int connectLibrary(const char* host = "127.0.0.1")
    {
        int s = -1;
        EXPECT_EQ(ndiSocketOpen(host, m_port, &s), 1);
        acceptLibrary();
        return s;
    }
    // Takes the connection that the library has made to this peer.
    void acceptLibrary()
    {
        m_peer = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_GE(m_peer, 0);
    }
    void send(const std::string& bytes) const
    {
        ASSERT_EQ(::send(m_peer, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(size_t n) const
    {
        std::string got;
        while (got.size() < n) {
            char buffer[65536];
            ssize_t r = recv(m_peer, buffer, std::min(sizeof buffer, n - got.size()), 0);
            if (r <= 0) {
                break;
            }
            got.append(buffer, static_cast<size_t>(r));
        }
        return got;
    }
    void hangUp()
    {
        if (m_peer >= 0) {
            close(m_peer);
            m_peer = -1;
        }
    }

private:
    int m_listener = -1;
    int m_peer = -1;
    int m_port = 0;
};

TEST(SocketLine, OpensByAddressOrNameWithoutNagleDelay)
{
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        Peer peer;
        int s = peer.connectLibrary(host);
        int nodelay = 0;
        socklen_t length = sizeof nodelay;
        ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
        EXPECT_NE(nodelay, 0);
        ndiSocketClose(s);
    }
}

TEST(SocketLine, FailedOpensLeaveTheSocketArgumentAlone)
{
    int closedPort = 0;
    {
        Peer gone;
        closedPort = gone.port();
    }
    const struct {
        const char* host;
        int port;
    } cases[] = {{"127.0.0.1", closedPort}, {"ndi-no-such-host.invalid", 8765},
                 {"999.1.2.3", 8765},       {"127.0.0.1", 0},
                 {"127.0.0.1", 70000},      {nullptr, 8765}};
    for (const auto& c : cases) {
        int s = 12345;
        EXPECT_EQ(ndiSocketOpen(c.host, c.port, &s), 0)
            << (c.host ? c.host : "null") << ":" << c.port;
        EXPECT_EQ(s, 12345);
    }
}

TEST(SocketLine, WriteDeliversLargeCommandsWhatEverTheSendsTakeAtOnce)
{
    Peer peer;
    int s = peer.connectLibrary();
    std::string big(4 << 20, '\0');
    for (size_t i = 0; i < big.size(); i++) {
        big[i] = static_cast<char>(i * 7);
    }
    std::string received;
    // The peer reads slowly enough that the kernel takes the bytes in parts.
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        received = peer.receive(big.size());
    });
    EXPECT_EQ(ndiSocketWrite(s, big.data(), static_cast<int>(big.size())),
              static_cast<int>(big.size()));
    reader.join();
    EXPECT_TRUE(received == big);
    EXPECT_EQ(ndiSocketWrite(s, "", 0), 0);
    ndiSocketClose(s);
}

TEST(SocketLine, WriteOnAClosedDirectionFailsWithoutSignal)
{
    Peer peer;
    int s = peer.connectLibrary();
    ASSERT_EQ(shutdown(s, SHUT_WR), 0);
    EXPECT_EQ(ndiSocketWrite(s, "INIT:E3A5\r", 10), -1) << "and SIGPIPE would have ended the test";
    ndiSocketClose(s);
}

TEST(SocketLine, ReadsAssembleRepliesThatArriveInPieces)
{
    const struct {
        const char* name;
        std::vector<std::string> pieces;
        int binary;
        int expected;
    } cases[] = {
        {"text", {"OKAY", "A896\r"}, 0, 9},
        {"binary to its framed length",
         {std::string("\xC4\xA5\x10", 3), std::string("\x00", 1), std::string(20, 'z')},
         1,
         24},
        {"binary command, text error", {"ERROR0", "1XXXX", "\r"}, 1, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer;
        int s = peer.connectLibrary();
        std::thread feeder([&] {
            for (const std::string& piece : c.pieces) {
                peer.send(piece);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        char buffer[64];
        int n = ndiSocketRead(s, buffer, sizeof buffer, c.binary, nullptr);
        feeder.join();
        EXPECT_EQ(n, c.expected);
        ndiSocketClose(s);
    }
}

TEST(SocketLine, ReadFailsWhenThePeerClosesOrTheTimeOutPasses)
{
    Peer peer;
    int s = peer.connectLibrary();
    char buffer[64];

    EXPECT_EQ(ndiSocketTimeout(s, 100), 1);
    peer.send("OKAY");
    EXPECT_EQ(ndiSocketRead(s, buffer, sizeof buffer, 0, nullptr), -1) << "time-out mid-reply";

    // A time-out of 0 or less changes nothing: the 100 ms stay.
    EXPECT_EQ(ndiSocketTimeout(s, 0), 0);
    EXPECT_EQ(ndiSocketTimeout(s, -5), 0);
    timeval tv{};
    socklen_t length = sizeof tv;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, &length), 0);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 100000);

    peer.send("A89");
    peer.hangUp();
    EXPECT_EQ(ndiSocketRead(s, buffer, sizeof buffer, 0, nullptr), -1) << "peer closed mid-reply";
    ndiSocketClose(s);
}

// Flushing the input discards what is already queued (a reply that came too
// late), without waiting and without touching what arrives afterwards.
TEST(SocketLine, FlushDiscardsQueuedInputAndSleepLeavesTheStreamAlone)
{
    Peer peer;
    int s = peer.connectLibrary();
    EXPECT_EQ(ndiSocketFlush(s, 3), 1) << "flushing an empty stream must not block";
    peer.send("LATEREPLY\r");
    pollfd ready{s, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1);
    EXPECT_EQ(ndiSocketFlush(s, 2), 1);
    ASSERT_EQ(poll(&ready, 1, 0), 1) << "an output flush discarded input";
    EXPECT_EQ(ndiSocketFlush(s, 1), 1);
    EXPECT_EQ(poll(&ready, 1, 0), 0) << "queued input survived the flush";
    peer.send("OKAYA896\r");
    EXPECT_EQ(ndiSocketSleep(s, 1), 1);
    char buffer[16];
    EXPECT_EQ(ndiSocketRead(s, buffer, sizeof buffer, 0, nullptr), 9);
    ndiSocketClose(s);
}

// A camera that never answers is a time-out, as a silent serial line is, and
// a failing network line is not called a serial port; the error texts of the
// codes themselves stay as they are.
TEST(SocketLine, ConnectionReportsSilenceAsATimeOutAndWordsFailuresForTheNetwork)
{
    enum Fault { Silent, PartReply, HungUp, SendingClosed };
    const struct {
        const char* name;
        Fault fault;
        int code;
        const char* message;
    } cases[] = {
        {"no reply", Silent, NDI_ERR_TIMEOUT, "Device->host communication timeout"},
        {"reply without its end", PartReply, NDI_ERR_TIMEOUT, "Device->host communication timeout"},
        {"peer hangs up", HungUp, NDI_ERR_READ, "Network connection read error"},
        {"sending side closed", SendingClosed, NDI_ERR_WRITE, "Network connection write error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer;
        NdiConnection* h = ndiOpenNetwork("127.0.0.1", peer.port());
        ASSERT_NE(h, nullptr);
        peer.acceptLibrary();
        ASSERT_EQ(ndiTimeoutSocket(h, 100), 1);
        ErrorReports errors;
        errors.attachTo(h);
        const auto& reports = errors.list;

        // The peer acts once the command ("INIT:" with CRC and CR) is in.
        std::thread device([&] {
            if (c.fault == SendingClosed || peer.receive(10).size() != 10) {
                return;
            }
            if (c.fault == PartReply) {
                peer.send("OKAY");
            } else if (c.fault == HungUp) {
                peer.hangUp();
            }
        });
        if (c.fault == SendingClosed) {
            ASSERT_EQ(shutdown(ndiGetSocket(h), SHUT_WR), 0);
        }
        EXPECT_STREQ(ndiCommand(h, "INIT:"), "");
        device.join();
        EXPECT_EQ(ndiGetError(h), c.code);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0], std::make_pair(c.code, std::string(c.message)));
        ndiCloseNetwork(h);
    }
    EXPECT_STREQ(ndiErrorString(NDI_ERR_READ), "Serial port read error");
    EXPECT_STREQ(ndiErrorString(NDI_ERR_WRITE), "Serial port write error");
}

// A record filled in by hand, as a caller with its own socket may do, has no
// transport attached by an open function: it still talks over its socket.
TEST(SocketLine, RecordFilledInByHandTalksOverItsSocket)
{
    Peer peer;
    std::vector<char> command(NDI_BUFFER_SIZE), reply(NDI_BUFFER_SIZE), text(NDI_BUFFER_SIZE);
    NdiConnection h{};
    h.DeviceHandle = -1;
    h.Hostname = const_cast<char*>("camera");
    h.Port = peer.port();
    h.Socket = peer.connectLibrary();
    h.CommandBuffer = command.data();
    h.ReplyBuffer = reply.data();
    h.ReplyText = text.data();
    std::thread device([&] {
        if (peer.receive(10) == "INIT:E3A5\r") {
            peer.send("OKAYA896\r");
        }
    });
    EXPECT_STREQ(ndiCommand(&h, "INIT:"), "OKAY");
    EXPECT_EQ(ndiGetError(&h), 0);
    device.join();
    EXPECT_EQ(ndiTimeoutSocket(&h, 100), 1);
    ndiSocketClose(h.Socket);
}

}  // namespace

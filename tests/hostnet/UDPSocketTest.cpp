#include "DatagramLog.h"
#include "NetworkTest.h"

#include <Velantor/Log.h>
#include <Velantor/Network/UDPSocket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace hostnet_test;
using Velantor::ByteBuffer;
using Velantor::Network::UDPSocket;
using Datagram = UDPSocket<>::Datagram;

namespace {

const std::string kGroup = "224.0.1.129";
constexpr unsigned short kPort = 319;

// Bytes 0..size-1 of a repeating pattern whose first byte is the tag.
std::vector<std::uint8_t> payload(std::size_t size, std::uint8_t tag)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i == 0 ? tag : i * 7 + 3);
    return bytes;
}

bool hasTag(const std::vector<Datagram>& all, std::uint8_t tag)
{
    for (const Datagram& d : all)
        if (!d.second->empty() && d.second->front() == tag) return true;
    return false;
}

std::function<void()> sender(const PeerNamespace& peer, const std::vector<std::uint8_t>& bytes)
{
    return [&peer, bytes] { ASSERT_EQ(peer.send(kGroup, kPort, bytes), ""); };
}

using MulticastTest = NetworkTest;

TEST_F(MulticastTest, DeliversWholeDatagramsWithTheBareSenderAddress)
{
    DatagramLog log;  // outlives the socket, whose deliveries write to it
    UDPSocket<ByteBuffer> socket(peer(0).hostAddress(), 0, kGroup, kPort);
    ASSERT_TRUE(socket.isOpen()) << socket.errorText();
    socket.datagramReceived().connect(nullptr, [&](const Datagram& d) { log.add(d); });
    socket.run();

    // A PTP-sized message, an empty datagram and the largest IPv4 UDP payload, which
    // travels in fragments and must come out whole.
    const std::vector<std::vector<std::uint8_t>> sent = {
        payload(44, 0xA1), {}, payload(65507, 0xA3)};
    for (const auto& bytes : sent) {
        const std::size_t size = bytes.size();
        ASSERT_TRUE(log.waitUntil(
            [size](const std::vector<Datagram>& all) {
                for (const Datagram& d : all)
                    if (d.second->size() == size) return true;
                return false;
            },
            sender(peer(0), bytes)))
            << "no datagram of " << size << " bytes; got " << log.size() << " datagrams";
    }
    socket.stop();

    for (const Datagram& d : log.datagrams()) {
        EXPECT_EQ(d.first, peer(0).peerAddress());
        ASSERT_TRUE(d.second);
        bool matches = false;
        for (const auto& bytes : sent) matches = matches || *d.second == bytes;
        EXPECT_TRUE(matches) << "a datagram of " << d.second->size()
                             << " bytes differs from every one sent";
    }
}

TEST_F(MulticastTest, SocketsShareThePortAndEachHearsOnlyItsOwnInterface)
{
    std::vector<DatagramLog> logs(2);
    std::vector<std::unique_ptr<UDPSocket<>>> sockets;
    for (int i = 0; i < 2; ++i) {
        sockets.push_back(std::make_unique<UDPSocket<>>(peer(i).hostAddress(), 0, kGroup, kPort));
        ASSERT_TRUE(sockets.back()->isOpen()) << sockets.back()->errorText();
        DatagramLog& log = logs[static_cast<std::size_t>(i)];
        sockets.back()->datagramReceived().connect(nullptr,
                                                   [&log](const Datagram& d) { log.add(d); });
        sockets.back()->run();
    }

    // The second interface first: a socket that heard every interface would have
    // the second peer's datagram queued before the first peer's one.
    ASSERT_TRUE(logs[1].waitUntil([](const auto& all) { return hasTag(all, 2); },
                                  sender(peer(1), payload(44, 2))));
    ASSERT_TRUE(logs[0].waitUntil([](const auto& all) { return hasTag(all, 1); },
                                  sender(peer(0), payload(44, 1))));
    for (auto& socket : sockets) socket->stop();

    for (std::size_t i = 0; i < 2; ++i)
        for (const Datagram& d : logs[i].datagrams()) {
            EXPECT_EQ(d.first, peer(static_cast<int>(i)).peerAddress()) << "socket " << i;
            EXPECT_EQ(d.second->front(), i + 1) << "socket " << i;
        }
}

TEST_F(MulticastTest, AReceiverThatThrowsIsLoggedAndReceptionGoesOn)
{
    Velantor::LogCapture capture(true);
    DatagramLog log;
    UDPSocket<> socket(peer(0).hostAddress(), 0, kGroup, kPort);
    ASSERT_TRUE(socket.isOpen()) << socket.errorText();
    socket.datagramReceived().connect(nullptr, [&](const Datagram& d) {
        log.add(d);
        if (log.size() == 1) throw std::runtime_error("receiver broke");
    });
    socket.run();
    ASSERT_TRUE(log.waitForCount(2, sender(peer(0), payload(44, 5))));
    socket.stop();
    EXPECT_TRUE(capture.contains(Velantor::Log::Error, "Network",
                                 "UDP socket: a datagram receiver failed: receiver broke"));
}

TEST_F(MulticastTest, NoDeliveryRunsOrStartsOnceStopReturns)
{
    std::atomic<int> inDelivery{0};
    std::atomic<int> stopsReturned{0};
    std::atomic<int> lateDeliveries{0};
    DatagramLog log;
    DatagramLog witnessLog;
    UDPSocket<> socket(peer(0).hostAddress(), 0, kGroup, kPort);
    UDPSocket<> witness(peer(0).hostAddress(), 0, kGroup, kPort);
    ASSERT_TRUE(socket.isOpen() && witness.isOpen()) << socket.errorText() << witness.errorText();
    socket.datagramReceived().connect(nullptr, [&](const Datagram& d) {
        ++inDelivery;
        if (stopsReturned > 0) ++lateDeliveries;
        log.add(d);
        std::this_thread::yield();  // widen the window in which stop() meets a delivery
        --inDelivery;
    });
    witness.datagramReceived().connect(nullptr, [&](const Datagram& d) { witnessLog.add(d); });
    socket.run();
    witness.run();

    // Keeps datagrams coming until the end of the test, however it ends.
    struct Traffic {
        const PeerNamespace& peer;
        std::atomic<bool> sending{true};
        std::atomic<bool> failed{false};
        std::thread thread{[this] {
            while (sending && !failed)
                failed = !peer.send(kGroup, kPort, payload(44, 7), 20).empty();
        }};
        ~Traffic()
        {
            sending = false;
            thread.join();
        }
    } traffic{peer(0)};

    ASSERT_TRUE(log.waitForCount(10)) << "sending failed: " << traffic.failed;
    // Two threads stop at once while datagrams keep coming; each must find the
    // socket quiet when its stop() returns.
    std::atomic<int> busyAtReturn{0};
    auto stopper = [&] {
        socket.stop();
        busyAtReturn += inDelivery.load();
        ++stopsReturned;
    };
    std::thread other(stopper);
    stopper();
    other.join();

    // The witness on the same interface proves that datagrams went on arriving.
    const std::size_t seen = witnessLog.size();
    EXPECT_TRUE(witnessLog.waitForCount(seen + 100));
    witness.stop();

    EXPECT_FALSE(traffic.failed);
    EXPECT_EQ(busyAtReturn, 0);
    EXPECT_EQ(lateDeliveries, 0);
}

enum class InsideDelivery { Stop, Destroy };

class InsideDeliveryTest : public NetworkTest,
                           public ::testing::WithParamInterface<InsideDelivery> {};

TEST_P(InsideDeliveryTest, EndsReceptionWithoutDeadlock)
{
    std::atomic<int> deliveries{0};
    std::promise<void> acted;
    DatagramLog witnessLog;
    UDPSocket<> witness(peer(0).hostAddress(), 0, kGroup, kPort);
    auto socket = std::make_unique<UDPSocket<>>(peer(0).hostAddress(), 0, kGroup, kPort);
    ASSERT_TRUE(socket->isOpen() && witness.isOpen());
    socket->datagramReceived().connect(nullptr, [&](const Datagram&) {
        if (++deliveries > 1) return;
        if (GetParam() == InsideDelivery::Stop)
            socket->stop();
        else
            socket.reset();
        acted.set_value();
    });
    witness.datagramReceived().connect(nullptr, [&](const Datagram& d) { witnessLog.add(d); });
    witness.run();
    socket->run();

    auto done = acted.get_future();
    const auto send = [&] { ASSERT_EQ(peer(0).send(kGroup, kPort, payload(44, 9), 5), ""); };
    for (int tries = 0; done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready;
         ++tries) {
        ASSERT_LT(tries, 200) << "no datagram delivered";
        send();
    }

    // More datagrams reach the interface; the stopped socket must not deliver them.
    const std::size_t seen = witnessLog.size();
    EXPECT_TRUE(witnessLog.waitForCount(seen + 5, send));
    if (socket) {
        socket->stop();  // from outside now: waits for the socket's thread to end
        socket.reset();
    }
    witness.stop();
    EXPECT_EQ(deliveries, 1);
}

INSTANTIATE_TEST_SUITE_P(, InsideDeliveryTest,
                         ::testing::Values(InsideDelivery::Stop, InsideDelivery::Destroy),
                         [](const auto& info) {
                             return info.param == InsideDelivery::Stop ? std::string("Stop")
                                                                       : std::string("Destroy");
                         });

TEST_F(MulticastTest, ASocketThatCannotBeSetUpSaysWhyAndStaysInert)
{
    // Another program holding the port without sharing it.
    const int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kPort + 1);
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);

    const std::string host = peer(0).hostAddress();
    struct Case {
        std::string interfaceAddress;
        unsigned short localPort;
        std::string group;
        unsigned short groupPort;
        std::string reason;
    };
    const Case cases[] = {
        {"auto", 0, kGroup, kPort, "invalid interface address \"auto\""},
        {host, 0, "10.211.1.2", kPort, "invalid multicast group address \"10.211.1.2\""},
        {host, 5000, kGroup, kPort, "local port 5000 differs from the group port 319"},
        {"10.99.99.99", 0, kGroup, kPort, "cannot join 224.0.1.129:319 on interface 10.99.99.99"},
        {host, 0, kGroup, kPort + 1, "cannot bind to 224.0.1.129:320 on interface " + host},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Velantor::LogCapture capture(true);
        UDPSocket<> socket(c.interfaceAddress, c.localPort, c.group, c.groupPort);
        EXPECT_FALSE(socket.isOpen());
        EXPECT_EQ(socket.errorText().rfind(c.reason, 0), 0u) << socket.errorText();
        const auto logged = capture.records();
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0].level, Velantor::Log::Error);
        EXPECT_EQ(logged[0].category, "Network");
        EXPECT_EQ(logged[0].message, "UDP socket: " + socket.errorText());
        socket.run();
        socket.stop();
    }
    close(holder);
}

}  // namespace

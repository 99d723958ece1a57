#include <Velantor/Network/MulticastReceiver.h>

#include <Velantor/Log.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>

#include <netinet/in.h>
#include <sys/socket.h>

namespace Velantor::Network {

namespace {

enum class Phase { Idle, Running, Stopped };

const char* const kCategory = "Network";

void logError(const std::string& text)
{
    Log::logIf(Log::Error, kCategory, [&] { return text; });
}

}  // namespace

struct MulticastReceiver::State {
    boost::asio::io_context context;
    boost::asio::ip::udp::socket socket{context};
    boost::asio::ip::udp::endpoint sender;
    // Large enough for any IPv4 UDP payload, so no datagram is ever cut short.
    std::array<unsigned char, 65536> buffer{};
    Handler handler;
    std::string error;  // written only by the constructor

    std::mutex mutex;
    std::condition_variable finished;
    Phase phase = Phase::Idle;    // guarded by mutex
    bool threadStarted = false;   // guarded by mutex
    bool threadFinished = false;  // guarded by mutex
    std::thread::id threadId;     // guarded by mutex
    std::thread thread;           // touched only by run() and the destructor

    void setUp(const std::string& interfaceAddress, unsigned short localPort,
               const std::string& groupAddress, unsigned short groupPort);
    void startReceive();
    void onReceive(const boost::system::error_code& error, std::size_t size);
    void reportError(const std::string& text);
};

void MulticastReceiver::State::reportError(const std::string& text)
{
    error = text;
    logError("UDP socket: " + text);
}

void MulticastReceiver::State::startReceive()
{
    // The handlers run only inside context.run() on the receiving thread, which keeps
    // the state alive, so a plain pointer is enough (a shared one would be a cycle
    // through the pending operation).
    socket.async_receive_from(
        boost::asio::buffer(buffer), sender,
        [this](const boost::system::error_code& ec, std::size_t size) { onReceive(ec, size); });
}

void MulticastReceiver::State::onReceive(const boost::system::error_code& ec, std::size_t size)
{
    if (ec == boost::asio::error::operation_aborted) return;
    {
        // The decisive check: once stop() has changed the phase, no delivery begins.
        std::lock_guard<std::mutex> lock(mutex);
        if (phase != Phase::Running) return;
    }
    if (ec) {
        // Errors on a bound datagram socket do not go away by themselves; retrying
        // would spin. Reception ends, and the thread with it.
        logError("UDP socket: reception ended: " + ec.message());
        return;
    }

    const std::string senderText = sender.address().to_string();
    try {
        handler(senderText, buffer.data(), size);
    } catch (const std::exception& e) {
        // A failing receiver must not take the host down; the next datagram is
        // delivered as usual.
        logError(std::string("UDP socket: a datagram receiver failed: ") + e.what());
    } catch (...) {
        logError("UDP socket: a datagram receiver failed");
    }

    {
        std::lock_guard<std::mutex> lock(mutex);
        if (phase != Phase::Running) return;
    }
    startReceive();
}

void MulticastReceiver::State::setUp(const std::string& interfaceAddress, unsigned short localPort,
                                     const std::string& groupAddress, unsigned short groupPort)
{
    namespace ip = boost::asio::ip;
    boost::system::error_code ec;
    const ip::address_v4 interfaceIp = ip::make_address_v4(interfaceAddress, ec);
    if (ec) return reportError("invalid interface address \"" + interfaceAddress + "\"");
    const ip::address_v4 groupIp = ip::make_address_v4(groupAddress, ec);
    if (ec || !groupIp.is_multicast())
        return reportError("invalid multicast group address \"" + groupAddress + "\"");
    if (localPort != 0 && localPort != groupPort)
        return reportError("local port " + std::to_string(localPort) +
                           " differs from the group port " + std::to_string(groupPort) +
                           "; the group's datagrams arrive on the group port");

    const std::string where =
        groupAddress + ":" + std::to_string(groupPort) + " on interface " + interfaceAddress;
    auto fail = [&](const char* what) {
        reportError(std::string(what) + " " + where + ": " + ec.message());
        boost::system::error_code ignored;
        socket.close(ignored);
    };

    if (socket.open(ip::udp::v4(), ec), ec) return fail("cannot open a socket for");
    // Several sockets (one per interface) listen on the same group and port.
    if (socket.set_option(ip::udp::socket::reuse_address(true), ec), ec)
        return fail("cannot share the port of");
#ifdef IP_MULTICAST_ALL
    // Linux otherwise delivers the group's datagrams from every interface that any
    // socket on this computer joined, not only from the one this socket joined.
    const int all = 0;
    if (setsockopt(socket.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &all, sizeof all) != 0) {
        ec.assign(errno, boost::system::system_category());
        return fail("cannot limit reception to the interface for");
    }
#endif
    // Bound to the group address, the socket sees the group's datagrams only, not
    // unicast or other groups' traffic to the same port.
    if (socket.bind(ip::udp::endpoint(groupIp, groupPort), ec), ec) return fail("cannot bind to");
    if (socket.set_option(ip::multicast::join_group(groupIp, interfaceIp), ec), ec)
        return fail("cannot join");
}

MulticastReceiver::MulticastReceiver(const std::string& interfaceAddress, unsigned short localPort,
                                     const std::string& groupAddress, unsigned short groupPort,
                                     Handler handler)
    : m_state(std::make_shared<State>())
{
    m_state->handler = std::move(handler);
    m_state->setUp(interfaceAddress, localPort, groupAddress, groupPort);
}

MulticastReceiver::~MulticastReceiver()
{
    stop();
    State& s = *m_state;
    if (!s.thread.joinable()) return;
    if (s.thread.get_id() == std::this_thread::get_id())
        s.thread.detach();  // destroyed from inside a delivery: the thread ends on its own
    else
        s.thread.join();
}

bool MulticastReceiver::isOpen() const { return m_state->error.empty(); }

std::string MulticastReceiver::errorText() const { return m_state->error; }

void MulticastReceiver::run()
{
    State& s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.error.empty() || s.phase != Phase::Idle) return;
    s.phase = Phase::Running;
    s.startReceive();
    s.thread = std::thread([state = m_state] {
        state->context.run();
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->threadFinished = true;
        }
        state->finished.notify_all();
    });
    s.threadId = s.thread.get_id();
    s.threadStarted = true;
}

void MulticastReceiver::stop()
{
    State& s = *m_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.phase == Phase::Idle) {
        s.phase = Phase::Stopped;  // never ran: nothing can be delivered any more
        return;
    }
    if (s.phase == Phase::Running) {
        s.phase = Phase::Stopped;
        s.context.stop();
    }
    if (s.threadId == std::this_thread::get_id())
        return;  // inside a delivery: it completes, none follows
    s.finished.wait(lock, [&] { return !s.threadStarted || s.threadFinished; });
}

}  // namespace Velantor::Network

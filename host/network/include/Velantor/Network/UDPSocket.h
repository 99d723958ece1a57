#pragma once

#include <Velantor/ByteBuffer.h>
#include <Velantor/Network/MulticastReceiver.h>
#include <Velantor/Signal.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

namespace Velantor::Network {

/// A UDP socket that listens to one IPv4 multicast group on one network interface.
///
/// Construction (interfaceAddress, localPort, groupAddress, groupPort):
/// - joins groupAddress on the interface that has interfaceAddress, and receives the
///   datagrams sent to groupAddress:groupPort that arrive on that interface only;
/// - the socket binds groupPort, shared with other sockets (SO_REUSEADDR), so one
///   socket per interface can listen to the same group; binding a port below 1024
///   (such as 319) needs root or CAP_NET_BIND_SERVICE;
/// - localPort is for a sending socket's source port: this socket only receives, so
///   pass 0 (or groupPort).
/// A socket that cannot be set up (an address that is not IPv4 dotted text, a group
/// that is not a multicast address, a nonzero localPort other than groupPort, an
/// interface address this computer does not have, a port held exclusively by another
/// program) does not throw: it logs the reason at error level in the category
/// "Network", isOpen() is false, errorText() says why, and run() and stop() do
/// nothing. A caller that listens on several interfaces thus keeps the others.
///
/// Delivery: each datagram is emitted through datagramReceived() on the socket's own
/// thread, as a pair of the sender's bare dotted IPv4 address ("10.0.0.7", no port)
/// and a shared pointer to a const ByteBuffer holding all of its bytes (a datagram
/// may be empty). Datagrams are emitted one at a time, in arrival order. An exception
/// thrown by a receiver is caught and logged; reception goes on.
///
/// run() starts reception (once: after stop() a socket stays stopped). stop() ends
/// it and may be called from any thread, any number of times:
/// - called from any other thread, it returns once the socket's thread has ended: no
///   delivery is running then, and none starts afterwards; do not call it while
///   holding a lock that a receiver takes;
/// - called from inside a delivery (on the socket's own thread), it returns at once
///   without waiting for itself: the current delivery runs to its end and no further
///   delivery starts.
/// The destructor stops the socket. It may even run inside one of the socket's own
/// deliveries: the thread then finishes that delivery and ends by itself.
///
/// Buffer is ByteBuffer or any type constructible from a pair of byte pointers
/// (first, last).
template <typename Buffer = ByteBuffer>
class UDPSocket {
public:
    using Datagram = std::pair<std::string, std::shared_ptr<const Buffer>>;
    using DatagramSignal = SignalImpl<const Datagram&>;

    UDPSocket(const std::string& interfaceAddress, unsigned short localPort,
              const std::string& groupAddress, unsigned short groupPort)
        : m_signal(std::make_shared<DatagramSignal>()),
          m_receiver(interfaceAddress, localPort, groupAddress, groupPort,
                     // The handler keeps the signal alive, so a delivery can end
                     // normally even when the socket is destroyed inside it.
                     [signal = m_signal](const std::string& sender, const unsigned char* data,
                                         std::size_t size) {
                         const auto bytes = std::make_shared<Buffer>(data, data + size);
                         signal->emitSignal(Datagram(sender, std::shared_ptr<const Buffer>(bytes)));
                     })
    {
    }

    UDPSocket(const UDPSocket&) = delete;
    UDPSocket& operator=(const UDPSocket&) = delete;

    /// connect(receiver, function) with a function taking const Datagram&.
    DatagramSignal& datagramReceived() { return *m_signal; }

    bool isOpen() const { return m_receiver.isOpen(); }
    std::string errorText() const { return m_receiver.errorText(); }

    void run() { m_receiver.run(); }
    void stop() { m_receiver.stop(); }

private:
    std::shared_ptr<DatagramSignal> m_signal;
    MulticastReceiver m_receiver;
};

}  // namespace Velantor::Network

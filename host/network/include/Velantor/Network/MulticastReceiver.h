#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace Velantor::Network {

/// Receives the datagrams sent to one IPv4 multicast group on one network interface
/// and hands each one to a handler on the receiver's own thread. UDPSocket builds its
/// datagram signal on it; it keeps the socket machinery out of the public headers.
///
/// See UDPSocket for the meaning of the constructor's arguments and for the exact
/// guarantees of run() and stop().
class MulticastReceiver {
public:
    /// Called on the receiver's thread with the sender's dotted IPv4 address (no
    /// port) and the datagram's bytes, valid only during the call.
    using Handler =
        std::function<void(const std::string& sender, const unsigned char* data, std::size_t size)>;

    MulticastReceiver(const std::string& interfaceAddress, unsigned short localPort,
                      const std::string& groupAddress, unsigned short groupPort, Handler handler);
    ~MulticastReceiver();

    MulticastReceiver(const MulticastReceiver&) = delete;
    MulticastReceiver& operator=(const MulticastReceiver&) = delete;

    bool isOpen() const;
    std::string errorText() const;

    void run();
    void stop();

private:
    struct State;
    // Shared with the receiving thread, which may outlive this object by the rest of
    // one delivery when the receiver is destroyed from inside that delivery.
    std::shared_ptr<State> m_state;
};

}  // namespace Velantor::Network

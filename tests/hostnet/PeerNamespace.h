#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hostnet_test {

/// Moves the calling thread (the test's main thread) into a network namespace of its
/// own, once per process, so the interfaces the tests make never touch the machine's
/// network and vanish with the process whatever happens. Threads started later
/// inherit it. Returns an empty text on success, else why it could not be done.
std::string enterPrivateNetwork();

/// Runs a command (no shell) in the calling thread's network namespace; returns its
/// exit status and sets output to what it printed.
int runCommand(const std::vector<std::string>& arguments, std::string* output = nullptr);

/// A second network namespace joined to ours by a veth pair: our end has the address
/// 10.211.<index>.1/24, the peer's end 10.211.<index>.2/24. The namespace (and with it
/// both ends of the pair) is removed when the object goes, also when a test fails.
class PeerNamespace {
public:
    explicit PeerNamespace(int index);
    ~PeerNamespace();

    PeerNamespace(const PeerNamespace&) = delete;
    PeerNamespace& operator=(const PeerNamespace&) = delete;

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    const std::string& hostInterface() const { return m_hostInterface; }
    const std::string& hostAddress() const { return m_hostAddress; }
    const std::string& peerAddress() const { return m_peerAddress; }

    /// Sends the datagram `copies` times from inside the peer namespace to group:port
    /// out of the peer's veth end. Returns an empty text on success, else the failure.
    std::string send(const std::string& group, std::uint16_t port,
                     const std::vector<std::uint8_t>& payload, int copies = 1) const;

private:
    std::string m_name;
    std::string m_hostInterface;
    std::string m_peerInterface;
    std::string m_hostAddress;
    std::string m_peerAddress;
    std::string m_error;
};

}  // namespace hostnet_test

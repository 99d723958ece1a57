#include "Discovery.h"

#include "DeviceAdvice.h"

#include <Velantor/ByteBuffer.h>
#include <Velantor/Network/HostAddresses.h>
#include <Velantor/Network/UDPSocket.h>

#include <ndi/protocol.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace ndi_track {

namespace {

constexpr const char* kPtpGroup = "224.0.1.129";
constexpr unsigned short kPtpEventPort = 319;

// Listens on every interface from construction to stop(); senders are kept
// in the order first heard.
class PtpListener {
public:
    PtpListener()
    {
        for (const std::string& address : Velantor::Network::getHostIPAddresses(false)) {
            auto socket = std::make_unique<Velantor::Network::UDPSocket<Velantor::ByteBuffer>>(
                address, 0, kPtpGroup, kPtpEventPort);
            if (!socket->isOpen()) {
                m_failures.push_back(address + ": " + socket->errorText());
                continue;
            }
            socket->datagramReceived().connect(nullptr, [this](const auto& datagram) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (std::find(m_senders.begin(), m_senders.end(), datagram.first) ==
                    m_senders.end())
                    m_senders.push_back(datagram.first);
            });
            socket->run();
            m_sockets.push_back(std::move(socket));
        }
        m_interfaces = m_sockets.size() + m_failures.size();
    }
    ~PtpListener() { stop(); }

    void stop()
    {
        for (auto& socket : m_sockets) socket->stop();
    }
    std::vector<std::string> senders() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_senders;
    }
    std::size_t listening() const { return m_sockets.size(); }
    std::size_t interfaces() const { return m_interfaces; }
    const std::vector<std::string>& failures() const { return m_failures; }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_senders;
    std::vector<std::unique_ptr<Velantor::Network::UDPSocket<Velantor::ByteBuffer>>> m_sockets;
    std::vector<std::string> m_failures;
    std::size_t m_interfaces = 0;
};

}  // namespace

DiscoveryResult discover(const DiscoveryOptions& options)
{
    DiscoveryResult result;
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<PtpListener> listener;
    if (options.network) listener = std::make_unique<PtpListener>();

    // Probing takes a while per device; the network listens meanwhile.
    if (options.serial) {
        for (int i = 0; i < 20; ++i) {
            const char* name = ndiSerialDeviceName(i);
            if (!name || ::access(name, F_OK) != 0) continue;
            const std::string problem = serialDeviceProblem(name);
            if (!problem.empty()) {
                result.problems.push_back(problem);
                continue;
            }
            if (ndiSerialProbe(name) == 0) result.serialDevices.push_back(name);
        }
    }

    if (listener) {
        const auto end = start + std::chrono::milliseconds(options.windowMs);
        while (std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        listener->stop();
        result.cameras = listener->senders();
        if (listener->interfaces() == 0) {
            result.problems.push_back(
                "no network interface is up (other than loopback): no camera can be heard");
        } else if (listener->listening() == 0) {
            std::string why = "cannot listen for PTP messages (UDP port 319) on any interface";
            if (::geteuid() != 0)
                why += ": run as root or give ndi-track CAP_NET_BIND_SERVICE";
            else if (!listener->failures().empty())
                why += " (" + listener->failures().front() + ")";
            result.problems.push_back(why);
        }
    }
    return result;
}

}  // namespace ndi_track

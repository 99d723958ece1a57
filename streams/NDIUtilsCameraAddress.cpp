// Finding a network camera by the PTP event messages it sends, and the check
// that a configured device text is an IPv4 address.
#include "NDIUtils.h"
#include "NDIUtilsLog.h"

#include <Velantor/ByteBuffer.h>
#include <Velantor/Network/HostAddresses.h>
#include <Velantor/Network/UDPSocket.h>
#include <Velantor/StreamUtils.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <regex>

namespace Velantor {

namespace {

const char* const kPtpGroup = "224.0.1.129";
constexpr unsigned short kPtpEventPort = 319;
// The time limit is polled in this many steps, which bounds the delay
// between hearing the camera and returning.
constexpr int kPollSteps = 20;

// What one detection shares with its sockets' delivery threads.
struct Detection {
    std::mutex mutex;
    std::string result;
};

}  // namespace

std::string NDIUtils::detectCameraIpAddress(int timeLimitMs)
{
    using namespace NDIUtilsLog;
    using Socket = Network::UDPSocket<ByteBuffer>;

    const std::vector<std::string> addresses = Network::getHostIPAddresses(false);
    if (addresses.empty()) {
        log(Error, [] { return "No network interfaces found"; });
        return "";
    }

    auto detection = std::make_shared<Detection>();
    std::vector<std::unique_ptr<Socket>> sockets;
    for (const std::string& address : addresses) {
        log(Debug, [&] { return "Joining PTP multicast group on interface " + address; });
        auto socket = std::make_unique<Socket>(address, 0, kPtpGroup, kPtpEventPort);
        socket->datagramReceived().connect(nullptr, [detection](const Socket::Datagram& datagram) {
            const std::string& sender = datagram.first;
            if (datagram.second)
                logPtpDatagram(sender, datagram.second->data(), datagram.second->size());
            else
                logPtpDatagram(sender, nullptr, 0);
            // Whatever its size and type: the first sender heard is the camera.
            std::lock_guard<std::mutex> lock(detection->mutex);
            if (detection->result.empty()) detection->result = sender;
        });
        socket->run();
        sockets.push_back(std::move(socket));
    }

    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::milliseconds(timeLimitMs);
    const auto step = std::chrono::milliseconds(std::max(0, timeLimitMs / kPollSteps));
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(detection->mutex);
            if (!detection->result.empty()) break;
        }
        StreamUtils::preciseSleep(
            std::chrono::duration_cast<std::chrono::nanoseconds>(step).count());
        if (std::chrono::steady_clock::now() - start >= limit) break;
    }

    // No delivery runs once every socket has stopped, so the result is final.
    for (auto& socket : sockets) socket->stop();
    std::string result;
    {
        std::lock_guard<std::mutex> lock(detection->mutex);
        result = detection->result;
    }
    sockets.clear();
    return result;
}

bool NDIUtils::isValidIp(const std::string& text)
{
    static const std::regex pattern(R"(\d{1,3}(\.\d{1,3}){3})", std::regex::ECMAScript);
    return std::regex_search(text, pattern);
}

}  // namespace Velantor

#include "LineRecovery.h"

#include "TrackingPass.h"

#include <Velantor/StreamUtils.h>
#include <Velantor/ThreadSafeInstrumentsBase.h>
#include <Velantor/TrackingInstrument.h>

#include <Eigen/Core>

#include <cstdio>

namespace Velantor {

void LineRecovery::giveUp(ThreadSafeInstrumentsBase& instruments)
{
    lostAtNs = monotonicNs();
    const std::uint64_t now = StreamUtils::systemTimeMs();
    instruments.modifyAll(
        ThreadSafeInstrumentsBase::ModifyFunction([now](const std::string&, TrackingInstrument& i) {
            i.matrix = Eigen::Matrix4d::Identity();
            i.quality = 0.0;
            i.timestamp = now;
        }));
    lineLost = true;
    reconnecting = true;
}

bool LineRecovery::abandon(std::mutex& connectionPointerMutex, NdiConnection* const& connection)
{
    {
        std::lock_guard<std::mutex> lock(connectionPointerMutex);
        refuseNewConnections = true;
        // Only an attempt's connection: a healthy line is still to be stopped.
        if (reconnecting && connection != nullptr) ndiCancelReplies(connection);
    }
    runner->abandon();
    {
        std::lock_guard<std::mutex> lock(connectionPointerMutex);
        refuseNewConnections = false;
    }
    return reconnecting.exchange(false);
}

bool LineRecovery::settle(std::mutex& connectionPointerMutex)
{
    {
        std::lock_guard<std::mutex> pointer(connectionPointerMutex);
        if (refuseNewConnections) return false;
        reconnecting = false;
    }
    lineLost = false;
    return true;
}

std::string LineRecovery::lostMessage() const
{
    return "connection to " + linkName + " lost; reconnecting";
}

std::string LineRecovery::reconnectedMessage() const
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f",
                  static_cast<double>(monotonicNs() - lostAtNs) / 1e9);
    return std::string("reconnected after ") + seconds + " s";
}

NdiConnection* connectNetworkUnlessAbandoned(const ConnectionRecovery& runner,
                                             const std::string& address, int port)
{
    return runner
        .callUnlessAbandoned<NdiConnection*>(
            [address, port] { return ndiOpenNetwork(address.c_str(), port); },
            [](NdiConnection*& late) {
                if (late != nullptr) ndiCloseNetwork(late);
            })
        .value_or(nullptr);
}

}  // namespace Velantor

#pragma once
// What a stream keeps about a line it may have to bring back, and the steps
// of that which are the same for every stream: giving the line up, ending
// the retries, and letting an attempt's success stand or not. The stream's
// connection, and the mutex under which a canceller reads it, stay the
// stream's own and are handed in.
#include "ConnectionRecovery.h"
#include "LinkLossPolicy.h"

#include <ndi/protocol.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace Velantor {

class ThreadSafeInstrumentsBase;

struct LineRecovery {
    // Where the last successful open connected (the setting is overwritten
    // with a device or camera that was detected), whether it was detected,
    // and the line's name in messages.
    std::string openedDevice;
    int openedPort = 0;
    bool detected = false;
    std::string linkName;
    LinkLossPolicy linkLoss;
    // The line was lost and is not back: a later start tries again.
    bool lineLost = false;
    std::int64_t lostAtNs = 0;
    // Read by doWork without the connection mutex, which an attempt may hold
    // for a long time; cleared under the connection pointer mutex as well
    // (see refuseNewConnections).
    std::atomic<bool> reconnecting{false};
    // Set under the stream's connection pointer mutex while the retries are
    // being abandoned: a connection an attempt makes then is cancelled at
    // once, so that the attempt cannot hold up a stop or close.
    bool refuseNewConnections = false;
    std::unique_ptr<ConnectionRecovery> runner;

    // On the pass that makes the line count as lost, under the connection
    // mutex: no pose from before the gap may pass for a current one, so every
    // instrument gets the identity pose and quality 0; they stay active, to be
    // read again once the line is back. The caller logs lostMessage() and
    // closes the line.
    void giveUp(ThreadSafeInstrumentsBase& instruments);
    // Ends the retries, not under the connection mutex (an attempt holds it).
    // True when the stream was reconnecting: it then says it no longer is.
    bool abandon(std::mutex& connectionPointerMutex, NdiConnection* const& connection);
    // After an attempt that brought the line back, under the connection
    // mutex: whether that stands. Decided under the canceller's lock: either
    // abandonment finds the stream back, or the attempt finds it abandoned.
    bool settle(std::mutex& connectionPointerMutex);

    std::string lostMessage() const;
    std::string reconnectedMessage() const;
};

// A TCP connect, which waits seconds for a camera that is off, given up as
// soon as the retries are abandoned (a connection made too late is closed).
NdiConnection* connectNetworkUnlessAbandoned(const ConnectionRecovery& runner,
                                             const std::string& address, int port);

}  // namespace Velantor

#pragma once
// Private to the source files of NDIPolarisTrackingStream: the record that
// owns the connection, the settings and the marker ROM directory.
#include "LineRecovery.h"
#include "NDIPolarisTrackingStream.h"
#include "OperatingVolumeChoice.h"
#include "TrackingPass.h"

#include <QTemporaryDir>

#include <ndi/protocol.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Velantor {

struct NDIPolarisTrackingStream::Impl {
    // Settings: set from any thread, read when the stream opens. The address
    // is also written by an open that detected the camera, so it is guarded.
    mutable std::mutex settingsMutex;
    std::string hardwareDevice = "auto";
    std::atomic<int> hardwareIPPort{8765};
    std::atomic<bool> binaryQueryMode{true};
    std::atomic<bool> autoReconnect{true};

    OperatingVolumeChoice volumes;

    // Markers are added from the user's thread and given ids at open too.
    std::mutex markerIdMutex;
    std::uint32_t nextMarkerId = 100000;

    // Everything below belongs to the connection and is used under
    // connectionMutex.
    mutable std::mutex connectionMutex;
    int dummyToolHandle = -1;
    std::uint64_t lastFrame = 0;
    // The query mode of the current connection, fixed when it opened: a
    // reply must be read the way it was asked for.
    bool binaryConnection = true;
    std::unique_ptr<QTemporaryDir> markerRomDirectory;
    // Written under both connectionMutex and connectionPointerMutex, so that
    // cancelling a pending reply (which must not wait for the connection) can
    // read it under the small lock alone.
    NdiConnection* connection = nullptr;
    mutable std::mutex connectionPointerMutex;
    void setConnection(NdiConnection* c)
    {
        std::lock_guard<std::mutex> lock(connectionPointerMutex);
        connection = c;
        if (c != nullptr && line.refuseNewConnections) ndiCancelReplies(c);
    }

    // The tracking pass's own: its schedule (400 passes a second at most),
    // and the marker count of the last frame, for which the next frame's
    // lists are made at once rather than grown marker by marker.
    PassGrid passGrid{2'500'000};
    std::size_t lastFiducialCount = 0;

    // Recovery of a lost line.
    LineRecovery line;

    // The ROM file of a marker in the stream's temporary directory (made on
    // first use and removed with the stream), or "" when there is none.
    std::string markerTempRomPath(unsigned markerId);
};

}  // namespace Velantor

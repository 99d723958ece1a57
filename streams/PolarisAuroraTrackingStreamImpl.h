#pragma once
// Private to the source files of PolarisAuroraTrackingStream: the record that
// owns the connection and the settings, and the instantiation of each file's
// members for the three families.
#include "LineRecovery.h"
#include "NDIUtils.h"
#include "OperatingVolumeChoice.h"
#include "PolarisAuroraTrackingStream.h"
#include "TrackingPass.h"

#include <Velantor/Flags.h>

#include <ndi/protocol.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Velantor {

template <NDISystemType Type>
struct PolarisAuroraTrackingStream<Type>::Impl {
    // Settings: set from any thread, read when the stream opens. The string
    // and the lists of the stream object are guarded by settingsMutex.
    mutable std::mutex settingsMutex;
    std::string hardwareDevice = "auto";
    std::atomic<int> hardwareIPPort{8765};
    std::atomic<bool> binaryQueryMode{true};
    std::atomic<int> measurementRate{5};
    std::atomic<bool> autoReconnect{true};
    const int connectionType = Type == NDIPolarisNetwork ? Network : Serial;

    OperatingVolumeChoice volumes;

    // Everything below belongs to the connection and is used under
    // connectionMutex.
    mutable std::mutex connectionMutex;
    int dummyToolHandle = -1;
    std::uint64_t lastFrame = 0;
    NdiConnection* connection = nullptr;
    // Held as well when connection is set, so that cancelling a pending reply
    // (which must not wait for connectionMutex) can read it under this lock
    // alone.
    std::mutex connectionPointerMutex;
    void setConnection(NdiConnection* c)
    {
        std::lock_guard<std::mutex> lock(connectionPointerMutex);
        connection = c;
        if (c != nullptr && line.refuseNewConnections) ndiCancelReplies(c);
    }
    // The query mode of the current connection, fixed when it opened.
    bool binaryConnection = true;
    // Registry changes made during open, announced once the connection is
    // released.
    bool deferAnnouncements = false;
    Flags<InstrumentModification> pendingAnnouncements;

    // The tracking pass's own: its schedule (200 passes a second at most),
    // and the marker count of the last frame, for which the next frame's
    // lists are made at once rather than grown marker by marker.
    PassGrid passGrid{5'000'000};
    std::size_t lastFiducialCount = 0;

    // Recovery of a lost line.
    LineRecovery line;
};

}  // namespace Velantor

// The class itself is instantiated once, with its lifecycle; every other
// source file instantiates the members it defines, each for the three
// families, since no member may be instantiated in two places.
#define NDI_INSTANTIATE_FOR_EVERY_FAMILY(instantiateMembers)                   \
    instantiateMembers(NDIPolarisSerial) instantiateMembers(NDIPolarisNetwork) \
        instantiateMembers(NDIAurora)

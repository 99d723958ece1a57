#pragma once
// Turns the tracking reply (BX or TX) captured in a connection into one
// frame: the pose, quality, timestamp and visibility of every instrument in
// the registry, and the positions of the stray and tool markers. Reads the
// capture only; sends nothing.
#include "NDIInstrumentRegistry.h"

#include <Velantor/TrackingInstrument.h>
#include <Velantor/TrackingInstrumentFiducialsData.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <ndi/connection.h>

namespace Velantor {

class TrackingFrameDecoder {
public:
    // Sends the tracking command (BX with binaryOptions, or TX) and tells
    // whether its reply passed its checks. A reply that failed them leaves
    // the previous one captured: nothing of it may go out as a new frame.
    static bool requestFrame(NdiConnection* connection, bool binary, int binaryOptions);

    // binary: the capture is that of a BX reply, else of a TX reply.
    TrackingFrameDecoder(NdiConnection* connection, bool binary);

    // The frame number the reply gives the tool of portHandle; 0 when the tool
    // is not in the reply.
    std::uint64_t frameNumber(int portHandle) const;

    // The frame number of the whole reply: the main instrument's while the
    // reply carries one for it, else the first other instrument's that does,
    // else the placeholder tool's. A main tool that is disabled, not yet seen
    // or failed to load must not freeze the tools that are tracked; the tools
    // of one reply share the system's frame, so the source may change between
    // replies. Nothing when no instrument and no placeholder has a port
    // handle at all; 0 when none of them is in the reply.
    template <typename Registry>
    std::optional<std::uint64_t> replyFrameNumber(Registry& registry, int placeholderHandle) const;

    // The stray passive markers, each keyed by the hash of the empty string,
    // in lists with room for `expected` markers in all (the tool markers
    // appended later included).
    std::unique_ptr<TrackingInstrumentFiducialsData> strayMarkers(std::size_t expected = 0) const;

    // Rewrites every instrument from the reply, stamped with timestamp; in
    // binary mode the markers seen on each tool are appended to fiducials,
    // keyed by the hash of the instrument's ID. An instrument's visibility
    // follows the reply of each frame: one the system reported disabled (or
    // left out) once is read again in the next.
    void updateInstruments(NDIInstrumentRegistry& registry, std::uint64_t timestamp,
                           TrackingInstrumentFiducialsData& fiducials) const;

    // The same for one instrument whose tool has portHandle, for registries
    // of other kinds: its pose, quality, timestamp and visibility from the
    // reply, and in binary mode its markers appended to fiducials.
    void updateTool(TrackingInstrument& instrument, int portHandle, std::uint64_t timestamp,
                    TrackingInstrumentFiducialsData& fiducials) const;

private:
    void updateInstrument(TrackingInstrument& instrument, int portHandle,
                          std::uint64_t timestamp) const;
    void appendToolMarkers(const TrackingInstrument& instrument, int portHandle,
                           TrackingInstrumentFiducialsData& fiducials) const;

    NdiConnection* m_connection;
    bool m_binary;
};

template <typename Registry>
std::optional<std::uint64_t> TrackingFrameDecoder::replyFrameNumber(Registry& registry,
                                                                    int placeholderHandle) const
{
    using Special = typename Registry::SpecialFunction;
    bool anyHandle = false;
    std::uint64_t frame = 0;
    registry.modify(registry.mainId(), Special([&](const std::string&, auto& tool) {
                        if (tool.portHandle < 0) return;
                        anyHandle = true;
                        frame = frameNumber(tool.portHandle);
                    }));
    if (frame == 0)
        registry.modifyAll(Special([&](const std::string&, auto& tool) {
            if (frame != 0 || tool.portHandle < 0) return;
            anyHandle = true;
            frame = frameNumber(tool.portHandle);
        }));
    if (frame == 0 && placeholderHandle >= 0) {
        anyHandle = true;
        frame = frameNumber(placeholderHandle);
    }
    if (!anyHandle) return std::nullopt;
    return frame;
}

}  // namespace Velantor

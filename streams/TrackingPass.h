#pragma once
// The tracking pass the host runs over and over while a stream tracks: one
// frame received under the stream's own locks, then emitted with none of
// them held, and the next pass scheduled a period after this one began.
#include "NDIStreamLog.h"

#include <Velantor/StreamUtils.h>
#include <Velantor/TrackingInstrumentFiducialsData.h>
#include <Velantor/TrackingStream.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

namespace Velantor {

// receive() gives the frame's markers, or null when there is nothing to
// deliver; what it throws is logged and the pass ends normally.
template <class Receive>
Stream::WorkResult runTrackingPass(TrackingStream& stream, std::int64_t periodNs, Receive&& receive)
{
    const std::int64_t next = StreamUtils::systemTimeNs() + periodNs;
    try {
        std::unique_ptr<TrackingInstrumentFiducialsData> fiducials = receive();
        if (fiducials) {
            std::unique_ptr<TrackingStreamData> frame = stream.createTrackingStreamData();
            frame->components().add(std::move(fiducials));
            stream.dataSignal.emitSignal(std::shared_ptr<const StreamData>(std::move(frame)));
        }
    } catch (const std::exception& e) {
        const std::string text = e.what();
        NDIStreamLog::log(Log::Error,
                          [&] { return "Error while receiving tracking data. " + text; });
    } catch (...) {
        NDIStreamLog::text(Log::Error, "Error while receiving tracking data.");
    }
    return Stream::WorkResult(next, true, true);
}

}  // namespace Velantor

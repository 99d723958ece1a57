#pragma once
// The tracking pass the host runs over and over while a stream tracks: one
// frame received under the stream's own locks, then emitted with none of
// them held, and the next pass scheduled on the stream's fixed pass grid.
#include "NDIStreamLog.h"

#include <Velantor/StreamUtils.h>
#include <Velantor/TrackingInstrumentFiducialsData.h>
#include <Velantor/TrackingStream.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

namespace Velantor {

// Pass times on the monotonic clock, spaced exactly one period from the first
// pass after a restart. Scheduling each pass a period after its own (late)
// start lets the lateness pile up, and the stream falls behind a device whose
// frame rate matches its pass rate; on a grid a late pass costs nothing
// later. A pass that overran skips the grid points it missed instead of
// running them in a burst: frames it would fetch are gone anyway.
class PassGrid {
public:
    explicit PassGrid(std::int64_t periodNs) : m_period(periodNs) {}

    // The next pass starts a new grid (after a stop, the old one means nothing).
    void restart()
    {
        m_started = false;
        m_meanMoved = kUnknownRate;
        m_passesSinceMove = 0;
    }

    // After a pass that read the device's frame number: how far the number
    // moved since the pass before. While the device makes no more frames
    // than the grid has passes, a move of two or more means that a frame
    // came and went between two passes: the grid points lie next to the
    // device's frame edges, where any late pass loses a frame, as happens
    // when the two rates are equal. The grid then moves by half a period, to
    // the middle of the device's frames: the next grid point comes half a
    // period early, and a shorter interval loses no frame. A device faster
    // than the passes skips frames by nature, and then the grid stays.
    void frameMoved(std::int64_t moved)
    {
        if (moved < 0 || moved > kLargestMove) return;  // a new count, not a step
        m_meanMoved += (static_cast<double>(moved) - m_meanMoved) / kMeanPasses;
        ++m_passesSinceMove;
        if (moved >= 2 && m_meanMoved <= kSlowDevice && m_passesSinceMove >= kMeanPasses) {
            m_origin += m_period / 2;
            m_passesSinceMove = 0;
        }
    }

    // The time of the pass that follows one starting at `now` (monotonic, not
    // before the first pass): the first grid point after it, so that a pass
    // run ahead of its time by someone other than the host's worker leaves
    // the grid where it was. A point closer than kReachedNs counts as
    // reached: a wake-up a hair early (the clocks are read one after the
    // other) must not run the same point twice.
    std::int64_t nextAfter(std::int64_t now)
    {
        if (!m_started) {
            m_started = true;
            m_origin = now;
        }
        const std::int64_t passed = (now + kReachedNs - m_origin) / m_period;
        return m_origin + (passed + 1) * m_period;
    }

    static constexpr std::int64_t kReachedNs = 50'000;

private:
    // Frames per pass, averaged over about kMeanPasses passes. The grid
    // waits as many passes before its first move and between two moves, by
    // when a device twice as fast as the passes shows a mean well above
    // kSlowDevice, whatever the mean started from.
    static constexpr double kMeanPasses = 16;
    static constexpr double kUnknownRate = 1;
    static constexpr double kSlowDevice = 1.1;
    static constexpr std::int64_t kLargestMove = 1000;

    std::int64_t m_period;
    std::int64_t m_origin = 0;
    bool m_started = false;
    double m_meanMoved = kUnknownRate;
    int m_passesSinceMove = 0;
};

inline std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// receive() gives the frame's markers, or null when there is nothing to
// deliver; what it throws is logged and the pass ends normally.
template <class Receive>
Stream::WorkResult runTrackingPass(TrackingStream& stream, PassGrid& grid, Receive&& receive)
{
    // The host wants the system clock's time; the grid keeps to the monotonic
    // one, which no clock adjustment moves.
    const std::int64_t startMonotonic = monotonicNs();
    const std::int64_t startSystem = StreamUtils::systemTimeNs();
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
    // Taken after the pass, so that a grid moved by this pass's frame
    // already places the next pass.
    const std::int64_t next = startSystem + (grid.nextAfter(startMonotonic) - startMonotonic);
    return Stream::WorkResult(next, true, true);
}

}  // namespace Velantor

#pragma once
// The gaps in a run's connection: the stream says when it lost its system
// and is reconnecting, and when the system is back. A gap lasts from the last
// frame before the loss to the reconnection; the errors logged meanwhile
// belong to it. Not thread-safe: its owner serialises the calls.
#include <chrono>
#include <cstdint>
#include <optional>

namespace ndi_track {

// What an output says about a change of the connection.
struct LinkEvent {
    bool reconnecting = false;     // true: lost, reconnecting; false: back
    std::uint64_t afterFrame = 0;  // the last frame delivered before the change
    std::int64_t timestampMs = 0;  // system clock, milliseconds since the epoch
    double gapSeconds = 0;         // when back: how long no frame came
};

class LinkGaps {
public:
    using Clock = std::chrono::steady_clock;

    // A frame was delivered; errors: the count of errors logged by then.
    void frame(Clock::time_point at, std::uint64_t errors);
    // The stream's news; nothing to report for a repeat or once the run ended
    // (a stream that stops while reconnecting says false without being back).
    std::optional<LinkEvent> change(bool reconnecting, Clock::time_point now, std::int64_t systemMs,
                                    std::uint64_t frames, std::uint64_t errors);
    // The run ends at `now`: a gap still open stays open for good.
    void end(Clock::time_point now);

    bool reconnecting() const { return m_open; }
    // Reconnecting since (only while reconnecting()).
    double openSeconds(Clock::time_point now) const;
    // Gaps that ended with the system back, and their length in all.
    std::uint64_t recovered() const { return m_recovered; }
    double recoveredSeconds() const { return m_recoveredSeconds; }
    // Errors logged during the gaps that ended with the system back.
    std::uint64_t gapErrors() const { return m_gapErrors; }
    // The run ended with the system unreachable, for that long.
    bool endedUnreachable() const { return m_ended && m_open; }
    double unreachableSeconds() const { return m_unreachableSeconds; }

private:
    bool m_open = false;
    bool m_ended = false;
    bool m_anyFrame = false;
    Clock::time_point m_lastFrameAt{};
    Clock::time_point m_backAt{};
    Clock::time_point m_gapFrom{};
    std::uint64_t m_errorsAtLastFrame = 0;
    std::uint64_t m_errorsAtGap = 0;
    std::uint64_t m_errorsAtBack = 0;
    std::uint64_t m_recovered = 0;
    double m_recoveredSeconds = 0;
    std::uint64_t m_gapErrors = 0;
    double m_unreachableSeconds = 0;
};

}  // namespace ndi_track

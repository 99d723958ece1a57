#include "LinkGaps.h"

#include <algorithm>

namespace ndi_track {

namespace {

double seconds(LinkGaps::Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

void LinkGaps::frame(Clock::time_point at, std::uint64_t errors)
{
    m_anyFrame = true;
    m_lastFrameAt = at;
    m_errorsAtLastFrame = errors;
}

std::optional<LinkEvent> LinkGaps::change(bool reconnecting, Clock::time_point now,
                                          std::int64_t systemMs, std::uint64_t frames,
                                          std::uint64_t errors)
{
    if (m_ended || reconnecting == m_open) return std::nullopt;
    LinkEvent event;
    event.reconnecting = reconnecting;
    event.afterFrame = frames;
    event.timestampMs = systemMs;
    m_open = reconnecting;
    if (reconnecting) {
        // The loss began with the last frame, unless none came since the
        // system was last back (or at all).
        const bool frameSinceBack = m_anyFrame && m_lastFrameAt >= m_backAt;
        m_gapFrom = frameSinceBack ? m_lastFrameAt : m_recovered > 0 ? m_backAt : now;
        // The failed passes that led here logged their errors after it.
        m_errorsAtGap = frameSinceBack ? m_errorsAtLastFrame : m_errorsAtBack;
        return event;
    }
    event.gapSeconds = seconds(now - m_gapFrom);
    m_backAt = now;
    m_errorsAtBack = errors;
    ++m_recovered;
    m_recoveredSeconds += event.gapSeconds;
    m_gapErrors += errors - std::min(errors, m_errorsAtGap);
    return event;
}

void LinkGaps::end(Clock::time_point now)
{
    if (m_ended) return;
    m_ended = true;
    if (m_open) m_unreachableSeconds = seconds(now - m_gapFrom);
}

double LinkGaps::openSeconds(Clock::time_point now) const
{
    return m_open ? seconds(now - m_gapFrom) : 0.0;
}

}  // namespace ndi_track

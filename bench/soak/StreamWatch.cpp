#include "StreamWatch.h"

#include <algorithm>

namespace soak {

namespace {

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

}  // namespace

StreamWatch::StreamWatch(std::string name, Velantor::TrackingStream& stream,
                         const ndisim::Simulator& sim, std::uint32_t window)
    : m_name(std::move(name)),
      m_stream(stream),
      m_sim(sim),
      m_identifier(sim.scenario()),
      m_window(window)
{
    m_stream.dataSignal.connect(this, [this](std::shared_ptr<const Velantor::StreamData> data) {
        if (auto* frame = dynamic_cast<const Velantor::TrackingStreamData*>(data.get()))
            onFrame(*frame);
    });
    m_stream.ReconnectingChange.connect(this, [this](bool on) { onReconnecting(on); });
}

StreamWatch::~StreamWatch()
{
    m_stream.dataSignal.disconnect(this);
    m_stream.ReconnectingChange.disconnect(this);
}

void StreamWatch::onFrame(const Velantor::TrackingStreamData& frame)
{
    const auto now = Clock::now();
    // Read before matching: the frame is one the device made by now.
    const std::uint32_t deviceFrame = m_sim.currentFrame();
    const std::optional<std::uint32_t> number = m_identifier.identify(frame, deviceFrame, m_window);
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_tally.delivered;
    if (m_tally.delivered > 1)
        m_tally.longestSilenceS = std::max(m_tally.longestSilenceS, seconds(now - m_lastAt));
    m_lastAt = now;
    if (!number) {
        ++m_tally.unidentified;
        return;
    }
    if (!m_seen.insert(*number).second) ++m_tally.duplicates;
    if (m_any && *number > m_lastFrame + 1) {
        ++m_tally.numberGaps;
        m_tally.framesSkipped += *number - m_lastFrame - 1;
    }
    m_lastFrame = *number;
    m_any = true;
}

void StreamWatch::onReconnecting(bool reconnecting)
{
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (reconnecting == m_tally.reconnecting) return;
    m_tally.reconnecting = reconnecting;
    if (reconnecting) {
        ++m_tally.episodes;
        m_episodeAt = now;
        // No frame comes until the device is back, at power-on: its frame
        // numbers start over, and only a repeat within the new connection
        // is a duplicate.
        m_seen.clear();
        m_any = false;
        return;
    }
    ++m_tally.recovered;
    m_tally.longestEpisodeS = std::max(m_tally.longestEpisodeS, seconds(now - m_episodeAt));
}

WatchTally StreamWatch::tally() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    WatchTally t = m_tally;
    t.sinceLastFrameS = m_tally.delivered ? seconds(Clock::now() - m_lastAt) : 0;
    return t;
}

}  // namespace soak

#pragma once
// What one stream did over a soak run: frames delivered, the device frames
// they came from (duplicates and skipped numbers within a connection), and
// the reconnecting episodes it announced, with how long it went without
// frames.
#include "FrameIdentifier.h"

#include <ndisim/Simulator.h>

#include <Velantor/TrackingStream.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace soak {

struct WatchTally {
    std::uint64_t delivered = 0;
    std::uint64_t unidentified = 0;  // no moving tool in view, or no match
    std::uint64_t duplicates = 0;    // a device frame delivered twice in one connection
    std::uint64_t numberGaps = 0;    // a jump over device frames within a connection
    std::uint64_t framesSkipped = 0;
    std::uint64_t episodes = 0;   // reconnecting announced
    std::uint64_t recovered = 0;  // ... and the device back
    bool reconnecting = false;
    double longestEpisodeS = 0;
    double longestSilenceS = 0;  // between two frames
    double sinceLastFrameS = 0;
};

class StreamWatch {
public:
    // window: how many device frames a delivered one may lag behind.
    StreamWatch(std::string name, Velantor::TrackingStream& stream, const ndisim::Simulator& sim,
                std::uint32_t window);
    ~StreamWatch();
    StreamWatch(const StreamWatch&) = delete;
    StreamWatch& operator=(const StreamWatch&) = delete;

    const std::string& name() const { return m_name; }
    WatchTally tally() const;

private:
    using Clock = std::chrono::steady_clock;
    void onFrame(const Velantor::TrackingStreamData& frame);
    void onReconnecting(bool reconnecting);

    const std::string m_name;
    Velantor::TrackingStream& m_stream;
    const ndisim::Simulator& m_sim;
    const FrameIdentifier m_identifier;
    const std::uint32_t m_window;

    mutable std::mutex m_mutex;
    WatchTally m_tally;
    std::set<std::uint32_t> m_seen;  // device frames of this connection
    std::uint32_t m_lastFrame = 0;
    bool m_any = false;
    Clock::time_point m_lastAt{};
    Clock::time_point m_episodeAt{};
};

}  // namespace soak

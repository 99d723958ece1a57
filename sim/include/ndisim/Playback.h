#pragma once
// A recorded run that a simulated device plays back instead of moving its
// tools along trajectories: per frame, the state and pose of every scenario
// tool and the stray markers, with the time the frame was recorded at.
#include <ndisim/Scenario.h>

#include <cstdint>
#include <vector>

namespace ndisim {

struct PlaybackFrame {
    std::int64_t offsetNs = 0;     // after the first frame; never decreasing
    std::vector<ToolFrame> tools;  // one per scenario tool, in scenario order
    std::vector<Vec3> strays;
};

struct Playback {
    std::vector<PlaybackFrame> frames;  // at least one
    double speed = 1.0;                 // 2: twice as fast as recorded
    // At the end: start again from the first frame, or hold the last one
    // (its frame number then stays, so hosts see no new frame).
    bool loop = false;

    // How many frames on from the first the device is, `seconds` after the
    // playback began; counts on across loops.
    std::uint64_t positionAt(double seconds) const;
    const PlaybackFrame& frameAt(std::uint64_t position) const;
    // Nanoseconds one pass takes before a loop starts again: the recorded
    // span plus one mean frame interval.
    std::int64_t loopNs() const;
};

}  // namespace ndisim

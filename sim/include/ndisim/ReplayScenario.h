#pragma once
// A recorded tracking run turned into a scenario whose device plays it back:
// the recorded family, its tools (wired ones on their recorded ports, optical
// ones known by the part number in their recorded id) and, per frame, the
// recorded poses, states and stray markers at the recorded timing.
#include <ndirecording/Recording.h>
#include <ndisim/Scenario.h>

namespace ndisim {

// Throws std::runtime_error when the recording cannot be played back as a
// device (no frames, a tool without a port or part number, too many tools).
Scenario replayScenario(const ndi_recording::Recording& recording, double speed, bool loop);

}  // namespace ndisim

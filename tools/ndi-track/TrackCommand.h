#pragma once
// ndi-track's main job: open the chosen system with the plugin's stream,
// track, show the frames, and stop and close cleanly at the end of the run
// or on SIGINT/SIGTERM.
#include "TrackOptions.h"

#include <csignal>

namespace ndi_track {

class LogRelay;

// stopSignals must already be blocked in every thread (block them before any
// thread starts); the run takes them with sigtimedwait.
int runTrack(const TrackOptions& options, LogRelay& relay, const sigset_t& stopSignals);

}  // namespace ndi_track

#pragma once
// ndi-track's main job: open the chosen system with the plugin's stream,
// track, show the frames, and stop and close cleanly at the end of the run
// or on SIGINT/SIGTERM. The run ends within a second of a stop signal
// whatever the system does: a stop or close left unanswered is given up.
#include "TrackOptions.h"

#include <csignal>

namespace ndi_track {

class LogRelay;
class TrackHost;

// runTrack's result when the reader of stdout went away: not an exit code;
// the caller ends the process by SIGPIPE once it has tidied up.
constexpr int kOutputClosed = -1;

// stopSignals must already be blocked in every thread (block them before any
// thread starts); the run takes them with sigtimedwait on a thread of its own.
// The host has its plugins loaded (and the workspace read, if any). Returns
// an ExitCode or kOutputClosed.
int runTrack(const TrackOptions& options, TrackHost& host, LogRelay& relay,
             const sigset_t& stopSignals);

}  // namespace ndi_track

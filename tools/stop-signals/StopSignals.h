#pragma once
// Ctrl-C and SIGTERM for programs that must stop a measurement system in order
// before they end: no handler runs at an arbitrary point of a stream thread;
// the program takes the signals when it is ready for them (sigtimedwait,
// signalfd).
#include <csignal>

namespace stop_signals {

// Blocks SIGINT and SIGTERM in the calling thread and returns them as a set.
// Call it first thing in main(), before any thread starts: every thread
// started later inherits the blocked mask, so none of them is interrupted.
sigset_t blockInEveryThread();

}  // namespace stop_signals

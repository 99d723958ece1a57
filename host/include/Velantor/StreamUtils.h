#pragma once
// Timing helpers for stream workers.
#include <chrono>
#include <cstdint>

namespace Velantor::StreamUtils {

// How precise waits end. By default a wait is one absolute sleep on the
// monotonic clock: with the timer slack at its least (the stream workers set
// it so) it ends some tens of microseconds late at normal priority on a
// quiet machine (a few hundred at the 99th percentile), and takes no
// processor time. VELANTOR_WORKER_SPIN_US=N (opt-in, 1 to 10000) makes each
// precise wait sleep until N microseconds before its deadline and then yield
// the processor in a loop: late by a few microseconds, at the price of up to
// N microseconds of processor time per wait. Measured on an idle machine
// with 200 waits a second: N = 200 takes about 3.5% of one core, N = 1000
// about 19% (twice that at 400 waits a second). On a busy machine the loop
// is preempted like any other and helps little. The variable is read when a
// worker starts and at each preciseSleep; zero, or anything that is not a
// number in range, means no spinning.
std::chrono::nanoseconds spinWindow();

// Sleeps for the duration (nothing for zero or less), precisely as above.
void preciseSleep(std::chrono::nanoseconds duration);
inline void preciseSleep(std::int64_t nanoseconds)
{
    preciseSleep(std::chrono::nanoseconds(nanoseconds));
}

// Sleeps until the system-clock time, given in nanoseconds since the epoch
// (the unit of Stream::WorkResult::nextTime).
void preciseSleepUntil(std::int64_t systemTimeNs);

// The system clock's current time in nanoseconds and in milliseconds since
// the epoch.
std::int64_t systemTimeNs();
std::uint64_t systemTimeMs();

// Replaces the system clock that systemTimeNs and systemTimeMs read (null:
// the real one again) and returns the one it replaces. Tests use it to step
// the clock as an administrator or a time daemon would.
using SystemClockSource = std::int64_t (*)();
SystemClockSource replaceSystemClock(SystemClockSource source);

}  // namespace Velantor::StreamUtils

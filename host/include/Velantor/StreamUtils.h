#pragma once
// Timing helpers for stream workers.
#include <chrono>
#include <cstdint>

namespace Velantor::StreamUtils {

// Sleeps on the kernel until this long before the deadline, then yields the
// processor in a loop until the deadline: waking up is then late by
// microseconds rather than by the kernel's timer slack and wake-up latency.
constexpr std::chrono::nanoseconds kSpinWindow = std::chrono::milliseconds(1);

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

}  // namespace Velantor::StreamUtils

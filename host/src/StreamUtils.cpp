#include <Velantor/StreamUtils.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <time.h>

namespace Velantor::StreamUtils {

namespace {

// Longest wait honoured at once; guards the time arithmetic against absurd
// deadlines.
constexpr std::int64_t kMaxWaitNs = 24LL * 3600 * 1000000000LL;
constexpr long kMaxSpinUs = 10000;

std::atomic<SystemClockSource> g_systemClock{nullptr};

void sleepUntilMonotonic(std::chrono::steady_clock::time_point t)
{
    // steady_clock is CLOCK_MONOTONIC; an absolute sleep does not drift when
    // interrupted by a signal.
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    if (ns <= 0) return;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void preciseSleepUntilSteady(std::chrono::steady_clock::time_point deadline)
{
    const auto spin = spinWindow();
    sleepUntilMonotonic(deadline - spin);
    if (spin.count() == 0) return;
    while (std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

}  // namespace

std::chrono::nanoseconds spinWindow()
{
    const char* text = std::getenv("VELANTOR_WORKER_SPIN_US");
    if (text == nullptr || *text == '\0') return std::chrono::nanoseconds(0);
    char* end = nullptr;
    const long us = std::strtol(text, &end, 10);
    if (*end != '\0' || us < 0 || us > kMaxSpinUs) return std::chrono::nanoseconds(0);
    return std::chrono::microseconds(us);
}

void preciseSleep(std::chrono::nanoseconds duration)
{
    if (duration.count() <= 0) return;
    if (duration.count() > kMaxWaitNs) duration = std::chrono::nanoseconds(kMaxWaitNs);
    preciseSleepUntilSteady(std::chrono::steady_clock::now() + duration);
}

void preciseSleepUntil(std::int64_t systemTimeNsDeadline)
{
    const std::int64_t now = systemTimeNs();
    if (systemTimeNsDeadline <= now) return;
    preciseSleep(std::chrono::nanoseconds(systemTimeNsDeadline - now));
}

std::int64_t systemTimeNs()
{
    if (const SystemClockSource source = g_systemClock.load(std::memory_order_acquire))
        return source();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::uint64_t systemTimeMs()
{
    const std::int64_t ns = systemTimeNs();
    return ns < 0 ? 0 : static_cast<std::uint64_t>(ns / 1000000);
}

SystemClockSource replaceSystemClock(SystemClockSource source)
{
    return g_systemClock.exchange(source, std::memory_order_acq_rel);
}

}  // namespace Velantor::StreamUtils

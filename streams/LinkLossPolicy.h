#pragma once
// When a stream gives up on its line and how long it waits between attempts
// to get it back. Pure timing rules, fed with pass outcomes and monotonic
// times, so that they can be checked without a device.
#include <cstdint>

namespace Velantor {

class LinkLossPolicy {
public:
    struct Limits {
        // Both must hold: one corrupted reply, or a short burst of them on a
        // fast pass schedule, is line noise, not a lost device.
        int failedPasses = 3;
        std::int64_t graceNs = 500'000'000;
    };

    LinkLossPolicy() = default;
    explicit LinkLossPolicy(Limits limits) : m_limits(limits) {}

    // The line is (again) in use: counts as a good reply at nowNs.
    void restart(std::int64_t nowNs);
    void passSucceeded(std::int64_t nowNs);
    // True exactly once per loss: on the failed pass that makes the line
    // count as lost. Later failures say nothing until restart.
    bool passFailed(std::int64_t nowNs);
    bool lost() const { return m_lost; }

private:
    Limits m_limits;
    int m_failed = 0;
    std::int64_t m_lastGoodNs = 0;
    bool m_lost = false;
};

// The waits before successive reconnect attempts: short at first, since a
// re-plugged cable comes back within a second, then doubling to a cap, so
// that a device gone for good is not hammered.
class RetryBackoff {
public:
    struct Limits {
        std::int64_t firstNs = 250'000'000;
        std::int64_t maxNs = 2'000'000'000;
    };

    RetryBackoff() = default;
    explicit RetryBackoff(Limits limits) : m_limits(limits), m_next(limits.firstNs) {}

    // The wait before the next attempt; each call doubles the following one.
    std::int64_t next();
    void reset() { m_next = m_limits.firstNs; }

private:
    Limits m_limits;
    std::int64_t m_next = Limits{}.firstNs;
};

}  // namespace Velantor

#pragma once
// The retries that bring a lost line back, on a thread of their own: wait
// out the back-off, call the stream's attempt, again until it succeeds or
// the retries are abandoned. Abandoning wakes the wait at once and joins the
// thread; an attempt in progress is expected to notice (abandoned()) between
// its steps, and its blocking steps that have no connection to cancel yet
// can be run through callUnlessAbandoned.
#include "LinkLossPolicy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace Velantor {

class ConnectionRecovery {
public:
    // True when the line is back; called with no lock of the runner held.
    using Attempt = std::function<bool()>;

    explicit ConnectionRecovery(Attempt attempt, RetryBackoff::Limits limits = {});
    // Abandons.
    ~ConnectionRecovery();
    ConnectionRecovery(const ConnectionRecovery&) = delete;
    ConnectionRecovery& operator=(const ConnectionRecovery&) = delete;

    // Starts retrying unless the retries already run; the first attempt
    // follows the first back-off.
    void begin();
    // Ends the retries and waits for an attempt in progress to return. Not to
    // be called with a lock held that the attempt takes.
    void abandon();
    bool abandoned() const { return m_abandoned.load(); }

    // work() on a helper thread, its result here, or nothing as soon as the
    // retries are abandoned; a result that comes after that is handed to
    // discard() on the helper thread. For steps that cannot be interrupted
    // (a probe, a connect): work and discard must not touch the caller.
    template <class T>
    std::optional<T> callUnlessAbandoned(std::function<T()> work,
                                         std::function<void(T&)> discard = {}) const;

private:
    void run();

    Attempt m_attempt;
    RetryBackoff::Limits m_limits;
    std::mutex m_controlMutex;  // begin and abandon, never the runner
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_abandoned{false};
    std::atomic<bool> m_finished{true};
    std::thread m_thread;
};

template <class T>
std::optional<T> ConnectionRecovery::callUnlessAbandoned(std::function<T()> work,
                                                         std::function<void(T&)> discard) const
{
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<T> result;
        bool callerGone = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, work = std::move(work), discard = std::move(discard)] {
        T value = work();
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->callerGone) {
            if (discard) discard(value);
            return;
        }
        shared->result = std::move(value);
        shared->done.notify_all();
    }).detach();

    // Abandonment is polled: it is rare, and a short poll keeps the helper
    // free of any reference to this object.
    constexpr auto kPoll = std::chrono::milliseconds(20);
    std::unique_lock<std::mutex> lock(shared->mutex);
    while (!shared->result) {
        if (abandoned()) {
            shared->callerGone = true;
            return std::nullopt;
        }
        shared->done.wait_for(lock, kPoll);
    }
    return std::move(shared->result);
}

}  // namespace Velantor

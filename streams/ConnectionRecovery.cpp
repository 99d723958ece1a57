#include "ConnectionRecovery.h"

namespace Velantor {

ConnectionRecovery::ConnectionRecovery(Attempt attempt, RetryBackoff::Limits limits)
    : m_attempt(std::move(attempt)), m_limits(limits)
{
}

ConnectionRecovery::~ConnectionRecovery() { abandon(); }

void ConnectionRecovery::begin()
{
    std::lock_guard<std::mutex> control(m_controlMutex);
    if (m_thread.joinable()) {
        if (!m_finished.load()) return;
        m_thread.join();
    }
    m_abandoned = false;
    m_finished = false;
    m_thread = std::thread([this] { run(); });
}

void ConnectionRecovery::abandon()
{
    std::lock_guard<std::mutex> control(m_controlMutex);
    {
        // Under the wait's mutex, so that the runner cannot miss the wake-up
        // between its check and its wait.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_abandoned = true;
    }
    m_wake.notify_all();
    if (!m_thread.joinable()) return;
    // From the attempt's own thread (a handler of its signals) it cannot be
    // joined; it ends by itself once the attempt returns.
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

void ConnectionRecovery::run()
{
    RetryBackoff backoff(m_limits);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::nanoseconds(backoff.next());
            if (m_wake.wait_until(lock, deadline, [this] { return m_abandoned.load(); })) break;
        }
        if (m_attempt()) break;
        if (m_abandoned) break;
    }
    m_finished = true;
}

}  // namespace Velantor

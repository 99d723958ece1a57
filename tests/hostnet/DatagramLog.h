#pragma once

#include <Velantor/Network/UDPSocket.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace hostnet_test {

/// What one socket delivered, in order, for a test to wait on and inspect.
class DatagramLog {
public:
    using Datagram = Velantor::Network::UDPSocket<>::Datagram;

    void add(const Datagram& datagram)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_datagrams.push_back(datagram);
        }
        m_changed.notify_all();
    }

    std::vector<Datagram> datagrams() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_datagrams;
    }

    std::size_t size() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_datagrams.size();
    }

    /// Calls poke (typically: send one more datagram) until done(datagrams so far)
    /// holds, so that a datagram lost on the way cannot stall a test. The deadline
    /// only turns a broken socket into a failure instead of a hang.
    bool waitUntil(
        const std::function<bool(const std::vector<Datagram>&)>& done,
        const std::function<void()>& poke = [] {})
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!done(m_datagrams)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            lock.unlock();
            poke();
            lock.lock();
            m_changed.wait_for(lock, std::chrono::milliseconds(200),
                               [&] { return done(m_datagrams); });
        }
        return true;
    }

    bool waitForCount(
        std::size_t count, const std::function<void()>& poke = [] {})
    {
        return waitUntil([count](const std::vector<Datagram>& all) { return all.size() >= count; },
                         poke);
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Datagram> m_datagrams;
};

}  // namespace hostnet_test

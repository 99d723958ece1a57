#pragma once
// SignalImpl<Args...>: a thread-safe list of callbacks.
//
// connect(receiver, function) adds a callback and returns its connection id;
// the receiver is only a tag for disconnect(receiver) and may be null.
// emitSignal(args...) calls every callback on the emitting thread, in the
// order of connection, without holding any lock, so callbacks may connect,
// disconnect or emit again.
//
// Disconnecting is safe against concurrent emissions: once disconnect()
// returns, the callback does not run any more and is not running on another
// thread (a callback that disconnects itself returns from disconnect at once).
// That lets an object disconnect in its destructor and then die.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace Velantor {

template <typename... Args>
class SignalImpl {
public:
    using Function = std::function<void(Args...)>;
    using ConnectionId = std::uint64_t;

    SignalImpl() = default;
    SignalImpl(const SignalImpl&) = delete;
    SignalImpl& operator=(const SignalImpl&) = delete;
    ~SignalImpl() { disconnectAll(); }

    ConnectionId connect(const void* receiver, Function function)
    {
        auto slot = std::make_shared<Slot>();
        slot->receiver = receiver;
        slot->function = std::move(function);
        std::lock_guard<std::mutex> lock(m_mutex);
        slot->id = ++m_lastId;
        m_slots.push_back(std::move(slot));
        return m_lastId;
    }

    void disconnect(ConnectionId id)
    {
        disconnectWhere([id](const Slot& s) { return s.id == id; });
    }
    void disconnect(const void* receiver)
    {
        disconnectWhere([receiver](const Slot& s) { return s.receiver == receiver; });
    }
    void disconnectAll()
    {
        disconnectWhere([](const Slot&) { return true; });
    }

    std::size_t connectionCount() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_slots.size();
    }

    void emitSignal(Args... args) const
    {
        std::vector<std::shared_ptr<Slot>> snapshot;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            snapshot = m_slots;
        }
        const auto self = std::this_thread::get_id();
        for (const auto& slot : snapshot) {
            {
                std::lock_guard<std::mutex> lock(slot->mutex);
                if (!slot->connected) continue;
                slot->running.push_back(self);
            }
            struct Leave {
                Slot& slot;
                std::thread::id self;
                ~Leave()
                {
                    std::lock_guard<std::mutex> lock(slot.mutex);
                    slot.running.erase(std::find(slot.running.begin(), slot.running.end(), self));
                    slot.idle.notify_all();
                }
            } leave{*slot, self};
            slot->function(args...);
        }
    }

private:
    struct Slot {
        ConnectionId id = 0;
        const void* receiver = nullptr;
        Function function;
        std::mutex mutex;
        std::condition_variable idle;
        bool connected = true;
        std::vector<std::thread::id> running;  // threads inside function right now
    };

    template <typename Pred>
    void disconnectWhere(Pred pred)
    {
        std::vector<std::shared_ptr<Slot>> removed;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it =
                std::stable_partition(m_slots.begin(), m_slots.end(),
                                      [&](const std::shared_ptr<Slot>& s) { return !pred(*s); });
            removed.assign(it, m_slots.end());
            m_slots.erase(it, m_slots.end());
        }
        const auto self = std::this_thread::get_id();
        for (const auto& slot : removed) {
            std::unique_lock<std::mutex> lock(slot->mutex);
            slot->connected = false;
            slot->idle.wait(lock, [&] {
                return std::all_of(slot->running.begin(), slot->running.end(),
                                   [&](std::thread::id t) { return t == self; });
            });
        }
    }

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<Slot>> m_slots;
    ConnectionId m_lastId = 0;
};

}  // namespace Velantor

#pragma once
// The instrument registry every tracking stream owns.
//
// One lock guards the whole registry and is held for each whole operation,
// callbacks included, so that a host reader sees an instrument either before
// or after a worker-thread rewrite, never half of each. Every change reports
// which kinds of things changed as Flags<InstrumentModification>; a stream
// ORs the flags of a sequence of calls and announces them once.
//
// Each entry pairs a host TrackingInstrument with an optional special object
// of type T (the stream's own per-instrument data), owned by the entry.
//
// Special-object-only access: modify(id, fn(id, T&)) and modifyAll(fn(id, T&))
// edit the special object alone and report nothing. The marker stream needs
// them to read its markers; they are offered for every T rather than through a
// trait because they cannot change an instrument and so cannot break any flag
// rule. Pass callbacks with typed parameters: a generic lambda would match the
// instrument forms as well and make the call ambiguous.
//
// Callbacks run with the lock held: they must not call back into the same
// registry (the lock is not recursive) and must stay short, since the worker
// thread rewrites every instrument on every frame. Refused requests are logged
// at error level, category "ThreadSafeInstruments"; the messages are handed to
// the log only after the lock has been released, so that a log sink may look
// at the registry without dead-locking.
//
// The main index always equals the position of the main instrument in the id
// order: creations and removals refresh it too, so that setMain(i) always
// means "the instrument at position i". When only the position moved (another
// instrument was added or removed before the main one) the change is reported
// as InstrumentList alone: the main instrument is still the same, and a list
// change already tells the host to read the registry anew.
#include "ThreadSafeInstrumentsLog.h"

#include <Velantor/Flags.h>
#include <Velantor/Log.h>
#include <Velantor/ThreadSafeInstrumentsBase.h>
#include <Velantor/TrackingInstrument.h>

#include <Eigen/Core>

#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Velantor {

template <typename T>
class ThreadSafeInstruments final : public ThreadSafeInstrumentsBase {
public:
    using Modifications = Flags<InstrumentModification>;
    using InstrumentFunction = ThreadSafeInstrumentsBase::ModifyFunction;
    using InstrumentSpecialFunction =
        std::function<void(const std::string&, TrackingInstrument&, T&)>;
    using SpecialFunction = std::function<void(const std::string&, T&)>;

    ThreadSafeInstruments() = default;
    ~ThreadSafeInstruments() override = default;

    ThreadSafeInstruments(const ThreadSafeInstruments&) = delete;
    ThreadSafeInstruments& operator=(const ThreadSafeInstruments&) = delete;

    std::vector<TrackingInstrument> instruments() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<TrackingInstrument> result;
        result.reserve(m_instruments.size());
        for (const auto& [id, entry] : m_instruments) result.push_back(entry.first);
        return result;
    }

    std::optional<TrackingInstrument> mainInstrument() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(m_mainId);
        if (it == m_instruments.end()) return std::nullopt;
        return it->second.first;
    }

    Modifications setMain(std::uint32_t index) override
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (index == m_mainIndex) return {};
        if (m_instruments.empty()) {
            // Nothing to point at yet: only the position is kept.
            m_mainIndex = index;
            return InstrumentModification::MainInstrument;
        }
        if (index >= m_instruments.size()) {
            log.error("Index ", index, " exceeds size of instruments");
            return {};
        }
        m_mainIndex = index;
        const std::string& id = std::next(m_instruments.begin(), index)->first;
        if (id == m_mainId) return {};
        setMainIdLocked(id);
        return InstrumentModification::MainInstrument;
    }

    Modifications setMainById(const std::string& id) override
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (id == m_mainId) return {};
        if (m_instruments.find(id) == m_instruments.end()) {
            log.error("setMainById: Instrument with ID ", id, " not found");
            return {};
        }
        setMainIdLocked(id);
        return InstrumentModification::MainInstrument;
    }

    std::uint32_t mainIndex() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_mainIndex;
    }

    std::string mainId() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_mainId;
    }

    std::string mainName() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(m_mainId);
        if (it == m_instruments.end()) return {};
        return it->second.first.id.name();
    }

    void setActive(const std::string& id, bool active) override
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(id);
        if (it == m_instruments.end()) {
            log.error("setActive: Instrument with ID ", id, " not found");
            return;
        }
        it->second.first.active = active;
    }

    bool isActive(const std::string& id) const override
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(id);
        if (it == m_instruments.end()) {
            log.error("isActive: Instrument with ID ", id, " not found");
            return false;
        }
        return it->second.first.active;
    }

    Modifications create(const TrackerID& id, bool active) override
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        return createLocked(id, nullptr, active, log);
    }

    // The passed special object is destroyed when the id is already taken.
    Modifications create(const TrackerID& id, std::unique_ptr<T> special, bool active = true)
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        return createLocked(id, std::move(special), active, log);
    }

    // The new instrument's TrackerID is (generated id, modelNumber, name).
    Modifications createWithPrefix(const std::string& prefix, const std::string& name,
                                   const std::string& modelNumber, bool active) override
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        return createLocked(TrackerID(createNextId(prefix), modelNumber, name), nullptr, active,
                            log);
    }

    Modifications remove(const std::string& id) override
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(id);
        if (it == m_instruments.end()) {
            log.error("remove: Instrument with ID ", id, " not found");
            return {};
        }
        m_instruments.erase(it);
        Modifications result = InstrumentModification::InstrumentList;
        // The first instrument in id order takes over from a removed main
        // one, even one whose id is empty: a main id naming a removed
        // instrument would leave the stream without a frame reference while
        // tools remain.
        const std::string next =
            m_instruments.empty() ? std::string() : m_instruments.begin()->first;
        if (id == m_mainId && next != m_mainId) {
            setMainIdLocked(next);
            result |= InstrumentModification::MainInstrument;
        } else {
            m_mainIndex = positionLocked(m_mainId);
        }
        return result;
    }

    Modifications clear() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Modifications result;
        if (!m_instruments.empty()) {
            m_instruments.clear();
            result |= InstrumentModification::InstrumentList;
        }
        if (!m_mainId.empty()) {
            m_mainId.clear();
            m_mainIndex = 0;
            result |= InstrumentModification::MainInstrument;
        }
        return result;
    }

    Modifications prepareUpdate(std::uint64_t timestamp) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Modifications result;
        for (auto& item : m_instruments) {
            TrackingInstrument& instrument = item.second.first;
            const TrackingInstrument before = instrument;
            instrument.matrix = Eigen::Matrix4d::Identity();
            instrument.quality = 0.0;
            instrument.timestamp = timestamp;
            instrument.status = 0;
            if (instrument != before) result |= InstrumentModification::TrackingData;
        }
        return result;
    }

    Modifications update(const std::string& id, const Eigen::Matrix4d& matrix, double quality,
                         std::uint64_t timestamp, int status) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(id);
        if (it == m_instruments.end()) return {};
        TrackingInstrument& instrument = it->second.first;
        instrument.matrix = matrix;
        instrument.quality = quality;
        instrument.timestamp = timestamp;
        instrument.status = status;
        return InstrumentModification::TrackingData;
    }

    Modifications modify(const std::string& id, const InstrumentFunction& fn) override
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(id);
        if (it == m_instruments.end()) return {};
        return modifyChecked(it->second.first, log,
                             [&](TrackingInstrument& instrument) { fn(it->first, instrument); });
    }

    Modifications modify(const std::string& id, const InstrumentSpecialFunction& fn)
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(id);
        if (it == m_instruments.end()) return {};
        if (!it->second.second) {
            log.error("modify: Special object for instrument with ID ", id, " does not exist");
            return {};
        }
        T& special = *it->second.second;
        return modifyChecked(it->second.first, log, [&](TrackingInstrument& instrument) {
            fn(it->first, instrument, special);
        });
    }

    // Edits the special object alone: nothing to check, nothing reported.
    void modify(const std::string& id, const SpecialFunction& fn)
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(id);
        if (it == m_instruments.end()) return;
        if (!it->second.second) {
            log.error("modify: Special object for instrument with ID ", id, " does not exist");
            return;
        }
        fn(it->first, *it->second.second);
    }

    Modifications modifyAll(const InstrumentFunction& fn) override
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        Modifications result;
        for (auto& item : m_instruments) {
            const std::string& id = item.first;
            auto& entry = item.second;
            result |= modifyChecked(entry.first, log,
                                    [&](TrackingInstrument& instrument) { fn(id, instrument); });
        }
        return result;
    }

    Modifications modifyAll(const InstrumentSpecialFunction& fn)
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        Modifications result;
        for (auto& item : m_instruments) {
            const std::string& id = item.first;
            auto& entry = item.second;
            if (!entry.second) {
                log.error("modifyAll: Special object for instrument with ID ", id,
                          " does not exist");
                continue;
            }
            T& special = *entry.second;
            result |= modifyChecked(entry.first, log, [&](TrackingInstrument& instrument) {
                fn(id, instrument, special);
            });
        }
        return result;
    }

    // Edits every special object alone, in id order.
    void modifyAll(const SpecialFunction& fn)
    {
        PendingLog log;
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& item : m_instruments) {
            const std::string& id = item.first;
            auto& entry = item.second;
            if (!entry.second) {
                log.error("modifyAll: Special object for instrument with ID ", id,
                          " does not exist");
                continue;
            }
            fn(id, *entry.second);
        }
    }

    std::uint32_t size() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<std::uint32_t>(m_instruments.size());
    }

    std::optional<TrackingInstrument> find(const std::string& id) const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_instruments.find(id);
        if (it == m_instruments.end()) return std::nullopt;
        return it->second.first;
    }

private:
    using PendingLog = ThreadSafeInstrumentsLog;
    using Entry = std::pair<TrackingInstrument, std::unique_ptr<T>>;

    // The first of prefix0, prefix1, ... that is not taken. Expects the lock
    // to be held; at most size() + 1 candidates are ever tried.
    std::string createNextId(const std::string& prefix) const
    {
        for (std::uint64_t n = 0;; ++n) {
            std::string candidate = prefix + std::to_string(n);
            if (m_instruments.find(candidate) == m_instruments.end()) return candidate;
        }
    }

    Modifications createLocked(const TrackerID& id, std::unique_ptr<T> special, bool active,
                               PendingLog& log)
    {
        const std::string key = id.ID();
        if (m_instruments.find(key) != m_instruments.end()) {
            log.error("create: Instrument with ID ", key, " already exists");
            return {};
        }
        TrackingInstrument instrument;
        instrument.id = id;
        instrument.matrix = Eigen::Matrix4d::Identity();
        instrument.quality = 0.0;
        instrument.timestamp = 0;
        instrument.status = 0;
        instrument.active = active;
        m_instruments.emplace(key, Entry(std::move(instrument), std::move(special)));

        Modifications result = InstrumentModification::InstrumentList;
        if (m_instruments.size() == 1 && m_mainId != key) {
            setMainIdLocked(key);
            result |= InstrumentModification::MainInstrument;
        } else {
            m_mainIndex = positionLocked(m_mainId);
        }
        return result;
    }

    // Position of an id in the id order; the number of entries if absent.
    std::uint32_t positionLocked(const std::string& id) const
    {
        const auto it = m_instruments.find(id);
        return static_cast<std::uint32_t>(std::distance(m_instruments.begin(), it));
    }

    void setMainIdLocked(const std::string& id)
    {
        m_mainId = id;
        m_mainIndex = positionLocked(m_mainId);
    }

    // Runs one callback on one instrument and reports what it changed.
    // Expects the lock to be held: the copy taken before the call goes into
    // m_before, whose strings keep their storage from one call to the next,
    // so that a tracking pass rewriting every pose allocates nothing here.
    template <typename Call>
    Modifications modifyChecked(TrackingInstrument& instrument, PendingLog& log, Call&& call)
    {
        m_before = instrument;
        const TrackingInstrument& before = m_before;
        try {
            call(instrument);
        } catch (...) {
            // The map key must keep naming the instrument even when the
            // callback gives up half-way; anything else it did stands.
            if (instrument.id.ID() != before.id.ID()) restore(instrument, before, log);
            throw;
        }
        if (instrument.id.ID() != before.id.ID()) {
            restore(instrument, before, log);
            return {};
        }
        Modifications result;
        if (instrument.id.name() != before.id.name() ||
            instrument.id.modelNumber() != before.id.modelNumber())
            result |= InstrumentModification::InstrumentList;
        if (trackingDataDiffers(before, instrument)) result |= InstrumentModification::TrackingData;
        // A change of `active` alone is not reported.
        return result;
    }

    static void restore(TrackingInstrument& instrument, const TrackingInstrument& before,
                        PendingLog& log)
    {
        log.error(
            "ID must not be modified. TrackingInstrument is reset to state before "
            "modification");
        instrument = before;
    }

    // Compared with != so that a NaN on either side counts as a change: an
    // instrument that holds NaN is reported on every call rather than never.
    static bool trackingDataDiffers(const TrackingInstrument& a, const TrackingInstrument& b)
    {
        if (a.timestamp != b.timestamp || a.quality != b.quality || a.status != b.status)
            return true;
        for (int row = 0; row < 4; ++row)
            for (int col = 0; col < 4; ++col)
                if (a.matrix(row, col) != b.matrix(row, col)) return true;
        return false;
    }

    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_instruments;
    TrackingInstrument m_before;  // modifyChecked's copy; guarded by m_mutex
    std::string m_mainId;
    std::uint32_t m_mainIndex = 0;
};

}  // namespace Velantor

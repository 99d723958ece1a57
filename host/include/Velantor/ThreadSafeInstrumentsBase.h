#pragma once
// The interface through which a TrackingStream and the host's views reach a
// stream's instrument registry. The registry serialises every operation
// behind its own lock; all results are copies. Operations that change
// something report what changed as Flags<InstrumentModification> (an empty
// set when nothing changed or the request was refused).
//
// The stream owns its registry (TrackingStream::setInstruments) and keeps a
// typed pointer for the operations of the concrete registry.
#include <Velantor/Flags.h>
#include <Velantor/TrackingInstrument.h>

#include <Eigen/Core>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Velantor {

class ThreadSafeInstrumentsBase {
public:
    // Called with the instrument's id and the stored instrument, under the
    // registry's lock: must not call back into the same registry.
    using ModifyFunction = std::function<void(const std::string&, TrackingInstrument&)>;

    virtual ~ThreadSafeInstrumentsBase() = default;

    // Copies of all instruments, in byte-wise order of their ids.
    virtual std::vector<TrackingInstrument> instruments() const = 0;
    virtual std::optional<TrackingInstrument> mainInstrument() const = 0;
    virtual Flags<InstrumentModification> setMain(std::uint32_t index) = 0;
    virtual Flags<InstrumentModification> setMainById(const std::string& id) = 0;
    virtual std::uint32_t mainIndex() const = 0;
    virtual std::string mainId() const = 0;
    virtual std::string mainName() const = 0;
    virtual void setActive(const std::string& id, bool active) = 0;
    virtual bool isActive(const std::string& id) const = 0;
    virtual Flags<InstrumentModification> create(const TrackerID& id, bool active) = 0;
    // Adds an instrument under the first free id prefix0, prefix1, ...
    virtual Flags<InstrumentModification> createWithPrefix(const std::string& prefix,
                                                           const std::string& name,
                                                           const std::string& modelNumber,
                                                           bool active) = 0;
    virtual Flags<InstrumentModification> remove(const std::string& id) = 0;
    virtual Flags<InstrumentModification> clear() = 0;
    // Resets every instrument's tracking fields for a new frame.
    virtual Flags<InstrumentModification> prepareUpdate(std::uint64_t timestamp) = 0;
    virtual Flags<InstrumentModification> update(const std::string& id,
                                                 const Eigen::Matrix4d& matrix, double quality,
                                                 std::uint64_t timestamp, int status) = 0;
    virtual Flags<InstrumentModification> modify(const std::string& id,
                                                 const ModifyFunction& fn) = 0;
    virtual Flags<InstrumentModification> modifyAll(const ModifyFunction& fn) = 0;
    virtual std::uint32_t size() const = 0;
    virtual std::optional<TrackingInstrument> find(const std::string& id) const = 0;
};

}  // namespace Velantor

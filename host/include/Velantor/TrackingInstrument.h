#pragma once
// A tracked instrument as the host knows it: its identity (TrackerID) and the
// latest pose with its quality, timestamp and status.
#include <Velantor/Flags.h>

#include <Eigen/Core>

#include <cstdint>
#include <string>

namespace Velantor {

// Identity of a tracked instrument. The ID is unique within a stream and
// never changes; the name and model number are for people.
class TrackerID {
public:
    TrackerID() = default;
    TrackerID(std::string id, std::string modelNumber = std::string(),
              std::string name = std::string())
        : m_id(std::move(id)), m_modelNumber(std::move(modelNumber)), m_name(std::move(name))
    {
    }

    const std::string& ID() const { return m_id; }
    const std::string& modelNumber() const { return m_modelNumber; }
    const std::string& name() const { return m_name; }

    void setID(const std::string& id) { m_id = id; }
    void setModelNumber(const std::string& modelNumber) { m_modelNumber = modelNumber; }
    void setName(const std::string& name) { m_name = name; }

    friend bool operator==(const TrackerID& a, const TrackerID& b)
    {
        return a.m_id == b.m_id && a.m_modelNumber == b.m_modelNumber && a.m_name == b.m_name;
    }
    friend bool operator!=(const TrackerID& a, const TrackerID& b) { return !(a == b); }

private:
    std::string m_id;
    std::string m_modelNumber;
    std::string m_name;
};

struct TrackingInstrument {
    TrackingInstrument() = default;
    explicit TrackingInstrument(TrackerID trackerId, bool isActive = true)
        : id(std::move(trackerId)), active(isActive)
    {
    }

    TrackerID id;
    // Pose of the instrument in the tracker's frame, millimetres; identity when
    // the instrument is not tracked.
    Eigen::Matrix4d matrix = Eigen::Matrix4d::Identity();
    double quality = 0.0;         // 1 is best; 0 when not tracked
    std::uint64_t timestamp = 0;  // milliseconds since the epoch (system clock)
    int status = 0;
    bool active = false;

    // Field by field; a NaN in the matrix or the quality never compares equal,
    // so an instrument holding one always counts as changed.
    friend bool operator==(const TrackingInstrument& a, const TrackingInstrument& b)
    {
        return a.id == b.id && (a.matrix.array() == b.matrix.array()).all() &&
               a.quality == b.quality && a.timestamp == b.timestamp && a.status == b.status &&
               a.active == b.active;
    }
    friend bool operator!=(const TrackingInstrument& a, const TrackingInstrument& b)
    {
        return !(a == b);
    }
};

// What a change to an instrument registry touched.
enum class InstrumentModification : unsigned {
    TrackingData = 1,    // matrix, quality, timestamp or status
    MainInstrument = 2,  // the main instrument's id or index
    InstrumentList = 4,  // an instrument added or removed, renamed or re-modelled
};
VELANTOR_DECLARE_FLAG_OPERATORS(InstrumentModification)

}  // namespace Velantor

#pragma once
// The marker positions seen in one tracking frame, with the owner of each:
// keys[i] belongs to positions[i] and is the std::hash<std::string> of the
// owning instrument's TrackerID ID, or of the empty string for a marker that
// belongs to no instrument (a stray marker). Positions are in the tracker's
// frame, millimetres.
#include <Velantor/DataComponent.h>

#include <Eigen/Core>

#include <cstdint>
#include <vector>

namespace Velantor {

class TrackingInstrumentFiducialsData : public DataComponentBase<TrackingInstrumentFiducialsData> {
public:
    std::vector<Eigen::Vector3d> positions;
    std::vector<std::uint64_t> keys;
};

}  // namespace Velantor

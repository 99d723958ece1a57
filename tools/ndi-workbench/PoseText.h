#pragma once
// How the live view words an instrument's pose and state.
#include <Velantor/TrackingInstrument.h>

#include <QString>

namespace workbench {

// A pose to show: the quality says the frame had one, and every number in it
// is finite. An untracked instrument must never show the origin as a position.
bool hasPose(const Velantor::TrackingInstrument& instrument);

// "ok" (a pose from this frame), "missing" (reported, but not seen) or
// "disabled" (no longer reported).
QString stateText(const Velantor::TrackingInstrument& instrument);

// The rotation of the pose as one angle about one axis, e.g.
// "90.0° about (0.00, 0.00, 1.00)"; "0.0°" for none.
QString rotationText(const Eigen::Matrix4d& pose);

}  // namespace workbench

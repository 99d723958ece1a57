#pragma once
// Deterministic motion of a simulated tool or stray marker. A pose depends
// only on the time since frame 0 (frame number / frame rate), so a test can
// compute exactly what the device reports for any frame number it receives.
#include <array>
#include <cstdint>

namespace ndisim {

using Vec3 = std::array<double, 3>;

// Rotation as a unit quaternion (q0, qx, qy, qz) with q0 >= 0, translation in
// millimetres, and the RMS error the device reports with it.
struct Pose {
    std::array<double, 4> q{1.0, 0.0, 0.0, 0.0};
    Vec3 t{0.0, 0.0, 0.0};
    double error = 0.0;

    Vec3 apply(const Vec3& point) const;  // rotate, then translate
};

// Each axis of the position oscillates around `center`:
//   p[i] = center[i] + amplitude[i] * sin(2 pi t / period[i] + phase[i])
// (a period of 0 keeps that axis still), and the tool turns about `axis` by
//   angle(t) = angleDeg + angularSpeedDegPerS * t.
struct Trajectory {
    Vec3 center{0.0, 0.0, -1500.0};
    Vec3 amplitude{0.0, 0.0, 0.0};
    Vec3 periodS{0.0, 0.0, 0.0};
    Vec3 phaseRad{0.0, 0.0, 0.0};
    Vec3 axis{0.0, 0.0, 1.0};
    double angleDeg = 0.0;
    double angularSpeedDegPerS = 0.0;

    Vec3 positionAt(double seconds) const;
    Pose poseAt(double seconds) const;
};

}  // namespace ndisim

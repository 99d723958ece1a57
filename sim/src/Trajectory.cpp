#include <ndisim/Trajectory.h>

#include <cmath>

namespace ndisim {

namespace {
constexpr double kPi = 3.14159265358979323846;
}

Vec3 Pose::apply(const Vec3& p) const
{
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    // Rotation matrix of a unit quaternion.
    const double r00 = 1 - 2 * (y * y + z * z), r01 = 2 * (x * y - w * z),
                 r02 = 2 * (x * z + w * y);
    const double r10 = 2 * (x * y + w * z), r11 = 1 - 2 * (x * x + z * z),
                 r12 = 2 * (y * z - w * x);
    const double r20 = 2 * (x * z - w * y), r21 = 2 * (y * z + w * x),
                 r22 = 1 - 2 * (x * x + y * y);
    return {r00 * p[0] + r01 * p[1] + r02 * p[2] + t[0],
            r10 * p[0] + r11 * p[1] + r12 * p[2] + t[1],
            r20 * p[0] + r21 * p[1] + r22 * p[2] + t[2]};
}

Vec3 Trajectory::positionAt(double seconds) const
{
    Vec3 p = center;
    for (int i = 0; i < 3; ++i) {
        if (periodS[i] > 0.0) {
            p[i] += amplitude[i] * std::sin(2.0 * kPi * seconds / periodS[i] + phaseRad[i]);
        }
    }
    return p;
}

Pose Trajectory::poseAt(double seconds) const
{
    Pose pose;
    pose.t = positionAt(seconds);
    const double norm = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    if (norm > 0.0) {
        // Reduce the angle first so that long runs keep full precision.
        double angle = std::fmod(angleDeg + angularSpeedDegPerS * seconds, 360.0) * kPi / 180.0;
        const double s = std::sin(angle / 2.0);
        pose.q = {std::cos(angle / 2.0), axis[0] / norm * s, axis[1] / norm * s,
                  axis[2] / norm * s};
        if (pose.q[0] < 0.0) {
            // q and -q are the same rotation; report the one with q0 >= 0.
            for (double& c : pose.q) c = -c;
        }
    }
    return pose;
}

}  // namespace ndisim

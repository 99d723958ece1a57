#include "PoseText.h"

#include <Eigen/Geometry>

namespace workbench {

bool hasPose(const Velantor::TrackingInstrument& instrument)
{
    return instrument.active && instrument.quality > 0.0 && instrument.matrix.allFinite();
}

QString stateText(const Velantor::TrackingInstrument& instrument)
{
    if (!instrument.active) return QStringLiteral("disabled");
    return hasPose(instrument) ? QStringLiteral("ok") : QStringLiteral("missing");
}

QString rotationText(const Eigen::Matrix4d& pose)
{
    // The 3x3 part of a reported pose is a hair off orthonormal (rounded
    // numbers); through a normalised quaternion the angle and axis stay
    // meaningful instead of drifting with it.
    const Eigen::Matrix3d m = pose.topLeftCorner<3, 3>();
    Eigen::Quaterniond q(m);
    if (!q.coeffs().allFinite() || q.norm() == 0.0) return QStringLiteral("?");
    q.normalize();
    const Eigen::AngleAxisd aa(q);
    const double degrees = aa.angle() * 180.0 / 3.14159265358979323846;
    if (degrees < 0.05) return QStringLiteral("0.0\u00b0");
    const Eigen::Vector3d& a = aa.axis();
    return QStringLiteral("%1\u00b0 about (%2, %3, %4)")
        .arg(degrees, 0, 'f', 1)
        .arg(a.x(), 0, 'f', 2)
        .arg(a.y(), 0, 'f', 2)
        .arg(a.z(), 0, 'f', 2);
}

}  // namespace workbench

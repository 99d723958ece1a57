/* Pose arithmetic on the eight-number poses of the tracking replies:
 * quaternion (scalar first), translation in millimetres, RMS error. */
#include <ndi/protocol.h>

#include <math.h>

/* The quaternion is scaled by 2 / |q|^2 rather than assumed to be of unit
 * length: the text replies carry four decimal places only, so a reported
 * quaternion is never exactly normalised. */
#define NDI_TRANSFORM_TO_MATRIX(T, in, m)                                     \
    do {                                                                      \
        T q0 = (T)(in)[0], qx = (T)(in)[1], qy = (T)(in)[2], qz = (T)(in)[3]; \
        T ww = q0 * q0, xx = qx * qx, yy = qy * qy, zz = qz * qz;             \
        T norm = ww + xx + yy + zz;                                           \
        T s = norm != 0 ? (T)2 / norm : (T)0;                                 \
        T h = s / 2;                                                          \
        (m)[0] = (ww + xx - yy - zz) * h;                                     \
        (m)[1] = (qx * qy + q0 * qz) * s;                                     \
        (m)[2] = (qx * qz - q0 * qy) * s;                                     \
        (m)[3] = 0;                                                           \
        (m)[4] = (qx * qy - q0 * qz) * s;                                     \
        (m)[5] = (ww - xx + yy - zz) * h;                                     \
        (m)[6] = (qy * qz + q0 * qx) * s;                                     \
        (m)[7] = 0;                                                           \
        (m)[8] = (qx * qz + q0 * qy) * s;                                     \
        (m)[9] = (qy * qz - q0 * qx) * s;                                     \
        (m)[10] = (ww - xx - yy + zz) * h;                                    \
        (m)[11] = 0;                                                          \
        (m)[12] = (T)(in)[4];                                                 \
        (m)[13] = (T)(in)[5];                                                 \
        (m)[14] = (T)(in)[6];                                                 \
        (m)[15] = 1;                                                          \
    } while (0)

void ndiTransformToMatrixf(const float transform[8], float matrix[16])
{
    NDI_TRANSFORM_TO_MATRIX(float, transform, matrix);
}

void ndiTransformToMatrixfd(const float transform[8], double matrix[16])
{
    NDI_TRANSFORM_TO_MATRIX(double, transform, matrix);
}

void ndiTransformToMatrixd(const double transform[8], double matrix[16])
{
    NDI_TRANSFORM_TO_MATRIX(double, transform, matrix);
}

void ndiAnglesFromMatrixf(float angles[3], const float m[16])
{
    float yaw = atan2f(m[1], m[0]);
    float c = cosf(yaw), s = sinf(yaw);
    angles[2] = yaw;
    angles[1] = atan2f(-m[2], c * m[0] + s * m[1]);
    angles[0] = atan2f(s * m[8] - c * m[9], c * m[5] - s * m[4]);
}

void ndiAnglesFromMatrixd(double angles[3], const double m[16])
{
    double yaw = atan2(m[1], m[0]);
    double c = cos(yaw), s = sin(yaw);
    angles[2] = yaw;
    angles[1] = atan2(-m[2], c * m[0] + s * m[1]);
    angles[0] = atan2(s * m[8] - c * m[9], c * m[5] - s * m[4]);
}

void ndiCoordsFromMatrixf(float coords[3], const float m[16])
{
    coords[0] = m[12];
    coords[1] = m[13];
    coords[2] = m[14];
}

void ndiCoordsFromMatrixd(double coords[3], const double m[16])
{
    coords[0] = m[12];
    coords[1] = m[13];
    coords[2] = m[14];
}

/* Hamilton product r = p * q, scalar first. */
static void quatMultiply(const double p[4], const double q[4], double r[4])
{
    double r0 = p[0] * q[0] - p[1] * q[1] - p[2] * q[2] - p[3] * q[3];
    double r1 = p[0] * q[1] + p[1] * q[0] + p[2] * q[3] - p[3] * q[2];
    double r2 = p[0] * q[2] - p[1] * q[3] + p[2] * q[0] + p[3] * q[1];
    double r3 = p[0] * q[3] + p[1] * q[2] - p[2] * q[1] + p[3] * q[0];
    r[0] = r0;
    r[1] = r1;
    r[2] = r2;
    r[3] = r3;
}

void ndiRelativeTransform(const double a[8], const double b[8], double out[8])
{
    const double bConj[4] = {b[0], -b[1], -b[2], -b[3]};
    double q[4];
    quatMultiply(bConj, a, q);

    /* Rotate the difference of the translations by the inverse of b's
     * rotation: conj(b) * d * b / |b|^2. */
    const double d[4] = {0.0, a[4] - b[4], a[5] - b[5], a[6] - b[6]};
    double t[4];
    quatMultiply(bConj, d, t);
    quatMultiply(t, b, t);
    double norm = b[0] * b[0] + b[1] * b[1] + b[2] * b[2] + b[3] * b[3];
    double inv = norm != 0.0 ? 1.0 / norm : 0.0;

    /* out may alias a or b: every input has been read by now. */
    out[0] = q[0];
    out[1] = q[1];
    out[2] = q[2];
    out[3] = q[3];
    out[4] = t[1] * inv;
    out[5] = t[2] * inv;
    out[6] = t[3] * inv;
    out[7] = 0.0;
}

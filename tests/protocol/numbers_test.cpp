// Number fields, hex encoding and pose arithmetic, checked against
// hand-worked values and against Eigen.
#include <gtest/gtest.h>

#include <ndi/protocol.h>

#include <Eigen/Geometry>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct HexCase {
    const char* text;
    int n;
    unsigned long expected;
};

TEST(Numbers, HexFieldsStopAtTheFirstNonDigitAndAtTheirWidth)
{
    const HexCase cases[] = {
        {"1A", 2, 0x1A},
        {"1G", 2, 0x1},
        {"\0\0\0\0", 4, 0},
        {"ff", 2, 0xFF},
        {"FFFFFFFF", 8, 0xFFFFFFFFul},
        {"12345", 3, 0x123},
        {"0A", 0, 0},
        {"0A", -1, 0},
        {" 1", 2, 0},
        {"9\n9", 3, 9},
        {"aBcD", 4, 0xABCD},
    };
    for (const HexCase& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " n=" + std::to_string(c.n));
        EXPECT_EQ(ndiHexToUnsignedLong(c.text, c.n), c.expected);
        EXPECT_EQ(ndiHexToUnsignedInt(c.text, c.n), static_cast<unsigned int>(c.expected));
    }
}

struct SignedCase {
    const char* text;
    int n;
    long expected;
};

TEST(Numbers, SignedFieldsNeedASignAndStopAtTheirWidth)
{
    const SignedCase cases[] = {
        {"+012345", 7, 12345}, {"-000150", 7, -150},   {"012345", 6, 0},
        {"-", 1, 0},           {"+1", 1, 0},           {"-12", 2, -1},
        {"+12a4", 5, 12},      {"+0123456", 7, 12345}, {"- 5", 3, 0},
    };
    for (const SignedCase& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " n=" + std::to_string(c.n));
        EXPECT_EQ(ndiSignedToLong(c.text, c.n), c.expected);
    }
}

TEST(Numbers, HexEncodingWritesTwoUpperCaseDigitsPerByteAndNoTerminator)
{
    const unsigned char bytes[] = {0x0A, 0xFF};
    char out[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(ndiHexEncode(out, bytes, 2), out);
    EXPECT_EQ(std::string(out, 6), "0AFFxx");
    ndiHexEncode(out, bytes, 0);
    EXPECT_EQ(std::string(out, 6), "0AFFxx");

    unsigned char decoded[3] = {0x55, 0x55, 0x55};
    EXPECT_EQ(ndiHexDecode(decoded, "0aFFz1", 3), decoded);
    EXPECT_EQ(decoded[0], 0x0A);
    EXPECT_EQ(decoded[1], 0xFF);
    EXPECT_EQ(decoded[2], 0x01) << "a character that is not a digit counts as 0";

    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<unsigned char>(i);
    }
    std::vector<char> text(512);
    std::vector<unsigned char> back(256);
    ndiHexDecode(back.data(), ndiHexEncode(text.data(), all.data(), 256), 256);
    EXPECT_EQ(back, all);
}

Eigen::Matrix4d expectedMatrix(const double t[8])
{
    Eigen::Quaterniond q(t[0], t[1], t[2], t[3]);
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = q.normalized().toRotationMatrix();
    m.topRightCorner<3, 1>() = Eigen::Vector3d(t[4], t[5], t[6]);
    return m;
}

TEST(Pose, QuaternionToMatrixMatchesEigenInEveryPrecision)
{
    // Unit and non-unit quaternions (the latter as text replies round them),
    // and the identity at twice its length.
    const double poses[][8] = {
        {1, 0, 0, 0, 10, -20, 30.5, 0.1},
        {2, 0, 0, 0, 1, 2, 3, 0},
        {0.70710678, 0, 0, 0.70710678, 0, 0, 0, 0},
        {0.5, 0.5, -0.5, 0.5, -100.25, 0.01, 2000, 0},
        {0.1826, 0.3651, 0.5477, 0.7303, 5, 6, 7, 0},
        {-0.3, 0.9, 0.1, -0.2, 0, 0, -1500, 0},
    };
    for (const auto& t : poses) {
        SCOPED_TRACE(::testing::PrintToString(std::vector<double>(t, t + 8)));
        Eigen::Matrix4d want = expectedMatrix(t);
        float tf[8];
        for (int i = 0; i < 8; ++i) {
            tf[i] = static_cast<float>(t[i]);
        }
        double md[16], mfd[16];
        float mf[16];
        ndiTransformToMatrixd(t, md);
        ndiTransformToMatrixfd(tf, mfd);
        ndiTransformToMatrixf(tf, mf);
        for (int i = 0; i < 16; ++i) {
            // Column-major: index 4c + r is row r, column c.
            double w = want(i % 4, i / 4);
            EXPECT_NEAR(md[i], w, 1e-12) << "index " << i;
            EXPECT_NEAR(mfd[i], w, 1e-4) << "index " << i;
            EXPECT_NEAR(mf[i], w, 1e-4) << "index " << i;
        }
    }
}

TEST(Pose, NinetyDegreesAboutZ)
{
    const double t[8] = {0.70710678, 0, 0, 0.70710678, 0, 0, 0, 0};
    double m[16];
    ndiTransformToMatrixd(t, m);
    EXPECT_NEAR(m[1], 1, 1e-8);
    EXPECT_NEAR(m[4], -1, 1e-8);
    double angles[3];
    ndiAnglesFromMatrixd(angles, m);
    EXPECT_NEAR(angles[0], 0, 1e-8);
    EXPECT_NEAR(angles[1], 0, 1e-8);
    EXPECT_NEAR(angles[2], M_PI / 2, 1e-8);
}

TEST(Pose, AnglesRecoverRotationsAboutZThenYThenX)
{
    const double cases[][3] = {
        {0.1, 0.2, 0.3}, {-1.0, 0.5, 2.5}, {3.0, -1.2, -3.0}, {0, 0, 0}, {0.7, 0, -0.4},
    };
    for (const auto& a : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::vector<double>(a, a + 3)));
        Eigen::Matrix4d r = Eigen::Matrix4d::Identity();
        r.topLeftCorner<3, 3>() = (Eigen::AngleAxisd(a[2], Eigen::Vector3d::UnitZ()) *
                                   Eigen::AngleAxisd(a[1], Eigen::Vector3d::UnitY()) *
                                   Eigen::AngleAxisd(a[0], Eigen::Vector3d::UnitX()))
                                      .toRotationMatrix();
        r.topRightCorner<3, 1>() = Eigen::Vector3d(4, 5, 6);
        double m[16];
        float mf[16];
        for (int i = 0; i < 16; ++i) {
            m[i] = r(i % 4, i / 4);
            mf[i] = static_cast<float>(m[i]);
        }
        double angles[3], coords[3];
        float anglesf[3], coordsf[3];
        ndiAnglesFromMatrixd(angles, m);
        ndiAnglesFromMatrixf(anglesf, mf);
        ndiCoordsFromMatrixd(coords, m);
        ndiCoordsFromMatrixf(coordsf, mf);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(angles[i], a[i], 1e-9);
            EXPECT_NEAR(anglesf[i], a[i], 1e-4);
            EXPECT_EQ(coords[i], 4.0 + i);
            EXPECT_EQ(coordsf[i], 4.0f + i);
        }
    }
}

Eigen::Isometry3d isometry(const double t[8])
{
    Eigen::Isometry3d x = Eigen::Isometry3d::Identity();
    x.linear() = Eigen::Quaterniond(t[0], t[1], t[2], t[3]).normalized().toRotationMatrix();
    x.translation() = Eigen::Vector3d(t[4], t[5], t[6]);
    return x;
}

TEST(Pose, RelativeTransformExpressesAInTheFrameOfB)
{
    Eigen::Quaterniond qa(Eigen::AngleAxisd(0.8, Eigen::Vector3d(1, 2, 3).normalized()));
    Eigen::Quaterniond qb(Eigen::AngleAxisd(-1.3, Eigen::Vector3d(-2, 0.5, 1).normalized()));
    const double a[8] = {qa.w(), qa.x(), qa.y(), qa.z(), 10, 20, 30, 0.5};
    const double b[8] = {qb.w(), qb.x(), qb.y(), qb.z(), -5, 7, 100, 0.2};

    double out[8];
    ndiRelativeTransform(a, b, out);
    Eigen::Isometry3d want = isometry(b).inverse() * isometry(a);
    Eigen::Isometry3d got = isometry(out);
    EXPECT_TRUE(got.matrix().isApprox(want.matrix(), 1e-12)) << got.matrix() << "\n\n"
                                                             << want.matrix();
    EXPECT_EQ(out[7], 0.0);

    // A quaternion of twice unit length describes the same frame.
    const double b2[8] = {2 * b[0], 2 * b[1], 2 * b[2], 2 * b[3], b[4], b[5], b[6], b[7]};
    double out2[8];
    ndiRelativeTransform(a, b2, out2);
    for (int i = 4; i < 7; ++i) {
        EXPECT_NEAR(out2[i], out[i], 1e-9);
    }

    double self[8];
    ndiRelativeTransform(a, a, self);
    EXPECT_NEAR(self[0], 1, 1e-12);
    for (int i = 1; i < 7; ++i) {
        EXPECT_NEAR(self[i], 0, 1e-12) << i;
    }
}

}  // namespace

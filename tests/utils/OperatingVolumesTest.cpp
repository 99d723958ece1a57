// Decoding of SFLIST:03 replies into operating volumes, without a device.
#include "LogLines.h"

#include <NDIUtils.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

using Velantor::NDIUtils;

namespace {

// One 75-character volume record: shape, six signed 6-digit fields, and the
// 32 characters that are not read.
std::string record(char shape, const std::vector<std::string>& fields)
{
    std::string r(1, shape);
    for (const auto& f : fields) r += f;
    r.resize(43, '+');
    r += std::string(32, 'x');
    return r;
}

const std::string kCube =
    record('9', {"+012345", "-000150", "+150000", "-240000", "+000000", "-000000"});
const std::string kDome =
    record('A', {"+195000", "-150000", "+240000", "-050000", "+000050", "+999999"});

struct Case {
    const char* what;
    std::string reply;
    std::vector<std::string> names;  // expected volumes, by name
    std::vector<std::string> errors;
};

}  // namespace

TEST(OperatingVolumes, RepliesTable)
{
    const std::vector<Case> cases = {
        {"no volumes", "0", {}, {}},
        {"empty reply", "", {}, {"Query of operating volumes failed"}},
        {"count above 10", ";" + kCube, {}, {"Query of operating volumes failed"}},
        {"count below 0", "/" + kCube, {}, {"Query of operating volumes failed"}},
        {"one cube", "1" + kCube, {"Cube 123.45/-1.5/1500/-2400/0/0"}, {}},
        {"one dome", "1" + kDome, {"Dome 1950/-1500/2400/-500/0.5/9999.99"}, {}},
        {"two volumes",
         "2" + kCube + kDome,
         {"Cube 123.45/-1.5/1500/-2400/0/0", "Dome 1950/-1500/2400/-500/0.5/9999.99"},
         {}},
        {"count but shorter than one record",
         "1" + kCube.substr(0, 60),
         {},
         {"Query of operating volume 0 failed"}},
        {"two announced, one present (length 100)",
         "2" + kCube + std::string(24, ' '),
         {},
         {"Query of operating volume 1 failed"}},
        {"three announced, two present",
         "3" + kCube + kDome,
         {},
         {"Query of operating volume 2 failed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NdiUtilsLog log;
        const auto volumes = NDIUtils::parseOperatingVolumes(c.reply);
        std::vector<std::string> names;
        for (const auto& v : volumes) names.push_back(v.name);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(log.errors(), c.errors);
        ASSERT_FALSE(log.lines().empty());
        EXPECT_EQ(log.lines().front(), "1|" + c.reply)
            << "the reply is logged at debug level first";
        EXPECT_TRUE(log.allWithoutSource());
    }
}

TEST(OperatingVolumes, ParametersShapeAndUnreadableFields)
{
    const std::string reply =
        "2" + kCube +
        record('8', {"+ 12345", "+12 345", "+00010x", "?000100", "-00a000", "-099999"});
    const auto volumes = NDIUtils::parseOperatingVolumes(reply);
    ASSERT_EQ(volumes.size(), 2u);

    EXPECT_TRUE(volumes[0].isCube);
    const std::array<double, 6> cube = {123.45, -1.5, 1500.0, -2400.0, 0.0, 0.0};
    EXPECT_EQ(volumes[0].parameters, cube);
    EXPECT_FALSE(std::signbit(volumes[0].parameters[5])) << "-000000 must read as 0, not -0";

    // Record 2, field by field: a blank in place of the first digit, a blank
    // inside, a letter at the end, a sign other than '+' (read as negative), a
    // letter inside, and a well-formed negative field.
    EXPECT_FALSE(volumes[1].isCube);
    const std::array<double, 6> dome = {0.0, 0.0, 0.0, -1.0, 0.0, -999.99};
    EXPECT_EQ(volumes[1].parameters, dome);
    EXPECT_EQ(volumes[1].name, "Dome 0/0/0/-1/0/-999.99");
}

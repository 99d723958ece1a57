// Tool-definition images of markers: the simulator reads the bytes at fixed
// offsets, so the layout is checked byte by byte; hostile images are refused.
#include <Velantor/Log.h>
#include <Velantor/OpticalTrackingInterface.h>
#include <Velantor/OpticalTrackingMarkerIO.h>
#include <Velantor/ToolDefinitionImageLayout.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

using namespace Velantor;
namespace L = ToolDefinitionImageLayout;

namespace {

float floatAt(const std::vector<std::uint8_t>& b, std::size_t at)
{
    const std::uint32_t bits = std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 |
                               std::uint32_t(b[at + 2]) << 16 | std::uint32_t(b[at + 3]) << 24;
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

std::vector<std::uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(OpticalTrackingMarkerIO, WritesTheDocumentedLayoutAndReadsItBack)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.path().toStdString() + "/marker_100000.rom";
    OpticalTrackingMarker m("pointer", 100000u, {{1.5f, -2, 3}, {-40, 0.25, 1000}});
    ASSERT_TRUE(OpticalTrackingMarkerIO::saveToFile(m, path));

    const auto bytes = readFile(path);
    ASSERT_EQ(bytes.size(), L::kImageSize);
    EXPECT_EQ(std::memcmp(bytes.data(), "NDI", 4), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + L::kSecondMagicOffset, "NDI", 4), 0);
    EXPECT_EQ(bytes[L::kMarkerCountOffset], 2);
    EXPECT_EQ(floatAt(bytes, 12), 1.5f);
    EXPECT_EQ(floatAt(bytes, 16), -2.f);
    EXPECT_EQ(floatAt(bytes, 20), 3.f);
    EXPECT_EQ(floatAt(bytes, 24), -40.f);
    EXPECT_EQ(floatAt(bytes, 32), 1000.f);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + L::kPartNumberOffset)),
              "100000")
        << "without a part number the marker id stands in";
    for (std::size_t i = 12 + 2 * 12; i < L::kSecondMagicOffset; ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;

    auto back = OpticalTrackingMarkerIO::loadFromFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->geometry(), m.geometry());
    EXPECT_EQ(back->partNumber(), "100000");

    m.setPartNumber("12345678901234567890");  // exactly fills the field
    ASSERT_TRUE(OpticalTrackingMarkerIO::saveToFile(m, path));
    EXPECT_EQ(OpticalTrackingMarkerIO::loadFromFile(path)->partNumber(), "12345678901234567890");
}

TEST(OpticalTrackingMarkerIO, RefusesMarkersTheImageCannotHold)
{
    LogCapture log(true);
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/m.rom";
    OpticalTrackingMarker::Geometry many(21, Eigen::Vector3d(1, 2, 3));
    const OpticalTrackingMarker bad[] = {
        OpticalTrackingMarker("many", 1u, many),
        OpticalTrackingMarker("nan", 1u, {{0, std::nan(""), 0}}),
        OpticalTrackingMarker("huge", 1u, {{1e300, 0, 0}}),
    };
    for (const auto& m : bad) {
        SCOPED_TRACE(m.name());
        EXPECT_FALSE(OpticalTrackingMarkerIO::saveToFile(m, path));
        EXPECT_FALSE(Filesystem::Path(path).exists()) << "nothing half-written is left";
    }
    OpticalTrackingMarker longPart("p", 1u);
    longPart.setPartNumber(std::string(21, '9'));
    EXPECT_FALSE(OpticalTrackingMarkerIO::saveToFile(longPart, path));
    EXPECT_FALSE(OpticalTrackingMarkerIO::saveToFile(OpticalTrackingMarker("ok"),
                                                     dir.path().toStdString() + "/no/dir.rom"));
    EXPECT_EQ(log.messages("OpticalTrackingMarkerIO").size(), 5u);
}

TEST(OpticalTrackingMarkerIO, RefusesHostileImages)
{
    const auto good =
        *OpticalTrackingMarkerIO::toImage(OpticalTrackingMarker("m", 5u, {{1, 2, 3}}));
    struct Case {
        const char* what;
        std::size_t size;
        std::vector<std::pair<std::size_t, std::uint8_t>> edits;
    };
    const Case cases[] = {
        {"short", L::kImageSize - 1, {}},
        {"bad first magic", L::kImageSize, {{1, 'X'}}},
        {"bad second magic", L::kImageSize, {{L::kSecondMagicOffset, 0}}},
        {"too many spheres", L::kImageSize, {{L::kMarkerCountOffset, 21}}},
        {"NaN coordinate", L::kImageSize, {{12 + 2, 0xc0}, {12 + 3, 0x7f}}},  // x = 0x7fc00000
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto image = good;
        for (const auto& [at, value] : c.edits) image[at] = value;
        std::string why;
        EXPECT_FALSE(OpticalTrackingMarkerIO::fromImage(image.data(), c.size, &why));
        EXPECT_FALSE(why.empty());
    }
    EXPECT_FALSE(OpticalTrackingMarkerIO::fromImage(nullptr, 752));
    EXPECT_TRUE(OpticalTrackingMarkerIO::fromImage(good.data(), good.size()));
}

TEST(OpticalTrackingInterface, AddsAMarkerFromAToolDefinitionFile)
{
    // The host's own path-based registration reads the image back and hands
    // the marker to the stream's implementation.
    struct Collector : OpticalTrackingInterface {
        using OpticalTrackingInterface::addTrackingMarker;
        int capabilities() const override { return MarkerTracking; }
        std::string addTrackingMarker(std::unique_ptr<OpticalTrackingMarker> m) override
        {
            markers.push_back(*m);
            return "id-" + m->name();
        }
        std::unique_ptr<OpticalTrackingMarker> trackingMarker(const std::string&) const override
        {
            return nullptr;
        }
        bool removeTrackingMarker(const std::string&) override { return false; }
        std::vector<OpticalTrackingMarker> markers;
    } c;
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/probe.rom";
    const OpticalTrackingMarker m("ignored", 9u, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    ASSERT_TRUE(OpticalTrackingMarkerIO::saveToFile(m, path));

    EXPECT_EQ(c.addTrackingMarker(path, "pointer"), "id-pointer");
    EXPECT_EQ(c.addTrackingMarker(path, ""), "id-probe")
        << "an empty name falls back to the file's base name";
    ASSERT_EQ(c.markers.size(), 2u);
    EXPECT_EQ(c.markers[0].geometry(), m.geometry());
    EXPECT_FALSE(c.markers[0].markerId());

    LogCapture log(true);
    std::ofstream(dir.path().toStdString() + "/junk.rom") << "not a tool definition";
    EXPECT_EQ(c.addTrackingMarker(dir.path().toStdString() + "/junk.rom", "junk"), "");
    EXPECT_EQ(c.addTrackingMarker(dir.path().toStdString() + "/missing.rom", "gone"), "");
    EXPECT_EQ(c.markers.size(), 2u);
    EXPECT_EQ(log.messages("OpticalTrackingInterface").size(), 2u);
}

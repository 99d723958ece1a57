// The placeholder tool definition: compiled in, compressed, registered
// without any call, identical to the committed file and to what its
// generator writes, and laid out as the simulator and the upload expect.
#include <Velantor/ToolDefinitionImageLayout.h>

#include "ToolImageBytes.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QResource>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>

namespace Layout = Velantor::ToolDefinitionImageLayout;

using toolimage::floatAt;
using toolimage::readAll;

// Nothing in this program registers the collection: linking the library
// that carries it must be enough.
TEST(PlaceholderTool, ResourceIsRegisteredAndCompressed)
{
    QResource resource(":/tools/dummy_tool.rom");
    ASSERT_TRUE(resource.isValid());
    EXPECT_EQ(resource.compressionAlgorithm(), QResource::ZlibCompression);
    const QByteArray image = readAll(":/tools/dummy_tool.rom");
    ASSERT_EQ(image.size(), 752);
    EXPECT_EQ(image, readAll(NDI_COMMITTED_DUMMY_TOOL));
}

TEST(PlaceholderTool, GeneratorReproducesTheCommittedFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString out = dir.filePath("dummy_tool.rom");
    QProcess generator;
    generator.start(NDI_TOOL_IMAGE_GENERATOR, {out});
    ASSERT_TRUE(generator.waitForFinished(60000));
    ASSERT_EQ(generator.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(generator.exitCode(), 0) << generator.readAllStandardError().toStdString();
    EXPECT_EQ(readAll(out), readAll(NDI_COMMITTED_DUMMY_TOOL));
}

TEST(PlaceholderTool, Layout)
{
    const QByteArray image = readAll(":/tools/dummy_tool.rom");
    ASSERT_EQ(std::size_t(image.size()), Layout::kImageSize);
    EXPECT_EQ(image.left(4), QByteArray("NDI\0", 4));
    EXPECT_EQ(image.mid(580, 4), QByteArray("NDI\0", 4));
    EXPECT_EQ(image.mid(592, 20), QByteArray("999999999") + QByteArray(11, '\0'));

    const int markers = static_cast<unsigned char>(image[int(Layout::kMarkerCountOffset)]);
    ASSERT_GE(markers, 3) << "a tool needs three markers to have a pose";
    ASSERT_LE(std::size_t(markers), Layout::kMaxMarkers);
    // Distinct pairwise distances: the geometry has no symmetry a camera
    // could confuse.
    std::vector<float> distances;
    for (int a = 0; a < markers; ++a)
        for (int b = a + 1; b < markers; ++b) {
            float d2 = 0;
            for (int axis = 0; axis < 3; ++axis) {
                const float d =
                    floatAt(image, Layout::kMarkersOffset + a * Layout::kMarkerStride + axis * 4) -
                    floatAt(image, Layout::kMarkersOffset + b * Layout::kMarkerStride + axis * 4);
                d2 += d * d;
            }
            for (float other : distances) EXPECT_GT(std::abs(other - d2), 1.0f);
            distances.push_back(d2);
        }
    // Everything outside the listed fields is zero.
    for (int i = 0; i < image.size(); ++i) {
        const bool listed = i < 4 || i == int(Layout::kMarkerCountOffset) ||
                            (i >= int(Layout::kMarkersOffset) &&
                             i < int(Layout::kMarkersOffset + markers * Layout::kMarkerStride)) ||
                            (i >= 580 && i < 584) || (i >= 592 && i < 612);
        if (!listed) {
            EXPECT_EQ(image[i], '\0') << "byte " << i;
        }
    }
}

// The tool-definition image generator's command line: the images it writes for
// a given part number and geometry, and the input it turns away without
// writing anything.
#include <Velantor/ToolDefinitionImageLayout.h>

#include "ToolImageBytes.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace Layout = Velantor::ToolDefinitionImageLayout;

namespace {

struct Outcome {
    int exitCode = -1;
    QByteArray standardError;
    QByteArray standardOutput;
};

Outcome generate(const QStringList& arguments)
{
    QProcess generator;
    generator.start(NDI_TOOL_IMAGE_GENERATOR, arguments);
    Outcome run;
    if (!generator.waitForFinished(60000) || generator.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = generator.exitCode();
    run.standardError = generator.readAllStandardError();
    run.standardOutput = generator.readAllStandardOutput();
    return run;
}

using toolimage::floatAt;
using toolimage::readAll;

using Marker = std::array<float, 3>;

std::vector<Marker> manyMarkers(int n)
{
    std::vector<Marker> markers;
    for (int i = 0; i < n; ++i) markers.push_back({float(i), float(-2 * i), 0.5f});
    return markers;
}

QStringList markerOptions(const std::vector<Marker>& markers)
{
    QStringList options;
    for (const Marker& m : markers)
        options << QString("--marker=%1,%2,%3").arg(m[0]).arg(m[1]).arg(m[2]);
    return options;
}

}  // namespace

TEST(ToolImageGenerator, WritesTheGivenPartNumberAndGeometry)
{
    const std::vector<Marker> placeholder = {{0, 0, 0}, {0, 50, 0}, {25, 95, 0}, {-30, 130, 0}};
    struct Case {
        const char* what;
        QStringList options;
        std::string partNumber;
        std::vector<Marker> markers;
    };
    const std::vector<Case> cases = {
        {"defaults", {}, "999999999", placeholder},
        {"part number only keeps the placeholder's geometry",
         {"--part-number", "8700340"},
         "8700340",
         placeholder},
        {"separate values, negative and fractional coordinates",
         {"--part-number", "610062-3AAA", "--marker", "0,0,0", "--marker", "-44.32,28.59,41.02",
          "--marker", " 0 , 0 , 88 "},
         "610062-3AAA",
         {{0, 0, 0}, {-44.32f, 28.59f, 41.02f}, {0, 0, 88}}},
        {"coordinates at the limit", {"--marker=-1000,1000,0"}, "999999999", {{-1000, 1000, 0}}},
        {"no geometry", {"--no-markers", "--part-number=8700449"}, "8700449", {}},
        {"longest part number",
         {"--part-number", "ABCDEFGHIJ123456789"},
         "ABCDEFGHIJ123456789",
         placeholder},
        {"most markers", markerOptions(manyMarkers(int(Layout::kMaxMarkers))), "999999999",
         manyMarkers(int(Layout::kMaxMarkers))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString out = dir.filePath("tool.rom");
        const Outcome run = generate(QStringList(c.options) << out);
        ASSERT_EQ(run.exitCode, 0) << run.standardError.toStdString();
        const QByteArray image = readAll(out);
        ASSERT_EQ(std::size_t(image.size()), Layout::kImageSize);

        EXPECT_EQ(image.mid(int(Layout::kMagicOffset), 4), QByteArray(Layout::kMagic, 4));
        EXPECT_EQ(image.mid(int(Layout::kSecondMagicOffset), 4), QByteArray(Layout::kMagic, 4));
        const QByteArray field =
            image.mid(int(Layout::kPartNumberOffset), int(Layout::kPartNumberLength));
        EXPECT_EQ(field,
                  QByteArray::fromStdString(c.partNumber) +
                      QByteArray(int(Layout::kPartNumberLength - c.partNumber.size()), '\0'));
        ASSERT_EQ(std::size_t(static_cast<unsigned char>(image[int(Layout::kMarkerCountOffset)])),
                  c.markers.size());
        for (std::size_t m = 0; m < c.markers.size(); ++m)
            for (std::size_t axis = 0; axis < 3; ++axis)
                EXPECT_EQ(
                    floatAt(image, Layout::kMarkersOffset + m * Layout::kMarkerStride + axis * 4),
                    c.markers[m][axis])
                    << "marker " << m << " axis " << axis;

        // Nothing but the listed fields: no stale bytes from an earlier tool.
        const std::size_t markersEnd =
            Layout::kMarkersOffset + c.markers.size() * Layout::kMarkerStride;
        for (std::size_t i = 0; i < Layout::kImageSize; ++i) {
            const bool listed =
                i < 4 || i == Layout::kMarkerCountOffset ||
                (i >= Layout::kMarkersOffset && i < markersEnd) ||
                (i >= Layout::kSecondMagicOffset && i < Layout::kSecondMagicOffset + 4) ||
                (i >= Layout::kPartNumberOffset &&
                 i < Layout::kPartNumberOffset + Layout::kPartNumberLength);
            if (!listed) {
                EXPECT_EQ(image[int(i)], '\0') << "byte " << i;
            }
        }
    }
}

TEST(ToolImageGenerator, RejectsBadInputWithoutWritingAFile)
{
    struct Case {
        QStringList options;
        const char* message;  // part of what the generator says
    };
    const std::vector<Case> cases = {
        {{"--part-number", ""}, "--part-number"},
        {{"--part-number", "ABCDEFGHIJ1234567890"}, "longer than 19"},
        {{"--part-number", "8700 340"}, "printable ASCII"},
        {{"--part-number", QString::fromUtf8("87003\xc3\xa4")}, "printable ASCII"},
        {{"--part-number", "1", "--part-number", "2"}, "more than once"},
        {{"--marker", "1,2"}, "X,Y,Z"},
        {{"--marker", "1,2,3,4"}, "X,Y,Z"},
        {{"--marker", "1,,3"}, "X,Y,Z"},
        {{"--marker", "a,b,c"}, "X,Y,Z"},
        {{"--marker", "nan,0,0"}, "X,Y,Z"},
        {{"--marker", "0,inf,0"}, "X,Y,Z"},
        {{"--marker", "0,0,1e39"}, "1000 mm"},
        {{"--marker", "1000.5,0,0"}, "1000 mm"},
        {{"--marker", "0,0,0", "--no-markers"}, "exclude each other"},
        {markerOptions(manyMarkers(int(Layout::kMaxMarkers) + 1)), "at most 20"},
        {{"--marker"}, "--marker"},
        {{"--geometry", "1,2,3"}, "geometry"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString out = dir.filePath("tool.rom");
        // The output goes first: a missing option value must not swallow it.
        const Outcome run = generate(QStringList{out} << c.options);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.standardError.indexOf(c.message), -1) << run.standardError.toStdString();
        EXPECT_FALSE(QFile::exists(out));
    }
}

TEST(ToolImageGenerator, NeedsExactlyOneWritableOutput)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        QStringList arguments;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {{}, 2},
        {{dir.filePath("a.rom"), dir.filePath("b.rom")}, 2},
        {{dir.filePath("missing/tool.rom")}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const Outcome run = generate(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_FALSE(run.standardError.isEmpty());
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

TEST(ToolImageGenerator, HelpListsTheOptions)
{
    const Outcome run = generate({"--help"});
    ASSERT_EQ(run.exitCode, 0);
    for (const char* option : {"--part-number", "--marker", "--no-markers", "output"})
        EXPECT_NE(run.standardOutput.indexOf(option), -1) << option;
}

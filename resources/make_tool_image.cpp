// Writes tool-definition images in the layout of ToolDefinitionImageLayout.h.
// Without options it writes the placeholder image that the plugin uploads when
// a camera has no other passive tool, so that the camera still reports stray
// markers; with --part-number and --marker it writes the image of any other
// tool (scripts/demo makes its simulated optical tools this way). The images
// are made here rather than taken from anywhere: the plugin never interprets
// one beyond the part number, and the simulator reads only the fields of the
// layout, so those fields are all an image holds.
//
// The placeholder:
//   bytes 0-3     "NDI" and a NUL
//   byte  8       marker count: 4
//   bytes 12-59   four markers (x, y, z little-endian floats, mm) of a small
//                 planar tool whose six pairwise distances all differ, so a
//                 simulated camera could tell its pose apart unambiguously
//   bytes 580-583 "NDI" and a NUL
//   bytes 592-611 part number "999999999", NUL-padded; the part number is
//                 reserved for this placeholder
//   everything else zero, 752 bytes in all
//
// The generated placeholder is committed as resources/tools/dummy_tool.rom; a
// test checks that it still matches this program's output. To regenerate:
//   <build>/resources/ndi-make-tool-image resources/tools/dummy_tool.rom
#include <Velantor/ToolDefinitionImageLayout.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSaveFile>
#include <QTextStream>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace Layout = Velantor::ToolDefinitionImageLayout;

using Marker = std::array<float, 3>;

const std::vector<Marker> kPlaceholderMarkers = {
    {0.0f, 0.0f, 0.0f},
    {0.0f, 50.0f, 0.0f},
    {25.0f, 95.0f, 0.0f},
    {-30.0f, 130.0f, 0.0f},
};
constexpr char kPlaceholderPartNumber[] = "999999999";

// Readers take the part number up to the first NUL, so the longest one keeps
// a NUL inside its field.
constexpr std::size_t kMaxPartNumberLength = Layout::kPartNumberLength - 1;
// Tools are hand-held: a coordinate beyond a metre is a typing slip, and the
// simulator ignores such a geometry rather than track it.
constexpr double kMaxCoordinateMm = 1000.0;

// Bad input is reported here and gives exit status 2, as for an unknown option.
struct UsageError {
    QString message;
};

struct Tool {
    std::string partNumber = kPlaceholderPartNumber;
    std::vector<Marker> markers = kPlaceholderMarkers;
};

void putFloatLE(std::vector<unsigned char>& image, std::size_t offset, float value)
{
    std::uint32_t bits = 0;
    static_assert(sizeof bits == sizeof value, "IEEE-754 single precision expected");
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<unsigned char>(bits >> (8 * i));
}

std::vector<unsigned char> makeImage(const Tool& tool)
{
    std::vector<unsigned char> image(Layout::kImageSize, 0);
    std::memcpy(&image[Layout::kMagicOffset], Layout::kMagic, sizeof Layout::kMagic);
    image[Layout::kMarkerCountOffset] = static_cast<unsigned char>(tool.markers.size());
    for (std::size_t m = 0; m < tool.markers.size(); ++m)
        for (std::size_t axis = 0; axis < 3; ++axis)
            putFloatLE(image, Layout::kMarkersOffset + m * Layout::kMarkerStride + axis * 4,
                       tool.markers[m][axis]);
    std::memcpy(&image[Layout::kSecondMagicOffset], Layout::kMagic, sizeof Layout::kMagic);
    std::memcpy(&image[Layout::kPartNumberOffset], tool.partNumber.data(), tool.partNumber.size());
    return image;
}

std::string parsePartNumber(const QString& text)
{
    if (text.isEmpty()) throw UsageError{"--part-number: empty"};
    if (std::size_t(text.size()) > kMaxPartNumberLength)
        throw UsageError{QString("--part-number: '%1' is longer than %2 characters")
                             .arg(text)
                             .arg(kMaxPartNumberLength)};
    // Printable ASCII without spaces: the field is fixed-width text that a
    // NUL would cut short and that devices pad with blanks or NULs.
    for (const QChar c : text)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
            throw UsageError{
                QString("--part-number: '%1' must be printable ASCII without spaces").arg(text)};
    return text.toStdString();
}

Marker parseMarker(const QString& text)
{
    const QStringList parts = text.split(',');
    const QString expected = QString("--marker: '%1' is not X,Y,Z in millimetres").arg(text);
    if (parts.size() != 3) throw UsageError{expected};
    Marker marker{};
    for (int axis = 0; axis < 3; ++axis) {
        bool ok = false;
        const double value = parts[axis].trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(value)) throw UsageError{expected};
        if (std::fabs(value) > kMaxCoordinateMm)
            throw UsageError{QString("--marker: '%1' lies more than %2 mm from the tool's origin")
                                 .arg(text)
                                 .arg(kMaxCoordinateMm)};
        marker[std::size_t(axis)] = static_cast<float>(value);
    }
    return marker;
}

Tool parseTool(const QCommandLineParser& parser, const QCommandLineOption& partNumber,
               const QCommandLineOption& marker, const QCommandLineOption& noMarkers)
{
    Tool tool;
    if (parser.isSet(partNumber)) {
        const QStringList values = parser.values(partNumber);
        if (values.size() > 1) throw UsageError{"--part-number given more than once"};
        tool.partNumber = parsePartNumber(values.front());
    }
    if (parser.isSet(noMarkers) && parser.isSet(marker))
        throw UsageError{"--no-markers and --marker exclude each other"};
    if (parser.isSet(noMarkers)) tool.markers.clear();
    if (parser.isSet(marker)) {
        tool.markers.clear();
        for (const QString& value : parser.values(marker))
            tool.markers.push_back(parseMarker(value));
        if (tool.markers.size() > Layout::kMaxMarkers)
            throw UsageError{QString("--marker: %1 markers given, an image holds at most %2")
                                 .arg(tool.markers.size())
                                 .arg(Layout::kMaxMarkers)};
    }
    return tool;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("ndi-make-tool-image");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Writes a 752-byte tool-definition image. Without options it is the placeholder that "
        "the plugin carries as :/tools/dummy_tool.rom (part number 999999999, four markers).");
    parser.addHelpOption();
    const QCommandLineOption partNumber(
        "part-number",
        QString("The tool's part number: 1 to %1 printable ASCII characters, no spaces "
                "(default 999999999).")
            .arg(kMaxPartNumberLength),
        "text");
    const QCommandLineOption marker(
        "marker",
        QString("A marker at X,Y,Z millimetres in tool coordinates, each within +-%1; repeat "
                "for each marker, up to %2 (default: the placeholder's four).")
            .arg(kMaxCoordinateMm)
            .arg(Layout::kMaxMarkers),
        "x,y,z");
    const QCommandLineOption noMarkers(
        "no-markers", "An image without geometry: the device uses what it knows of the part.");
    parser.addOption(partNumber);
    parser.addOption(marker);
    parser.addOption(noMarkers);
    parser.addPositionalArgument("output", "File to write, e.g. resources/tools/dummy_tool.rom.");

    QTextStream err(stderr);
    if (!parser.parse(QCoreApplication::arguments())) {
        err << "ndi-make-tool-image: " << parser.errorText() << " (see --help)\n";
        return 2;
    }
    if (parser.isSet("help") || parser.isSet("help-all")) parser.showHelp(0);

    Tool tool;
    try {
        tool = parseTool(parser, partNumber, marker, noMarkers);
    } catch (const UsageError& e) {
        err << "ndi-make-tool-image: " << e.message << " (see --help)\n";
        return 2;
    }
    const QStringList args = parser.positionalArguments();
    if (args.size() != 1) {
        err << "ndi-make-tool-image: exactly one output file expected (see --help)\n";
        return 2;
    }

    const std::vector<unsigned char> image = makeImage(tool);
    // Replaced only once complete: a failed write must not leave a cut image
    // behind that a later upload would take for a tool.
    QSaveFile out(args.front());
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size())) !=
            static_cast<qint64>(image.size()) ||
        !out.commit()) {
        err << "ndi-make-tool-image: cannot write " << args.front() << ": " << out.errorString()
            << "\n";
        return 1;
    }
    return 0;
}

// Writes the placeholder tool-definition image that the plugin uploads when a
// camera has no other passive tool, so that the camera still reports stray
// markers. The image is made here rather than taken from anywhere: the plugin
// never interprets it beyond the part number, and the simulator reads only
// the fields of ToolDefinitionImageLayout.h, so those fields are all it holds.
//
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
// The generated file is committed as resources/tools/dummy_tool.rom; a test
// checks that it still matches this program's output. To regenerate:
//   <build>/resources/ndi-make-dummy-tool resources/tools/dummy_tool.rom
#include <Velantor/ToolDefinitionImageLayout.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

namespace Layout = Velantor::ToolDefinitionImageLayout;

constexpr std::array<std::array<float, 3>, 4> kMarkers = {{
    {0.0f, 0.0f, 0.0f},
    {0.0f, 50.0f, 0.0f},
    {25.0f, 95.0f, 0.0f},
    {-30.0f, 130.0f, 0.0f},
}};
constexpr char kPartNumber[] = "999999999";

void putFloatLE(std::vector<unsigned char>& image, std::size_t offset, float value) {
  std::uint32_t bits = 0;
  static_assert(sizeof bits == sizeof value, "IEEE-754 single precision expected");
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<unsigned char>(bits >> (8 * i));
}

std::vector<unsigned char> makeImage() {
  std::vector<unsigned char> image(Layout::kImageSize, 0);
  std::memcpy(&image[Layout::kMagicOffset], Layout::kMagic, sizeof Layout::kMagic);
  image[Layout::kMarkerCountOffset] = static_cast<unsigned char>(kMarkers.size());
  for (std::size_t m = 0; m < kMarkers.size(); ++m)
    for (std::size_t axis = 0; axis < 3; ++axis)
      putFloatLE(image, Layout::kMarkersOffset + m * Layout::kMarkerStride + axis * 4, kMarkers[m][axis]);
  std::memcpy(&image[Layout::kSecondMagicOffset], Layout::kMagic, sizeof Layout::kMagic);
  static_assert(sizeof kPartNumber <= Layout::kPartNumberLength, "part number must fit its field");
  std::memcpy(&image[Layout::kPartNumberOffset], kPartNumber, sizeof kPartNumber - 1);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("ndi-make-dummy-tool");
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Writes the 752-byte placeholder tool-definition image (part number 999999999, "
      "four markers) that the plugin carries as :/tools/dummy_tool.rom.");
  parser.addHelpOption();
  parser.addPositionalArgument("output", "File to write, e.g. resources/tools/dummy_tool.rom.");
  parser.process(app);

  const QStringList args = parser.positionalArguments();
  QTextStream err(stderr);
  if (args.size() != 1) {
    err << "ndi-make-dummy-tool: exactly one output file expected (see --help)\n";
    return 2;
  }
  const std::vector<unsigned char> image = makeImage();
  QFile out(args.front());
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      out.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size())) !=
          static_cast<qint64>(image.size()) ||
      !out.flush()) {
    err << "ndi-make-dummy-tool: cannot write " << args.front() << ": " << out.errorString() << "\n";
    return 1;
  }
  return 0;
}

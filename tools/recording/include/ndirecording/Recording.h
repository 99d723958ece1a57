#pragma once
// A recorded tracking run: a header line, then one line per frame the stream
// delivered, each a JSON object (format in README.md, "Record and replay").
// ndi-track writes recordings; ndi-sim reads them to play a run back as a
// device. Numbers are written so that they read back bit for bit.
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ndi_recording {

constexpr const char* kFormatName = "ndi-track-recording";
constexpr int kFormatVersion = 1;

// A tool of the run, as the stream named it.
struct RecordedTool {
    std::string id;
    std::string name;
    std::string model;
    int port = 0;  // physical port of a wired tool; 0 for optical tools
};

// The physical port an Aurora tool's id carries ("ndi-aurora-" PORT "-"
// PART); 0 for any other id.
int auroraPortOfId(const std::string& id);

// A tool-definition file the run was asked to load.
struct ToolFile {
    std::string kind;  // "rom" or "marker"
    std::string name;
    std::string path;
    int port = 0;  // rom: the port it was meant for; marker: 0
};

struct RecordingHeader {
    std::string family;  // "aurora", "polaris" or "vega"
    std::string device;  // serial device or camera address as given ("auto" included)
    std::vector<RecordedTool> tools;
    std::vector<ToolFile> files;
    std::string startUtc;      // ISO 8601 in UTC, nanoseconds
    std::int64_t startNs = 0;  // the same instant: system clock, ns since the epoch
};

enum class ToolState { Ok, Missing, Disabled };
const char* stateName(ToolState state);

struct RecordedInstrument {
    std::string id;
    std::string name;
    std::string model;
    ToolState state = ToolState::Missing;
    bool active = false;
    int status = 0;
    double quality = 0.0;
    std::uint64_t stampMs = 0;  // the instrument's own timestamp, ms since the epoch
    // The 4x4 pose, row by row: rotation in [0..2], [4..6], [8..10],
    // translation (mm) in [3], [7], [11].
    std::array<double, 16> matrix{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

struct RecordedMarker {
    std::string owner;                 // the id of the tool it sits on; empty for a stray marker
    std::array<double, 3> position{};  // mm
};

struct RecordedFrame {
    std::uint64_t seq = 0;      // 1, 2, ... in the order the stream delivered them
    std::int64_t offsetNs = 0;  // when ndi-track got it, ns after the header's start (monotonic)
    std::uint64_t stampMs = 0;  // the frame's own timestamp, ms since the epoch
    std::string mainId;
    std::vector<RecordedInstrument> instruments;
    std::vector<RecordedMarker> markers;
};

struct Recording {
    RecordingHeader header;
    std::vector<RecordedFrame> frames;
};

// One line each, newline included.
std::string headerLine(const RecordingHeader& header);
std::string frameLine(const RecordedFrame& frame);

// A recording that cannot be read; what() names the line and what is wrong.
class RecordingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Caps that keep a hostile or broken file from taking the memory: a real
// frame holds at most 24 tools and some hundred markers.
struct ReadLimits {
    std::size_t maxBytes = std::size_t{1} << 30;
    std::size_t maxLineBytes = std::size_t{1} << 20;
    std::size_t maxFrames = 20'000'000;
    std::size_t maxTools = 64;
    std::size_t maxMarkers = 4096;
    std::size_t maxTextBytes = 4096;
};

// Throws RecordingError.
Recording parseRecording(const std::string& text, const ReadLimits& limits = {});
Recording readRecording(const std::string& path, const ReadLimits& limits = {});

}  // namespace ndi_recording

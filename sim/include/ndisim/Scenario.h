#pragma once
// What a simulated measurement system is and what it sees: its family, frame
// rate, operating volumes, tools, stray markers and faults. Read from a JSON
// file (format in sim/README.md) or taken from a built-in default.
#include <ndisim/Faults.h>
#include <ndisim/Family.h>
#include <ndisim/Trajectory.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ndisim {

struct Playback;

// Inclusive range of frame numbers.
struct FrameRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    bool contains(std::uint32_t frame) const { return frame >= first && frame <= last; }
};

struct ToolDescription {
    std::string name;        // for people reading the status; not sent
    std::string partNumber;  // up to 20 characters
    // 31 characters: tool type (8), manufacturer (12), revision (3), serial
    // number (8). Shorter texts are padded with blanks.
    std::string toolInfo;
    int port = 0;               // physical port of a wired tool (1..99); 0 for a wireless tool
    int channel = 0;            // channel on that port
    std::vector<Vec3> markers;  // tool coordinates, mm; an uploaded image's geometry wins
    Trajectory trajectory;
    double rmsError = 0.1;             // mm
    std::vector<FrameRange> missing;   // out of view in these frames
    std::vector<FrameRange> disabled;  // reported disabled in these frames
};

struct StrayMarker {
    Trajectory trajectory;  // only the position is used
    std::vector<FrameRange> missing;
};

struct OperatingVolume {
    char shape = '9';            // '9' cube, anything else a dome or other shape
    double parameters[10] = {};  // mm; the first six are what hosts read
};

struct Scenario {
    Family family = Family::Polaris;
    double frameRate = 60.0;  // 20 to 400 Hz
    std::uint32_t firstFrame = 1;
    std::string model;  // first line of the VER reply
    std::string serialNumber;
    std::string firmware;              // value of Features.Firmware.Version
    bool getInfo = true;               // older systems answer GETINFO with ERROR01
    bool trackUnmatchedTools = false;  // uploaded images with no tool here: tracked, or missing
    int maxPortHandles = 16;
    bool wireTime = false;  // serial: bytes take their time on the wire (WireTime.h)
    std::vector<OperatingVolume> volumes;
    std::vector<ToolDescription> tools;
    std::vector<StrayMarker> strays;
    Faults faults;
    // A recorded run played back (Playback.h): when set, the tools' poses and
    // the strays come from it, frame by frame, instead of from trajectories.
    std::shared_ptr<const Playback> playback;
};

Scenario defaultScenario(Family family);

// Reads a scenario; throws std::runtime_error with a message naming the
// offending entry when the text is not a valid scenario.
Scenario parseScenario(const std::string& json);
Scenario loadScenario(const std::string& path);

// The simulated state of a tool in one frame.
enum class Visibility { Visible, Missing, Disabled };
struct ToolFrame {
    Visibility visibility = Visibility::Visible;
    Pose pose;
};
ToolFrame toolFrameAt(const ToolDescription& tool, std::uint32_t frame, double frameRate);
bool strayVisibleAt(const StrayMarker& stray, std::uint32_t frame);
Vec3 strayPositionAt(const StrayMarker& stray, std::uint32_t frame, double frameRate);

}  // namespace ndisim

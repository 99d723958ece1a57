#include <ndisim/Playback.h>
#include <ndisim/ReplayScenario.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>

namespace ndisim {

namespace {

using ndi_recording::RecordedInstrument;
using ndi_recording::Recording;
using ndi_recording::ToolState;

constexpr int kMostTools = 24;  // the most one tracking reply holds
constexpr std::size_t kMostStrays = 50;

// The rotation of a row-major 4x4 matrix as a unit quaternion with q0 >= 0
// (the larger-diagonal case avoids dividing by a small number), and its
// translation.
Pose poseOf(const std::array<double, 16>& m, double quality)
{
    const double r00 = m[0], r01 = m[1], r02 = m[2];
    const double r10 = m[4], r11 = m[5], r12 = m[6];
    const double r20 = m[8], r21 = m[9], r22 = m[10];
    const double trace = r00 + r11 + r22;
    double w, x, y, z;
    if (trace > 0) {
        const double s = std::sqrt(trace + 1.0) * 2;
        w = s / 4, x = (r21 - r12) / s, y = (r02 - r20) / s, z = (r10 - r01) / s;
    } else if (r00 > r11 && r00 > r22) {
        const double s = std::sqrt(1.0 + r00 - r11 - r22) * 2;
        w = (r21 - r12) / s, x = s / 4, y = (r01 + r10) / s, z = (r02 + r20) / s;
    } else if (r11 > r22) {
        const double s = std::sqrt(1.0 + r11 - r00 - r22) * 2;
        w = (r02 - r20) / s, x = (r01 + r10) / s, y = s / 4, z = (r12 + r21) / s;
    } else {
        const double s = std::sqrt(1.0 + r22 - r00 - r11) * 2;
        w = (r10 - r01) / s, x = (r02 + r20) / s, y = (r12 + r21) / s, z = s / 4;
    }
    const double norm = std::sqrt(w * w + x * x + y * y + z * z);
    const double sign = w < 0 ? -1.0 : 1.0;
    Pose pose;
    pose.q = {sign * w / norm, sign * x / norm, sign * y / norm, sign * z / norm};
    pose.t = {m[3], m[7], m[11]};
    // Hosts turn the reported error e into the quality 1 - e / 10.
    pose.error = (1.0 - quality) * 10.0;
    return pose;
}

// The tool-type code a host names a wired tool by, from the name it gave
// (a second tool of a type is "Probe 1", a third "Probe 2").
std::string toolTypeCode(const std::string& name)
{
    std::string base = name;
    const std::size_t blank = base.rfind(' ');
    if (blank != std::string::npos && blank + 1 < base.size() &&
        std::all_of(base.begin() + static_cast<std::ptrdiff_t>(blank) + 1, base.end(),
                    [](char c) { return c >= '0' && c <= '9'; }))
        base.resize(blank);
    static const std::map<std::string, std::string> codes{{"Reference", "01"},
                                                          {"Probe", "02"},
                                                          {"Wire", "02"},
                                                          {"Stylus", "021"},
                                                          {"Switch", "03"},
                                                          {"Microscope", "05"},
                                                          {"Calibration Device", "07"},
                                                          {"Strober", "08"},
                                                          {"C-Arm", "0A"},
                                                          {"Catheter", "0B"}};
    const auto it = codes.find(base);
    // A name the user gave tells nothing of the type: the replaying host
    // names the tool by the file it loads for the port, as it did then.
    return it == codes.end() ? "00" : it->second;
}

std::string toolInformation(const std::string& name, std::size_t serial)
{
    std::string type = toolTypeCode(name);
    type.resize(8, '0');
    char number[16];
    std::snprintf(number, sizeof number, "%08zu", serial % 100000000);
    return type + "NDI         " + "001" + number;
}

// The markers of a tool in its own coordinates, from the first frame that
// saw it with its markers: the device moves them with each replayed pose
// (a host's uploaded image, when it describes markers, wins as always).
std::vector<Vec3> recordedGeometry(const Recording& recording, const std::string& id)
{
    for (const auto& f : recording.frames) {
        const RecordedInstrument* tool = nullptr;
        for (const RecordedInstrument& i : f.instruments)
            if (i.id == id && i.state == ToolState::Ok) tool = &i;
        if (!tool) continue;
        std::vector<Vec3> geometry;
        const auto& m = tool->matrix;
        for (const auto& marker : f.markers) {
            if (marker.owner != id) continue;
            const double d[3] = {marker.position[0] - m[3], marker.position[1] - m[7],
                                 marker.position[2] - m[11]};
            // The inverse of a rotation is its transpose.
            geometry.push_back({m[0] * d[0] + m[4] * d[1] + m[8] * d[2],
                                m[1] * d[0] + m[5] * d[1] + m[9] * d[2],
                                m[2] * d[0] + m[6] * d[1] + m[10] * d[2]});
        }
        // A tool-definition image describes at most 20 markers.
        if (geometry.size() > 20)
            throw std::runtime_error("replay: tool " + id + " carries more than 20 markers");
        if (!geometry.empty()) return geometry;
    }
    return {};
}

struct ToolKey {
    std::string id;
    std::string name;
    std::string model;
    int port = 0;
};

}  // namespace

Scenario replayScenario(const Recording& recording, double speed, bool loop)
{
    const std::optional<Family> family = familyFromName(recording.header.family);
    if (!family) throw std::runtime_error("replay: unknown family " + recording.header.family);
    if (recording.frames.empty()) throw std::runtime_error("replay: the recording holds no frames");
    if (!(speed > 0) || !std::isfinite(speed))
        throw std::runtime_error("replay: the speed must be a positive number");

    // The header's tools first, then any a later frame brought, in order of
    // appearance: each becomes one tool of the device.
    std::vector<ToolKey> tools;
    std::map<std::string, std::size_t> indexOf;
    auto add = [&](const std::string& id, const std::string& name, const std::string& model,
                   int port) {
        if (indexOf.count(id)) return;
        indexOf[id] = tools.size();
        tools.push_back({id, name, model, port});
    };
    for (const auto& t : recording.header.tools) add(t.id, t.name, t.model, t.port);
    for (const auto& f : recording.frames)
        for (const RecordedInstrument& i : f.instruments) add(i.id, i.name, i.model, 0);
    if (tools.size() > static_cast<std::size_t>(kMostTools))
        throw std::runtime_error("replay: more than 24 tools");

    Scenario s = defaultScenario(*family);
    s.strays.clear();
    s.tools.clear();
    s.maxPortHandles = std::max(s.maxPortHandles, static_cast<int>(tools.size()));
    std::map<int, std::string> ports;
    for (std::size_t k = 0; k < tools.size(); ++k) {
        const ToolKey& key = tools[k];
        ToolDescription d;
        d.name = key.name;
        if (*family == Family::Aurora) {
            d.port = key.port ? key.port : ndi_recording::auroraPortOfId(key.id);
            if (d.port == 0)
                throw std::runtime_error("replay: tool " + key.id +
                                         " has no port: an Aurora tool is replayed on its port");
            if (!ports.emplace(d.port, key.id).second)
                throw std::runtime_error("replay: tools " + ports[d.port] + " and " + key.id +
                                         " on the same port " + std::to_string(d.port));
            d.partNumber = key.model;
            d.toolInfo = toolInformation(key.name, k + 1);
        } else if (*family == Family::Polaris) {
            // A serial camera's tool is matched to the image a host uploads
            // by the part number, which its id carries.
            const std::string prefix = "ndi-polaris-";
            if (key.id.compare(0, prefix.size(), prefix) != 0 || key.id.size() == prefix.size())
                throw std::runtime_error("replay: tool " + key.id +
                                         " is not an optical tool id (ndi-polaris-PARTNUMBER)");
            d.partNumber = key.id.substr(prefix.size());
            if (d.partNumber.size() > 20)
                throw std::runtime_error("replay: tool " + key.id + ": part number too long");
        }
        // A vega's markers carry ids of their own, not part numbers: the
        // device takes them in the order the host uploads them (Device).
        d.markers = recordedGeometry(recording, key.id);
        s.tools.push_back(d);
    }

    auto playback = std::make_shared<Playback>();
    playback->speed = speed;
    playback->loop = loop;
    const std::int64_t first = recording.frames.front().offsetNs;
    for (const auto& f : recording.frames) {
        PlaybackFrame p;
        p.offsetNs = f.offsetNs - first;
        // A tool not in a frame is out of the host's view: missing.
        p.tools.resize(tools.size(), ToolFrame{Visibility::Missing, Pose{}});
        for (const RecordedInstrument& i : f.instruments) {
            ToolFrame& t = p.tools[indexOf[i.id]];
            t.pose = poseOf(i.matrix, i.quality);
            t.visibility = i.state == ToolState::Ok        ? Visibility::Visible
                           : i.state == ToolState::Missing ? Visibility::Missing
                                                           : Visibility::Disabled;
        }
        for (const auto& m : f.markers)
            if (m.owner.empty()) p.strays.push_back({m.position[0], m.position[1], m.position[2]});
        // The text reply counts strays in two hex digits; 50 is what any
        // scenario may hold.
        if (p.strays.size() > kMostStrays)
            throw std::runtime_error("replay: frame " + std::to_string(f.seq) +
                                     " holds more than " + std::to_string(kMostStrays) +
                                     " stray markers");
        playback->frames.push_back(std::move(p));
    }
    const double span = static_cast<double>(playback->frames.back().offsetNs) * 1e-9;
    if (playback->frames.size() > 1 && span > 0)
        s.frameRate = std::clamp((playback->frames.size() - 1) / span, 20.0, 400.0);
    s.playback = std::move(playback);
    return s;
}

}  // namespace ndisim

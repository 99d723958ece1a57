#include <ndisim/Device.h>

#include <ndisim/Crc16.h>
#include <ndisim/Playback.h>
#include <ndisim/ReplyFormat.h>

#include <cmath>

namespace ndisim {

namespace Error {
constexpr int kInvalidCommand = 0x01;
constexpr int kTooLong = 0x02;
constexpr int kTooShort = 0x03;
constexpr int kBadCrc = 0x04;
constexpr int kParameterCount = 0x07;
constexpr int kPriority = 0x09;
constexpr int kWrongMode = 0x0C;
constexpr int kNoTool = 0x0D;
constexpr int kNotInitialised = 0x0E;
constexpr int kNotEnabled = 0x0F;
constexpr int kToolInitFailed = 0x13;
constexpr int kOutOfRange = 0x23;
constexpr int kHandlesExhausted = 0x2D;
}  // namespace Error

namespace PortStatus {
constexpr std::uint32_t kOccupied = 0x01;
constexpr std::uint32_t kInitialised = 0x10;
constexpr std::uint32_t kEnabled = 0x20;
}  // namespace PortStatus

namespace {

constexpr std::size_t kMaxCommand = 2047;
constexpr int kFirstWiredHandle = 0x0A;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Exactly `digits` hexadecimal digits at `pos`; -1 otherwise.
long parseHex(const std::string& s, std::size_t pos, std::size_t digits)
{
    if (pos + digits > s.size()) return -1;
    long value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int d = hexDigit(s[pos + i]);
        if (d < 0) return -1;
        value = value * 16 + d;
    }
    return value;
}

bool isNameChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

std::uint8_t toolTypeByte(const std::string& toolInfo)
{
    const long v = parseHex(toolInfo, 0, 2);
    return v < 0 ? 0 : static_cast<std::uint8_t>(v);
}

const char* kNoInformation = "00000000            00000000000";

}  // namespace

Device::Device(Scenario scenario, Clock::time_point powerOn)
    : m_scenario(std::move(scenario)), m_clockStart(powerOn), m_clockBase(m_scenario.firstFrame)
{
    reset();
}

void Device::reset()
{
    m_line = LineSettings{};
    m_initialised = false;
    m_tracking = false;
    m_selectedVolume = 0;
    m_handles.clear();
    m_playbackStarted = false;
    announceWiredTools();
}

void Device::announceWiredTools()
{
    if (m_scenario.family != Family::Aurora) return;
    int number = kFirstWiredHandle;
    for (std::size_t i = 0; i < m_scenario.tools.size(); ++i) {
        PortHandle h;
        h.scenarioTool = static_cast<int>(i);
        h.wired = true;
        h.trackable = true;
        h.description = m_scenario.tools[i];
        h.markers = h.description.markers;
        h.partNumber = h.description.partNumber;
        m_handles[number++] = h;
    }
}

std::uint32_t Device::frameAt(Clock::time_point now) const
{
    if (m_scenario.playback) {
        if (!m_playbackStarted) return m_clockBase;
        const double seconds = std::chrono::duration<double>(now - m_playbackStart).count();
        // A playback that does not loop holds its last frame, frame number
        // included, so hosts see no new frame after it.
        return m_clockBase + static_cast<std::uint32_t>(m_scenario.playback->positionAt(seconds));
    }
    const double elapsed = std::chrono::duration<double>(now - m_clockStart).count();
    if (elapsed <= 0) return m_clockBase;
    // The counter is 32 bits wide and wraps, as the device's own does, after
    // some 124 days at 400 Hz.
    const double frames = std::fmod(std::floor(elapsed * m_scenario.frameRate), 4294967296.0);
    return m_clockBase + static_cast<std::uint32_t>(frames);
}

std::vector<int> Device::portHandles() const
{
    std::vector<int> out;
    for (const auto& [number, h] : m_handles) out.push_back(number);
    return out;
}

int Device::scenarioToolOf(int handle) const
{
    const auto it = m_handles.find(handle);
    return it == m_handles.end() ? -1 : it->second.scenarioTool;
}

std::vector<Vec3> Device::handleMarkers(int handle) const
{
    const auto it = m_handles.find(handle);
    return it == m_handles.end() ? std::vector<Vec3>{} : it->second.markers;
}

std::optional<ToolFrame> Device::handleFrame(int handle, std::uint32_t frame) const
{
    const auto it = m_handles.find(handle);
    if (it == m_handles.end() || !it->second.enabled) return std::nullopt;
    ToolFrame f;
    if (m_scenario.playback && it->second.scenarioTool >= 0) {
        f = m_scenario.playback->frameAt(frame - m_clockBase)
                .tools[static_cast<std::size_t>(it->second.scenarioTool)];
    } else {
        f = toolFrameAt(it->second.description, frame, m_scenario.frameRate);
    }
    if (!it->second.trackable && f.visibility == Visibility::Visible)
        f.visibility = Visibility::Missing;
    return f;
}

bool Device::occupied(const PortHandle& h) const { return h.wired || h.chunks == 0xFFFF; }

std::uint32_t Device::portStatus(const PortHandle& h) const
{
    std::uint32_t s = 0;
    if (occupied(h)) s |= PortStatus::kOccupied;
    if (h.initialised) s |= PortStatus::kInitialised;
    if (h.enabled) s |= PortStatus::kEnabled;
    return s;
}

int Device::freeHandleNumber() const
{
    if (static_cast<int>(m_handles.size()) >= m_scenario.maxPortHandles) return -1;
    for (int n = 1; n < 0xFF; ++n) {
        if (m_handles.find(n) == m_handles.end()) return n;
    }
    return -1;
}

DeviceReply Device::ok(const std::string& payload) const
{
    DeviceReply r;
    r.bytes = textReply(payload);
    return r;
}

DeviceReply Device::fail(int code) const
{
    DeviceReply r;
    r.bytes = errorReply(code);
    r.error = true;
    return r;
}

DeviceReply Device::command(std::string_view raw, Clock::time_point now)
{
    const std::string line(raw);
    if (line.empty()) return fail(Error::kTooShort);
    if (line.size() > kMaxCommand) return fail(Error::kTooLong);
    std::size_t n = 0;
    while (n < line.size() && isNameChar(line[n])) ++n;
    const std::string name = line.substr(0, n);
    if (name.empty()) return fail(Error::kInvalidCommand);
    std::string params;
    if (n == line.size()) {
        // A bare name: no parameters and no CRC.
    } else if (line[n] == ' ') {
        // The older blank-separated form carries no CRC.
        params = line.substr(n + 1);
    } else if (line[n] == ':') {
        if (line.size() < n + 1 + 4) return fail(Error::kBadCrc);
        const std::size_t crcAt = line.size() - 4;
        const long sent = parseHex(line, crcAt, 4);
        if (sent < 0 || static_cast<std::uint16_t>(sent) != crc16(line.data(), crcAt))
            return fail(Error::kBadCrc);
        params = line.substr(n + 1, crcAt - (n + 1));
    } else {
        return fail(Error::kInvalidCommand);
    }
    return dispatch(name, params, now);
}

DeviceReply Device::dispatch(const std::string& name, const std::string& p, Clock::time_point now)
{
    if (name == "INIT") {
        if (!p.empty()) return fail(Error::kParameterCount);
        const LineSettings keep = m_line;
        reset();
        m_line = keep;
        m_initialised = true;
        return ok();
    }
    if (name == "COMM") return cmdComm(p);
    if (name == "VER") return cmdVer(p);
    if (name == "GETINFO") return cmdGetInfo(p);
    if (name == "TSTOP") {
        if (!p.empty()) return fail(Error::kParameterCount);
        m_tracking = false;
        return ok();
    }

    static const char* const kNeedInit[] = {"PHSR", "PHRQ",   "PHF",   "PVWR",   "PINIT",
                                            "PENA", "PDIS",   "PHINF", "TSTART", "TX",
                                            "BX",   "SFLIST", "VSEL"};
    bool known = false;
    for (const char* k : kNeedInit) known = known || name == k;
    if (!known) return fail(Error::kInvalidCommand);
    if (!m_initialised) return fail(Error::kWrongMode);

    if (name == "PHSR") return cmdPhsr(p);
    if (name == "PHRQ") return cmdPhrq(p);
    if (name == "PHF") return cmdPhf(p);
    if (name == "PVWR") return cmdPvwr(p);
    if (name == "PINIT") return cmdPinit(p);
    if (name == "PENA") return cmdPena(p);
    if (name == "PDIS") return cmdPdis(p);
    if (name == "PHINF") return cmdPhinf(p);
    if (name == "TSTART") return cmdTstart(p, now);
    if (name == "TX") return cmdTracking(false, p, now);
    if (name == "BX") return cmdTracking(true, p, now);
    if (name == "SFLIST") return cmdSflist(p);
    return cmdVsel(p);
}

DeviceReply Device::cmdComm(const std::string& p)
{
    if (p.size() != 5) return fail(Error::kParameterCount);
    static const long kRates[] = {9600, 14400, 19200, 38400, 57600, 115200, 921600, 1228739};
    LineSettings next;
    const char rate = p[0];
    if (rate >= '0' && rate <= '7') {
        next.baud = kRates[rate - '0'];
    } else if (rate == 'A') {
        next.baud = 230400;
    } else {
        return fail(Error::kOutOfRange);
    }
    if (p[1] != '0' && p[1] != '1') return fail(Error::kOutOfRange);
    if (p[2] < '0' || p[2] > '2') return fail(Error::kOutOfRange);
    if (p[3] != '0' && p[3] != '1') return fail(Error::kOutOfRange);
    if (p[4] != '0' && p[4] != '1') return fail(Error::kOutOfRange);
    next.dataBits = p[1] == '1' ? 7 : 8;
    next.parity = p[2] == '1' ? 'O' : p[2] == '2' ? 'E' : 'N';
    next.stopBits = p[3] == '1' ? 2 : 1;
    next.handshake = p[4] == '1';
    DeviceReply r = ok();
    r.lineAfter = next;
    return r;
}

DeviceReply Device::cmdVer(const std::string& p) const
{
    if (p.size() != 1) return fail(Error::kParameterCount);
    if (p[0] < '0' || p[0] > '9') return fail(Error::kOutOfRange);
    return ok(m_scenario.model + "\nNDI S/N: " + m_scenario.serialNumber + "\nFreeze Tag: " +
              m_scenario.firmware + "\nFreeze Date: 01/01/2026\n(C) Northern Digital Inc.\n");
}

DeviceReply Device::cmdGetInfo(const std::string& p) const
{
    if (!m_scenario.getInfo) return fail(Error::kInvalidCommand);
    if (p == "Features.Firmware.Version") return ok(p + "=" + m_scenario.firmware + ";0;4;;");
    if (p == "Config.Serial Number") return ok(p + "=" + m_scenario.serialNumber + ";0;4;;");
    return fail(Error::kOutOfRange);
}

DeviceReply Device::cmdPhsr(const std::string& p) const
{
    long option = 0;
    if (!p.empty()) {
        if (p.size() != 2) return fail(Error::kParameterCount);
        option = parseHex(p, 0, 2);
        if (option < 0 || option > 4) return fail(Error::kOutOfRange);
    }
    std::string list;
    int count = 0;
    for (const auto& [number, h] : m_handles) {
        bool listed = false;
        switch (option) {
        case 0: listed = true; break;
        case 1: listed = false; break;  // nothing here ever needs freeing
        case 2: listed = occupied(h) && !h.initialised; break;
        case 3: listed = h.initialised && !h.enabled; break;
        case 4: listed = h.enabled; break;
        }
        if (!listed) continue;
        ++count;
        list += hexField(static_cast<unsigned>(number), 2) + hexField(portStatus(h) & 0xFFF, 3);
    }
    return ok(hexField(static_cast<unsigned>(count), 2) + list);
}

DeviceReply Device::cmdPhrq(const std::string& p)
{
    if (p.size() != 14) return fail(Error::kParameterCount);
    if (m_tracking) return fail(Error::kWrongMode);
    const int number = freeHandleNumber();
    if (number < 0) return fail(Error::kHandlesExhausted);
    m_handles[number] = PortHandle{};
    return ok(hexField(static_cast<unsigned>(number), 2));
}

DeviceReply Device::cmdPhf(const std::string& p)
{
    if (p.size() != 2) return fail(Error::kParameterCount);
    const long number = parseHex(p, 0, 2);
    if (number < 0) return fail(Error::kOutOfRange);
    const auto it = m_handles.find(static_cast<int>(number));
    if (it == m_handles.end()) return fail(Error::kNoTool);
    if (m_tracking) return fail(Error::kWrongMode);
    if (it->second.wired) {
        // A wired tool stays plugged in: its handle returns to the state of a
        // freshly announced tool instead of disappearing.
        PortHandle fresh;
        fresh.scenarioTool = it->second.scenarioTool;
        fresh.wired = true;
        fresh.trackable = true;
        fresh.description = m_scenario.tools[static_cast<std::size_t>(fresh.scenarioTool)];
        fresh.markers = fresh.description.markers;
        fresh.partNumber = fresh.description.partNumber;
        it->second = fresh;
    } else {
        m_handles.erase(it);
    }
    return ok();
}

DeviceReply Device::cmdPvwr(const std::string& p)
{
    if (p.size() != 2 + 4 + 128) return fail(Error::kParameterCount);
    const long number = parseHex(p, 0, 2);
    const long address = parseHex(p, 2, 4);
    if (number < 0 || address < 0) return fail(Error::kOutOfRange);
    if (address % 64 != 0 || address >= 1024) return fail(Error::kOutOfRange);
    std::uint8_t chunk[64];
    for (std::size_t i = 0; i < 64; ++i) {
        const long byte = parseHex(p, 6 + 2 * i, 2);
        if (byte < 0) return fail(Error::kOutOfRange);
        chunk[i] = static_cast<std::uint8_t>(byte);
    }
    const auto it = m_handles.find(static_cast<int>(number));
    if (it == m_handles.end()) return fail(Error::kNoTool);
    if (m_tracking || it->second.initialised) return fail(Error::kWrongMode);
    std::copy(chunk, chunk + 64, it->second.image.begin() + address);
    it->second.chunks = static_cast<std::uint16_t>(it->second.chunks | (1u << (address / 64)));
    return ok();
}

DeviceReply Device::cmdPinit(const std::string& p)
{
    if (p.size() != 2) return fail(Error::kParameterCount);
    const long number = parseHex(p, 0, 2);
    if (number < 0) return fail(Error::kOutOfRange);
    const auto it = m_handles.find(static_cast<int>(number));
    if (it == m_handles.end()) return fail(Error::kNoTool);
    PortHandle& h = it->second;
    if (m_tracking) return fail(Error::kWrongMode);
    if (!occupied(h)) return fail(Error::kNoTool);
    if (h.initialised) return ok();
    if (h.chunks == 0xFFFF) {
        const std::optional<ToolImage> image = parseToolImage(h.image);
        if (!image) return fail(Error::kToolInitFailed);
        if (!image->partNumber.empty()) h.partNumber = image->partNumber;
        if (!image->markers.empty()) h.markers = image->markers;
        if (!h.wired) {
            // A wireless tool is one of the scenario's when its part number matches.
            for (std::size_t i = 0; i < m_scenario.tools.size(); ++i) {
                const ToolDescription& t = m_scenario.tools[i];
                if (t.port == 0 && !t.partNumber.empty() && t.partNumber == image->partNumber) {
                    h.scenarioTool = static_cast<int>(i);
                    h.description = t;
                    if (h.markers.empty()) h.markers = t.markers;
                    h.trackable = true;
                    break;
                }
            }
            // A replayed marker is known by no part number (its id is no part
            // number): it is the next recorded tool that no image took yet, as
            // hosts upload their tools in the order they were given them. The
            // placeholder image a host loads for strays alone is never a tool.
            if (h.scenarioTool < 0 && m_scenario.playback && image->partNumber != "999999999") {
                for (std::size_t i = 0; i < m_scenario.tools.size(); ++i) {
                    const ToolDescription& t = m_scenario.tools[i];
                    if (t.port != 0 || !t.partNumber.empty()) continue;
                    bool taken = false;
                    for (const auto& [other, handle] : m_handles)
                        taken = taken || handle.scenarioTool == static_cast<int>(i);
                    if (taken) continue;
                    h.scenarioTool = static_cast<int>(i);
                    h.description = t;
                    h.description.partNumber = image->partNumber;
                    if (h.markers.empty()) h.markers = t.markers;
                    h.trackable = true;
                    break;
                }
            }
            if (h.scenarioTool < 0) {
                h.description = ToolDescription{};
                h.description.partNumber = image->partNumber;
                h.description.toolInfo = kNoInformation;
                h.trackable = m_scenario.trackUnmatchedTools;
                // A stand-in in front of the camera, apart from the others.
                h.description.trajectory.center = {-200.0 + 40.0 * (number % 10), 150.0, -1500.0};
                h.description.trajectory.amplitude = {20, 20, 20};
                h.description.trajectory.periodS = {5, 6, 7};
                h.description.trajectory.angularSpeedDegPerS = 10;
            }
        }
    }
    h.initialised = true;
    return ok();
}

DeviceReply Device::cmdPena(const std::string& p)
{
    if (p.size() != 3) return fail(Error::kParameterCount);
    const long number = parseHex(p, 0, 2);
    if (number < 0) return fail(Error::kOutOfRange);
    if (p[2] != 'S' && p[2] != 'D' && p[2] != 'B') return fail(Error::kPriority);
    const auto it = m_handles.find(static_cast<int>(number));
    if (it == m_handles.end() || !occupied(it->second)) return fail(Error::kNoTool);
    if (!it->second.initialised) return fail(Error::kNotInitialised);
    it->second.enabled = true;
    it->second.priority = p[2];
    return ok();
}

DeviceReply Device::cmdPdis(const std::string& p)
{
    if (p.size() != 2) return fail(Error::kParameterCount);
    const long number = parseHex(p, 0, 2);
    if (number < 0) return fail(Error::kOutOfRange);
    const auto it = m_handles.find(static_cast<int>(number));
    if (it == m_handles.end() || !occupied(it->second)) return fail(Error::kNoTool);
    if (!it->second.enabled) return fail(Error::kNotEnabled);
    it->second.enabled = false;
    return ok();
}

DeviceReply Device::cmdPhinf(const std::string& p) const
{
    if (p.size() != 2 && p.size() != 6) return fail(Error::kParameterCount);
    const long number = parseHex(p, 0, 2);
    const long option = p.size() == 6 ? parseHex(p, 2, 4) : 0x0001;
    if (number < 0 || option < 0) return fail(Error::kOutOfRange);
    const auto it = m_handles.find(static_cast<int>(number));
    if (it == m_handles.end()) return fail(Error::kNoTool);
    const PortHandle& h = it->second;
    if (!occupied(h)) return ok("UNOCCUPIED");
    std::string out;
    if (option & 0x0001) {
        out += padded(
            h.description.toolInfo.empty() ? std::string(kNoInformation) : h.description.toolInfo,
            31);
        out += hexField(portStatus(h) & 0xFF, 2);
    }
    if (option & 0x0002) out += "00000000";  // current test passed
    if (option & 0x0004) out += padded(h.partNumber, 20);
    if (option & 0x0008) out += "00";                   // no accessories
    if (option & 0x0010) out += h.wired ? "00" : "29";  // passive markers, 880 nm
    if (option & 0x0020) {
        // Hardware device (8), system type, tool type, port (2), channel (2).
        char location[32];
        std::snprintf(location, sizeof location, "00000000%c%c%02d%02d", h.wired ? '0' : '1',
                      h.wired ? '0' : '1', h.description.port % 100, h.description.channel % 100);
        out += location;
    }
    if (option & 0x0040) out += "00";
    return ok(out);
}

DeviceReply Device::cmdTstart(const std::string& p, Clock::time_point now)
{
    if (!p.empty() && p != "80")
        return p.size() == 2 ? fail(Error::kOutOfRange) : fail(Error::kParameterCount);
    if (m_tracking) return fail(Error::kWrongMode);
    if (p == "80") {
        // Restart the frame counter at 0.
        m_clockStart = now;
        m_clockBase = 0;
    }
    if (m_scenario.playback && !m_playbackStarted) {
        m_playbackStarted = true;
        m_playbackStart = now;
    }
    m_tracking = true;
    return ok();
}

FrameSnapshot Device::snapshot(std::uint32_t frame) const
{
    FrameSnapshot s;
    s.frame = frame;
    for (const auto& [number, h] : m_handles) {
        if (!h.enabled) continue;
        HandleFrame f;
        f.handle = number;
        f.tool = *handleFrame(number, frame);
        f.markers = h.markers;
        f.toolInfo = toolTypeByte(h.description.toolInfo);
        f.portStatus = portStatus(h);
        s.handles.push_back(f);
    }
    if (isOptical(m_scenario.family) && m_scenario.playback) {
        s.strays = m_scenario.playback->frameAt(frame - m_clockBase).strays;
    } else if (isOptical(m_scenario.family)) {
        for (const StrayMarker& stray : m_scenario.strays) {
            if (strayVisibleAt(stray, frame))
                s.strays.push_back(strayPositionAt(stray, frame, m_scenario.frameRate));
        }
    }
    return s;
}

DeviceReply Device::cmdTracking(bool binary, const std::string& p, Clock::time_point now) const
{
    long option = ReplyOption::kTransforms;
    if (!p.empty()) {
        if (p.size() != 4) return fail(Error::kParameterCount);
        option = parseHex(p, 0, 4);
        if (option < 0 || (option & ~static_cast<long>(ReplyOption::kAll)) != 0)
            return fail(Error::kOutOfRange);
    }
    if (!m_tracking) return fail(Error::kWrongMode);
    const FrameSnapshot s = snapshot(frameAt(now));
    DeviceReply r;
    r.tracking = true;
    r.bytes = binary ? encodeBX(s, static_cast<unsigned>(option))
                     : textReply(encodeTX(s, static_cast<unsigned>(option)));
    return r;
}

DeviceReply Device::cmdSflist(const std::string& p) const
{
    if (p.size() != 2) return fail(Error::kParameterCount);
    if (parseHex(p, 0, 2) != 3) return fail(Error::kOutOfRange);
    std::string out(1, static_cast<char>('0' + m_scenario.volumes.size()));
    for (const OperatingVolume& v : m_scenario.volumes) {
        std::string record(1, v.shape);
        for (double param : v.parameters) record += signedField(param, 0.01, 7);
        record += "0001";  // reserved fields the hosts do not read
        out += record;     // 1 + 10 * 7 + 4 = 75 characters
    }
    return ok(out);
}

DeviceReply Device::cmdVsel(const std::string& p)
{
    if (p.size() != 1) return fail(Error::kParameterCount);
    const int index = p[0] - '0';
    if (index < 1 || index > static_cast<int>(m_scenario.volumes.size()))
        return fail(Error::kOutOfRange);
    if (m_tracking) return fail(Error::kWrongMode);
    m_selectedVolume = index;
    return ok();
}

}  // namespace ndisim

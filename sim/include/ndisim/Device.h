#pragma once
// The command interpreter and state of one simulated measurement system:
// port handles, uploaded images, tracking mode, the frame counter. It knows
// nothing about lines or sockets; the Simulator feeds it command lines and
// sends what it returns. Not thread-safe: the Simulator serialises calls.
#include <ndisim/LineSettings.h>
#include <ndisim/Scenario.h>
#include <ndisim/ToolImage.h>
#include <ndisim/TrackingReplies.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ndisim {

using Clock = std::chrono::steady_clock;

struct DeviceReply {
    std::string bytes;                      // the complete reply, framing included
    bool tracking = false;                  // a TX or BX reply: one frame served
    bool error = false;                     // an ERROR reply
    std::optional<LineSettings> lineAfter;  // COMM: settings to take once the reply is out
};

class Device {
public:
    explicit Device(Scenario scenario, Clock::time_point powerOn = Clock::now());

    // One command line as received, without its carriage return.
    DeviceReply command(std::string_view line, Clock::time_point now = Clock::now());
    // The state after power-on or a break: 9600 baud, not initialised, no
    // tracking; wired tools are announced again on fresh port handles.
    void reset();

    const Scenario& scenario() const { return m_scenario; }
    std::uint32_t frameAt(Clock::time_point now) const;
    bool initialised() const { return m_initialised; }
    bool tracking() const { return m_tracking; }
    const LineSettings& line() const { return m_line; }
    void setLine(const LineSettings& line) { m_line = line; }

    // Port handles currently allocated, ascending.
    std::vector<int> portHandles() const;
    // Index into scenario().tools of the tool behind a handle; -1 when the
    // handle is free or its tool is not one of the scenario's.
    int scenarioToolOf(int handle) const;
    // What a TX or BX reply reports for an enabled handle in a frame.
    std::optional<ToolFrame> handleFrame(int handle, std::uint32_t frame) const;
    // Markers of a handle's tool in tool coordinates (the uploaded image's
    // geometry when it has one).
    std::vector<Vec3> handleMarkers(int handle) const;
    // Operating volume chosen with VSEL (1-based; 0 = none yet).
    int selectedVolume() const { return m_selectedVolume; }
    FrameSnapshot snapshot(std::uint32_t frame) const;

private:
    struct PortHandle {
        int scenarioTool = -1;  // -1: a wireless tool that is not in the scenario
        bool wired = false;
        ImageBytes image{};
        std::uint16_t chunks = 0;  // one bit per uploaded 64-byte chunk
        bool initialised = false;
        bool enabled = false;
        char priority = 'D';
        bool trackable = false;  // the camera can see it (scenario tool or tracked stand-in)
        ToolDescription description;
        std::vector<Vec3> markers;
        std::string partNumber;
    };

    DeviceReply dispatch(const std::string& name, const std::string& params, Clock::time_point now);
    DeviceReply ok(const std::string& payload = "OKAY") const;
    DeviceReply fail(int code) const;
    bool occupied(const PortHandle& h) const;
    std::uint32_t portStatus(const PortHandle& h) const;
    int freeHandleNumber() const;
    void announceWiredTools();

    DeviceReply cmdComm(const std::string& p);
    DeviceReply cmdVer(const std::string& p) const;
    DeviceReply cmdGetInfo(const std::string& p) const;
    DeviceReply cmdPhsr(const std::string& p) const;
    DeviceReply cmdPhrq(const std::string& p);
    DeviceReply cmdPhf(const std::string& p);
    DeviceReply cmdPvwr(const std::string& p);
    DeviceReply cmdPinit(const std::string& p);
    DeviceReply cmdPena(const std::string& p);
    DeviceReply cmdPdis(const std::string& p);
    DeviceReply cmdPhinf(const std::string& p) const;
    DeviceReply cmdTstart(const std::string& p, Clock::time_point now);
    DeviceReply cmdTracking(bool binary, const std::string& p, Clock::time_point now) const;
    DeviceReply cmdSflist(const std::string& p) const;
    DeviceReply cmdVsel(const std::string& p);

    Scenario m_scenario;
    LineSettings m_line;
    bool m_initialised = false;
    bool m_tracking = false;
    int m_selectedVolume = 0;
    std::map<int, PortHandle> m_handles;
    Clock::time_point m_clockStart;
    std::uint32_t m_clockBase = 0;
    // A playback runs from the first TSTART after power-on, so that the time
    // a host takes to open and set up does not eat into the recording.
    bool m_playbackStarted = false;
    Clock::time_point m_playbackStart;
};

}  // namespace ndisim

#pragma once
// A running simulated measurement system: a Device behind a serial line (a
// pseudo-terminal) or a TCP listener, served by its own thread. Tests create
// one in-process; ndi-sim wraps one for people.
#include <ndisim/Device.h>
#include <ndisim/Faults.h>
#include <ndisim/Scenario.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ndisim {

struct SimulatorStats {
    std::uint64_t commands = 0;     // complete command lines received
    std::uint64_t frames = 0;       // TX and BX replies
    std::uint64_t errors = 0;       // ERROR replies
    std::uint64_t noiseBytes = 0;   // bytes received while the line speeds differed
    std::uint64_t breaks = 0;       // breaks seen on the line
    std::uint64_t connections = 0;  // TCP clients accepted, or pseudo-terminals opened
    bool connected = false;         // TCP: a client is connected
    bool pluggedIn = true;          // false between unplug() and plugIn()
    bool tracking = false;
    long deviceBaud = 9600;
    std::uint32_t frame = 0;  // the frame counter now
};

class Simulator {
public:
    // A serial device on a new pseudo-terminal; `link`, when not empty, is a
    // symbolic link made to the terminal (an existing symbolic link there is
    // replaced, anything else is refused). Throws std::runtime_error.
    static std::unique_ptr<Simulator> serial(Scenario scenario, const std::string& link = {});
    // A network device listening on address:port (port 0: any free port).
    // Throws std::runtime_error.
    static std::unique_ptr<Simulator> tcp(Scenario scenario,
                                          const std::string& address = "127.0.0.1",
                                          int port = 8765);

    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Stops serving, closes the line or sockets and removes the link and
    // the break socket. Also done by the destructor.
    void stop();

    bool isSerial() const;
    // Serial: the terminal the host opens (e.g. "/dev/pts/4"); it changes
    // when the line was hung up by a fault and a new one was made, and is
    // empty while the cable is unplugged.
    std::string serialDevice() const;
    std::string linkPath() const;
    // Serial: the UNIX datagram socket on which the break wrapper reports
    // breaks (set NDI_BREAK_NOTIFY to it in the host's environment).
    std::string breakNotifyPath() const;
    std::string tcpAddress() const;
    int tcpPort() const;

    // The cable, pulled and put back, for hosts that must ride out a lost
    // device. unplug(): serial: the terminal is hung up and its link removed;
    // TCP: the client and the listener are closed, so connecting is refused.
    // The device keeps its state (line speed, tracking, tools), as one whose
    // cable was pulled does. plugIn(): serial: a fresh terminal under the same
    // link, opened at 9600 baud by the host's side while the device keeps its
    // own speed; TCP: listening again on the same port. Both return once done
    // and do nothing when already so; plugIn() throws std::runtime_error when
    // the port cannot be had again.
    void unplug();
    void plugIn();
    bool pluggedIn() const;
    // Power-on state: 9600 baud, not initialised, not tracking, no tools but
    // the wired ones on fresh handles; output not yet sent is lost. TCP: the
    // client is dropped. The serial line stays (a cable at the device's port);
    // unplug(), powerCycle(), plugIn() is a device on a USB cable.
    void powerCycle();

    void setFaults(const Faults& faults);
    Faults faults() const;
    SimulatorStats stats() const;
    const Scenario& scenario() const;

    // What the device reports for a port handle, for tests and status:
    std::uint32_t currentFrame() const;
    std::vector<int> portHandles() const;
    int scenarioToolOf(int handle) const;
    std::optional<ToolFrame> expectedFrame(int handle, std::uint32_t frame) const;
    // The tool's markers where the camera sees them in that frame.
    std::vector<Vec3> expectedMarkers(int handle, std::uint32_t frame) const;
    std::vector<Vec3> expectedStrays(std::uint32_t frame) const;
    LineSettings deviceLine() const;
    int selectedVolume() const;

    struct Impl;

private:
    explicit Simulator(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace ndisim

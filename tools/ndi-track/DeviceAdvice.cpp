#include "DeviceAdvice.h"

#include <ndi/protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace ndi_track {

namespace {

bool contains(const std::vector<std::string>& errors, const std::string& text)
{
    return std::find(errors.begin(), errors.end(), text) != errors.end();
}

const char* kDialout =
    "add your user to the group that owns it (usually dialout: sudo usermod -aG dialout $USER) "
    "and log in again";

std::string knownSerialNames()
{
    std::string names;
    for (int i = 0; i < 20; ++i) {
        const char* name = ndiSerialDeviceName(i);
        if (!name) continue;
        if (!names.empty()) names += ", ";
        names += name;
    }
    return names;
}

}  // namespace

std::string serialDeviceProblem(const std::string& device)
{
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return device +
                   " does not exist: check the cable and the system's power, or name the right "
                   "device "
                   "with --device (ndi-track discover lists the systems it finds)";
        return "cannot look at " + device + ": " + std::strerror(errno);
    }
    if (!S_ISCHR(st.st_mode))
        return device + " is not a serial device (a character device such as /dev/ttyUSB0)";
    if (::access(device.c_str(), R_OK | W_OK) != 0 && errno == EACCES)
        return "no permission to open " + device + ": " + kDialout;
    return {};
}

std::string adviceAfterFailedOpen(const TrackOptions& o, const std::vector<std::string>& errors)
{
    if (contains(errors, "Failed to probe device!"))
        return "no NDI system answered on " + o.device +
               ": check that it is switched on and its cable is connected, that no other program "
               "uses the "
               "line, and that it is the right device (ndi-track discover)";
    if (contains(errors, "No NDI tracking system found!")) {
        if (!o.isSerial())
            return "no camera was heard on the network within 2 s (its PTP messages): check its "
                   "cable and "
                   "power, or pass --address ADDR; listening for PTP on port 319 needs root or "
                   "CAP_NET_BIND_SERVICE";
        std::string locked;
        for (int i = 0; i < 20; ++i) {
            const char* name = ndiSerialDeviceName(i);
            if (name && ::access(name, F_OK) == 0 && ::access(name, R_OK | W_OK) != 0) {
                if (!locked.empty()) locked += ", ";
                locked += name;
            }
        }
        std::string advice = "no NDI system answered on " + knownSerialNames() +
                             ": check the cable and the system's power, or pass --device DEV";
        if (!locked.empty()) advice += "; no permission to open " + locked + ": " + kDialout;
        return advice;
    }
    if (contains(errors,
                 "Invalid IP address provided. TCP/IP connection is only supported for valid IPv4 "
                 "addresses."))
        return "--address must be a dotted IPv4 address such as 192.168.1.20 (host names are not "
               "supported)";
    if (contains(errors, "Connection could not be established!")) {
        if (!o.isSerial())
            return "could not connect to " + o.device + ":" + std::to_string(o.tcpPort) +
                   ": check the address, the port (--port) and that the camera is switched on and "
                   "reachable";
        const std::string problem = serialDeviceProblem(o.device);
        return problem.empty() ? "could not open " + o.device + ": is another program using it?"
                               : problem;
    }
    if (contains(errors, "No tracking instruments available!"))
        return "the Aurora reports no tools: plug a tool into a port of its control unit and try "
               "again";
    for (auto it = errors.rbegin(); it != errors.rend(); ++it)
        if (!it->empty()) return "opening the NDI system failed: " + *it;
    return "opening the NDI system failed (see the log above)";
}

}  // namespace ndi_track

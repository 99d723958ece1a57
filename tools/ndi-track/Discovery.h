#pragma once
// ndi-track discover: the serial devices on which an NDI system answers the
// probe, and the network cameras heard through their PTP messages.
#include <string>
#include <vector>

namespace ndi_track {

struct DiscoveryOptions {
    bool serial = true;
    bool network = true;
    int windowMs = 2000;  // how long to listen for PTP messages
};

struct DiscoveryResult {
    std::vector<std::string> serialDevices;  // answered the probe
    std::vector<std::string> cameras;        // dotted addresses, in the order heard
    std::vector<std::string> problems;       // what the user may fix (permissions, ...)
};

DiscoveryResult discover(const DiscoveryOptions& options);

}  // namespace ndi_track

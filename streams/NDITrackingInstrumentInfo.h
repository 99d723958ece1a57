#pragma once
// What an NDI stream keeps about one tool: beside each tracked instrument in
// the registry, and in the list of tools to load when the stream opens.
#include <cstdint>
#include <string>

namespace Velantor {

struct NDITrackingInstrumentInfo {
    // Instrument name; the key of the tool in the "TrackingTargets" configuration.
    std::string name;
    // Tool-definition (ROM) file uploaded for this tool: a path, or a resource
    // path starting with ":/".
    std::string romPath;
    // Physical port the tool is plugged into (wired tools); optical tools carry 1.
    std::int32_t port = 0;
    // Port handle the measurement system assigned; -1 while none is assigned.
    std::int32_t portHandle = -1;
};

}  // namespace Velantor

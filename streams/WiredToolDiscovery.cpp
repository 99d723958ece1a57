#include "WiredToolDiscovery.h"

#include "NDIReplyOptions.h"
#include "NDIStreamLog.h"
#include "NDIUtils.h"
#include "RomUpload.h"
#include "WiredToolNames.h"

#include <ndi/protocol.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace Velantor {

namespace {

using NDIStreamLog::log;

// Port status bits of a PHSR entry.
constexpr int kPortOccupied = 0x01;
constexpr int kPortInitialized = 0x10;
constexpr int kPortEnabled = 0x20;

// What the tool-information field holds when a tool tells nothing about itself.
constexpr const char* kNoToolInformation = "00000000            00000000000";

struct PortEntry {
    int status = 0;
    int handle = 0;
};

// Fixed-width reply fields need not end in a NUL.
std::string fieldText(const char* field, std::size_t width)
{
    return std::string(field, strnlen(field, width));
}

std::string trimmed(const std::string& text)
{
    static const char* const blanks = " \t\f\v\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    const std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::vector<PortEntry> readPortList(NdiConnection* connection)
{
    ndiCommand(connection, "PHSR:%02X", NDIReplyOptions::kAllPortHandles);
    const int n = ndiGetError(connection) == NDI_OKAY ? ndiGetPHSRNumberOfHandles(connection) : 0;
    log(Log::Debug, [&] { return "Found " + std::to_string(n) + " ports."; });

    // Handle list first: every later command replaces the captured PHSR reply.
    std::vector<PortEntry> ports;  // by position
    for (int i = 0; i < n; ++i)
        ports.push_back({ndiGetPHSRInformation(connection, i), ndiGetPHSRHandle(connection, i)});
    return ports;
}

// The physical port a handle sits on (0 when its location does not say), or
// nothing when the location could not be read.
std::optional<int> readPhysicalPort(NdiConnection* connection, int handle)
{
    // A failed reply leaves the previous tool's answer captured: never read
    // it as this tool's.
    ndiCommand(connection, "PHINF:%02X%04X", handle, NDIReplyOptions::kPortLocation);
    char location[14] = {};
    if (ndiGetError(connection) != NDI_OKAY || ndiGetPHINFPortLocation(connection, location) != 0)
        return std::nullopt;
    const std::string portText = std::string(location + 10, 2);
    const int physicalPort = NDIUtils::isNumber(portText) ? std::stoi(portText) : 0;
    log(Log::Debug, [&] { return "Physical port is " + std::to_string(physicalPort) + "!"; });
    return physicalPort;
}

void uploadTargetRom(NdiConnection* connection, const NDITrackingInstrumentInfo& record)
{
    int partNumber = 0;
    if (uploadRom(connection, record.portHandle, record.romPath, partNumber) == 0) {
        log(Log::Info,
            [&] { return "ROM file for " + record.name + " uploaded from " + record.romPath; });
    } else {
        log(Log::Error, [&] {
            return "ROM file for " + record.name + " could not be uploaded from " + record.romPath;
        });
    }
}

// The registered tool of the physical port, with its ROM uploaded to the
// handle, or a nameless record when none claims the port.
NDITrackingInstrumentInfo recordForPort(NdiConnection* connection, std::optional<int> physicalPort,
                                        int handle,
                                        const std::vector<NDITrackingInstrumentInfo>& targets,
                                        const TargetHandleStore& storeHandle)
{
    if (physicalPort) {
        for (std::size_t k = 0; k < targets.size(); ++k) {
            if (targets[k].port != *physicalPort) continue;
            NDITrackingInstrumentInfo record = targets[k];
            record.portHandle = handle;
            storeHandle(k, handle);
            uploadTargetRom(connection, record);
            return record;
        }
    }
    NDITrackingInstrumentInfo record;
    record.port = physicalPort.value_or(0);
    record.portHandle = handle;
    return record;
}

void setUpPort(NdiConnection* connection, int position, const PortEntry& port)
{
    log(Log::Debug,
        [&] { return "Trying to initialized tool in port " + std::to_string(position) + "..."; });
    if ((port.status & kPortInitialized) == 0) ndiCommand(connection, "PINIT:%02X", port.handle);
    log(Log::Debug, [&] { return "Enabling tool in port " + std::to_string(position) + "..."; });
    if ((port.status & kPortEnabled) == 0) ndiCommand(connection, "PENA:%02X%c", port.handle, 'D');
}

// The tool's description: its tool information, or, when that tells
// nothing, the start of its port location.
std::string toolDescription(NdiConnection* connection)
{
    std::string description;
    char info[31] = {};
    if (ndiGetPHINFToolInfo(connection, info) == 0) description = fieldText(info, sizeof info);
    char where[14] = {};
    if (description == kNoToolInformation && ndiGetPHINFPortLocation(connection, where) == 0)
        description = fieldText(where, 8);
    return description;
}

Flags<InstrumentModification> addPortTool(NdiConnection* connection,
                                          NDIInstrumentRegistry& registry, int position,
                                          const PortEntry& port,
                                          const std::vector<NDITrackingInstrumentInfo>& targets,
                                          const TargetHandleStore& storeHandle,
                                          UniqueToolNames& names, bool keepRegistered)
{
    log(Log::Debug, [&] { return "Tool in port " + std::to_string(position) + "!"; });
    const std::optional<int> physicalPort = readPhysicalPort(connection, port.handle);
    NDITrackingInstrumentInfo record =
        recordForPort(connection, physicalPort, port.handle, targets, storeHandle);
    setUpPort(connection, position, port);

    log(Log::Debug,
        [&] { return "Obtaining tool meta data, port " + std::to_string(position) + "..."; });
    ndiCommand(connection, "PHINF:%02X%04X", port.handle, NDIReplyOptions::kToolIdentity);
    const bool informed = ndiGetError(connection) == NDI_OKAY;
    std::string partNumber;
    char part[20] = {};
    if (informed && ndiGetPHINFPartNumber(connection, part) == 0)
        partNumber = trimmed(fieldText(part, sizeof part));
    if (record.name.empty())
        record.name = names.take(
            wiredToolTypeName(informed ? toolDescription(connection) : std::string(), partNumber));

    const std::string portText = std::to_string(physicalPort.value_or(0));
    const std::string id = "ndi-aurora-" + portText + "-" + partNumber;
    if (keepRegistered && registry.find(id)) {
        // Known from before the line was lost: same instrument, new handle.
        const int handle = record.portHandle;
        return registry.modify(id, NDIInstrumentRegistry::InstrumentSpecialFunction(
                                       [handle](const std::string&, TrackingInstrument& instrument,
                                                NDITrackingInstrumentInfo& info) {
                                           info.portHandle = handle;
                                           instrument.active = true;
                                       }));
    }
    return registry.create(TrackerID(id, partNumber, record.name),
                           std::make_unique<NDITrackingInstrumentInfo>(record));
}

Flags<InstrumentModification> setUpPorts(NdiConnection* connection, NDIInstrumentRegistry& registry,
                                         const std::vector<NDITrackingInstrumentInfo>& targets,
                                         const TargetHandleStore& storeHandle, bool keepRegistered)
{
    Flags<InstrumentModification> flags;
    UniqueToolNames names;
    const std::vector<PortEntry> ports = readPortList(connection);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if ((ports[i].status & kPortOccupied) == 0) continue;
        flags |= addPortTool(connection, registry, static_cast<int>(i), ports[i], targets,
                             storeHandle, names, keepRegistered);
    }
    return flags;
}

}  // namespace

Flags<InstrumentModification> discoverWiredTools(
    NdiConnection* connection, NDIInstrumentRegistry& registry,
    const std::vector<NDITrackingInstrumentInfo>& targets, const TargetHandleStore& storeHandle)
{
    NDIStreamLog::text(Log::Debug, "Querying connected NDI tools...");
    Flags<InstrumentModification> flags = registry.clear();
    if (connection == nullptr) return flags;
    return flags | setUpPorts(connection, registry, targets, storeHandle, false);
}

Flags<InstrumentModification> reattachWiredTools(
    NdiConnection* connection, NDIInstrumentRegistry& registry,
    const std::vector<NDITrackingInstrumentInfo>& targets, const TargetHandleStore& storeHandle)
{
    NDIStreamLog::text(Log::Debug, "Querying connected NDI tools again...");
    // Handles of the lost connection mean nothing on this one.
    registry.modifyAll(NDIInstrumentRegistry::SpecialFunction(
        [](const std::string&, NDITrackingInstrumentInfo& info) { info.portHandle = -1; }));
    if (connection == nullptr) return {};
    return setUpPorts(connection, registry, targets, storeHandle, true);
}

}  // namespace Velantor

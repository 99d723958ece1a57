#include "OpticalToolLoader.h"

#include "NDIReplyOptions.h"
#include "NDIStreamLog.h"
#include "NDIUtils.h"
#include "RomUpload.h"

#include <ndi/protocol.h>

#include <memory>
#include <string>

namespace Velantor {

namespace {

using NDIStreamLog::log;

constexpr const char* kPlaceholderTool = ":/tools/dummy_tool.rom";

void logUploadFailure(const NDITrackingInstrumentInfo& entry)
{
    log(Log::Error, [&] {
        return "ROM file for " + entry.name + " could not be uploaded from " + entry.romPath;
    });
}

}  // namespace

OpticalToolLoader::OpticalToolLoader(NdiConnection* connection, NDIInstrumentRegistry& registry)
    : m_connection(connection), m_registry(registry)
{
}

void OpticalToolLoader::freeStaleHandles(NdiConnection* connection)
{
    ndiCommand(connection, "PHSR:%02X", NDIReplyOptions::kPortHandlesToFree);
    const int stale =
        ndiGetError(connection) == NDI_OKAY ? ndiGetPHSRNumberOfHandles(connection) : 0;
    std::vector<int> staleHandles;
    for (int i = 0; i < stale; ++i) staleHandles.push_back(ndiGetPHSRHandle(connection, i));
    for (int handle : staleHandles) ndiCommand(connection, "PHF:%02X", handle);
}

Flags<InstrumentModification> OpticalToolLoader::loadTargets(
    const std::vector<NDITrackingInstrumentInfo>& targets, const TargetHandleStore& storeHandle)
{
    Flags<InstrumentModification> flags;
    for (std::size_t k = 0; k < targets.size(); ++k)
        flags |= loadTarget(targets[k], k, storeHandle);
    return flags;
}

Flags<InstrumentModification> OpticalToolLoader::loadTarget(NDITrackingInstrumentInfo entry,
                                                            std::size_t index,
                                                            const TargetHandleStore& storeHandle)
{
    const int handle = NDIUtils::requestNewPortHandle(m_connection);
    // Without a fresh handle the ROM would overwrite the previous tool's.
    if (ndiGetError(m_connection) != NDI_OKAY) {
        storeHandle(index, -1);
        logUploadFailure(entry);
        return {};
    }
    entry.portHandle = handle;
    storeHandle(index, handle);

    int partNumber = kReservedPartNumber;
    if (uploadRom(m_connection, handle, entry.romPath, partNumber) != 0) {
        logUploadFailure(entry);
        return {};
    }
    // A ROM without a part number is named after the reserved one.
    warnIfReserved(partNumber);

    const Flags<InstrumentModification> flags = m_registry.create(
        TrackerID("ndi-polaris-" + std::to_string(partNumber), std::string(), entry.name),
        std::make_unique<NDITrackingInstrumentInfo>(entry));
    enable(m_connection, handle);
    return flags;
}

int OpticalToolLoader::reload(NdiConnection* connection, const NDITrackingInstrumentInfo& entry)
{
    const int handle = NDIUtils::requestNewPortHandle(connection);
    int partNumber = kReservedPartNumber;
    if (ndiGetError(connection) != NDI_OKAY ||
        uploadRom(connection, handle, entry.romPath, partNumber) != 0) {
        logUploadFailure(entry);
        return -1;
    }
    if (!enable(connection, handle)) {
        log(Log::Error, [&] { return "Tool " + entry.name + " could not be enabled"; });
        return -1;
    }
    return handle;
}

int OpticalToolLoader::loadPlaceholder(NdiConnection* connection)
{
    const int handle = NDIUtils::requestNewPortHandle(connection);
    if (ndiGetError(connection) == NDI_OKAY) {
        int partNumber = 0;
        if (uploadRom(connection, handle, kPlaceholderTool, partNumber) == 0 &&
            partNumber == kReservedPartNumber && enable(connection, handle))
            return handle;
    }
    NDIStreamLog::text(Log::Error, "Querying raw fiducials not possible");
    return -1;
}

bool OpticalToolLoader::enable(NdiConnection* connection, int handle)
{
    ndiCommand(connection, "PINIT:%02X", handle);
    if (ndiGetError(connection) != NDI_OKAY) return false;
    ndiCommand(connection, "PENA:%02X%c", handle, 'D');
    return ndiGetError(connection) == NDI_OKAY;
}

void OpticalToolLoader::warnIfReserved(int partNumber)
{
    if (partNumber != kReservedPartNumber) return;
    log(Log::Warning, [&] {
        return "The part number " + std::to_string(kReservedPartNumber) +
               " is reserved for internal purposes. Consider using another part number.";
    });
}

}  // namespace Velantor

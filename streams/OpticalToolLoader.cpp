#include "OpticalToolLoader.h"

#include "NDIReplyOptions.h"
#include "NDIStreamLog.h"
#include "NDIUtils.h"

#include <ndi/protocol.h>

#include <memory>
#include <string>

namespace Velantor {

namespace {

using NDIStreamLog::log;

// The part number of the placeholder tool, and what an optical tool is
// called when its ROM gives none.
constexpr int kReservedPartNumber = 999999999;
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

void OpticalToolLoader::freeStaleHandles()
{
    ndiCommand(m_connection, "PHSR:%02X", NDIReplyOptions::kPortHandlesToFree);
    const int stale =
        ndiGetError(m_connection) == NDI_OKAY ? ndiGetPHSRNumberOfHandles(m_connection) : 0;
    std::vector<int> staleHandles;
    for (int i = 0; i < stale; ++i) staleHandles.push_back(ndiGetPHSRHandle(m_connection, i));
    for (int handle : staleHandles) ndiCommand(m_connection, "PHF:%02X", handle);
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
    if (NDIUtils::ndiPVWRFromResource(m_connection, handle, entry.romPath, partNumber) != 0) {
        logUploadFailure(entry);
        return {};
    }
    if (partNumber == kReservedPartNumber) {
        log(Log::Warning, [&] {
            return "The part number " + std::to_string(kReservedPartNumber) +
                   " is reserved for internal purposes. Consider using another part number.";
        });
    }

    const Flags<InstrumentModification> flags = m_registry.create(
        TrackerID("ndi-polaris-" + std::to_string(partNumber), std::string(), entry.name),
        std::make_unique<NDITrackingInstrumentInfo>(entry));
    enable(handle);
    return flags;
}

int OpticalToolLoader::loadPlaceholder()
{
    bool loaded = false;
    int placeholderHandle = -1;
    const int handle = NDIUtils::requestNewPortHandle(m_connection);
    if (ndiGetError(m_connection) == NDI_OKAY) {
        placeholderHandle = handle;
        int partNumber = 0;
        if (NDIUtils::ndiPVWRFromResource(m_connection, handle, kPlaceholderTool, partNumber) ==
                0 &&
            partNumber == kReservedPartNumber) {
            enable(handle);
            loaded = true;
        }
    }
    if (!loaded) NDIStreamLog::text(Log::Error, "Querying raw fiducials not possible");
    return placeholderHandle;
}

void OpticalToolLoader::enable(int handle)
{
    ndiCommand(m_connection, "PINIT:%02X", handle);
    ndiCommand(m_connection, "PENA:%02X%c", handle, 'D');
}

}  // namespace Velantor

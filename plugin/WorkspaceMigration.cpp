#include "WorkspaceMigration.h"

namespace Velantor {

namespace {

const char* algorithmForSystemType(std::int64_t systemType)
{
    switch (systemType) {
    case 0: return "NDITracking.PolarisVicraTrackingStream";
    case 1: return "NDITracking.PolarisVegaTrackingStream";
    case 2: return "NDITracking.AuroraTrackingStream";
    default: return nullptr;
    }
}

}  // namespace

bool renameCombinedStreamAlgorithms(Properties& workspace, const Filesystem::Path&)
{
    Properties* algorithms = workspace.subProperties("Algorithms");
    if (algorithms == nullptr) return false;
    bool changed = false;
    for (Properties* block : algorithms->subProperties()) {
        if (block->name() != "NDITracking.PolarisAuroraTrackingStream") continue;
        std::int64_t systemType = -1;
        if (!block->param("systemType", systemType)) continue;
        const char* id = algorithmForSystemType(systemType);
        if (id == nullptr) continue;
        // Every parameter, "systemType" included, stays for the new stream.
        block->setName(id);
        changed = true;
    }
    return changed;
}

WorkspaceConversionFunction cameraSpecificStreamConversion()
{
    return {"Renamed PolarisAuroraTrackingStream to camera-specific TrackingStream", 33,
            &renameCombinedStreamAlgorithms};
}

}  // namespace Velantor

#pragma once
// Workspaces saved before each camera family had an algorithm of its own name
// one algorithm, "NDITracking.PolarisAuroraTrackingStream", and tell the
// family by its "systemType" parameter; the conversion gives each such block
// the id of its family's algorithm.
#include <Velantor/WorkspaceConversionRegistry.h>

namespace Velantor {

WorkspaceConversionFunction cameraSpecificStreamConversion();

// True when at least one algorithm block got a new name; the path is unused.
bool renameCombinedStreamAlgorithms(Properties& workspace, const Filesystem::Path& path);

}  // namespace Velantor

#include "NDIAlgorithmFactory.h"

#include "NDIAlgorithms.h"

namespace Velantor {

NDIAlgorithmFactory::NDIAlgorithmFactory() : AlgorithmFactory("NDITracking")
{
    // Stored workspaces name the algorithms by these ids: they never change.
    registerAlgorithm<NDIPolarisAlgorithm>("PolarisVegaTrackingStream",
                                           "IO;NDI Tracking;Polaris Vega/Lyra");
    registerAlgorithm<NDIPolarisSerialAlgorithm>("PolarisVicraTrackingStream",
                                                 "IO;NDI Tracking;Polaris Vicra/Spectra");
    registerAlgorithm<NDIAuroraAlgorithm>("AuroraTrackingStream", "IO;NDI Tracking;Aurora");
}

}  // namespace Velantor

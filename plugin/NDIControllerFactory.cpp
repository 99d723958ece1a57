#include "NDIControllerFactory.h"

#include "NDIAlgorithms.h"

#include <Velantor/OpticalTrackingStreamController.h>
#include <Velantor/StreamControllerBase.h>

namespace Velantor {

NDIControllerFactory::NDIControllerFactory() : AlgorithmControllerFactory("NDITracking") {}

std::unique_ptr<AlgorithmController> NDIControllerFactory::create(Algorithm* algorithm) const
{
    if (algorithm == nullptr) return nullptr;
    if (dynamic_cast<NDIPolarisAlgorithm*>(algorithm) != nullptr)
        return std::make_unique<OpticalTrackingStreamController>(algorithm);
    // The serial streams' own panel is not there yet; until it is, they get
    // the host's standard stream panel.
    if (dynamic_cast<NDIPolarisSerialAlgorithm*>(algorithm) != nullptr ||
        dynamic_cast<NDIAuroraAlgorithm*>(algorithm) != nullptr)
        return std::make_unique<StreamControllerBase>(algorithm, true);
    return nullptr;
}

}  // namespace Velantor

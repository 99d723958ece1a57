#include "NDIControllerFactory.h"

#include "NDIAlgorithms.h"

#include <NDITrackingController.h>

#include <Velantor/OpticalTrackingStreamController.h>

namespace Velantor {

NDIControllerFactory::NDIControllerFactory() : AlgorithmControllerFactory("NDITracking") {}

std::unique_ptr<AlgorithmController> NDIControllerFactory::create(Algorithm* algorithm) const
{
    if (algorithm == nullptr) return nullptr;
    if (dynamic_cast<NDIPolarisAlgorithm*>(algorithm) != nullptr)
        return std::make_unique<OpticalTrackingStreamController>(algorithm);
    if (dynamic_cast<NDIPolarisSerialAlgorithm*>(algorithm) != nullptr ||
        dynamic_cast<NDIAuroraAlgorithm*>(algorithm) != nullptr)
        return std::make_unique<NDITrackingController>(algorithm);
    return nullptr;
}

}  // namespace Velantor

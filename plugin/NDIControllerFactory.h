#pragma once
// The panels of the plugin's algorithms: the host's optical panel for the
// marker stream, the plugin's own for the serial streams.
#include <Velantor/AlgorithmControllerFactory.h>

namespace Velantor {

class NDIControllerFactory : public AlgorithmControllerFactory {
public:
    NDIControllerFactory();
    // Null for a null algorithm and for algorithms that are not the plugin's.
    std::unique_ptr<AlgorithmController> create(Algorithm* algorithm) const override;
};

}  // namespace Velantor

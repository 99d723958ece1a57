#pragma once
// The plugin's algorithms, one per camera family, as the host offers them.
#include <Velantor/AlgorithmFactory.h>

namespace Velantor {

class NDIAlgorithmFactory : public AlgorithmFactory {
public:
    NDIAlgorithmFactory();
};

}  // namespace Velantor

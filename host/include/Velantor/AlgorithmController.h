#pragma once
// The user interface the host shows for an algorithm (a panel). The widget
// library's StreamControllerBase implements it; the host calls init() once
// after creating the controller.
namespace Velantor {

class Algorithm;

class AlgorithmController {
public:
    virtual ~AlgorithmController() = default;
    virtual void init() {}
    virtual Algorithm* algorithm() const = 0;
};

}  // namespace Velantor

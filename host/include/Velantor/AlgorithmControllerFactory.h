#pragma once
// Makes the panel for an algorithm, or nothing when the factory has none
// for it.
#include <Velantor/AlgorithmController.h>

#include <memory>
#include <string>

namespace Velantor {

class Algorithm;

class AlgorithmControllerFactory {
public:
    explicit AlgorithmControllerFactory(std::string name) : m_name(std::move(name)) {}
    virtual ~AlgorithmControllerFactory() = default;
    AlgorithmControllerFactory(const AlgorithmControllerFactory&) = delete;
    AlgorithmControllerFactory& operator=(const AlgorithmControllerFactory&) = delete;

    const std::string& name() const { return m_name; }
    virtual std::unique_ptr<AlgorithmController> create(Algorithm* algorithm) const = 0;

private:
    std::string m_name;
};

}  // namespace Velantor

#include <Velantor/AlgorithmFactory.h>

namespace Velantor {

const AlgorithmFactory::Descriptor* AlgorithmFactory::descriptor(const std::string& fullId) const
{
    for (const auto& d : m_descriptors)
        if (d.id == fullId) return &d;
    return nullptr;
}

std::vector<std::string> AlgorithmFactory::compatibleAlgorithms(const DataList& inputs) const
{
    std::vector<std::string> ids;
    for (const auto& d : m_descriptors)
        if (d.isCompatible && d.isCompatible(inputs)) ids.push_back(d.id);
    return ids;
}

std::unique_ptr<Algorithm> AlgorithmFactory::create(const std::string& fullId,
                                                    const DataList& inputs) const
{
    const Descriptor* d = descriptor(fullId);
    if (!d || !d->create) return nullptr;
    return d->create(inputs);
}

void AlgorithmFactory::prepare(Algorithm& algorithm, const std::string& fullId,
                               const std::string& name, const Properties* defaults)
{
    algorithm.setFactoryInfo(fullId, name);
    if (auto* io = dynamic_cast<IoAlgorithm*>(&algorithm)) io->configureFromGlobalSettings();
    if (defaults) algorithm.configure(defaults);
}

bool AlgorithmFactory::addDescriptor(Descriptor descriptor)
{
    if (this->descriptor(descriptor.id)) {
        Log::logIf(Log::Warning, "AlgorithmFactory",
                   [&] { return "Algorithm already registered: " + descriptor.id; });
        return false;
    }
    m_descriptors.push_back(std::move(descriptor));
    return true;
}

}  // namespace Velantor

#include <Velantor/WorkspaceConversionRegistry.h>

#include <algorithm>

namespace Velantor {

WorkspaceConversionRegistry& WorkspaceConversionRegistry::instance()
{
    static WorkspaceConversionRegistry* registry = new WorkspaceConversionRegistry;
    return *registry;
}

void WorkspaceConversionRegistry::addConversion(WorkspaceConversionFunction conversion)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_conversions.push_back(std::move(conversion));
}

std::vector<WorkspaceConversionFunction> WorkspaceConversionRegistry::conversions() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_conversions;
}

bool WorkspaceConversionRegistry::convert(Properties& workspace, const Filesystem::Path& path,
                                          int savedVersion) const
{
    return convert(workspace, path, savedVersion, nullptr);
}

bool WorkspaceConversionRegistry::convert(Properties& workspace, const Filesystem::Path& path,
                                          int savedVersion, std::vector<std::string>* applied) const
{
    auto pending = conversions();
    std::stable_sort(pending.begin(), pending.end(),
                     [](const auto& a, const auto& b) { return a.version < b.version; });
    bool changed = false;
    for (const auto& c : pending) {
        if (c.version <= savedVersion || !c.function || !c.function(workspace, path)) continue;
        changed = true;
        if (applied) applied->push_back(c.description);
    }
    return changed;
}

}  // namespace Velantor

#pragma once
// Conversions that upgrade workspaces saved by older versions. Each
// conversion carries the workspace format version it belongs to: a
// workspace saved with an older format version gets every conversion of a
// newer version applied, in ascending order of version (and registration
// order within one version).
#include <Velantor/Filesystem.h>
#include <Velantor/Properties.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Velantor {

struct WorkspaceConversionFunction {
    std::string description;
    int version = 0;
    // Gets the workspace's root block and the workspace file's path; returns
    // whether it changed anything.
    std::function<bool(Properties&, const Filesystem::Path&)> function;
};

class WorkspaceConversionRegistry {
public:
    static WorkspaceConversionRegistry& instance();

    void addConversion(WorkspaceConversionFunction conversion);
    std::vector<WorkspaceConversionFunction> conversions() const;

    // Applies the conversions newer than savedVersion; true when any changed
    // the workspace. Conversions run without the registry's lock held.
    bool convert(Properties& workspace, const Filesystem::Path& path, int savedVersion) const;
    // The same; appends to *applied (when given) the description of each
    // conversion that changed the workspace, in the order they ran, so that
    // the host can say what happened to a workspace it loads.
    bool convert(Properties& workspace, const Filesystem::Path& path, int savedVersion,
                 std::vector<std::string>* applied) const;

private:
    WorkspaceConversionRegistry() = default;
    mutable std::mutex m_mutex;
    std::vector<WorkspaceConversionFunction> m_conversions;
};

}  // namespace Velantor

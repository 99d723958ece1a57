#pragma once
// A workspace: the algorithms a user set up, kept in a workspace file
// (WorkspaceFile.h) as the root block "Workspace" with one block per
// algorithm under "Algorithms", named by the algorithm's full id and holding
// its configuration.
//
// load() reads the file, upgrades it with the registered workspace
// conversions that are newer than the version it was saved with, and
// creates and configures one algorithm per block, in block order, through the
// plugins' factories. It logs (information, category "Workspace") each
// conversion that changed the workspace and each algorithm block it renamed.
// An algorithm no loaded plugin offers fails the whole load: a workspace
// loaded without it would silently lack a device the user counts on.
// Nothing is computed: the host decides when the algorithms run.
#include <Velantor/Algorithm.h>
#include <Velantor/Filesystem.h>
#include <Velantor/Properties.h>

#include <memory>
#include <string>
#include <vector>

namespace Velantor {

class PluginSet;

class Workspace {
public:
    static constexpr const char* kRootName = "Workspace";
    static constexpr const char* kAlgorithmsName = "Algorithms";

    Workspace();
    ~Workspace();
    Workspace(Workspace&&) noexcept;
    Workspace& operator=(Workspace&&) noexcept;

    // On failure (false, the reason in *error) the workspace is left as it was.
    bool load(const Filesystem::Path& path, const PluginSet& plugins, std::string* error);

    // The tree as converted, and what load() learnt on the way.
    const Properties& properties() const { return m_properties; }
    int savedVersion() const { return m_savedVersion; }
    // Descriptions of the conversions that changed the workspace, in order.
    const std::vector<std::string>& conversions() const { return m_conversions; }

    // One per algorithm block, in block order; configured, not computed.
    const std::vector<std::unique_ptr<Algorithm>>& algorithms() const { return m_algorithms; }
    std::vector<std::unique_ptr<Algorithm>> takeAlgorithms();

    // The tree of these algorithms: under "Algorithms" a block per algorithm
    // named by its id and filled with its configuration. Callers that want to
    // add to it write it with WorkspaceFile::write.
    static Properties fromAlgorithms(const std::vector<const Algorithm*>& algorithms);
    // Writes that tree with the current workspace format version. Refuses an
    // algorithm without id (one not made by a factory), which no load could
    // create again.
    static bool save(const Filesystem::Path& path, const std::vector<const Algorithm*>& algorithms,
                     std::string* error);
    static bool save(const Filesystem::Path& path,
                     const std::vector<std::unique_ptr<Algorithm>>& algorithms, std::string* error);

private:
    Properties m_properties;
    int m_savedVersion = 0;
    std::vector<std::string> m_conversions;
    std::vector<std::unique_ptr<Algorithm>> m_algorithms;
};

}  // namespace Velantor

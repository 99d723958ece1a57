#pragma once
// The workbench as a host: the plugin libraries it loaded and the algorithms
// it makes through them. Every algorithm, panel and stream made from a plugin
// must be gone before its AlgorithmHost is.
#include <Velantor/Algorithm.h>
#include <Velantor/AlgorithmController.h>
#include <Velantor/PluginSet.h>
#include <Velantor/Properties.h>

#include <memory>
#include <string>
#include <vector>

namespace workbench {

// An algorithm as made at start, with the settings it is to be configured with.
struct MadeAlgorithm {
    std::unique_ptr<Velantor::Algorithm> algorithm;
    Velantor::Properties settings;
};

class AlgorithmHost {
public:
    AlgorithmHost() = default;
    AlgorithmHost(const AlgorithmHost&) = delete;
    AlgorithmHost& operator=(const AlgorithmHost&) = delete;

    // The NDI plugin next to the program when paths is empty. Says on stderr
    // which were loaded.
    bool loadPlugins(const std::vector<std::string>& paths, std::string* error);

    // Full ids, and the menu name of each ("IO;NDI Tracking;Aurora").
    std::vector<std::string> algorithmIds() const;
    std::string algorithmName(const std::string& fullId) const;
    // The full id for a full id or for the part after the dot, when exactly one
    // algorithm has it; "" otherwise.
    std::string resolve(const std::string& id) const;

    // Null with the reason (naming the ids offered) for an unknown id.
    std::unique_ptr<Velantor::Algorithm> create(const std::string& id, std::string* error) const;
    // One algorithm per block of the workspace (converted when an older
    // version saved it), with its block as settings.
    bool loadWorkspace(const std::string& path, std::vector<MadeAlgorithm>& made,
                       std::string* error) const;
    std::unique_ptr<Velantor::AlgorithmController> createController(
        Velantor::Algorithm* algorithm) const;

private:
    Velantor::PluginSet m_plugins;
};

}  // namespace workbench

#pragma once
// The plugin libraries a host program has loaded, and the algorithms and
// panels they offer.
//
// load() opens a library with PluginLoader, checks that every plugin it
// depends on is there (a plugin of this set, or any id registered by a
// PluginAutoRegistrationGuard: the host's own libraries and every loaded
// plugin library, except a plugin this set refused), calls the plugin's
// init() and keeps it. A plugin whose dependencies are missing is refused
// before its init() is called, so that it registers nothing; one whose
// init() fails is refused too (what it registered before failing stays
// registered). Failures are returned, not logged (PluginLoader logs its
// own).
//
// Plugins are destroyed in the reverse order of loading: a plugin may use
// what the ones it depends on registered until it is gone.
#include <Velantor/Algorithm.h>
#include <Velantor/AlgorithmController.h>
#include <Velantor/PluginLoader.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Velantor {

class PluginSet {
public:
    PluginSet() = default;
    ~PluginSet();
    PluginSet(const PluginSet&) = delete;
    PluginSet& operator=(const PluginSet&) = delete;

    bool load(const std::string& path, std::string* error);
    // What a host program does at start: loads the libraries in order, or
    // fallback alone when paths is empty, and stops at the first that fails
    // ("cannot load the plugin PATH: why"). loaded hears of each one loaded,
    // as "plugin ID loaded from PATH" ("plugin library ..." without an id),
    // so that the program says it in its own voice.
    bool loadAll(const std::vector<std::string>& paths, const std::string& fallback,
                 const std::function<void(const std::string& note)>& loaded, std::string* error);

    // In the order they were loaded.
    const std::vector<std::unique_ptr<LoadedPlugin>>& plugins() const { return m_plugins; }
    std::vector<std::string> pluginIds() const;

    // The full ids ("Factory.Id") of every algorithm the plugins offer, in
    // the order of the plugins and of their registrations.
    std::vector<std::string> algorithmIds() const;
    // From the first plugin that offers the id. Null, and the reason in
    // *error, for an id no plugin offers (the message lists those offered) or
    // an algorithm that could not be made.
    std::unique_ptr<Algorithm> createAlgorithm(const std::string& fullId, std::string* error) const;
    // The first panel a plugin's controller factory makes for the algorithm;
    // null when none does.
    std::unique_ptr<AlgorithmController> createController(Algorithm* algorithm) const;

private:
    std::vector<std::unique_ptr<LoadedPlugin>> m_plugins;
    // A refused plugin's library stays mapped, and with it its registration
    // guard: its id must not satisfy the plugins that depend on it.
    std::set<std::string> m_refused;
};

}  // namespace Velantor

#include <Velantor/PluginSet.h>
#include <Velantor/String.h>

#include <algorithm>
#include <exception>

namespace Velantor {

namespace {

bool fail(std::string* error, const std::string& why)
{
    if (error) *error = why;
    return false;
}

// How messages name a plugin: by its id, or by its file when it has none.
std::string nameOf(const LoadedPlugin& plugin)
{
    return plugin.id().empty() ? plugin.path() : plugin.id();
}

}  // namespace

PluginSet::~PluginSet()
{
    while (!m_plugins.empty()) m_plugins.pop_back();
}

bool PluginSet::load(const std::string& path, std::string* error)
{
    std::unique_ptr<LoadedPlugin> loaded = PluginLoader::load(path, error);
    if (!loaded) return false;
    const std::string name = nameOf(*loaded);
    auto refuse = [&](const std::string& why) {
        if (!loaded->id().empty()) m_refused.insert(loaded->id());
        return fail(error, why);
    };

    // Its factories would shadow or double the first one's, and its init()
    // would register every workspace conversion a second time.
    for (const auto& p : m_plugins)
        if (!loaded->id().empty() && p->id() == loaded->id())
            return fail(error, "plugin " + name + " is loaded already (from " + p->path() + ")");

    std::vector<std::string> available;
    for (const std::string& id : PluginAutoRegistrationGuard::registeredIds())
        if (m_refused.count(id) == 0) available.push_back(id);
    for (const auto& p : m_plugins) available.push_back(p->id());
    std::vector<std::string> missing;
    try {
        for (const std::string& dependency : loaded->plugin()->dependencies())
            if (std::find(available.begin(), available.end(), dependency) == available.end())
                missing.push_back(dependency);
    } catch (const std::exception& e) {
        return refuse("plugin " + name + " cannot tell its dependencies: " + e.what());
    }
    if (!missing.empty())
        return refuse("plugin " + name + " needs " + String::join(missing, ", ") + ", which " +
                      (missing.size() == 1 ? "is" : "are") + " not loaded");

    int result = 0;
    try {
        result = loaded->plugin()->init();
    } catch (const std::exception& e) {
        return refuse("plugin " + name + " failed to initialise: " + e.what());
    }
    if (result != 0)
        return refuse("plugin " + name + " failed to initialise (init returned " +
                      std::to_string(result) + ")");
    m_refused.erase(loaded->id());
    m_plugins.push_back(std::move(loaded));
    return true;
}

bool PluginSet::loadAll(const std::vector<std::string>& paths, const std::string& fallback,
                        const std::function<void(const std::string& note)>& loaded,
                        std::string* error)
{
    std::vector<std::string> libraries = paths;
    if (libraries.empty()) libraries.push_back(fallback);
    for (const std::string& path : libraries) {
        std::string why;
        if (!load(path, &why)) return fail(error, "cannot load the plugin " + path + ": " + why);
        const std::string& id = m_plugins.back()->id();
        if (loaded)
            loaded("plugin " + (id.empty() ? std::string("library") : id) + " loaded from " + path);
    }
    return true;
}

std::vector<std::string> PluginSet::pluginIds() const
{
    std::vector<std::string> ids;
    for (const auto& p : m_plugins) ids.push_back(nameOf(*p));
    return ids;
}

std::vector<std::string> PluginSet::algorithmIds() const
{
    std::vector<std::string> ids;
    for (const auto& p : m_plugins)
        if (const AlgorithmFactory* factory = p->plugin()->algorithmFactory())
            for (const auto& d : factory->descriptors()) ids.push_back(d.id);
    return ids;
}

std::unique_ptr<Algorithm> PluginSet::createAlgorithm(const std::string& fullId,
                                                      std::string* error) const
{
    for (const auto& p : m_plugins) {
        const AlgorithmFactory* factory = p->plugin()->algorithmFactory();
        if (!factory || !factory->descriptor(fullId)) continue;
        if (auto algorithm = factory->create(fullId)) return algorithm;
        fail(error, "plugin " + nameOf(*p) + " could not create algorithm " + fullId);
        return nullptr;
    }
    const auto offered = algorithmIds();
    fail(error, "no loaded plugin offers algorithm " + fullId + " (offered: " +
                    (offered.empty() ? std::string("none") : String::join(offered, ", ")) + ")");
    return nullptr;
}

std::unique_ptr<AlgorithmController> PluginSet::createController(Algorithm* algorithm) const
{
    if (!algorithm) return nullptr;
    for (const auto& p : m_plugins)
        if (const AlgorithmControllerFactory* factory = p->plugin()->controllerFactory())
            if (auto controller = factory->create(algorithm)) return controller;
    return nullptr;
}

}  // namespace Velantor

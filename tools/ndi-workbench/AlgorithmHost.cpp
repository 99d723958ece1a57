#include "AlgorithmHost.h"

#include <Velantor/AlgorithmFactory.h>
#include <Velantor/Plugin.h>
#include <Velantor/String.h>
#include <Velantor/Workspace.h>

#include <QCoreApplication>

#include <cstdio>

namespace workbench {

namespace {

std::string defaultPluginPath()
{
    return (QCoreApplication::applicationDirPath() + QLatin1Char('/') +
            QStringLiteral(NDI_PLUGIN_FILE_NAME))
        .toStdString();
}

}  // namespace

bool AlgorithmHost::loadPlugins(const std::vector<std::string>& paths, std::string* error)
{
    return m_plugins.loadAll(
        paths, defaultPluginPath(),
        [](const std::string& note) { std::fprintf(stderr, "ndi-workbench: %s\n", note.c_str()); },
        error);
}

std::vector<std::string> AlgorithmHost::algorithmIds() const { return m_plugins.algorithmIds(); }

std::string AlgorithmHost::algorithmName(const std::string& fullId) const
{
    for (const auto& p : m_plugins.plugins())
        if (const Velantor::AlgorithmFactory* factory = p->plugin()->algorithmFactory())
            if (const auto* d = factory->descriptor(fullId)) return d->name;
    return {};
}

std::string AlgorithmHost::resolve(const std::string& id) const
{
    std::string found;
    for (const std::string& full : algorithmIds()) {
        if (full == id) return full;
        const auto dot = full.find('.');
        if (dot != std::string::npos && full.compare(dot + 1, std::string::npos, id) == 0) {
            // Two factories offering the same short id: only the full id says which.
            if (!found.empty() && found != full) return {};
            found = full;
        }
    }
    return found;
}

std::unique_ptr<Velantor::Algorithm> AlgorithmHost::create(const std::string& id,
                                                           std::string* error) const
{
    const std::string full = resolve(id);
    if (full.empty()) {
        const auto offered = algorithmIds();
        *error = "no loaded plugin offers the algorithm " + id + " (offered: " +
                 (offered.empty() ? std::string("none") : Velantor::String::join(offered, ", ")) +
                 ")";
        return nullptr;
    }
    return m_plugins.createAlgorithm(full, error);
}

bool AlgorithmHost::loadWorkspace(const std::string& path, std::vector<MadeAlgorithm>& made,
                                  std::string* error) const
{
    Velantor::Workspace workspace;
    // The host's reasons name the file.
    if (!workspace.load(Velantor::Filesystem::Path(path), m_plugins, error)) return false;
    const Velantor::Properties* blocks =
        workspace.properties().subProperties(Velantor::Workspace::kAlgorithmsName);
    const auto settings =
        blocks ? blocks->subProperties() : std::vector<const Velantor::Properties*>{};
    std::vector<std::unique_ptr<Velantor::Algorithm>> algorithms = workspace.takeAlgorithms();
    if (algorithms.empty()) {
        *error = "the workspace " + path + " holds no algorithm";
        return false;
    }
    for (std::size_t i = 0; i < algorithms.size(); ++i) {
        MadeAlgorithm m;
        m.algorithm = std::move(algorithms[i]);
        if (i < settings.size()) m.settings = *settings[i];
        made.push_back(std::move(m));
    }
    return true;
}

std::unique_ptr<Velantor::AlgorithmController> AlgorithmHost::createController(
    Velantor::Algorithm* algorithm) const
{
    return m_plugins.createController(algorithm);
}

}  // namespace workbench

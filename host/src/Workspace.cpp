#include <Velantor/Log.h>
#include <Velantor/PluginSet.h>
#include <Velantor/String.h>
#include <Velantor/Workspace.h>
#include <Velantor/WorkspaceConversionRegistry.h>
#include <Velantor/WorkspaceFile.h>

#include <exception>
#include <utility>

namespace Velantor {

namespace {

constexpr const char* kCategory = "Workspace";

bool fail(std::string* error, const std::string& why)
{
    if (error) *error = why;
    return false;
}

std::vector<std::string> algorithmBlockNames(const Properties& workspace)
{
    std::vector<std::string> names;
    if (const Properties* algorithms = workspace.subProperties(Workspace::kAlgorithmsName))
        for (const Properties* block : algorithms->subProperties()) names.push_back(block->name());
    return names;
}

}  // namespace

Workspace::Workspace() : m_properties(kRootName) {}
Workspace::~Workspace() = default;
Workspace::Workspace(Workspace&&) noexcept = default;
Workspace& Workspace::operator=(Workspace&&) noexcept = default;

std::vector<std::unique_ptr<Algorithm>> Workspace::takeAlgorithms()
{
    return std::exchange(m_algorithms, {});
}

bool Workspace::load(const Filesystem::Path& path, const PluginSet& plugins, std::string* error)
{
    const std::string where = "Workspace " + path.string() + ": ";
    Properties tree;
    int savedVersion = 0;
    if (!WorkspaceFile::read(path, tree, savedVersion, error)) return false;

    const std::vector<std::string> namesBefore = algorithmBlockNames(tree);
    std::vector<std::string> applied;
    try {
        WorkspaceConversionRegistry::instance().convert(tree, path, savedVersion, &applied);
    } catch (const std::exception& e) {
        return fail(error, where + "a workspace conversion failed: " + e.what());
    }
    for (const std::string& description : applied)
        Log::logIf(Log::Info, kCategory, [&] { return where + description; });
    const std::vector<std::string> namesAfter = algorithmBlockNames(tree);
    if (namesAfter.size() != namesBefore.size()) {
        Log::logIf(Log::Info, kCategory, [&] {
            return where + "the conversions turned " + std::to_string(namesBefore.size()) +
                   " algorithm blocks into " + std::to_string(namesAfter.size());
        });
    } else {
        for (std::size_t i = 0; i < namesAfter.size(); ++i) {
            if (namesAfter[i] == namesBefore[i]) continue;
            Log::logIf(Log::Info, kCategory, [&] {
                return where + "algorithm block " + std::to_string(i + 1) + " " + namesBefore[i] +
                       " is now " + namesAfter[i] + " (" + String::join(applied, "; ") + ")";
            });
        }
    }

    std::vector<std::unique_ptr<Algorithm>> algorithms;
    if (const Properties* blocks = tree.subProperties(kAlgorithmsName)) {
        std::size_t number = 0;
        for (const Properties* block : blocks->subProperties()) {
            const std::string which =
                where + "algorithm block " + std::to_string(++number) + " " + block->name();
            std::string why;
            std::unique_ptr<Algorithm> algorithm = plugins.createAlgorithm(block->name(), &why);
            if (!algorithm) {
                const auto loaded = plugins.pluginIds();
                return fail(
                    error, which + ": " + why + "; plugins loaded: " +
                               (loaded.empty() ? std::string("none") : String::join(loaded, ", ")));
            }
            try {
                algorithm->configure(block);
            } catch (const std::exception& e) {
                return fail(error, which + ": its configuration was refused: " + e.what());
            }
            algorithms.push_back(std::move(algorithm));
        }
    }

    m_properties = std::move(tree);
    m_savedVersion = savedVersion;
    m_conversions = std::move(applied);
    m_algorithms = std::move(algorithms);
    return true;
}

Properties Workspace::fromAlgorithms(const std::vector<const Algorithm*>& algorithms)
{
    Properties workspace(kRootName);
    Properties& blocks = workspace.addSubProperties(kAlgorithmsName);
    for (const Algorithm* algorithm : algorithms) {
        if (!algorithm) continue;
        algorithm->configuration(&blocks.addSubProperties(algorithm->id()));
    }
    return workspace;
}

bool Workspace::save(const Filesystem::Path& path, const std::vector<const Algorithm*>& algorithms,
                     std::string* error)
{
    std::size_t number = 0;
    for (const Algorithm* algorithm : algorithms) {
        ++number;
        if (algorithm && algorithm->id().empty())
            return fail(error, "cannot write workspace " + path.string() + ": algorithm " +
                                   std::to_string(number) +
                                   " has no id (it was not made by an algorithm factory)");
    }
    Properties workspace;
    try {
        workspace = fromAlgorithms(algorithms);
    } catch (const std::exception& e) {
        return fail(error, "cannot write workspace " + path.string() +
                               ": an algorithm could not give its configuration: " + e.what());
    }
    return WorkspaceFile::write(path, workspace, error);
}

bool Workspace::save(const Filesystem::Path& path,
                     const std::vector<std::unique_ptr<Algorithm>>& algorithms, std::string* error)
{
    std::vector<const Algorithm*> pointers;
    pointers.reserve(algorithms.size());
    for (const auto& a : algorithms) pointers.push_back(a.get());
    return save(path, pointers, error);
}

}  // namespace Velantor

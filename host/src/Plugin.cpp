#include <Velantor/AlgorithmControllerFactory.h>
#include <Velantor/AlgorithmFactory.h>
#include <Velantor/Plugin.h>

#include <algorithm>
#include <mutex>

namespace Velantor {

PluginBase::~PluginBase() = default;

VelantorLibPlugin::~VelantorLibPlugin() = default;

void VelantorLibPlugin::setApplicationController(ApplicationController*) {}

void VelantorLibPlugin::registerFactories(
    std::unique_ptr<AlgorithmFactory> algorithmFactory,
    std::unique_ptr<AlgorithmControllerFactory> controllerFactory,
    std::unique_ptr<AnnotationFactory> annotationFactory)
{
    m_algorithmFactory = std::move(algorithmFactory);
    m_controllerFactory = std::move(controllerFactory);
    m_annotationFactory = std::move(annotationFactory);
}

namespace {

struct GuardRegistry {
    std::mutex mutex;
    std::vector<std::string> ids;
};

GuardRegistry& guardRegistry()
{
    // Never destroyed: plugin libraries may unregister during process exit.
    static GuardRegistry* r = new GuardRegistry;
    return *r;
}

}  // namespace

PluginAutoRegistrationGuard::PluginAutoRegistrationGuard(std::function<std::string()> pluginId)
    : m_id(pluginId ? pluginId() : std::string())
{
    GuardRegistry& r = guardRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.ids.push_back(m_id);
}

PluginAutoRegistrationGuard::~PluginAutoRegistrationGuard()
{
    GuardRegistry& r = guardRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = std::find(r.ids.begin(), r.ids.end(), m_id);
    if (it != r.ids.end()) r.ids.erase(it);
}

std::vector<std::string> PluginAutoRegistrationGuard::registeredIds()
{
    GuardRegistry& r = guardRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.ids;
}

}  // namespace Velantor

#include "NDIPlugin.h"

#include "NDIAlgorithmFactory.h"
#include "NDIControllerFactory.h"
#include "WorkspaceMigration.h"

#include <Velantor/WorkspaceConversionRegistry.h>

namespace Velantor {

namespace {

constexpr const char* kPluginId = "Velantor.NDI";

// Alive exactly as long as the library is loaded. The compiled-in resource
// collection (the placeholder tool definition) is registered and released
// the same way, by the initialiser that comes with it.
const PluginAutoRegistrationGuard registration(&NDIPlugin::id);

}  // namespace

NDIPlugin::~NDIPlugin() = default;

std::string NDIPlugin::author() const { return "Velantor GmbH"; }

std::string NDIPlugin::description() const
{
    return "Plugin for real-time streaming from NDI tracking systems";
}

std::vector<std::string> NDIPlugin::dependencies() const { return {"Velantor.Stream"}; }

int NDIPlugin::init()
{
    auto controllers = std::make_unique<NDIControllerFactory>();
    auto algorithms = std::make_unique<NDIAlgorithmFactory>();
    registerFactories(std::move(algorithms), std::move(controllers), nullptr);
    WorkspaceConversionRegistry::instance().addConversion(cameraSpecificStreamConversion());
    return 0;
}

std::string NDIPlugin::id() { return kPluginId; }

}  // namespace Velantor

extern "C" {

Velantor::VelantorLibPlugin* velantorCreatePlugin() { return new Velantor::NDIPlugin; }

const char* velantorPluginId() { return Velantor::kPluginId; }

// The host checks it before it calls anything; the plugin version is empty.
const char* velantorPluginDescriptor =
    "__VELANTOR_PLUGIN_V2_MAGIC_STRING__|hostversion=4.5.0|buildflags=GLIBCXX_DEBUG:_GLIBCXX_DEBUG|"
    "pluginversion=";
}

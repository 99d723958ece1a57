#pragma once
// Plugins. A plugin library exports three C symbols:
//   VelantorLibPlugin* velantorCreatePlugin();   a new plugin, owned by the host
//   const char* velantorPluginId();              the plugin's id
//   const char* velantorPluginDescriptor;        the plugin magic string
// (see PluginLoader.h for how the host checks them). The host then calls
// init(), in which the plugin hands its factories over with
// registerFactories, and later destroys the plugin.
#include <Velantor/AlgorithmControllerFactory.h>
#include <Velantor/AlgorithmFactory.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Velantor {

class ApplicationController;

// Makes annotations (marks the user places on data); no plugin here has one.
class AnnotationFactory {
public:
    virtual ~AnnotationFactory() = default;
};

class PluginBase {
public:
    PluginBase() = default;
    virtual ~PluginBase();
    PluginBase(const PluginBase&) = delete;
    PluginBase& operator=(const PluginBase&) = delete;

    virtual std::string author() const = 0;
    virtual std::string description() const = 0;
    // Ids of plugins that must be loaded first.
    virtual std::vector<std::string> dependencies() const { return {}; }
    // 0 on success.
    virtual int init() = 0;
};

class VelantorLibPlugin : public PluginBase {
public:
    ~VelantorLibPlugin() override;
    // This host has no application controller to give; the default keeps
    // nothing.
    virtual void setApplicationController(ApplicationController* controller);

    // The factories the plugin registered (null before init or when none).
    AlgorithmFactory* algorithmFactory() const { return m_algorithmFactory.get(); }
    AlgorithmControllerFactory* controllerFactory() const { return m_controllerFactory.get(); }
    AnnotationFactory* annotationFactory() const { return m_annotationFactory.get(); }

protected:
    // Takes ownership of the factories; any may be null. A second call
    // replaces the factories of the first.
    void registerFactories(std::unique_ptr<AlgorithmFactory> algorithmFactory,
                           std::unique_ptr<AlgorithmControllerFactory> controllerFactory,
                           std::unique_ptr<AnnotationFactory> annotationFactory);

private:
    std::unique_ptr<AlgorithmFactory> m_algorithmFactory;
    std::unique_ptr<AlgorithmControllerFactory> m_controllerFactory;
    std::unique_ptr<AnnotationFactory> m_annotationFactory;
};

// A plugin library holds one static guard; it records the library's plugin
// id among the loaded plugins for as long as the library is loaded.
class PluginAutoRegistrationGuard {
public:
    explicit PluginAutoRegistrationGuard(std::function<std::string()> pluginId);
    ~PluginAutoRegistrationGuard();
    PluginAutoRegistrationGuard(const PluginAutoRegistrationGuard&) = delete;
    PluginAutoRegistrationGuard& operator=(const PluginAutoRegistrationGuard&) = delete;

    // Ids of the plugins whose guard is alive, in order of registration.
    static std::vector<std::string> registeredIds();

private:
    std::string m_id;
};

}  // namespace Velantor

#pragma once
// Loads a plugin library for a host program.
//
// The library must export velantorPluginDescriptor, a pointer to the plugin
// magic string: "|"-separated fields, the first being the marker
// "__VELANTOR_PLUGIN_V2_MAGIC_STRING__", the others key=value, among them
// hostversion=<major>.<minor>.<patch>: the host version the plugin was built
// against. This host (version 4.5.0) accepts a plugin built for the same
// major version and a minor version not above its own; other fields
// (buildflags, pluginversion) are recorded, not checked. Only a library that
// passes is asked for its plugin (velantorCreatePlugin); velantorPluginId is
// optional.
//
// The library stays mapped after the plugin is unloaded (the code of
// conversions and algorithms it registered may still be referenced), so
// destroying a LoadedPlugin destroys the plugin object only.
#include <Velantor/Plugin.h>

#include <memory>
#include <string>

namespace Velantor {

struct PluginDescriptor {
    std::string marker;
    std::string hostVersion;
    std::string buildFlags;
    std::string pluginVersion;
};

class LoadedPlugin {
public:
    ~LoadedPlugin();
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    VelantorLibPlugin* plugin() const { return m_plugin.get(); }
    const std::string& path() const { return m_path; }
    const std::string& id() const { return m_id; }  // empty without velantorPluginId
    const PluginDescriptor& descriptor() const { return m_descriptor; }

private:
    friend class PluginLoader;
    LoadedPlugin() = default;
    std::unique_ptr<VelantorLibPlugin> m_plugin;
    void* m_handle = nullptr;
    std::string m_path;
    std::string m_id;
    PluginDescriptor m_descriptor;
};

class PluginLoader {
public:
    static constexpr const char* kMagicMarker = "__VELANTOR_PLUGIN_V2_MAGIC_STRING__";
    static constexpr const char* kHostVersion = "4.5.0";

    // Parses and checks a magic string; on failure says why in *error.
    static bool parseDescriptor(const std::string& text, PluginDescriptor& descriptor,
                                std::string* error);

    // Opens the library, checks its magic string and creates its plugin. Does
    // not call init(). Null (and the reason in *error, also logged with
    // category "PluginLoader") when the library cannot be opened, has no or a
    // wrong magic string, or does not create a plugin.
    static std::unique_ptr<LoadedPlugin> load(const std::string& path,
                                              std::string* error = nullptr);
};

}  // namespace Velantor

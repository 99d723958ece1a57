#pragma once
// The plugin library, loaded and initialised once per test program the way
// the host does it, and kept for the program's life.
#include <Velantor/PluginLoader.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

inline const Velantor::LoadedPlugin& loadedNdiPlugin()
{
    static const Velantor::LoadedPlugin* loaded = [] {
        std::string error;
        auto plugin = Velantor::PluginLoader::load(NDI_PLUGIN_LIBRARY, &error);
        if (!plugin) {
            ADD_FAILURE() << "cannot load " << NDI_PLUGIN_LIBRARY << ": " << error;
            std::abort();
        }
        if (plugin->plugin()->init() != 0) {
            ADD_FAILURE() << "init failed";
            std::abort();
        }
        return plugin.release();
    }();
    return *loaded;
}

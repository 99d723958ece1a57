#pragma once
// The plugin library, loaded and initialised once per test program the way
// the host does it (dependencies checked), and kept for the program's life.
#include <Velantor/PluginSet.h>

#include <gtest/gtest.h>

#include <cstdlib>

inline const Velantor::PluginSet& ndiPluginSet()
{
    static const Velantor::PluginSet* plugins = [] {
        auto* set = new Velantor::PluginSet;
        std::string error;
        if (!set->load(NDI_PLUGIN_LIBRARY, &error)) {
            ADD_FAILURE() << "cannot load " << NDI_PLUGIN_LIBRARY << ": " << error;
            std::abort();
        }
        return set;
    }();
    return *plugins;
}

inline const Velantor::LoadedPlugin& loadedNdiPlugin() { return *ndiPluginSet().plugins().front(); }

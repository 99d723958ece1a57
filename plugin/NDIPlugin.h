#pragma once
// The plugin the host loads: it makes the NDI streams and their panels known
// to the host and upgrades workspaces saved with the older algorithm id.
#include <Velantor/Plugin.h>

#include <string>
#include <vector>

namespace Velantor {

class NDIPlugin : public VelantorLibPlugin {
public:
    ~NDIPlugin() override;

    std::string author() const override;
    std::string description() const override;
    std::vector<std::string> dependencies() const override;
    // Hands the algorithm and controller factories to the host and registers
    // the workspace conversion; 0.
    int init() override;

    static std::string id();
};

}  // namespace Velantor

// What the host looks up in the library (C linkage).
extern "C" {
__attribute__((visibility("default"))) Velantor::VelantorLibPlugin* velantorCreatePlugin();
__attribute__((visibility("default"))) const char* velantorPluginId();
__attribute__((visibility("default"))) extern const char* velantorPluginDescriptor;
}

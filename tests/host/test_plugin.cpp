// A minimal plugin library for the loader tests. Built several times with
// different magic strings (TEST_PLUGIN_DESCRIPTOR; none at all when the macro
// is not defined).
#include <Velantor/AlgorithmFactory.h>
#include <Velantor/Log.h>
#include <Velantor/Plugin.h>

namespace {

struct Noop : Velantor::Algorithm {
    void compute() override {}
};

class TestPlugin : public Velantor::VelantorLibPlugin {
public:
    std::string author() const override { return "Test author"; }
    std::string description() const override { return "Loader test plugin"; }
    std::vector<std::string> dependencies() const override { return {"Velantor.Stream"}; }
    int init() override
    {
        auto factory = std::make_unique<Velantor::AlgorithmFactory>("TestPlugin");
        factory->registerAlgorithm<Noop>("Noop", "Test;Noop");
        registerFactories(std::move(factory), nullptr, nullptr);
        return 0;
    }
    static std::string id() { return "Test.Plugin"; }
};

const Velantor::PluginAutoRegistrationGuard guard(&TestPlugin::id);

}  // namespace

extern "C" {

__attribute__((visibility("default"))) Velantor::VelantorLibPlugin* velantorCreatePlugin()
{
    Velantor::Log::log(Velantor::Log::Info, "TestPlugin", "velantorCreatePlugin called", "", -1);
    return new TestPlugin;
}

__attribute__((visibility("default"))) const char* velantorPluginId() { return "Test.Plugin"; }

#ifdef TEST_PLUGIN_DESCRIPTOR
__attribute__((visibility("default"))) const char* velantorPluginDescriptor =
    TEST_PLUGIN_DESCRIPTOR;
#endif
}

// A minimal plugin library for the loader, plugin set and workspace tests.
// Built several times with different magic strings (TEST_PLUGIN_DESCRIPTOR;
// none at all when the macro is not defined), ids (TEST_PLUGIN_ID),
// dependencies (TEST_PLUGIN_DEPENDENCIES, comma-separated), algorithm factory
// names (TEST_PLUGIN_FACTORY) and init results (TEST_PLUGIN_INIT_RESULT).
// It logs (category "TestPlugin") when it is created, initialised and
// destroyed.
#include <Velantor/AlgorithmFactory.h>
#include <Velantor/Log.h>
#include <Velantor/Plugin.h>
#include <Velantor/String.h>

#ifndef TEST_PLUGIN_ID
#define TEST_PLUGIN_ID "Test.Plugin"
#endif
#ifndef TEST_PLUGIN_DEPENDENCIES
#define TEST_PLUGIN_DEPENDENCIES "Velantor.Stream"
#endif
#ifndef TEST_PLUGIN_FACTORY
#define TEST_PLUGIN_FACTORY "TestPlugin"
#endif
#ifndef TEST_PLUGIN_INIT_RESULT
#define TEST_PLUGIN_INIT_RESULT 0
#endif

namespace {

void note(const std::string& what)
{
    Velantor::Log::log(Velantor::Log::Info, "TestPlugin", what, "", -1);
}

// Keeps the configuration it is given and gives it back, as the stream
// algorithms do, so that a workspace round trip shows.
struct Noop : Velantor::Algorithm {
    void compute() override {}
    void configure(const Velantor::Properties* p) override
    {
        if (p) m_configuration.copyFrom(*p);
    }
    void configuration(Velantor::Properties* p) const override
    {
        if (p) p->copyFrom(m_configuration);
    }
    Velantor::Properties m_configuration;
};

class TestPlugin : public Velantor::VelantorLibPlugin {
public:
    ~TestPlugin() override { note(std::string("destroyed ") + TEST_PLUGIN_ID); }
    std::string author() const override { return "Test author"; }
    std::string description() const override { return "Loader test plugin"; }
    std::vector<std::string> dependencies() const override
    {
        return Velantor::String::split(TEST_PLUGIN_DEPENDENCIES, ',', true);
    }
    int init() override
    {
        note(std::string("init ") + TEST_PLUGIN_ID);
        auto factory = std::make_unique<Velantor::AlgorithmFactory>(TEST_PLUGIN_FACTORY);
        factory->registerAlgorithm<Noop>("Noop", "Test;Noop");
        registerFactories(std::move(factory), nullptr, nullptr);
        return TEST_PLUGIN_INIT_RESULT;
    }
    static std::string id() { return TEST_PLUGIN_ID; }
};

const Velantor::PluginAutoRegistrationGuard guard(&TestPlugin::id);

}  // namespace

extern "C" {

__attribute__((visibility("default"))) Velantor::VelantorLibPlugin* velantorCreatePlugin()
{
    Velantor::Log::log(Velantor::Log::Info, "TestPlugin", "velantorCreatePlugin called", "", -1);
    return new TestPlugin;
}

__attribute__((visibility("default"))) const char* velantorPluginId() { return TEST_PLUGIN_ID; }

#ifdef TEST_PLUGIN_DESCRIPTOR
__attribute__((visibility("default"))) const char* velantorPluginDescriptor =
    TEST_PLUGIN_DESCRIPTOR;
#endif
}

// The plugin library as the host loads it: its magic string, identity,
// factories, resource and exported symbols, and the workspace conversion it
// registers.
#include "LoadedNdiPlugin.h"

#include <Velantor/Algorithm.h>
#include <Velantor/AlgorithmFactory.h>
#include <Velantor/Data.h>
#include <Velantor/Plugin.h>
#include <Velantor/PluginLoader.h>
#include <Velantor/WorkspaceConversionRegistry.h>

#include <QFile>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

using Velantor::Properties;

namespace {

constexpr const char* kConversionDescription =
    "Renamed PolarisAuroraTrackingStream to camera-specific TrackingStream";

const Velantor::WorkspaceConversionFunction& cameraConversion()
{
    static const Velantor::WorkspaceConversionFunction conversion = [] {
        loadedNdiPlugin();
        for (const auto& c : Velantor::WorkspaceConversionRegistry::instance().conversions())
            if (c.description == kConversionDescription) return c;
        ADD_FAILURE() << "the plugin registered no conversion";
        return Velantor::WorkspaceConversionFunction{};
    }();
    return conversion;
}

std::set<std::string> exportedSymbols(const std::string& library)
{
    std::set<std::string> names;
    FILE* nm = ::popen(("nm -D --defined-only '" + library + "'").c_str(), "r");
    if (nm == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    EXPECT_EQ(::pclose(nm), 0) << "nm failed";
    return names;
}

// The functions the protocol library's public headers declare.
std::set<std::string> declaredProtocolFunctions()
{
    std::set<std::string> names;
    const std::regex declaration(R"(\b(ndi[A-Za-z0-9_]+)\s*\()");
    for (const char* header : {"protocol.h", "capture.h", "state.h", "upload.h", "connection.h"}) {
        std::ifstream in(std::string(NDI_PROTOCOL_HEADERS) + "/ndi/" + header);
        EXPECT_TRUE(in) << header;
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it)
            names.insert((*it)[1]);
    }
    return names;
}

}  // namespace

TEST(PluginLibrary, PassesTheHostsChecksAndDescribesItself)
{
    const Velantor::LoadedPlugin& loaded = loadedNdiPlugin();
    // The exact text, not only what the host parses of it.
    void* handle = ::dlopen(NDI_PLUGIN_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto* descriptor = static_cast<const char* const*>(::dlsym(handle, "velantorPluginDescriptor"));
    ASSERT_NE(descriptor, nullptr);
    EXPECT_STREQ(*descriptor,
                 "__VELANTOR_PLUGIN_V2_MAGIC_STRING__|hostversion=4.5.0|buildflags=GLIBCXX_DEBUG:"
                 "_GLIBCXX_DEBUG|pluginversion=");
    ::dlclose(handle);
    EXPECT_EQ(loaded.descriptor().pluginVersion, "");

    EXPECT_EQ(loaded.id(), "Velantor.NDI");
    const Velantor::VelantorLibPlugin& plugin = *loaded.plugin();
    EXPECT_EQ(plugin.author(), "Velantor GmbH");
    EXPECT_EQ(plugin.description(), "Plugin for real-time streaming from NDI tracking systems");
    EXPECT_EQ(plugin.dependencies(), std::vector<std::string>{"Velantor.Stream"});
    const auto guards = Velantor::PluginAutoRegistrationGuard::registeredIds();
    EXPECT_NE(std::find(guards.begin(), guards.end(), "Velantor.NDI"), guards.end());

    // The placeholder tool definition comes with the library, not with us.
    QFile placeholder(":/tools/dummy_tool.rom");
    ASSERT_TRUE(placeholder.open(QIODevice::ReadOnly));
    EXPECT_EQ(placeholder.readAll().size(), 752);

    const auto& conversion = cameraConversion();
    EXPECT_EQ(conversion.description.size(), 69u);
    EXPECT_EQ(conversion.version, 33);
}

TEST(PluginLibrary, OffersTheThreeAlgorithmsInOrder)
{
    const Velantor::AlgorithmFactory* factory = loadedNdiPlugin().plugin()->algorithmFactory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->name(), "NDITracking");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"NDITracking.PolarisVegaTrackingStream", "IO;NDI Tracking;Polaris Vega/Lyra"},
        {"NDITracking.PolarisVicraTrackingStream", "IO;NDI Tracking;Polaris Vicra/Spectra"},
        {"NDITracking.AuroraTrackingStream", "IO;NDI Tracking;Aurora"},
    };
    ASSERT_EQ(factory->descriptors().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& d = factory->descriptors()[i];
        SCOPED_TRACE(d.id);
        EXPECT_EQ(d.id, expected[i].first);
        EXPECT_EQ(d.name, expected[i].second);
        EXPECT_EQ(d.attributes, decltype(d.attributes){});
        EXPECT_FALSE(d.defaults.has_value());
        // Offered only as a source: with inputs there is no algorithm.
        Velantor::Data input("input");
        EXPECT_EQ(factory->create(d.id, {&input}), nullptr);
        auto created = factory->create(d.id);
        ASSERT_NE(created, nullptr);
        EXPECT_EQ(created->id(), d.id);
        EXPECT_EQ(created->name(), d.name);
        auto* streams = dynamic_cast<Velantor::StreamAlgorithmBase*>(created.get());
        ASSERT_NE(streams, nullptr);
        EXPECT_EQ(streams->stream(), nullptr);
    }
    ASSERT_NE(loadedNdiPlugin().plugin()->controllerFactory(), nullptr);
    EXPECT_EQ(loadedNdiPlugin().plugin()->controllerFactory()->name(), "NDITracking");
}

TEST(PluginLibrary, ExportsItsEntryPointsAndTheProtocolInterfaceOnly)
{
    loadedNdiPlugin();
    std::set<std::string> expected = declaredProtocolFunctions();
    ASSERT_GT(expected.size(), 100u) << "the headers were not read";
    expected.insert({"velantorCreatePlugin", "velantorPluginId", "velantorPluginDescriptor"});
    const std::set<std::string> exported = exportedSymbols(NDI_PLUGIN_LIBRARY);
    std::vector<std::string> extra, missing;
    std::set_difference(exported.begin(), exported.end(), expected.begin(), expected.end(),
                        std::back_inserter(extra));
    std::set_difference(expected.begin(), expected.end(), exported.begin(), exported.end(),
                        std::back_inserter(missing));
    EXPECT_TRUE(extra.empty()) << "exported but not ours to offer: "
                               << ::testing::PrintToString(extra);
    EXPECT_TRUE(missing.empty()) << "declared but not exported: "
                                 << ::testing::PrintToString(missing);
}

namespace {

struct ConversionCase {
    const char* what;
    std::vector<std::pair<std::string, std::optional<Velantor::Properties::Value>>> blocks;
    std::vector<std::string> namesAfter;
    bool changed;
};

Properties workspaceWith(const ConversionCase& c)
{
    Properties workspace("Workspace");
    Properties& algorithms = workspace.addSubProperties("Algorithms");
    for (const auto& [name, systemType] : c.blocks) {
        Properties& block = algorithms.addSubProperties(name);
        block.setParam("hardwareDevice", "/dev/ttyUSB0");
        if (systemType)
            std::visit([&](const auto& v) { block.setParam("systemType", v); }, *systemType);
    }
    return workspace;
}

}  // namespace

TEST(WorkspaceConversion, RenamesTheCombinedAlgorithmByItsSystemType)
{
    const std::string old = "NDITracking.PolarisAuroraTrackingStream";
    const std::string vicra = "NDITracking.PolarisVicraTrackingStream";
    const std::string vega = "NDITracking.PolarisVegaTrackingStream";
    const std::string aurora = "NDITracking.AuroraTrackingStream";
    using V = Velantor::Properties::Value;
    const std::vector<ConversionCase> cases = {
        {"vicra", {{old, V(std::int64_t{0})}}, {vicra}, true},
        {"vega", {{old, V(std::int64_t{1})}}, {vega}, true},
        {"aurora", {{old, V(std::int64_t{2})}}, {aurora}, true},
        {"two old blocks and another",
         {{old, V(std::int64_t{0})}, {"Other.Algo", V(std::int64_t{1})}, {old, V(std::int64_t{2})}},
         {vicra, "Other.Algo", aurora},
         true},
        {"unknown system type", {{old, V(std::int64_t{3})}}, {old}, false},
        {"negative system type", {{old, V(std::int64_t{-1})}}, {old}, false},
        {"no system type", {{old, std::nullopt}}, {old}, false},
        {"system type as text", {{old, V(std::string("2"))}}, {aurora}, true},
        {"system type not a number", {{old, V(std::string("vega"))}}, {old}, false},
        {"system type not whole", {{old, V(1.5)}}, {old}, false},
        {"already camera-specific", {{vega, V(std::int64_t{0})}}, {vega}, false},
        {"name differs in case",
         {{"NDITracking.polarisAuroraTrackingStream", V(std::int64_t{1})}},
         {"NDITracking.polarisAuroraTrackingStream"},
         false},
        {"no algorithms", {}, {}, false},
    };
    for (const ConversionCase& c : cases) {
        SCOPED_TRACE(c.what);
        Properties workspace = workspaceWith(c);
        const Properties before = workspace;
        EXPECT_EQ(cameraConversion().function(workspace, Velantor::Filesystem::Path("/x.json")),
                  c.changed);
        std::vector<std::string> names;
        for (const Properties* block : workspace.subProperties("Algorithms")->subProperties())
            names.push_back(block->name());
        EXPECT_EQ(names, c.namesAfter);
        // Nothing but names changes: every parameter, systemType too, stays.
        const auto beforeBlocks = before.subProperties("Algorithms")->subProperties();
        const auto afterBlocks = workspace.subProperties("Algorithms")->subProperties();
        for (std::size_t i = 0; i < afterBlocks.size(); ++i) {
            Properties renamed = *afterBlocks[i];
            renamed.setName(beforeBlocks[i]->name());
            EXPECT_EQ(renamed, *beforeBlocks[i]);
        }
    }

    // A workspace without an "Algorithms" block gets none.
    Properties bare("Workspace");
    EXPECT_FALSE(cameraConversion().function(bare, Velantor::Filesystem::Path("/x.json")));
    EXPECT_EQ(bare.subProperties("Algorithms"), nullptr);
}

TEST(WorkspaceConversion, AppliesOnlyToWorkspacesSavedBeforeItsVersion)
{
    cameraConversion();
    const auto& registry = Velantor::WorkspaceConversionRegistry::instance();
    for (const auto& [savedVersion, converted] :
         std::vector<std::pair<int, bool>>{{0, true}, {32, true}, {33, false}, {40, false}}) {
        SCOPED_TRACE(savedVersion);
        Properties workspace = workspaceWith(
            {"",
             {{"NDITracking.PolarisAuroraTrackingStream", Properties::Value(std::int64_t{1})}},
             {},
             false});
        EXPECT_EQ(registry.convert(workspace, Velantor::Filesystem::Path("/x.json"), savedVersion),
                  converted);
        EXPECT_EQ(workspace.subProperties("Algorithms")->subProperties()[0]->name(),
                  converted ? "NDITracking.PolarisVegaTrackingStream"
                            : "NDITracking.PolarisAuroraTrackingStream");
    }
}

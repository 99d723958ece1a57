// The loader opens only libraries that carry the plugin magic string for a
// host version this host can run, and asks only those for their plugin.
#include <Velantor/AlgorithmFactory.h>
#include <Velantor/Log.h>
#include <Velantor/PluginLoader.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace Velantor;

namespace {

bool guardRegistered(const std::string& id)
{
    const auto ids = PluginAutoRegistrationGuard::registeredIds();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

TEST(PluginLoader, LoadsAPluginWithTheMagicString)
{
    LogCapture log(true);
    std::string error;
    auto loaded = PluginLoader::load(TEST_PLUGIN_VALID, &error);
    ASSERT_NE(loaded, nullptr) << error;
    EXPECT_EQ(loaded->id(), "Test.Plugin");
    EXPECT_EQ(loaded->descriptor().hostVersion, "4.5.0");
    EXPECT_EQ(loaded->descriptor().buildFlags, "GLIBCXX_DEBUG:_GLIBCXX_DEBUG");
    EXPECT_EQ(loaded->descriptor().pluginVersion, "");
    VelantorLibPlugin* plugin = loaded->plugin();
    EXPECT_EQ(plugin->author(), "Test author");
    EXPECT_EQ(plugin->dependencies(), (std::vector<std::string>{"Velantor.Stream"}));
    EXPECT_EQ(plugin->algorithmFactory(), nullptr);
    EXPECT_EQ(plugin->init(), 0);
    ASSERT_NE(plugin->algorithmFactory(), nullptr);
    EXPECT_NE(plugin->algorithmFactory()->create("TestPlugin.Noop"), nullptr);
    EXPECT_TRUE(guardRegistered("Test.Plugin"));
    EXPECT_TRUE(log.contains(Log::Info, "TestPlugin", "velantorCreatePlugin called"));
}

TEST(PluginLoader, RefusesLibrariesWithoutAUsableMagicString)
{
    struct Case {
        const char* path;
        const char* reason;
    };
    const Case cases[] = {
        {TEST_PLUGIN_NO_DESCRIPTOR, "no plugin magic string (velantorPluginDescriptor)"},
        {TEST_PLUGIN_NO_MAGIC, "no plugin magic string"},
        {TEST_PLUGIN_NEWER_HOST, "built for host 4.9.0, this host is 4.5.0"},
        {"/nonexistent/libplugin.so", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        LogCapture log(true);
        std::string error;
        EXPECT_EQ(PluginLoader::load(c.path, &error), nullptr);
        if (c.reason) {
            EXPECT_EQ(error, c.reason);
        }
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(log.messages("TestPlugin").empty())
            << "velantorCreatePlugin must not be called";
        EXPECT_EQ(log.messages("PluginLoader").size(), 1u);
    }
}

TEST(PluginLoader, ParsesMagicStrings)
{
    struct Case {
        std::string text;
        bool ok;
    };
    const std::string marker = "__VELANTOR_PLUGIN_V2_MAGIC_STRING__";
    const Case cases[] = {
        {marker + "|hostversion=4.5.0|buildflags=GLIBCXX_DEBUG:_GLIBCXX_DEBUG|pluginversion=",
         true},
        {marker + "|hostversion=4.4.9", true},
        {marker + "|hostversion=4.6.0", false},
        {marker + "|hostversion=3.5.0", false},
        {marker + "|hostversion=4.5", false},
        {marker + "|hostversion=4.x.0", false},
        {marker + "|buildflags=x", false},
        {marker + "|hostversion=4.5.0|garbage", false},
        {"__VELANTOR_PLUGIN_V1_MAGIC_STRING__|hostversion=4.5.0", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        PluginDescriptor d;
        std::string error;
        EXPECT_EQ(PluginLoader::parseDescriptor(c.text, d, &error), c.ok) << error;
        EXPECT_EQ(error.empty(), c.ok);
    }
}

// A plugin set runs a plugin only when everything it depends on runs, offers
// the algorithms of all its plugins by full id, and takes its plugins down in
// the reverse order of loading.
#include <Velantor/Log.h>
#include <Velantor/PluginSet.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace Velantor;

namespace {

std::vector<std::string> notes(const LogCapture& log, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const auto& m : log.messages("TestPlugin"))
        if (m.rfind(prefix, 0) == 0) found.push_back(m);
    return found;
}

}  // namespace

TEST(PluginSet, OffersTheAlgorithmsOfItsPluginsAndDestroysThemInReverseOrder)
{
    LogCapture log(true);
    {
        PluginSet set;
        std::string error;
        // The valid plugin needs "Velantor.Stream", which the host library
        // itself provides.
        const auto builtIn = PluginAutoRegistrationGuard::registeredIds();
        EXPECT_NE(std::find(builtIn.begin(), builtIn.end(), "Velantor.Stream"), builtIn.end());
        ASSERT_TRUE(set.load(TEST_PLUGIN_VALID, &error)) << error;
        ASSERT_TRUE(set.load(TEST_PLUGIN_EXTRA, &error)) << error;
        EXPECT_EQ(set.pluginIds(), (std::vector<std::string>{"Test.Plugin", "Test.Extra"}));
        EXPECT_EQ(notes(log, "init "),
                  (std::vector<std::string>{"init Test.Plugin", "init Test.Extra"}));

        EXPECT_EQ(set.algorithmIds(), (std::vector<std::string>{"TestPlugin.Noop", "extra.Noop"}));
        for (const std::string id : {"TestPlugin.Noop", "extra.Noop"}) {
            auto algorithm = set.createAlgorithm(id, &error);
            ASSERT_NE(algorithm, nullptr) << id << ": " << error;
            EXPECT_EQ(algorithm->id(), id);
        }
        error.clear();
        EXPECT_EQ(set.createAlgorithm("NDITracking.Missing", &error), nullptr);
        EXPECT_EQ(error,
                  "no loaded plugin offers algorithm NDITracking.Missing (offered: "
                  "TestPlugin.Noop, extra.Noop)");
        EXPECT_TRUE(notes(log, "destroyed ").empty());
    }
    EXPECT_EQ(notes(log, "destroyed "),
              (std::vector<std::string>{"destroyed Test.Extra", "destroyed Test.Plugin"}));
}

TEST(PluginSet, RefusesPluginsThatCannotRun)
{
    LogCapture log(true);
    PluginSet set;
    std::string error;
    ASSERT_TRUE(set.load(TEST_PLUGIN_VALID, &error)) << error;

    struct Case {
        const char* path;
        std::string reason;  // empty: only some reason
        bool initCalled;
    };
    // In this order: the third needs the plugin the first refuses, whose
    // library (and registration) stays loaded all the same.
    const Case cases[] = {
        {TEST_PLUGIN_NEEDS_MISSING,
         "plugin Test.NeedsMissing needs Test.Missing, which is not loaded", false},
        {TEST_PLUGIN_INIT_FAILS, "plugin Test.InitFails failed to initialise (init returned 3)",
         true},
        {TEST_PLUGIN_NEEDS_REFUSED,
         "plugin Test.NeedsRefused needs Test.NeedsMissing, which is not loaded", false},
        {TEST_PLUGIN_VALID,
         std::string("plugin Test.Plugin is loaded already (from ") + TEST_PLUGIN_VALID + ")",
         false},
        {TEST_PLUGIN_NO_MAGIC, "no plugin magic string", false},
        {"/nonexistent/libplugin.so", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        log.clear();
        error.clear();
        EXPECT_FALSE(set.load(c.path, &error));
        if (c.reason.empty()) {
            EXPECT_FALSE(error.empty());
        } else {
            EXPECT_EQ(error, c.reason);
        }
        EXPECT_EQ(notes(log, "init ").size(), c.initCalled ? 1u : 0u);
        EXPECT_EQ(set.pluginIds(), std::vector<std::string>{"Test.Plugin"});
    }
    EXPECT_EQ(set.algorithmIds(), std::vector<std::string>{"TestPlugin.Noop"});
}

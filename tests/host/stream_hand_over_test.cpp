// A program that drives a stream itself reads what the settings ask of it
// (the first key present decides, start implies open) and leaves the
// algorithm settings that open and start nothing.
#include <Velantor/Properties.h>
#include <Velantor/StreamHandOver.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace Velantor;

TEST(StreamHandOver, RunRequestIsReadAndTakenOutOfTheSettings)
{
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, bool>> flags;
        bool open;
        bool start;
    };
    const Case cases[] = {
        {"nothing asked", {}, false, false},
        {"open", {{"open", true}}, true, false},
        {"an older open key", {{"connect", true}}, true, false},
        {"the first open key present decides", {{"open", false}, {"autoOpen", true}}, false, false},
        {"start implies open", {{"autoStart", true}, {"open", false}}, true, true},
        {"the first start key present decides",
         {{"start", false}, {"autoStart", true}},
         false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Properties settings;
        settings.setParam("hardwareDevice", std::string("/dev/ttyUSB0"));
        for (const auto& [key, value] : c.flags) settings.setParam(key, value);
        const StreamRunRequest request = takeStreamRunRequest(settings);
        EXPECT_EQ(request.open, c.open);
        EXPECT_EQ(request.start, c.start);
        for (const char* key : {"open", "start"}) {
            bool value = true;
            EXPECT_TRUE(settings.param(key, value)) << key;
            EXPECT_FALSE(value) << key;
        }
        for (const char* key : {"autoOpen", "connect", "autoStart"})
            EXPECT_FALSE(settings.hasParam(key)) << key;
        std::string device;
        EXPECT_TRUE(settings.param("hardwareDevice", device));
    }
}

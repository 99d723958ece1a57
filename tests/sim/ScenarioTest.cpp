// Scenario files and the poses they promise.
#include <ndisim/Faults.h>
#include <ndisim/Scenario.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <sys/wait.h>

using namespace ndisim;

TEST(SimScenario, FileOverridesTheFamilyDefaults)
{
    const Scenario s = parseScenario(R"({
        "family": "aurora", "frameRate": 100, "getInfo": true,
        "tools": [ { "partNumber": "ABC", "toolInfo": "0200000", "port": 7,
                     "trajectory": { "center": [1, 2, -300], "amplitude": [10, 0, 0], "period": [2, 0, 0],
                                     "axis": [0, 0, 1], "angularSpeed": 90 },
                     "missing": [[10, 20]], "disabled": [[30, 30]] } ],
        "faults": { "corruptCrcEvery": 3, "ignoreComm": true } })");
    EXPECT_EQ(s.family, Family::Aurora);
    EXPECT_EQ(s.frameRate, 100.0);
    EXPECT_TRUE(s.getInfo);
    ASSERT_EQ(s.tools.size(), 1u);
    EXPECT_EQ(s.tools[0].port, 7);
    EXPECT_EQ(s.faults.corruptCrcEvery, 3);
    EXPECT_TRUE(s.faults.ignoreComm);
    EXPECT_FALSE(s.volumes.empty());  // kept from the default

    // Frame 50 at 100 Hz is half a second: the top of the x sine (period 2 s)
    // and 45 degrees about z.
    const ToolFrame f = toolFrameAt(s.tools[0], 50, s.frameRate);
    EXPECT_EQ(f.visibility, Visibility::Visible);
    EXPECT_NEAR(f.pose.t[0], 11.0, 1e-9);
    EXPECT_NEAR(toolFrameAt(s.tools[0], 100, s.frameRate).pose.t[0], 1.0, 1e-9);
    EXPECT_NEAR(f.pose.q[0], std::cos(M_PI / 8), 1e-12);
    EXPECT_NEAR(f.pose.q[3], std::sin(M_PI / 8), 1e-12);
    EXPECT_EQ(toolFrameAt(s.tools[0], 10, s.frameRate).visibility, Visibility::Missing);
    EXPECT_EQ(toolFrameAt(s.tools[0], 21, s.frameRate).visibility, Visibility::Visible);
    EXPECT_EQ(toolFrameAt(s.tools[0], 30, s.frameRate).visibility, Visibility::Disabled);
}

TEST(SimScenario, RejectsInvalidFilesWithAMessage)
{
    const char* bad[] = {
        "[1, 2]",
        "{}",
        R"({"family": "spectra"})",
        R"({"family": "aurora", "frameRate": 10})",
        R"({"family": "aurora", "frameRate": "fast"})",
        R"({"family": "aurora", "tools": [ {"port": 0} ]})",
        R"({"family": "aurora", "tools": [ {"port": 1}, {"port": 1} ]})",
        R"({"family": "polaris", "tools": [ {"partNumber": "123456789012345678901"} ]})",
        R"({"family": "polaris", "tools": [ {"toolInfo": "bad\u0001char"} ]})",
        R"({"family": "polaris", "tools": [ {"trajectory": {"center": [0, 0, 9990], "amplitude": [0, 0, 20]}} ]})",
        R"({"family": "polaris", "tools": [ {"missing": [[5, 2]]} ]})",
        // A period this short would report the tool at NaN.
        R"({"family": "polaris", "tools": [ {"trajectory": {"period": [1e-320, 0, 0]}} ]})",
        R"({"family": "polaris", "strays": [ {"trajectory": {"period": [0, 0, 1e-9]}} ]})",
        R"({"family": "polaris", "colour": "red"})",
        R"({"family": "polaris", "volumes": [{"shape": "99"}]})",
        "{\"family\": \"polaris\"",
    };
    for (const char* text : bad) {
        EXPECT_THROW(parseScenario(text), std::runtime_error) << text;
    }
    EXPECT_THROW(loadScenario("/nonexistent/scenario.json"), std::runtime_error);
}

TEST(SimScenario, DefaultsMatchWhatTheStreamsExpect)
{
    const Scenario aurora = defaultScenario(Family::Aurora);
    ASSERT_EQ(aurora.tools.size(), 4u);
    for (const ToolDescription& t : aurora.tools) {
        EXPECT_EQ(t.toolInfo.size(), 31u);
        EXPECT_GE(t.port, 1);
    }
    EXPECT_EQ(aurora.frameRate, 40.0);
    for (Family f : {Family::Polaris, Family::Vega}) {
        const Scenario s = defaultScenario(f);
        EXPECT_FALSE(s.tools.empty());
        EXPECT_FALSE(s.strays.empty());
        for (const ToolDescription& t : s.tools) EXPECT_EQ(t.port, 0);
    }
}

TEST(SimFaults, CommandLineSpecs)
{
    Faults f;
    EXPECT_EQ(applyFaultItem("corrupt-crc=5", f), "");
    EXPECT_EQ(applyFaultItem("delay=40/3", f), "");
    EXPECT_EQ(applyFaultItem("split=4/2", f), "");
    EXPECT_EQ(applyFaultItem("ignore-comm", f), "");
    EXPECT_EQ(applyFaultItem("error-all", f), "");
    EXPECT_EQ(f.errorAllCode, kDefaultErrorAllCode);
    EXPECT_EQ(applyFaultItem("error-all=2D", f), "");
    EXPECT_EQ(applyFaultItem("silent", f), "");
    EXPECT_EQ(describeFaults(f),
              "corrupt-crc=5 delay=40/3 split=4/2 ignore-comm error-all=2D silent");
    EXPECT_EQ(f.corruptCrcEvery, 5);
    EXPECT_EQ(f.delayMs, 40);
    EXPECT_EQ(f.delayEvery, 3);
    EXPECT_EQ(f.splitBytes, 4);
    EXPECT_TRUE(f.ignoreComm);
    const Faults before = f;
    for (const char* bad :
         {"drop=0", "drop=x", "split=0/1", "delay=", "ignore-comm=1", "melt=1", "garbage=-1",
          "error-all=", "error-all=00", "error-all=G1", "error-all=123", "silent=1"}) {
        EXPECT_NE(applyFaultItem(bad, f), "") << bad;
    }
    EXPECT_EQ(f, before);  // a refused item changes nothing
    EXPECT_EQ(applyFaultItem("none", f), "");
    EXPECT_EQ(f, Faults{});
}

TEST(SimScenario, ShippedExamplesAreValid)
{
    const Scenario aurora = loadScenario(NDI_SIM_SCENARIOS "/aurora-two-probes.json");
    EXPECT_EQ(aurora.family, Family::Aurora);
    EXPECT_EQ(aurora.tools.size(), 2u);
    const Scenario vega = loadScenario(NDI_SIM_SCENARIOS "/vega-occasional-faults.json");
    EXPECT_TRUE(vega.trackUnmatchedTools);
    EXPECT_EQ(vega.faults.corruptCrcEvery, 500);
}

TEST(SimCommand, RefusesFrameRatesOutsideItsRange)
{
    // "nan" and "inf" read as numbers; none of them may become the device's
    // frame rate. Both --serial and --tcp are also given, so that a rate that
    // slipped through still ends the command (with another complaint) instead
    // of serving.
    for (const char* rate : {"nan", "-nan", "inf", "-inf", "19.9", "401"}) {
        const std::string command = std::string(NDI_SIM_COMMAND) +
                                    " polaris --serial --tcp 0 --frame-rate " + rate + " 2>&1";
        FILE* out = ::popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string text;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, out)) text += buffer;
        const int status = ::pclose(out);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << rate;
        EXPECT_NE(text.find("--frame-rate must lie between 20 and 400"), std::string::npos)
            << rate << ": " << text;
    }
}

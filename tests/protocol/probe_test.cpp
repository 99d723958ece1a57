// The probe against a scripted measurement system on a pseudo-terminal.
#include "reply_encoder.h"
#include "scripted_device.h"

#include <ndi/protocol.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using nditest::Reply;
using nditest::ScriptedDevice;

// Answers as a current system: OKAY to INIT, the firmware version to GETINFO.
Reply currentSystem(const std::string& command)
{
    if (command == "INIT:E3A5") {
        return {"OKAYA896\r"};
    }
    if (command == "GETINFO:Features.Firmware.Version0492") {
        return {replies::frameText("Features.Firmware.Version=009")};
    }
    return {replies::frameText("ERROR01")};
}

// An older system that knows no GETINFO.
Reply olderSystem(const std::string& command)
{
    if (command == "INIT:E3A5") {
        return {"OKAYA896\r"};
    }
    if (command == "VER:065EE") {
        return {replies::frameText("Polaris Control Firmware 024")};
    }
    return {replies::frameText("ERROR01")};
}

TEST(Probe, FindsASystemThatAnswersAtOnce)
{
    ScriptedDevice device(ScriptedDevice::Line::Pty, currentSystem);
    EXPECT_EQ(ndiSerialProbe(device.path().c_str()), 0);
    EXPECT_EQ(device.commands(),
              (std::vector<std::string>{"INIT:E3A5", "GETINFO:Features.Firmware.Version0492"}));
    EXPECT_EQ(device.breaks(), 0);
    EXPECT_EQ(device.hostSpeed(), B9600);
}

TEST(Probe, FallsBackToVersionOnOlderSystems)
{
    ScriptedDevice device(ScriptedDevice::Line::Pty, olderSystem);
    EXPECT_EQ(ndiSerialProbe(device.path().c_str()), 0);
    EXPECT_EQ(device.commands(),
              (std::vector<std::string>{"INIT:E3A5", "GETINFO:Features.Firmware.Version0492",
                                        "VER:065EE"}));
}

TEST(Probe, BreaksASystemAtAnotherSpeedBackTo9600)
{
    ScriptedDevice device(ScriptedDevice::Line::Pty, currentSystem);
    device.setSpeed(B115200);
    EXPECT_EQ(ndiSerialProbe(device.path().c_str()), 0);
    EXPECT_EQ(device.breaks(), 1);
    // The first INIT was lost as noise at the wrong speed.
    EXPECT_EQ(device.commands(),
              (std::vector<std::string>{"INIT:E3A5", "GETINFO:Features.Firmware.Version0492"}));
}

TEST(Probe, ReportsWhatWentWrong)
{
    const struct {
        const char* name;
        nditest::Handler handler;
        std::string breakReply;
        int expected;
    } cases[] = {
        {"break answered with something else", [](const std::string&) { return Reply{}; },
         "RESETXXXX\r", NDI_ERR_PROBE},
        {"INIT after the break refused",
         [inits = 0](const std::string& c) mutable {
             // The first INIT is lost; the one after the break gets an error.
             return c == "INIT:E3A5" && inits++ > 0 ? Reply{replies::frameText("ERROR0C")}
                                                    : Reply{};
         },
         "RESETBE6F\r", NDI_ERR_PROBE},
        {"GETINFO answered with something else",
         [](const std::string& c) {
             return c == "INIT:E3A5" ? Reply{"OKAYA896\r"} : Reply{replies::frameText("Whatever")};
         },
         "RESETBE6F\r", NDI_ERR_PROBE},
        {"VER answered too briefly",
         [](const std::string& c) {
             if (c == "INIT:E3A5") {
                 return Reply{"OKAYA896\r"};
             }
             return c == "VER:065EE" ? Reply{"OK\r"} : Reply{replies::frameText("ERROR01")};
         },
         "RESETBE6F\r", NDI_ERR_PROBE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice device(ScriptedDevice::Line::Pty, c.handler);
        device.setBreakReply(c.breakReply);
        EXPECT_EQ(ndiSerialProbe(device.path().c_str()), c.expected);
        // Every exit closes the line: it can be opened again at once.
        int fd = ndiSerialOpen(device.path().c_str());
        EXPECT_GE(fd, 0);
        ndiSerialClose(fd);
    }
    EXPECT_EQ(ndiSerialProbe("/dev/ndi-no-such-line"), NDI_ERR_OPEN);
}

}  // namespace

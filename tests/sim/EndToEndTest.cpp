// The protocol library driving the simulator over both transports: probe,
// line speed, tool set-up, hundreds of tracking frames compared with the
// scenario's poses, and the library error each device fault should give.
#include "RawHost.h"

#include <ndisim/Simulator.h>

#include <Velantor/ToolDefinitionImageLayout.h>

#include <ndi/protocol.h>
#include <ndi/capture.h>
#include <ndi/upload.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

using namespace ndisim;

namespace {

// Half a unit of the text format's last digit, plus float rounding.
constexpr double kTextQuaternion = 0.5e-4 + 1e-6;
constexpr double kTextMillimetres = 0.005 + 1e-4;

struct BreakNotify {
    explicit BreakNotify(const Simulator& sim)
    {
        ::setenv("NDI_BREAK_NOTIFY", sim.breakNotifyPath().c_str(), 1);
    }
    ~BreakNotify() { ::unsetenv("NDI_BREAK_NOTIFY"); }
};

// Frame ranges that come round often, so that a few hundred exchanges at
// 400 Hz meet visible, missing and disabled frames.
void flicker(ToolDescription& tool, std::uint32_t offset)
{
    for (std::uint32_t k = 0; k < 2000; ++k) {
        tool.missing.push_back({40 * k + offset, 40 * k + offset + 4});
        tool.disabled.push_back({40 * k + offset + 20, 40 * k + offset + 22});
    }
}

Scenario fast(Family family)
{
    Scenario s = defaultScenario(family);
    s.frameRate = 400;
    for (std::size_t i = 0; i < s.tools.size(); ++i) {
        s.tools[i].missing.clear();
        s.tools[i].disabled.clear();
        if (i == 1) flicker(s.tools[i], 7);
    }
    return s;
}

std::string writeImage(const ToolDescription& tool, const std::string& name)
{
    namespace L = Velantor::ToolDefinitionImageLayout;
    std::string img(L::kImageSize, '\0');
    std::memcpy(&img[L::kMagicOffset], L::kMagic, 4);
    img[L::kMarkerCountOffset] = static_cast<char>(tool.markers.size());
    for (std::size_t m = 0; m < tool.markers.size(); ++m) {
        for (std::size_t k = 0; k < 3; ++k) {
            const float f = static_cast<float>(tool.markers[m][k]);
            std::memcpy(&img[L::kMarkersOffset + m * L::kMarkerStride + 4 * k], &f, 4);
        }
    }
    std::memcpy(&img[L::kSecondMagicOffset], L::kMagic, 4);
    std::memcpy(&img[L::kPartNumberOffset], tool.partNumber.data(), tool.partNumber.size());
    const std::string path = "/tmp/ndisim-e2e-" + std::to_string(::getpid()) + "-" + name + ".rom";
    std::ofstream(path, std::ios::binary) << img;
    return path;
}

// Requests a handle, uploads the tool's image, initialises and enables it.
int loadPassiveTool(NdiConnection* h, const ToolDescription& tool)
{
    ndiCommand(h, "PHRQ:*********1****");
    EXPECT_EQ(ndiGetError(h), 0);
    const int ph = ndiGetPHRQHandle(h);
    const std::string path = writeImage(tool, tool.partNumber);
    EXPECT_EQ(ndiPVWRFromFile(h, ph, path.c_str()), 0);
    ::unlink(path.c_str());
    ndiCommand(h, "PINIT:%02X", ph);
    EXPECT_EQ(ndiGetError(h), 0);
    ndiCommand(h, "PENA:%02X%c", ph, 'D');
    EXPECT_EQ(ndiGetError(h), 0);
    return ph;
}

struct Seen {
    int visible = 0, missing = 0, disabled = 0;
};

void expectPose(const float got[8], const Pose& want, double q, double mm, const std::string& where)
{
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(got[i], want.q[static_cast<std::size_t>(i)], q) << where << " q" << i;
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(got[4 + i], want.t[static_cast<std::size_t>(i)], mm) << where << " t" << i;
    EXPECT_NEAR(got[7], want.error, q) << where << " error";
}

// Runs `frames` TX exchanges and compares every handle's report with the
// scenario; optical systems' stray markers too.
void compareTX(NdiConnection* h, const Simulator& sim, const std::vector<int>& handles, int frames,
               Seen& seen)
{
    for (int n = 0; n < frames; ++n) {
        ndiCommand(h, "TX:%04X", 0x1005);
        ASSERT_EQ(ndiGetError(h), 0) << ndiErrorString(ndiGetError(h));
        // A disabled entry carries no frame number: the reply's frame is
        // the one its other entries report.
        std::uint32_t frame = 0;
        for (int ph : handles)
            frame = std::max(frame, static_cast<std::uint32_t>(ndiGetTXFrame(h, ph)));
        for (int ph : handles) {
            float t[8] = {};
            const int status = ndiGetTXTransformf(h, ph, t);
            if (status == 1 && frame == 0) {
                ++seen.disabled;  // every entry disabled: nothing to compare the frame with
                continue;
            }
            ASSERT_NE(frame, 0u);
            const std::optional<ToolFrame> want = sim.expectedFrame(ph, frame);
            ASSERT_TRUE(want);
            switch (want->visibility) {
            case Visibility::Visible:
                ++seen.visible;
                EXPECT_EQ(ndiGetTXFrame(h, ph), frame);
                ASSERT_EQ(status, 0);
                expectPose(t, want->pose, kTextQuaternion, kTextMillimetres,
                           "TX handle " + std::to_string(ph));
                break;
            case Visibility::Missing:
                ++seen.missing;
                EXPECT_EQ(ndiGetTXFrame(h, ph), frame);
                EXPECT_EQ(status, 2);
                break;
            case Visibility::Disabled:
                ++seen.disabled;
                EXPECT_EQ(status, 1);
                break;
            }
        }
        if (frame != 0 && isOptical(sim.scenario().family)) {
            const std::vector<Vec3> strays = sim.expectedStrays(frame);
            ASSERT_EQ(ndiGetTXNumberOfPassiveStrays(h), static_cast<int>(strays.size()));
            for (std::size_t i = 0; i < strays.size(); ++i) {
                double c[3];
                ASSERT_EQ(ndiGetTXPassiveStray(h, static_cast<int>(i), c), 0);
                for (std::size_t k = 0; k < 3; ++k)
                    EXPECT_NEAR(c[k], strays[i][k], kTextMillimetres);
            }
        }
    }
}

void compareBX(NdiConnection* h, const Simulator& sim, const std::vector<int>& handles, int options,
               int frames, Seen& seen)
{
    for (int n = 0; n < frames; ++n) {
        ndiCommand(h, "BX:%04X", options);
        ASSERT_EQ(ndiGetError(h), 0) << ndiErrorString(ndiGetError(h));
        ASSERT_EQ(ndiGetBXMarkerCount(h), static_cast<int>(handles.size()));
        std::uint32_t frame = 0;
        for (int ph : handles) frame = std::max(frame, ndiGetBXFrame(h, ph));
        for (int ph : handles) {
            float t[8] = {};
            const int status = ndiGetBXTransform(h, ph, t);
            if (status == 1 && frame == 0) {
                ++seen.disabled;
                continue;
            }
            ASSERT_NE(frame, 0u);
            const std::optional<ToolFrame> want = sim.expectedFrame(ph, frame);
            ASSERT_TRUE(want);
            if (want->visibility == Visibility::Disabled) {
                ++seen.disabled;
                EXPECT_EQ(status, 1);
                continue;
            }
            EXPECT_EQ(ndiGetBXFrame(h, ph), frame);
            if (want->visibility == Visibility::Missing) {
                ++seen.missing;
                EXPECT_EQ(status, 2);
                continue;
            }
            ++seen.visible;
            ASSERT_EQ(status, 0);
            expectPose(t, want->pose, 1e-6, 1e-3, "BX handle " + std::to_string(ph));
            if (options & 0x0008) {
                const std::vector<Vec3> markers = sim.expectedMarkers(ph, frame);
                ASSERT_EQ(ndiGetBXMarkerStrayCount(h, ph), static_cast<int>(markers.size()));
                for (std::size_t m = 0; m < markers.size(); ++m) {
                    float c[3];
                    ASSERT_EQ(ndiGetBXMarkerStray(h, ph, static_cast<int>(m), c), 0);
                    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(c[k], markers[m][k], 1e-3);
                }
            }
        }
        if (frame != 0 && (options & 0x1000)) {
            const std::vector<Vec3> strays = sim.expectedStrays(frame);
            ASSERT_EQ(ndiGetBXNumberOfPassiveStrays(h), static_cast<int>(strays.size()));
            for (std::size_t i = 0; i < strays.size(); ++i) {
                float c[3];
                ASSERT_EQ(ndiGetBXPassiveStray(h, static_cast<int>(i), c), 0);
                for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(c[k], strays[i][k], 1e-3);
            }
        }
    }
}

}  // namespace

TEST(SimEndToEnd, ProbeFindsEveryFamilyOnItsLine)
{
    // The Aurora answers GETINFO with an error (the VER fallback); the
    // Polaris answers it.
    for (Family family : {Family::Aurora, Family::Polaris}) {
        auto sim = Simulator::serial(defaultScenario(family));
        EXPECT_EQ(ndiSerialProbe(sim->serialDevice().c_str()), 0) << familyName(family);
        EXPECT_EQ(sim->stats().breaks, 0u);
    }
}

TEST(SimEndToEnd, ProbeBreaksADeviceLeftAtAnotherSpeed)
{
    auto sim = Simulator::serial(defaultScenario(Family::Polaris));
    BreakNotify notify(*sim);
    {
        rawhost::Link host = rawhost::Link::serial(sim->serialDevice());
        ASSERT_EQ(host.exchange("COMM:50000"), "OKAYA896\r");
        ASSERT_TRUE(rawhost::eventually([&] { return sim->deviceLine().baud == 115200; }));
    }
    EXPECT_EQ(ndiSerialProbe(sim->serialDevice().c_str()), 0);
    EXPECT_EQ(sim->stats().breaks, 1u);
    EXPECT_GE(sim->stats().noiseBytes, 10u);  // the first INIT went unheard
}

TEST(SimEndToEnd, AuroraOverSerial)
{
    auto sim = Simulator::serial(fast(Family::Aurora));
    BreakNotify notify(*sim);
    NdiConnection* h = ndiOpenSerial(sim->serialDevice().c_str());
    ASSERT_NE(h, nullptr);

    ndiCommand(h, "COMM:%d%03d%d", 5, 0, 1);
    ASSERT_EQ(ndiGetError(h), 0);
    EXPECT_EQ(sim->deviceLine().baud, 115200);
    ndiCommand(h, "INIT:");
    ASSERT_EQ(ndiGetError(h), 0);
    ndiCommand(h, "SFLIST:%02X", 3);
    ASSERT_EQ(ndiGetError(h), 0);
    ndiCommand(h, "VSEL:%d", 1);
    ASSERT_EQ(ndiGetError(h), 0);

    // Discovery as the Aurora stream does it: every occupied handle, its
    // physical port, identity, then PINIT and PENA.
    ndiCommand(h, "PHSR:%02X", 0);
    ASSERT_EQ(ndiGetError(h), 0);
    const int n = ndiGetPHSRNumberOfHandles(h);
    ASSERT_EQ(n, 4);
    std::vector<int> handles;
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(ndiGetPHSRInformation(h, i) & 0x01);
        handles.push_back(ndiGetPHSRHandle(h, i));
    }
    // A wired tool takes an uploaded image: its part number then comes from it.
    ToolDescription uploaded;
    uploaded.partNumber = "123456789";
    const std::string image = writeImage(uploaded, "wired");
    ASSERT_EQ(ndiPVWRFromFile(h, handles[0], image.c_str()), 0);
    ::unlink(image.c_str());
    for (int ph : handles) {
        ToolDescription tool =
            sim->scenario().tools[static_cast<std::size_t>(sim->scenarioToolOf(ph))];
        if (ph == handles[0]) tool.partNumber = uploaded.partNumber;
        ndiCommand(h, "PHINF:%02X%04X", ph, 0x0020);
        char location[14];
        ASSERT_EQ(ndiGetPHINFPortLocation(h, location), 0);
        EXPECT_EQ(std::atoi(std::string(location + 10, 2).c_str()), tool.port);
        ndiCommand(h, "PINIT:%02X", ph);
        ASSERT_EQ(ndiGetError(h), 0);
        ndiCommand(h, "PENA:%02X%c", ph, 'D');
        ASSERT_EQ(ndiGetError(h), 0);
        ndiCommand(h, "PHINF:%02X%04X", ph, 0x0025);
        char info[31], part[20];
        ASSERT_EQ(ndiGetPHINFToolInfo(h, info), 0);
        ASSERT_EQ(ndiGetPHINFPartNumber(h, part), 0);
        EXPECT_EQ(std::string(info, 31), tool.toolInfo);
        EXPECT_EQ(std::string(part, 20).substr(0, tool.partNumber.size()), tool.partNumber);
        EXPECT_EQ(ndiGetPHINFPortStatus(h) & 0x30, 0x30);
    }

    ndiCommand(h, "TX:%04X", 0x0001);
    EXPECT_EQ(ndiGetError(h), 0x0C);  // not tracking yet
    ndiCommand(h, "TSTART:");
    ASSERT_EQ(ndiGetError(h), 0);
    Seen seen;
    compareTX(h, *sim, handles, 300, seen);
    compareBX(h, *sim, handles, 0x0801, 300, seen);
    EXPECT_GT(seen.visible, 0);
    ndiCommand(h, "TSTOP:");
    EXPECT_EQ(ndiGetError(h), 0);

    ndiCommand(h, "COMM:%d%03d%d", 0, 0, 0);
    EXPECT_EQ(ndiGetError(h), 0);
    EXPECT_EQ(sim->deviceLine().baud, 9600);
    // The reset exchange: a break at 9600 and the device's RESET.
    EXPECT_STREQ(ndiCommand(h, nullptr), "RESET");
    EXPECT_EQ(ndiGetError(h), 0);
    ndiCloseSerial(h);
}

TEST(SimEndToEnd, PolarisOverSerialAndVegaOverTcp)
{
    for (Family family : {Family::Polaris, Family::Vega}) {
        SCOPED_TRACE(familyName(family));
        const Scenario scenario = fast(family);
        auto sim = family == Family::Vega ? Simulator::tcp(scenario, "127.0.0.1", 0)
                                          : Simulator::serial(scenario);
        NdiConnection* h = family == Family::Vega ? ndiOpenNetwork("127.0.0.1", sim->tcpPort())
                                                  : ndiOpenSerial(sim->serialDevice().c_str());
        ASSERT_NE(h, nullptr);
        if (family == Family::Polaris) {
            ndiCommand(h, "COMM:%d%03d%d", 5, 0, 1);
            ASSERT_EQ(ndiGetError(h), 0);
        } else {
            ndiTimeoutSocket(h, 5000);
        }
        ndiCommand(h, "INIT:");
        ASSERT_EQ(ndiGetError(h), 0);
        ndiCommand(h, "PHSR:%02X", 1);
        EXPECT_EQ(ndiGetPHSRNumberOfHandles(h), 0);
        std::vector<int> handles;
        for (const ToolDescription& tool : scenario.tools)
            handles.push_back(loadPassiveTool(h, tool));
        for (std::size_t i = 0; i < handles.size(); ++i)
            EXPECT_EQ(sim->scenarioToolOf(handles[i]), static_cast<int>(i));
        ndiCommand(h, "TSTART:");
        ASSERT_EQ(ndiGetError(h), 0);
        Seen seen;
        compareTX(h, *sim, handles, 200, seen);
        compareBX(h, *sim, handles, 0x180F, 200, seen);
        EXPECT_GT(seen.visible, 0);
        ndiCommand(h, "TSTOP:");
        EXPECT_EQ(ndiGetError(h), 0);
        if (family == Family::Vega) {
            ndiCloseNetwork(h);
        } else {
            ndiCommand(h, "COMM:%d%03d%d", 0, 0, 0);
            ndiCloseSerial(h);
        }
    }
}

// Every port handle a tracking reply can hold, each tool with the most
// markers a tool can have, and the most passive strays a binary reply can
// count: with everything the optical streams ask for, the longest replies
// the library reads, decoded in full frame after frame.
TEST(SimEndToEnd, TwentyFourToolsWithMarkersTrackOnBothLines)
{
    for (Family family : {Family::Vega, Family::Polaris}) {
        SCOPED_TRACE(familyName(family));
        Scenario scenario = fast(family);
        scenario.maxPortHandles = NDI_MAX_HANDLES;
        scenario.tools.clear();
        for (int i = 0; i < NDI_MAX_HANDLES; ++i) {
            ToolDescription tool;
            tool.name = "Tool " + std::to_string(i);
            tool.partNumber = "87004" + std::to_string(10 + i);
            tool.toolInfo = "01000000NDI         001382" + std::to_string(10 + i) + "A01";
            for (int m = 0; m < NDI_MAX_BX_MARKERS; ++m) {
                const double a = 0.3141592653589793 * m;
                tool.markers.push_back({40.0 * std::cos(a), 40.0 * std::sin(a), 2.5 * m});
            }
            tool.trajectory.center = {-300.0 + 25.0 * i, 20.0 * (i % 5), -1500.0 + 10.0 * i};
            tool.trajectory.amplitude = {10, 10, 10};
            tool.trajectory.periodS = {3.0 + 0.1 * i, 4, 5};
            tool.trajectory.axis = {0, 0, 1};
            tool.trajectory.angularSpeedDegPerS = 5.0 * i;
            tool.rmsError = 0.01 * (i + 1);
            scenario.tools.push_back(tool);
        }
        scenario.strays.clear();
        for (int i = 0; i < 127; ++i) {
            StrayMarker stray;
            stray.trajectory.center = {-600.0 + 9.0 * i, -200.0, -1800.0 + 3.0 * i};
            scenario.strays.push_back(stray);
        }

        auto sim = family == Family::Vega ? Simulator::tcp(scenario, "127.0.0.1", 0)
                                          : Simulator::serial(scenario);
        NdiConnection* h = family == Family::Vega ? ndiOpenNetwork("127.0.0.1", sim->tcpPort())
                                                  : ndiOpenSerial(sim->serialDevice().c_str());
        ASSERT_NE(h, nullptr);
        if (family == Family::Polaris) {
            ndiCommand(h, "COMM:%d%03d%d", 5, 0, 1);
            ASSERT_EQ(ndiGetError(h), 0);
        } else {
            ndiTimeoutSocket(h, 5000);
        }
        ndiCommand(h, "INIT:");
        ASSERT_EQ(ndiGetError(h), 0);
        std::vector<int> handles;
        for (const ToolDescription& tool : scenario.tools)
            handles.push_back(loadPassiveTool(h, tool));
        ndiCommand(h, "PHSR:%02X", 0);
        ASSERT_EQ(ndiGetError(h), 0);
        ASSERT_EQ(ndiGetPHSRNumberOfHandles(h), NDI_MAX_HANDLES);
        for (std::size_t i = 0; i < handles.size(); ++i)
            EXPECT_EQ(sim->scenarioToolOf(handles[i]), static_cast<int>(i));
        ndiCommand(h, "TSTART:");
        ASSERT_EQ(ndiGetError(h), 0);
        Seen seen;
        compareBX(h, *sim, handles, 0x180F, 50, seen);
        EXPECT_GT(ndiGetBXReplyLength(h), 2047);  // more than the library once had room for
        EXPECT_EQ(seen.visible, 50 * NDI_MAX_HANDLES);
        // The text reply too outgrows the old room; it keeps 50 of the strays.
        for (int n = 0; n < 20; ++n) {
            ndiCommand(h, "TX:%04X", 0x1005);
            ASSERT_EQ(ndiGetError(h), 0) << ndiErrorString(ndiGetError(h));
            EXPECT_GT(std::strlen(h->ReplyText), 2047u);
            EXPECT_EQ(ndiGetTXNumberOfPassiveStrays(h), NDI_MAX_TX_PASSIVE_STRAYS);
            for (int ph : handles) {
                float t[8];
                ASSERT_EQ(ndiGetTXTransformf(h, ph, t), 0);
                const auto frame = static_cast<std::uint32_t>(ndiGetTXFrame(h, ph));
                const std::optional<ToolFrame> want = sim->expectedFrame(ph, frame);
                ASSERT_TRUE(want);
                expectPose(t, want->pose, kTextQuaternion, kTextMillimetres,
                           "TX handle " + std::to_string(ph));
            }
        }
        ndiCommand(h, "TSTOP:");
        EXPECT_EQ(ndiGetError(h), 0);
        if (family == Family::Vega) {
            ndiCloseNetwork(h);
        } else {
            ndiCommand(h, "COMM:%d%03d%d", 0, 0, 0);
            ndiCloseSerial(h);
        }
    }
}

TEST(SimEndToEnd, EachFaultGivesItsLibraryError)
{
    struct Case {
        const char* name;
        Faults faults;
        int firstError;   // the library's error for the faulty exchange
        int secondError;  // the exchange after it
    };
    auto make = [](auto set) {
        Faults f;
        set(f);
        return f;
    };
    const Case cases[] = {
        {"corrupt CRC", make([](Faults& f) { f.corruptCrcEvery = 2; }), NDI_ERR_CRC, 0},
        // Garbage before a binary reply hides its header: the read waits for
        // the rest until the socket's time-out.
        {"garbage", make([](Faults& f) { f.garbageEvery = 2; }), NDI_ERR_TIMEOUT, 0},
        {"split and delayed", make([](Faults& f) {
             f.splitBytes = 2;
             f.splitPauseMs = 1;
             f.delayMs = 20;
         }),
         0, 0},
        // A dropped reply: the socket's receive time-out, as on a serial line.
        {"dropped", make([](Faults& f) { f.dropEvery = 2; }), NDI_ERR_TIMEOUT, 0},
        // After one frame the camera closes the connection; the next command
        // still goes out into the closed socket and its read finds the end.
        {"disconnect", make([](Faults& f) { f.disconnectAfterFrames = 1; }), NDI_ERR_READ,
         NDI_ERR_READ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sim = Simulator::tcp(fast(Family::Vega), "127.0.0.1", 0);
        NdiConnection* h = ndiOpenNetwork("127.0.0.1", sim->tcpPort());
        ASSERT_NE(h, nullptr);
        ndiTimeoutSocket(h, 300);
        ndiCommand(h, "INIT:");
        ASSERT_EQ(ndiGetError(h), 0);
        ndiCommand(h, "TSTART:");
        ASSERT_EQ(ndiGetError(h), 0);
        sim->setFaults(c.faults);
        ndiCommand(h, "BX:%04X", 0x0801);  // reply 1
        EXPECT_EQ(ndiGetError(h), 0);
        ndiCommand(h, "BX:%04X", 0x0801);  // reply 2: the faulty one
        EXPECT_EQ(ndiGetError(h), c.firstError) << ndiErrorString(ndiGetError(h));
        ndiCommand(h, "TX:%04X", 0x0001);  // reply 3
        EXPECT_EQ(ndiGetError(h), c.secondError) << ndiErrorString(ndiGetError(h));
        ndiCloseNetwork(h);
    }
}

TEST(SimEndToEnd, SerialFaults)
{
    for (bool garbage : {false, true}) {  // a corrupt or garbled text reply on the serial line
        Scenario s = fast(Family::Aurora);
        (garbage ? s.faults.garbageEvery : s.faults.corruptCrcEvery) = 2;
        auto sim = Simulator::serial(s);
        NdiConnection* h = ndiOpenSerial(sim->serialDevice().c_str());
        ASSERT_NE(h, nullptr);
        ndiCommand(h, "INIT:");
        EXPECT_EQ(ndiGetError(h), 0);
        const std::string text = ndiCommand(h, "INIT:");
        EXPECT_EQ(text.substr(text.size() - 4), "OKAY");  // the payload shows through
        EXPECT_EQ(ndiGetError(h), NDI_ERR_CRC);
        ndiCommand(h, "INIT:");
        EXPECT_EQ(ndiGetError(h), 0);
        ndiCloseSerial(h);
    }
    {  // the line hangs up after a frame
        Scenario s = fast(Family::Aurora);
        s.faults.disconnectAfterFrames = 1;
        auto sim = Simulator::serial(s);
        NdiConnection* h = ndiOpenSerial(sim->serialDevice().c_str());
        ASSERT_NE(h, nullptr);
        ndiCommand(h, "INIT:");
        ndiCommand(h, "TSTART:");
        ndiCommand(h, "BX:%04X", 0x0801);
        EXPECT_EQ(ndiGetError(h), 0);
        ndiCommand(h, "BX:%04X", 0x0801);
        EXPECT_EQ(ndiGetError(h), NDI_ERR_READ);  // a hung-up terminal fails reads ...
        ndiCommand(h, "BX:%04X", 0x0801);
        EXPECT_EQ(ndiGetError(h), NDI_ERR_WRITE);  // ... and writes
        ndiCloseSerial(h);
    }
    {  // COMM acknowledged but not followed: the line is out of step until a break
        Scenario s = fast(Family::Aurora);
        s.faults.ignoreComm = true;
        auto sim = Simulator::serial(s);
        BreakNotify notify(*sim);
        NdiConnection* h = ndiOpenSerial(sim->serialDevice().c_str());
        ASSERT_NE(h, nullptr);
        ndiCommand(h, "COMM:%d%03d%d", 5, 0, 0);
        ASSERT_EQ(ndiGetError(h), 0);
        ndiCommand(h, "INIT:");  // unheard at 115200: the line's 5 s time-out
        EXPECT_EQ(ndiGetError(h), NDI_ERR_TIMEOUT);
        EXPECT_STREQ(ndiCommand(h, nullptr), "RESET");
        ndiCommand(h, "INIT:");
        EXPECT_EQ(ndiGetError(h), 0);
        ndiCloseSerial(h);
    }
}

// The binary tracking reply: capture and accessors, with replies built byte
// by byte by the test encoder.
#include "capture_fixture.h"
#include "reply_encoder.h"

#include <cstring>

namespace {

using replies::BxEntry;
using replies::BxReply;
using replies::encodeBx;

BxEntry tool(std::uint8_t handle, std::uint8_t status, float base)
{
    BxEntry e;
    e.handle = handle;
    e.status = status;
    e.pose = {0.5f, 0.5f, -0.5f, 0.5f, base, base + 1, base + 2, 0.25f};
    e.portStatus = 0x80000000u | handle;
    e.frame = 1000u + handle;
    for (int i = 0; i < 11; ++i) {
        e.information[i] = static_cast<std::uint8_t>(0x10 * i + 1);
    }
    e.strayStatus = 1;
    e.stray = {base, -base, 7.5f};
    for (int i = 0; i < 3; ++i) {
        e.markers.push_back({base + i, 2.0f * i, -1.0f});
    }
    return e;
}

std::vector<std::array<float, 3>> strays(int n)
{
    std::vector<std::array<float, 3>> out;
    for (int i = 0; i < n; ++i) {
        out.push_back({float(i), 0.5f, -float(i)});
    }
    return out;
}

class BxCapture : public CaptureTest {
protected:
    // Every field of a tool captured with option 0x100F, in its slot.
    void expectTool(const BxEntry& e, int markers)
    {
        SCOPED_TRACE(int(e.handle));
        float t[8];
        std::fill(t, t + 8, -9.0f);
        int expected = e.status == 0x04 ? 1 : e.status == 0x02 ? 2 : 0;
        EXPECT_EQ(ndiGetBXTransform(h, e.handle, t), expected);
        if (expected == 0) {
            EXPECT_EQ(0, std::memcmp(t, e.pose.data(), sizeof t));
        }
        if (e.status == 0x04) {
            return;
        }
        EXPECT_EQ(ndiGetBXPortStatus(h, e.handle), e.portStatus);
        EXPECT_EQ(ndiGetBXFrame(h, e.handle), e.frame);
        char info = 0;
        EXPECT_EQ(ndiGetBXToolInfo(h, e.handle, &info), 0);
        EXPECT_EQ(static_cast<unsigned char>(info), e.information[0]);
        EXPECT_EQ(ndiGetBXMarkerInfo(h, e.handle, 0, &info), 0);
        EXPECT_EQ(info, e.information[1] & 0x0F);
        EXPECT_EQ(ndiGetBXMarkerInfo(h, e.handle, 19, &info), 0);
        EXPECT_EQ(info, e.information[10] >> 4);
        float c[3];
        EXPECT_EQ(ndiGetBXSingleStray(h, e.handle, c), 0);
        EXPECT_EQ(0, std::memcmp(c, e.stray.data(), sizeof c));
        EXPECT_EQ(ndiGetBXMarkerStrayCount(h, e.handle), markers);
        for (int i = 0; i < markers; ++i) {
            ASSERT_EQ(ndiGetBXMarkerStray(h, e.handle, i, c), 0);
            EXPECT_EQ(0, std::memcmp(c, e.markers[i].data(), sizeof c)) << "marker " << i;
        }
        EXPECT_EQ(ndiGetBXMarkerStray(h, e.handle, markers, c), 1);
    }
};

TEST_F(BxCapture, EveryFieldOfValidMissingAndDisabledTools)
{
    BxReply r;
    r.entries = {tool(0x01, 0x01, 10), tool(0x02, 0x04, 20), tool(0x03, 0x02, 30),
                 tool(0xFF, 0x01, 40)};
    r.passiveStrays = strays(5);
    r.systemStatus = 0xA55A;
    const std::string reply = encodeBx(0x100F, r);
    capture("BX:100F", reply);

    EXPECT_EQ(ndiGetBXMarkerCount(h), 4);
    EXPECT_EQ(ndiGetBXReplyLength(h), int(reply.size()) - 6);
    for (const BxEntry& e : r.entries) {
        expectTool(e, 3);
    }
    EXPECT_EQ(ndiGetBXPortStatus(h, 0x01), 0x80000001u) << "the top bit is kept";
    EXPECT_EQ(ndiGetBXNumberOfPassiveStrays(h), 5);
    float c[3];
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(ndiGetBXPassiveStray(h, i, c), 0);
        EXPECT_EQ(c[0], float(i));
        EXPECT_EQ(c[2], -float(i));
    }
    EXPECT_EQ(ndiGetBXPassiveStray(h, 5, c), 1);
    EXPECT_EQ(ndiGetBXPassiveStray(h, -1, c), 1);
    EXPECT_EQ(h->Capture.BxPassiveStrayOutOfVolume[0], 0x11);
    EXPECT_EQ(ndiGetBXSystemStatus(h), 0xA55A);

    // Unknown handles.
    float t[8];
    char info;
    EXPECT_EQ(ndiGetBXTransform(h, 0x09, t), 1);
    EXPECT_EQ(ndiGetBXFrame(h, 0x09), 0u);
    EXPECT_EQ(ndiGetBXPortStatus(h, 0x09), 0u);
    EXPECT_EQ(ndiGetBXToolInfo(h, 0x09, &info), 1);
    EXPECT_EQ(ndiGetBXMarkerInfo(h, 0x01, 20, &info), 1);
    EXPECT_EQ(ndiGetBXSingleStray(h, 0x09, c), 1);
    EXPECT_EQ(ndiGetBXMarkerStrayCount(h, 0x09), 0);
}

TEST_F(BxCapture, MissingToolKeepsItsOlderPoseAndReportsTwo)
{
    BxReply first;
    first.entries = {tool(0x0A, 0x01, 10)};
    capture("BX:0001", encodeBx(0x0001, first));
    BxReply second;
    second.entries = {tool(0x0A, 0x02, 99)};
    second.entries[0].frame = 555;
    capture("BX:0001", encodeBx(0x0001, second));

    float t[8];
    EXPECT_EQ(ndiGetBXTransform(h, 0x0A, t), 2);
    EXPECT_EQ(t[4], 10.0f);
    EXPECT_EQ(ndiGetBXFrame(h, 0x0A), 555u);
}

TEST_F(BxCapture, ASlotTakenByAnotherToolKeepsNothingOfTheOldOne)
{
    BxReply first;
    first.entries = {tool(0x0A, 0x01, 10)};
    capture("BX:000F", encodeBx(0x000F, first));

    BxReply second;
    second.entries = {tool(0x0B, 0x04, 20)};
    capture("BX:000F", encodeBx(0x000F, second));
    float t[8], c[3];
    char info = 1;
    EXPECT_EQ(ndiGetBXTransform(h, 0x0B, t), 1);
    EXPECT_EQ(ndiGetBXFrame(h, 0x0B), 0u);
    EXPECT_EQ(ndiGetBXPortStatus(h, 0x0B), 0u);
    EXPECT_EQ(ndiGetBXMarkerStrayCount(h, 0x0B), 0);
    ndiGetBXToolInfo(h, 0x0B, &info);
    EXPECT_EQ(info, 0);

    BxReply third;
    third.entries = {tool(0x0C, 0x01, 30)};
    capture("BX:0002", encodeBx(0x0002, third));
    std::fill(t, t + 8, -1.0f);
    ndiGetBXTransform(h, 0x0C, t);
    EXPECT_EQ(t[4], 0.0f) << "no pose asked for: none shown";
    ndiGetBXSingleStray(h, 0x0C, c);
    EXPECT_EQ(c[0], 0.0f);
}

TEST_F(BxCapture, OptionSubsetsAndStrayStatusZero)
{
    struct Case {
        const char* command;
        unsigned option;
    } cases[] = {{"BX", 0x0001},      {"BX:", 0x0001},     {"BX:0001", 0x0001}, {"BX:0801", 0x0801},
                 {"BX:0005", 0x0005}, {"BX:000C", 0x000C}, {"BX 1008", 0x1008}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.command);
        std::memset(&h->Capture, 0, sizeof h->Capture);
        BxReply r;
        r.entries = {tool(0x01, 0x01, 1), tool(0x02, 0x01, 2)};
        r.entries[0].strayStatus = 0;
        r.passiveStrays = strays(2);
        r.systemStatus = 0x0042;
        capture(k.command, encodeBx(k.option, r));
        EXPECT_EQ(ndiGetBXMarkerCount(h), 2);
        EXPECT_EQ(ndiGetBXSystemStatus(h), 0x0042) << "the whole reply was read in step";
        EXPECT_EQ(ndiGetBXFrame(h, 0x02), (k.option & 1) ? 1002u : 0u);
        EXPECT_EQ(ndiGetBXMarkerStrayCount(h, 0x02), (k.option & 8) ? 3 : 0);
        EXPECT_EQ(ndiGetBXNumberOfPassiveStrays(h), (k.option & 0x1000) ? 2 : 0);
        float c[3];
        if (k.option & 4) {
            ndiGetBXSingleStray(h, 0x02, c);
            EXPECT_EQ(c[0], 2.0f);
        }
    }
}

// Replies whose counts exceed the areas, or disagree with the bytes.
TEST_F(BxCapture, OversizedCountsKeepWhatFitsAndStayInStep)
{
    BxReply r;
    for (int i = 0; i < 30; ++i) {
        r.entries.push_back(tool(static_cast<std::uint8_t>(0x20 + i), 0x01, float(i)));
    }
    r.entries[1].markers.clear();
    for (int i = 0; i < 25; ++i) {
        r.entries[1].markers.push_back({float(i), 1, 2});
    }
    r.entries[2].markers.clear();
    r.entries[2].markerCount = -3;  // a negative count carries nothing
    r.passiveStrays = strays(127);
    r.systemStatus = 0x7777;
    capture("BX:100F", encodeBx(0x100F, r));

    EXPECT_EQ(ndiGetBXMarkerCount(h), NDI_MAX_HANDLES);
    EXPECT_EQ(ndiGetBXMarkerStrayCount(h, 0x21), NDI_MAX_BX_MARKERS);
    float c[3];
    EXPECT_EQ(ndiGetBXMarkerStray(h, 0x21, 19, c), 0);
    EXPECT_EQ(c[0], 19.0f);
    EXPECT_EQ(ndiGetBXMarkerStray(h, 0x21, 20, c), 1);
    EXPECT_EQ(ndiGetBXMarkerStrayCount(h, 0x22), 0);
    EXPECT_EQ(ndiGetBXMarkerStray(h, 0x22, 0, c), 1);
    expectTool(r.entries[3], 3);  // after the oversized and negative counts
    expectTool(r.entries[23], 3);
    EXPECT_EQ(ndiGetBXFrame(h, 0x20 + 24), 0u);
    EXPECT_EQ(ndiGetBXNumberOfPassiveStrays(h), 127);
    EXPECT_EQ(ndiGetBXPassiveStray(h, 126, c), 0);
    EXPECT_EQ(c[0], 126.0f);
    EXPECT_EQ(ndiGetBXSystemStatus(h), 0x7777);

    BxReply negative;
    negative.passiveStrayCount = -100;
    negative.systemStatus = 0x1234;
    capture("BX:1000", encodeBx(0x1000, negative));
    EXPECT_EQ(ndiGetBXNumberOfPassiveStrays(h), 0);
    EXPECT_EQ(ndiGetBXPassiveStray(h, 0, c), 1);
    EXPECT_EQ(ndiGetBXSystemStatus(h), 0x1234);
}

TEST_F(BxCapture, RepliesCutShortOrMislabelledNeverShowOlderData)
{
    BxReply r;
    r.entries = {tool(0x01, 0x01, 1), tool(0x02, 0x01, 2), tool(0x03, 0x01, 3)};
    r.passiveStrays = strays(4);
    r.systemStatus = 0x0101;
    const std::string full = encodeBx(0x100F, r);

    // The length field can claim more or fewer bytes than arrived; the
    // bytes can stop anywhere. Whatever is cut is absent, never stale.
    struct Case {
        const char* what;
        std::string reply;
        int tools;
    } cases[] = {
        {"short by one byte", full.substr(0, full.size() - 1), 3},
        {"cut inside the third tool", full.substr(0, full.size() - 80), 2},
        {"header only", full.substr(0, 7), 0},
        {"magic and length only", full.substr(0, 4), 0},
        {"length field says less",
         [&] {
             BxReply s = r;
             s.lengthField = 40;
             return encodeBx(0x100F, s);
         }(),
         0},
        {"length field says more",
         [&] {
             BxReply s = r;
             s.lengthField = 5000;
             return encodeBx(0x100F, s);
         }(),
         3},
        {"count says more",
         [&] {
             BxReply s = r;
             s.handleCount = 200;
             return encodeBx(0x100F, s);
         }(),
         3},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        BxReply previous;
        for (int i = 0; i < 6; ++i) {
            previous.entries.push_back(tool(static_cast<std::uint8_t>(0x01 + i), 0x01, 50));
        }
        previous.passiveStrays = strays(9);
        capture("BX:100F", encodeBx(0x100F, previous));

        capture("BX:100F", k.reply);
        EXPECT_EQ(ndiGetBXMarkerCount(h), k.tools);
        float t[8];
        for (int i = 0; i < 6; ++i) {
            int result = ndiGetBXTransform(h, 0x01 + i, t);
            if (i < k.tools) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(t[4], float(i + 1));
            } else {
                EXPECT_EQ(result, 1) << "tool " << i;
            }
        }
        EXPECT_NE(ndiGetBXNumberOfPassiveStrays(h), 9);
    }

    // Without the magic bytes nothing is captured at all.
    capture("BX:100F", full);
    std::string bad = full;
    bad[1] = 'X';
    capture("BX:100F", bad);
    EXPECT_EQ(ndiGetBXMarkerCount(h), 3);
    EXPECT_EQ(ndiGetBXSystemStatus(h), 0x0101);
}

}  // namespace

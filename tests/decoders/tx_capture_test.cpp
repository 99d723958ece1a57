// The text tracking reply: capture and accessors, with replies built by the
// test encoder from the reply layout.
#include "capture_fixture.h"
#include "reply_encoder.h"

#include <cstring>

namespace {

using replies::coordText;
using replies::encodeTx;
using replies::Pose;
using replies::poseText;
using replies::TxEntry;
using replies::TxReply;

const Pose kPose{0.5, 0.5, -0.5, 0.5, 123.45, -0.07, 1999.99, 0.1234};

TxEntry entry(int handle, const std::string& transform, unsigned long frame)
{
    TxEntry e;
    e.handle = handle;
    e.transform = transform;
    e.portStatus = 0x00000031;
    e.frame = frame;
    e.information = "3A" + std::string(18, '0');
    e.singleStray = coordText(1.5, -2.25, 300);
    return e;
}

void expectPose(const float t[8], const Pose& p)
{
    const double want[8] = {p.q0, p.qx, p.qy, p.qz, p.tx, p.ty, p.tz, p.error};
    for (int i = 0; i < 8; ++i) {
        EXPECT_NEAR(t[i], want[i], 1e-4) << "component " << i;
    }
}

class TxCapture : public CaptureTest {};

TEST_F(TxCapture, PosesOfValidMissingAndDisabledTools)
{
    TxReply r;
    r.entries = {entry(0x0A, poseText(kPose), 0x1234ABCD), entry(0x0B, "MISSING", 77),
                 entry(0x0C, "DISABLED", 78)};
    r.systemStatus = 0x0102;
    capture("TX:0001", encodeTx(0x0001, r));

    struct Case {
        int handle;
        int result;
        unsigned long frame;
    } cases[] = {{0x0A, 0, 0x1234ABCD}, {0x0B, 2, 77}, {0x0C, 1, 78}, {0x0D, 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.handle);
        float t[8];
        std::fill(t, t + 8, -9.0f);
        double d[8] = {};
        EXPECT_EQ(ndiGetTXTransformf(h, c.handle, t), c.result);
        EXPECT_EQ(ndiGetTXTransform(h, c.handle, d), c.result);
        if (c.result == 0) {
            expectPose(t, kPose);
            EXPECT_DOUBLE_EQ(d[4], 123.45);
        } else {
            EXPECT_EQ(t[0], -9.0f) << "nothing is written without a pose";
        }
        EXPECT_EQ(ndiGetTXFrame(h, c.handle), c.frame);
        EXPECT_EQ(ndiGetTXPortStatus(h, c.handle), c.frame ? 0x31u : 0u);
    }
    EXPECT_EQ(ndiGetTXSystemStatus(h), 0x0102);
}

TEST_F(TxCapture, UnoccupiedEntriesTakeNoSlot)
{
    TxReply r;
    TxEntry free;
    free.handle = 0x0B;
    free.unoccupied = true;
    r.entries = {free, entry(0x0A, poseText(kPose), 5)};
    capture("TX:0001", encodeTx(0x0001, r));

    EXPECT_EQ(h->Capture.TxHandleCount, 1);
    EXPECT_EQ(h->Capture.TxHandles[0], 0x0A);
    float t[8];
    EXPECT_EQ(ndiGetTXTransformf(h, 0x0B, t), 1);
    EXPECT_EQ(ndiGetTXTransformf(h, 0x0A, t), 0);
    EXPECT_EQ(ndiGetTXFrame(h, 0x0A), 5u);
}

TEST_F(TxCapture, InformationAndSingleStraysFollowTheTransform)
{
    TxReply r;
    r.entries = {entry(0x01, poseText(kPose), 1), entry(0x02, "MISSING", 2),
                 entry(0x03, poseText(kPose), 3)};
    r.entries[0].information = "3A" + std::string("0123456789ABCDEF01");
    r.entries[1].singleStray = "MISSING";
    r.entries[2].singleStray = "DISABLED";
    capture("TX:0007", encodeTx(0x0007, r));

    EXPECT_EQ(ndiGetTXToolInfo(h, 0x01), 0x3A);
    EXPECT_EQ(ndiGetTXMarkerInfo(h, 0x01, 0), 0x0);
    EXPECT_EQ(ndiGetTXMarkerInfo(h, 0x01, 11), 0xB);
    EXPECT_EQ(ndiGetTXMarkerInfo(h, 0x01, 17), 0x1);
    EXPECT_EQ(ndiGetTXMarkerInfo(h, 0x01, 19), 0) << "beyond the kept characters";
    EXPECT_EQ(ndiGetTXMarkerInfo(h, 0x01, 20), 1);
    EXPECT_EQ(ndiGetTXMarkerInfo(h, 0x01, -1), 1);
    EXPECT_EQ(ndiGetTXMarkerInfo(h, 0x09, 0), 1);
    EXPECT_EQ(ndiGetTXToolInfo(h, 0x09), 0);

    double c[3] = {-1, -1, -1};
    EXPECT_EQ(ndiGetTXSingleStray(h, 0x01, c), 0);
    EXPECT_DOUBLE_EQ(c[0], 1.5);
    EXPECT_DOUBLE_EQ(c[1], -2.25);
    EXPECT_DOUBLE_EQ(c[2], 300.0);
    EXPECT_EQ(ndiGetTXSingleStray(h, 0x02, c), 2);
    EXPECT_EQ(ndiGetTXSingleStray(h, 0x03, c), 1);
    EXPECT_EQ(ndiGetTXSingleStray(h, 0x09, c), 1);
    EXPECT_EQ(ndiGetTXFrame(h, 0x03), 3u) << "entries stay in step after MISSING";
}

TEST_F(TxCapture, PassiveStraysBeyondFiftyAreSkippedInStep)
{
    struct Case {
        int strays;
        int kept;
    } cases[] = {{0, 0}, {3, 3}, {50, 50}, {51, 50}, {63, 50}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.strays);
        TxReply r;
        r.entries = {entry(0x0A, poseText(kPose), 9)};
        for (int i = 0; i < k.strays; ++i) {
            r.passiveStrays.push_back({double(i), -double(i), 0.5});
        }
        r.systemStatus = 0xBEEF;
        capture("TX:1001", encodeTx(0x1001, r));

        EXPECT_EQ(ndiGetTXNumberOfPassiveStrays(h), k.kept);
        EXPECT_EQ(ndiGetTXSystemStatus(h), 0xBEEF) << "the status follows every reported stray";
        double c[3];
        for (int i = 0; i < k.kept; ++i) {
            ASSERT_EQ(ndiGetTXPassiveStray(h, i, c), 0) << i;
            EXPECT_DOUBLE_EQ(c[0], i);
            EXPECT_DOUBLE_EQ(c[1], -i);
        }
        EXPECT_EQ(ndiGetTXPassiveStray(h, k.kept, c), k.kept ? 2 : 1);
        EXPECT_EQ(ndiGetTXPassiveStray(h, -1, c), k.kept ? 2 : 1);
        EXPECT_EQ(std::strlen(h->Capture.TxPassiveStrayOov),
                  size_t(std::min(13, (k.kept + 3) / 4)));
    }
}

TEST_F(TxCapture, OptionWordComesFromTheCommandText)
{
    TxReply r;
    r.entries = {entry(0x0A, poseText(kPose), 42)};
    const std::string basic = encodeTx(0x0001, r);
    for (const char* command : {"TX", "TX:", "TX:0001", "TX 0001", "TX:1"}) {
        SCOPED_TRACE(command);
        std::memset(&h->Capture, 0, sizeof h->Capture);
        capture(command, basic);
        EXPECT_EQ(ndiGetTXFrame(h, 0x0A), 42u);
    }
    // Asked without transforms, the entry holds only the information, even
    // where the slot showed another tool's pose before.
    r.entries[0].handle = 0x0B;
    capture("TX:0002", encodeTx(0x0002, r));
    float t[8];
    EXPECT_EQ(ndiGetTXTransformf(h, 0x0B, t), 1);
    EXPECT_EQ(ndiGetTXFrame(h, 0x0B), 0u);
    EXPECT_EQ(ndiGetTXToolInfo(h, 0x0B), 0x3A);
}

// Replies that claim more than they hold, or more than the areas hold.
TEST_F(TxCapture, HostileRepliesKeepWhatFitsAndStayInStep)
{
    // 30 tools: 24 kept, the rest read past, the status still found.
    TxReply many;
    for (int i = 0; i < 30; ++i) {
        many.entries.push_back(entry(0x10 + i, poseText(kPose), 1000 + i));
    }
    many.systemStatus = 0x0A0B;
    capture("TX:0001", encodeTx(0x0001, many));
    EXPECT_EQ(h->Capture.TxHandleCount, NDI_MAX_HANDLES);
    EXPECT_EQ(ndiGetTXFrame(h, 0x10 + 23), 1023u);
    EXPECT_EQ(ndiGetTXFrame(h, 0x10 + 24), 0u);
    EXPECT_EQ(ndiGetTXSystemStatus(h), 0x0A0B);

    // A count of 5 with two entries: only two are there, and the slots
    // behind them must not show the previous reply's tools.
    TxReply shortReply;
    shortReply.entries = {entry(0x10, poseText(kPose), 1), entry(0x11, poseText(kPose), 2)};
    shortReply.handleCount = 5;
    capture("TX:0001", encodeTx(0x0001, shortReply));
    float t[8];
    EXPECT_EQ(ndiGetTXTransformf(h, 0x12, t), 1);
    EXPECT_EQ(ndiGetTXFrame(h, 0x13), 0u);
    EXPECT_EQ(ndiGetTXFrame(h, 0x10), 1u);

    // A transform cut short is no pose at all.
    const std::string full =
        encodeTx(0x0001, TxReply{{entry(0x0A, poseText(kPose), 3)}, {}, {}, {}, 0});
    for (size_t cut : {size_t(1), size_t(3), size_t(4 + 30), size_t(4 + 50)}) {
        SCOPED_TRACE(cut);
        capture("TX:0001", full.substr(0, cut));
        std::fill(t, t + 8, -9.0f);
        EXPECT_EQ(ndiGetTXTransformf(h, 0x0A, t), 1);
        EXPECT_EQ(t[0], -9.0f);
    }

    // A stray count with no strays behind it, and a cut stray text.
    TxReply noStrays;
    noStrays.passiveStrayCount = 9;
    capture("TX:1000", encodeTx(0x1000, noStrays));
    double c[3];
    EXPECT_EQ(ndiGetTXPassiveStray(h, 0, c), 1);
    capture("TX:1000", "0002" + coordText(1, 2, 3) + "+0001");
    EXPECT_EQ(ndiGetTXPassiveStray(h, 0, c), 0);
    EXPECT_EQ(ndiGetTXPassiveStray(h, 1, c), 1);

    for (const std::string& junk :
         {std::string(), std::string("F"), std::string("FF"), std::string(2000, '\xFF'),
          std::string("FF") + std::string(600, 'U')}) {
        capture("TX:1007", junk);
        for (int handle = -1; handle < 260; handle += 7) {
            ndiGetTXTransformf(h, handle, t);
            ndiGetTXSingleStray(h, handle, c);
            ndiGetTXMarkerInfo(h, handle, 19);
        }
        EXPECT_LE(h->Capture.TxHandleCount, NDI_MAX_HANDLES);
        EXPECT_LE(ndiGetTXNumberOfPassiveStrays(h), 50);
    }
}

}  // namespace

// Replies captured through the whole command exchange over loopback TCP:
// what the engine hands to the capture is what the accessors read back, and
// a reply that fails its checks leaves the captured data alone.
#include <gtest/gtest.h>

#include <ndi/protocol.h>

#include "reply_encoder.h"
#include "scripted_device.h"

#include <map>
#include <memory>
#include <mutex>

namespace {

using namespace replies;

BxReply bxReply(float tx, std::uint32_t frame)
{
    BxReply r;
    BxEntry e;
    e.handle = 0x0A;
    e.pose = {0.5f, 0.5f, -0.5f, 0.5f, tx, 2, 3, 0.25f};
    e.portStatus = 0x80000031u;
    e.frame = frame;
    e.markers = {{1, 2, 3}, {4, 5, 6}};
    BxEntry missing;
    missing.handle = 0x0B;
    missing.status = 0x02;
    r.entries = {e, missing};
    r.passiveStrays = {{7, 8, 9}};
    r.systemStatus = 0x0101;
    return r;
}

class Exchange : public ::testing::Test {
protected:
    Exchange()
        : device(nditest::ScriptedDevice::Line::Tcp, [this](const std::string& command) {
              std::lock_guard<std::mutex> lock(mutex);
              auto it = replies.find(command);
              return it != replies.end() ? it->second : frameText("ERROR01");
          })
    {
        h = ndiOpenNetwork("127.0.0.1", device.port());
        if (h) {
            ndiTimeoutSocket(h, 5000);
        }
    }
    ~Exchange() override
    {
        if (h) {
            ndiCloseNetwork(h);
        }
    }

    void answer(const std::string& command, const std::string& reply)
    {
        std::lock_guard<std::mutex> lock(mutex);
        replies[command] = reply;
    }

    std::mutex mutex;
    std::map<std::string, std::string> replies;
    nditest::ScriptedDevice device;
    NdiConnection* h = nullptr;
};

TEST_F(Exchange, TrackingRepliesReachTheAccessors)
{
    ASSERT_NE(h, nullptr);
    answer("BX:1809" + hex(crc16("BX:1809"), 4), frameBx(encodeBx(0x1809, bxReply(123.5f, 4242))));
    ndiCommand(h, "BX:%04X", 0x1809);
    ASSERT_EQ(ndiGetError(h), 0) << ndiErrorString(ndiGetError(h));

    float t[8], c[3];
    EXPECT_EQ(ndiGetBXTransform(h, 0x0A, t), 0);
    EXPECT_EQ(t[4], 123.5f);
    EXPECT_EQ(ndiGetBXFrame(h, 0x0A), 4242u);
    EXPECT_EQ(ndiGetBXPortStatus(h, 0x0A), 0x80000031u);
    EXPECT_EQ(ndiGetBXTransform(h, 0x0B, t), 2);
    EXPECT_EQ(ndiGetBXMarkerStrayCount(h, 0x0A), 2);
    EXPECT_EQ(ndiGetBXMarkerStray(h, 0x0A, 1, c), 0);
    EXPECT_EQ(c[2], 6.0f);
    EXPECT_EQ(ndiGetBXNumberOfPassiveStrays(h), 1);
    EXPECT_EQ(ndiGetBXSystemStatus(h), 0x0101);

    TxReply tx;
    TxEntry e;
    e.handle = 0x0A;
    e.transform = poseText(Pose{1, 0, 0, 0, 123.45, -1, 2, 0});
    e.frame = 99;
    tx.entries = {e};
    tx.systemStatus = 0x0002;
    answer("TX:0001" + hex(crc16("TX:0001"), 4), frameText(encodeTx(0x0001, tx)));
    ndiCommand(h, "TX:%04X", 0x0001);
    ASSERT_EQ(ndiGetError(h), 0);
    EXPECT_EQ(ndiGetTXTransformf(h, 0x0A, t), 0);
    EXPECT_FLOAT_EQ(t[4], 123.45f);
    EXPECT_EQ(ndiGetTXFrame(h, 0x0A), 99u);

    answer("PHINF:0A0001" + hex(crc16("PHINF:0A0001"), 4), frameText("UNOCCUPIED"));
    ndiCommand(h, "PHINF:%02X%04X", 0x0A, 0x0001);
    char info[31];
    EXPECT_EQ(ndiGetPHINFToolInfo(h, info), 3);
}

TEST_F(Exchange, FailedRepliesLeaveTheCaptureAlone)
{
    ASSERT_NE(h, nullptr);
    const std::string bx = "BX:1809" + hex(crc16("BX:1809"), 4);
    answer(bx, frameBx(encodeBx(0x1809, bxReply(1.0f, 1))));
    ndiCommand(h, "BX:%04X", 0x1809);
    ASSERT_EQ(ndiGetError(h), 0);

    std::string corrupt = frameBx(encodeBx(0x1809, bxReply(2.0f, 2)));
    corrupt[corrupt.size() - 1] ^= 0x01;
    struct Case {
        const char* what;
        std::string reply;
    } cases[] = {{"body CRC wrong", corrupt}, {"device error", frameText("ERROR0D")}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        answer(bx, k.reply);
        ndiCommand(h, "BX:%04X", 0x1809);
        EXPECT_NE(ndiGetError(h), 0);
        float t[8];
        EXPECT_EQ(ndiGetBXTransform(h, 0x0A, t), 0);
        EXPECT_EQ(t[4], 1.0f);
        EXPECT_EQ(ndiGetBXFrame(h, 0x0A), 1u);
    }
}

}  // namespace

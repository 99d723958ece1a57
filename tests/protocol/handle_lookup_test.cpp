// The accessors find a port handle in the last tracking reply as a walk
// through its slots would: the first slot that holds it, and nothing for a
// handle the reply did not carry, whatever earlier replies held. Checked
// against that walk over a long run of random replies: repeated handles,
// counts above the slots, replies cut short, and handles outside a byte.
#include <gtest/gtest.h>

#include <ndi/protocol.h>

#include "ndi_capture_internal.h"
#include "reply_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace replies;

struct FreeHandle {
    void operator()(NdiConnection* h) const { std::free(h); }
};
using Handle = std::unique_ptr<NdiConnection, FreeHandle>;

Handle zeroFilledHandle()
{
    return Handle(static_cast<NdiConnection*>(std::calloc(1, sizeof(NdiConnection))));
}

// The slot a walk through the first count slots finds, or -1.
int walk(const unsigned char* handles, int count, int handle)
{
    count = std::min(count, NDI_MAX_HANDLES);
    for (int slot = 0; slot < count; ++slot) {
        if (handles[slot] == handle) {
            return slot;
        }
    }
    return -1;
}

// Few distinct handles, so that replies repeat them, and the ends of a byte.
int randomHandle(std::mt19937& random)
{
    static const int kHandles[] = {0x00, 0x01, 0x02, 0x03, 0x0A, 0x0B, 0x7F, 0x80, 0xFE, 0xFF};
    return kHandles[random() % std::size(kHandles)];
}

// Handles asked for: every byte, and values beyond a byte that share its low
// eight bits with handles in the replies.
std::vector<int> askedHandles()
{
    std::vector<int> asked;
    for (int handle = -2; handle < 256; ++handle) {
        asked.push_back(handle);
    }
    for (int handle : {0x100, 0x10A, 0x1FF, -256, -255, 0x7FFFFFFF}) {
        asked.push_back(handle);
    }
    return asked;
}

void capture(NdiConnection* h, const std::string& command, const std::string& reply)
{
    std::vector<char> bytes(reply.begin(), reply.end());
    ndiCaptureReply(h, command.data(), static_cast<int>(command.size()), bytes.data(),
                    static_cast<int>(bytes.size()));
}

TEST(HandleLookup, BinaryAccessorsFindTheFirstSlotOfTheLastReply)
{
    Handle h = zeroFilledHandle();
    std::mt19937 random(18);
    const std::vector<int> asked = askedHandles();
    for (int round = 0; round < 400; ++round) {
        BxReply r;
        const int entries = static_cast<int>(random() % 30);  // up to 6 beyond the slots
        for (int i = 0; i < entries; ++i) {
            BxEntry e;
            e.handle = static_cast<std::uint8_t>(randomHandle(random));
            e.frame = static_cast<std::uint32_t>(round * 100 + i + 1);  // tells the slots apart
            r.entries.push_back(e);
        }
        std::string payload = encodeBx(0x0001, r);
        if (random() % 4 == 0) {
            payload.resize(random() % (payload.size() + 1));  // cut anywhere, header included
        }
        capture(h.get(), "BX:0001", payload);
        SCOPED_TRACE("round " + std::to_string(round));

        const NdiCaptureAreas& a = h->Capture;
        for (int handle : asked) {
            const int slot = walk(a.BxHandles, a.BxHandleCount, handle);
            float pose[8];
            char info;
            if (slot < 0) {
                ASSERT_EQ(ndiGetBXFrame(h.get(), handle), 0u) << handle;
                ASSERT_EQ(ndiGetBXTransform(h.get(), handle, pose), 1) << handle;
                ASSERT_EQ(ndiGetBXMarkerInfo(h.get(), handle, 0, &info), 1) << handle;
            } else {
                ASSERT_EQ(ndiGetBXFrame(h.get(), handle), a.BxFrameNumber[slot]) << handle;
                ASSERT_EQ(ndiGetBXPortStatus(h.get(), handle), a.BxPortStatus[slot]) << handle;
                ASSERT_EQ(ndiGetBXTransform(h.get(), handle, pose), 0) << handle;
            }
        }
    }
}

TEST(HandleLookup, TextAccessorsFindTheFirstSlotOfTheLastReply)
{
    Handle h = zeroFilledHandle();
    std::mt19937 random(81);
    const std::vector<int> asked = askedHandles();
    for (int round = 0; round < 400; ++round) {
        TxReply r;
        const int entries = static_cast<int>(random() % 30);
        for (int i = 0; i < entries; ++i) {
            TxEntry e;
            e.handle = randomHandle(random);
            e.unoccupied = random() % 8 == 0;  // takes no slot
            e.transform = poseText(Pose{1, 0, 0, 0, double(i), 0, 0, 0});
            e.frame = static_cast<unsigned long>(round * 100 + i + 1);
            r.entries.push_back(e);
        }
        std::string text = encodeTx(0x0001, r);
        if (random() % 4 == 0) {
            text.resize(random() % (text.size() + 1));
        }
        capture(h.get(), "TX:0001", text);
        SCOPED_TRACE("round " + std::to_string(round));

        const NdiCaptureAreas& a = h->Capture;
        for (int handle : asked) {
            const int slot = walk(a.TxHandles, a.TxHandleCount, handle);
            double pose[8];
            if (slot < 0) {
                ASSERT_EQ(ndiGetTXFrame(h.get(), handle), 0u) << handle;
                ASSERT_EQ(ndiGetTXTransform(h.get(), handle, pose), 1) << handle;
                ASSERT_EQ(ndiGetTXMarkerInfo(h.get(), handle, 0), 1) << handle;
            } else {
                const unsigned long frame = std::strtoul(
                    std::string(a.TxFrame[slot], sizeof a.TxFrame[slot]).c_str(), nullptr, 16);
                ASSERT_EQ(ndiGetTXFrame(h.get(), handle), frame) << handle;
            }
        }
    }
}

}  // namespace

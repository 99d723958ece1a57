// The command side of thread mode, and the events and mutexes it uses. The
// background thread itself (switching thread mode on and the polling loop)
// is not part of this library yet; a stand-in plays it here by the same
// rules: it talks only while holding PollMutex, publishes each result under
// ResultMutex and signals ResultEvent.
#include "scripted_device.h"

#include <ndicapi.h>

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

using nditest::binaryFrame;
using nditest::framed;
using nditest::Reply;
using nditest::ScriptedDevice;

struct PollAnswer {
    std::string bytes;
    int error = 0;
};

class PollThreadStandIn {
public:
    using Answer = std::function<PollAnswer(const std::string& command)>;

    // Switches thread mode on as the library will: buffers, objects, and
    // PollMutex held by the calling (driving) thread while tracking is off.
    PollThreadStandIn(NdiConnection* h, Answer answer) : h_(h), answer_(std::move(answer))
    {
        h_->ThreadMode = 1;
        h_->PollCommand = static_cast<char*>(std::calloc(NDI_BUFFER_SIZE, 1));
        h_->PollReply = static_cast<char*>(std::calloc(NDI_BUFFER_SIZE, 1));
        h_->PollResult = static_cast<char*>(std::calloc(NDI_BUFFER_SIZE, 1));
        h_->PollError = 0;
        h_->ResultMutex = ndiMutexCreate();
        h_->ResultEvent = ndiEventCreate();
        h_->PollMutex = ndiMutexCreate();
        ndiMutexLock(h_->PollMutex);
        thread_ = std::thread([this] { loop(); });
    }

    // Switches it off again; the test ends with tracking off.
    ~PollThreadStandIn()
    {
        EXPECT_EQ(h_->TrackingActive, 0);
        h_->ThreadMode = 0;
        ndiMutexUnlock(h_->PollMutex);
        thread_.join();
        ndiEventDestroy(h_->ResultEvent);
        ndiMutexDestroy(h_->ResultMutex);
        ndiMutexDestroy(h_->PollMutex);
        std::free(h_->PollResult);
        std::free(h_->PollReply);
        std::free(h_->PollCommand);
        h_->PollResult = h_->PollReply = h_->PollCommand = nullptr;
    }

    int exchanges() const { return exchanges_; }

private:
    void loop()
    {
        for (;;) {
            ndiMutexLock(h_->PollMutex);
            if (!h_->ThreadMode) {
                ndiMutexUnlock(h_->PollMutex);
                return;
            }
            std::string command = h_->PollCommand;
            if (!command.empty()) {
                PollAnswer answer = answer_(command);
                EXPECT_EQ(h_->PollBinary, command[0] == 'B');
                ndiMutexLock(h_->ResultMutex);
                std::memcpy(h_->PollResult, answer.bytes.data(), answer.bytes.size());
                h_->PollResultLength = static_cast<int>(answer.bytes.size());
                h_->PollError = answer.error;
                ndiEventSignal(h_->ResultEvent);
                ndiMutexUnlock(h_->ResultMutex);
                ++exchanges_;
            }
            ndiMutexUnlock(h_->PollMutex);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    NdiConnection* h_;
    Answer answer_;
    std::atomic<int> exchanges_{0};
    std::thread thread_;
};

bool heldByAnotherThread(NdiMutex mutex)
{
    int result = -1;
    std::thread([&] {
        result = pthread_mutex_trylock(mutex);
        if (result == 0) {
            pthread_mutex_unlock(mutex);
        }
    }).join();
    return result == EBUSY;
}

TEST(ThreadMode, TrackingRepliesComeFromThePollThreadAndOtherCommandsHoldIt)
{
    // One tool, 0x0A, seen: transform, port status, frame 0x4D2.
    const std::string tx = "010A+05000+05000+05000+05000+012345-002500-150000+00150"
                           "00000031000004D2\n0000";
    const std::string bxBody = std::string("\x01\x0A\x04\x00\x00", 5);
    ScriptedDevice device(ScriptedDevice::Line::Pty, [](const std::string&) { return Reply{framed("OKAY")}; });
    NdiConnection* h = ndiOpenSerial(device.path().c_str());
    ASSERT_NE(h, nullptr);
    {
        PollThreadStandIn poll(h, [&](const std::string& command) -> PollAnswer {
            if (command.rfind("TX:0801", 0) == 0) {
                return {framed(tx)};
            }
            if (command.rfind("BX:0001", 0) == 0) {
                return {binaryFrame(bxBody)};
            }
            return {"", NDI_ERR_READ};
        });
        EXPECT_TRUE(heldByAnotherThread(h->PollMutex)) << "idle: the driving thread holds the line";

        ndiCommand(h, "TSTART:");
        EXPECT_EQ(ndiGetError(h), 0);
        EXPECT_EQ(h->TrackingActive, 1);

        EXPECT_STREQ(ndiCommand(h, "TX:%04X", 0x0801), tx.c_str());
        EXPECT_EQ(ndiGetError(h), 0);
        EXPECT_EQ(ndiGetTXFrame(h, 0x0A), 0x4D2u) << "the handed-over reply is captured";
        EXPECT_EQ(std::string(h->PollCommand), std::string(h->CommandBuffer));

        ndiCommand(h, "BX:0001");
        EXPECT_EQ(ndiGetError(h), 0) << "a binary result is handed over with its length";
        EXPECT_EQ(ndiGetBXMarkerCount(h), 1);

        ndiCommand(h, "TX:0002");
        EXPECT_EQ(ndiGetError(h), NDI_ERR_READ) << "the thread's failure is the command's";

        // Other commands go to the device, with the thread held off the line.
        ndiCommand(h, "PHSR:00");
        EXPECT_EQ(ndiGetError(h), 0);
        ndiCommand(h, "TSTOP:");
        EXPECT_EQ(h->TrackingActive, 0);
        EXPECT_TRUE(heldByAnotherThread(h->PollMutex)) << "TSTOP keeps the thread stopped";
    }
    EXPECT_EQ(device.commands().size(), 3u) << "TSTART, PHSR and TSTOP only";
    ndiCloseSerial(h);
}

TEST(ThreadMode, EventsResetWhenAWaitTakesThem)
{
    NdiEvent event = ndiEventCreate();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(ndiEventSignal(event), 0);
    EXPECT_EQ(ndiEventWait(event, 100), 0) << "signalled before the wait";
    EXPECT_EQ(ndiEventWait(event, 20), 1) << "the first wait consumed the signal";

    std::thread signaller([&] { ndiEventSignal(event); });
    EXPECT_EQ(ndiEventWait(event, -1), 0);
    signaller.join();
    ndiEventDestroy(event);

    NdiMutex mutex = ndiMutexCreate();
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(ndiMutexLock(mutex), 0);
    EXPECT_TRUE(heldByAnotherThread(mutex));
    EXPECT_EQ(ndiMutexUnlock(mutex), 0);
    ndiMutexDestroy(mutex);

    std::atomic<int> ran{0};
    NdiThread thread = ndiThreadSplit(
        [](void* argument) -> void* {
            ++*static_cast<std::atomic<int>*>(argument);
            return nullptr;
        },
        &ran);
    ASSERT_NE(thread, NdiThread{});
    EXPECT_EQ(ndiThreadJoin(thread), 0);
    EXPECT_EQ(ran, 1);
}

} // namespace

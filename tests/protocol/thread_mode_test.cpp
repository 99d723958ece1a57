// Thread mode against the simulator over loopback TCP and a pseudo-terminal:
// the background thread's polling, how the command side hands its replies
// out, pauses and stops it, its failures, and the events and mutexes it
// rests on.
#include <ndisim/Simulator.h>

#include <ndi/protocol.h>

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Creation failures on demand: the test binary links with
// -Wl,--wrap=pthread_create,--wrap=pthread_mutex_init, and only the thread
// that arms a failure sees it.
namespace {
thread_local bool failThreadCreate = false;
thread_local bool failMutexInit = false;
}  // namespace

extern "C" {
int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int __real_pthread_mutex_init(pthread_mutex_t*, const pthread_mutexattr_t*);

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                          void* (*function)(void*), void* argument)
{
    return failThreadCreate ? EAGAIN
                            : __real_pthread_create(thread, attributes, function, argument);
}

int __wrap_pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes)
{
    return failMutexInit ? ENOMEM : __real_pthread_mutex_init(mutex, attributes);
}
}

namespace {

using namespace ndisim;
using namespace std::chrono_literals;

constexpr double kTextQuaternion = 0.5e-4 + 1e-6;
constexpr double kTextMillimetres = 0.005 + 1e-4;

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

// Whether the mutex is free between API calls. The background thread may hold
// it for a moment (one exchange, or on its way to wait), so look again until
// a deadline before calling it held.
bool freeBetweenCalls(NdiMutex mutex)
{
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (heldByAnotherThread(mutex)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// An Aurora at 250 Hz whose wired tools are all enabled, on either line.
struct Tracker {
    explicit Tracker(bool tcp, Faults faults = {})
    {
        Scenario scenario = defaultScenario(Family::Aurora);
        scenario.frameRate = 250;
        scenario.faults = faults;
        sim = tcp ? Simulator::tcp(scenario, "127.0.0.1", 0) : Simulator::serial(scenario);
        h = tcp ? ndiOpenNetwork("127.0.0.1", sim->tcpPort())
                : ndiOpenSerial(sim->serialDevice().c_str());
        if (h == nullptr) {
            return;
        }
        if (tcp) {
            ndiTimeoutSocket(h, 5000);
        }
        ndiCommand(h, "INIT:");
        EXPECT_EQ(ndiGetError(h), 0);
        ndiCommand(h, "PHSR:%02X", 0);
        for (int i = 0; i < ndiGetPHSRNumberOfHandles(h); ++i) {
            handles.push_back(ndiGetPHSRHandle(h, i));
        }
        for (int ph : handles) {
            ndiCommand(h, "PINIT:%02X", ph);
            EXPECT_EQ(ndiGetError(h), 0);
            ndiCommand(h, "PENA:%02X%c", ph, 'D');
            EXPECT_EQ(ndiGetError(h), 0);
        }
    }
    ~Tracker() { close(); }

    void close()
    {
        if (h != nullptr) {
            sim->isSerial() ? ndiCloseSerial(h) : ndiCloseNetwork(h);
            h = nullptr;
        }
    }

    // Whether the device hears nothing for a while.
    bool quiet()
    {
        const auto before = sim->stats().commands;
        std::this_thread::sleep_for(100ms);
        return sim->stats().commands == before;
    }

    std::unique_ptr<Simulator> sim;
    NdiConnection* h = nullptr;
    std::vector<int> handles;
};

// One TX:0801 through the handle, checked against what the device reports
// for the reply's frame. Returns the frame number, 0 on failure.
std::uint32_t trackTX(Tracker& t)
{
    ndiCommand(t.h, "TX:%04X", 0x0801);
    EXPECT_EQ(ndiGetError(t.h), 0) << ndiErrorString(ndiGetError(t.h));
    std::uint32_t frame = 0;
    for (int ph : t.handles) {
        float got[8] = {};
        if (ndiGetTXTransformf(t.h, ph, got) != 0) {
            continue;
        }
        frame = static_cast<std::uint32_t>(ndiGetTXFrame(t.h, ph));
        const auto want = t.sim->expectedFrame(ph, frame);
        EXPECT_TRUE(want && want->visibility == Visibility::Visible) << "frame " << frame;
        if (!want) continue;
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(got[i], want->pose.q[static_cast<std::size_t>(i)], kTextQuaternion);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(got[4 + i], want->pose.t[static_cast<std::size_t>(i)], kTextMillimetres);
    }
    return frame;
}

// The binary form, decoded from the background thread's reply.
std::uint32_t trackBX(Tracker& t)
{
    ndiCommand(t.h, "BX:%04X", 0x0801);
    EXPECT_EQ(ndiGetError(t.h), 0) << ndiErrorString(ndiGetError(t.h));
    EXPECT_EQ(ndiGetBXMarkerCount(t.h), static_cast<int>(t.handles.size()));
    std::uint32_t frame = 0;
    for (int ph : t.handles) {
        float got[8] = {};
        if (ndiGetBXTransform(t.h, ph, got) != 0) {
            continue;
        }
        frame = ndiGetBXFrame(t.h, ph);
        const auto want = t.sim->expectedFrame(ph, frame);
        EXPECT_TRUE(want && want->visibility == Visibility::Visible) << "frame " << frame;
        if (!want) continue;
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(got[i], want->pose.q[static_cast<std::size_t>(i)], 1e-6);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(got[4 + i], want->pose.t[static_cast<std::size_t>(i)], 1e-3);
    }
    return frame;
}

class ThreadModeLine : public ::testing::TestWithParam<bool> {};

TEST_P(ThreadModeLine, TracksFromTheBackgroundThreadAndHoldsItForEverythingElse)
{
    Tracker t(GetParam());
    ASSERT_NE(t.h, nullptr);
    ASSERT_EQ(t.handles.size(), 4u);

    ndiSetThreadMode(t.h, 1);
    ASSERT_EQ(ndiGetThreadMode(t.h), 1);
    const NdiThread thread = t.h->PollThread;
    const NdiMutex pollMutex = t.h->PollMutex;
    ndiSetThreadMode(t.h, 1);
    EXPECT_TRUE(pthread_equal(t.h->PollThread, thread) && t.h->PollMutex == pollMutex)
        << "switching on twice changes nothing";

    // Idle: the thread waits without anything held between calls, commands
    // go to the device.
    EXPECT_TRUE(freeBetweenCalls(t.h->PollMutex));
    EXPECT_TRUE(t.quiet());
    ndiCommand(t.h, "PHSR:%02X", 0);
    EXPECT_EQ(ndiGetPHSRNumberOfHandles(t.h), 4);

    ndiCommand(t.h, "TSTART:");
    ASSERT_EQ(ndiGetError(t.h), 0);
    // Until the first tracking command the thread waits off the line: it
    // must not keep other commands (or that first one) out meanwhile.
    EXPECT_TRUE(freeBetweenCalls(t.h->PollMutex));
    std::uint32_t first = trackTX(t), last = first;
    for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(4ms);
        last = std::max(last, trackTX(t));
    }
    EXPECT_GT(last, first) << "the answers follow the device's frames";
    EXPECT_FALSE(t.quiet()) << "the thread polls on its own";

    first = trackBX(t);
    for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(4ms);
        last = std::max(last, trackBX(t));
    }
    EXPECT_GT(last, first);

    // Other commands take the line from the thread: their replies arrive
    // whole and unmixed while it polls between them.
    for (int i = 0; i < 20; ++i) {
        const int ph = t.handles[static_cast<std::size_t>(i) % t.handles.size()];
        ndiCommand(t.h, "PHINF:%02X%04X", ph, 0x0001);
        ASSERT_EQ(ndiGetError(t.h), 0) << ndiErrorString(ndiGetError(t.h));
        char info[31];
        ASSERT_EQ(ndiGetPHINFToolInfo(t.h, info), 0);
        const auto& tool =
            t.sim->scenario().tools[static_cast<std::size_t>(t.sim->scenarioToolOf(ph))];
        EXPECT_EQ(std::string(info, 31), tool.toolInfo);
        trackTX(t);
    }

    // TSTOP stops the thread after its current exchange; tracking commands
    // then go to the device, which refuses them.
    ndiCommand(t.h, "TSTOP:");
    ASSERT_EQ(ndiGetError(t.h), 0);
    EXPECT_TRUE(freeBetweenCalls(t.h->PollMutex));
    EXPECT_TRUE(t.quiet());
    ndiCommand(t.h, "TX:%04X", 0x0801);
    EXPECT_EQ(ndiGetError(t.h), 0x0C);

    // Switched off while tracking: every tracking command is one exchange.
    ndiCommand(t.h, "TSTART:");
    trackTX(t);
    ndiSetThreadMode(t.h, 0);
    EXPECT_EQ(ndiGetThreadMode(t.h), 0);
    EXPECT_EQ(t.h->PollCommand, nullptr);
    ndiSetThreadMode(t.h, 0);
    EXPECT_EQ(ndiGetThreadMode(t.h), 0);
    EXPECT_TRUE(t.quiet());
    const auto before = t.sim->stats().commands;
    trackTX(t);
    trackBX(t);
    EXPECT_EQ(t.sim->stats().commands, before + 2);

    // On again while tracking, then closed: the thread ends with the handle
    // (a thread left behind would use the freed handle and its closed line).
    ndiSetThreadMode(t.h, 1);
    ASSERT_EQ(ndiGetThreadMode(t.h), 1);
    trackBX(t);
    EXPECT_FALSE(t.quiet());
    t.close();
    EXPECT_TRUE(t.quiet());
}

// A handle may pass between threads from call to call: thread mode switched
// on in one, tracking driven from another, switched off in a third. Nothing
// may stay locked by a thread that has moved on (ThreadSanitizer reports an
// unlock from the wrong thread, and the thread that took the lock may be
// gone).
TEST_P(ThreadModeLine, DrivenFromThreadsOtherThanTheOneThatSwitchedItOn)
{
    Tracker t(GetParam());
    ASSERT_NE(t.h, nullptr);
    ASSERT_FALSE(t.handles.empty());

    std::thread([&] { ndiSetThreadMode(t.h, 1); }).join();
    ASSERT_EQ(ndiGetThreadMode(t.h), 1);
    EXPECT_TRUE(freeBetweenCalls(t.h->PollMutex));

    std::thread([&] {
        ndiCommand(t.h, "TSTART:");
        ASSERT_EQ(ndiGetError(t.h), 0);
        std::uint32_t first = trackTX(t), last = first;
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(4ms);
            last = std::max(last, trackBX(t));
        }
        EXPECT_GT(last, first);
        ndiCommand(t.h, "PHINF:%02X%04X", t.handles[0], 0x0001);
        EXPECT_EQ(ndiGetError(t.h), 0) << ndiErrorString(ndiGetError(t.h));
    }).join();

    std::thread([&] {
        trackTX(t);
        ndiCommand(t.h, "TSTOP:");
        EXPECT_EQ(ndiGetError(t.h), 0);
    }).join();
    EXPECT_TRUE(freeBetweenCalls(t.h->PollMutex));
    EXPECT_TRUE(t.quiet());

    std::thread([&] { ndiSetThreadMode(t.h, 0); }).join();
    EXPECT_EQ(ndiGetThreadMode(t.h), 0);
    EXPECT_EQ(t.h->PollMutex, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lines, ThreadModeLine, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tcp" : "Pty";
                         });

TEST(ThreadMode, TheThreadsFailureIsTheNextTrackingCommandsErrorThenTimeOuts)
{
    Tracker t(true);
    ASSERT_NE(t.h, nullptr);
    ndiSetThreadMode(t.h, 1);
    ndiCommand(t.h, "TSTART:");
    ASSERT_EQ(ndiGetError(t.h), 0);
    Faults faults;
    faults.disconnectAfterFrames = 200;
    t.sim->setFaults(faults);

    int error = 0;
    for (int i = 0; i < 1000 && error == 0; ++i) {
        ndiCommand(t.h, "TX:%04X", 0x0801);
        error = ndiGetError(t.h);
    }
    EXPECT_TRUE(error == NDI_ERR_READ || error == NDI_ERR_WRITE) << ndiErrorString(error);
    EXPECT_STREQ(t.h->ReplyText, "");

    // The thread has ended: nothing answers any more.
    const auto start = std::chrono::steady_clock::now();
    ndiCommand(t.h, "TX:%04X", 0x0801);
    EXPECT_EQ(ndiGetError(t.h), NDI_ERR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 4900ms);
}

// Every way that tracking ends parks the thread off the line, with nothing
// held between calls; tracking commands then go to the device one by one.
TEST(ThreadMode, TSTOPInitAndTheResetEachParkTheThread)
{
    const char* stops[] = {"TSTOP:", "INIT:", nullptr};
    for (const char* stop : stops) {
        SCOPED_TRACE(stop != nullptr ? stop : "reset");
        Tracker t(false);  // a break reaches the simulator only on a serial line
        ASSERT_NE(t.h, nullptr);
        ndiSetThreadMode(t.h, 1);
        ASSERT_EQ(ndiGetThreadMode(t.h), 1);
        ndiCommand(t.h, "TSTART:");
        ASSERT_EQ(ndiGetError(t.h), 0);
        trackTX(t);
        EXPECT_FALSE(t.quiet());

        // The break notifier tells the simulator of the break through this.
        ::setenv("NDI_BREAK_NOTIFY", t.sim->breakNotifyPath().c_str(), 1);
        stop != nullptr ? ndiCommand(t.h, "%s", stop) : ndiCommand(t.h, nullptr);
        ::unsetenv("NDI_BREAK_NOTIFY");
        EXPECT_EQ(ndiGetError(t.h), 0) << ndiErrorString(ndiGetError(t.h));
        EXPECT_EQ(t.h->TrackingActive, 0);
        EXPECT_TRUE(freeBetweenCalls(t.h->PollMutex));
        EXPECT_TRUE(t.quiet());
        const auto before = t.sim->stats().commands;
        ndiCommand(t.h, "TX:%04X", 0x0801);
        EXPECT_EQ(t.sim->stats().commands, before + 1) << "a direct exchange";
    }
}

TEST(ThreadMode, WhatCannotBeCreatedLeavesThreadModeOffAndTheHandleWorking)
{
    struct Case {
        const char* what;
        bool* fault;
    } cases[] = {{"thread", &failThreadCreate}, {"mutex", &failMutexInit}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Tracker t(true);
        ASSERT_NE(t.h, nullptr);
        *c.fault = true;
        ndiSetThreadMode(t.h, 1);
        *c.fault = false;
        EXPECT_EQ(ndiGetThreadMode(t.h), 0);
        EXPECT_EQ(t.h->PollMutex, nullptr);
        EXPECT_EQ(t.h->PollCommand, nullptr);

        ndiCommand(t.h, "TSTART:");
        ASSERT_EQ(ndiGetError(t.h), 0);
        const auto before = t.sim->stats().commands;
        trackTX(t);
        EXPECT_EQ(t.sim->stats().commands, before + 1) << "a direct exchange";

        ndiSetThreadMode(t.h, 1);
        ASSERT_EQ(ndiGetThreadMode(t.h), 1) << "a later attempt succeeds";
        trackTX(t);
    }
}

TEST(ThreadMode, EventsMutexesAndThreads)
{
    NdiEvent event = ndiEventCreate();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(ndiEventSignal(event), 0);
    EXPECT_EQ(ndiEventWait(event, 100), 0) << "signalled before the wait";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ndiEventWait(event, 100), 1) << "the first wait consumed the signal";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

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

}  // namespace

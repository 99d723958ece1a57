// The stream life cycle as the host drives it: requests run in order on a
// host thread, hooks see the states they should, the worker paces doWork and
// never overlaps start, stop, pause or close, and failures come back through
// the requests' results.
#include <Velantor/Log.h>
#include <Velantor/Stream.h>
#include <Velantor/StreamUtils.h>
#include <Velantor/TrackingStream.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>
#include <time.h>

using namespace Velantor;
using namespace std::chrono_literals;

namespace {

// A stream whose hooks record where and in which state they ran.
class TestStream : public Stream {
public:
    explicit TestStream(std::int64_t periodNs = 2000000) : Stream("test stream"), period(periodNs)
    {
        StateChange.connect(this, [this](State from, State to) {
            std::lock_guard<std::mutex> lock(mutex);
            transitions.emplace_back(from, to);
        });
    }
    ~TestStream() override { closeAsync().wait(); }

    // Outcome of each hook: true, false, or throw.
    enum class Outcome { Succeed, Fail, Throw };
    Outcome openOutcome = Outcome::Succeed, startOutcome = Outcome::Succeed,
            stopOutcome = Outcome::Succeed;

    bool openImpl() override { return hook("open", openOutcome); }
    bool closeImpl() override { return hook("close", Outcome::Succeed); }
    bool startImpl() override
    {
        inExclusiveHook = true;
        const bool ok = hook("start", startOutcome);
        inExclusiveHook = false;
        return ok;
    }
    bool stopImpl() override
    {
        inExclusiveHook = true;
        return hook("stop", stopOutcome);  // stays set: no pass may follow a stop
    }
    bool pauseImpl() override
    {
        inExclusiveHook = true;
        return hook("pause", Outcome::Succeed);
    }
    bool resumeImpl() override
    {
        inExclusiveHook = false;
        return hook("resume", Outcome::Succeed);
    }

    WorkResult doWork() override
    {
        const std::int64_t now = StreamUtils::systemTimeNs();
        if (inExclusiveHook) overlaps++;
        if (currentState() == Closed || currentState() == Open) overlaps++;
        {
            std::lock_guard<std::mutex> lock(mutex);
            workerThreads.insert(std::this_thread::get_id());
            if (requestedNext != 0 && now < requestedNext) earlyPasses++;
            requestedNext = now + period;
            passes++;
        }
        passed.notify_all();
        // After the pass has chosen its next time, before the worker waits.
        if (const std::int64_t step = clockStepAfterPass.exchange(0)) clockOffsetNs += step;
        if (throwInWork) throw std::runtime_error("pass failed");
        return WorkResult(requestedNext, !stopAfterOnePass, true);
    }

    // Waits (without a time assertion) until the worker made n passes in all.
    bool waitForPasses(int n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return passed.wait_for(lock, 60s, [&] { return passes >= n; });
    }
    int passCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return passes;
    }

    std::vector<std::string> hookNames()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return hooks;
    }

    std::int64_t period;
    std::atomic<bool> inExclusiveHook{false};
    std::atomic<bool> throwInWork{false};
    std::atomic<bool> stopAfterOnePass{false};
    std::atomic<int> overlaps{0};
    // Added to the system clock (see SteppedSystemClock) right after the next pass.
    std::atomic<std::int64_t> clockStepAfterPass{0};
    static inline std::atomic<std::int64_t> clockOffsetNs{0};

    std::mutex mutex;
    std::condition_variable passed;
    int passes = 0;
    int earlyPasses = 0;
    std::int64_t requestedNext = 0;
    std::set<std::thread::id> workerThreads;
    std::set<std::thread::id> hookThreads;
    std::vector<std::string> hooks;
    std::vector<std::pair<State, State>> transitions;

private:
    bool hook(const char* name, Outcome outcome)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            hooks.push_back(name);
            hookThreads.insert(std::this_thread::get_id());
        }
        if (outcome == Outcome::Throw) throw std::runtime_error(std::string(name) + " exploded");
        return outcome == Outcome::Succeed;
    }
};

using S = Stream::State;

// The system clock as it reads, moved by TestStream::clockOffsetNs while the
// object lives.
class SteppedSystemClock {
public:
    SteppedSystemClock()
    {
        TestStream::clockOffsetNs = 0;
        m_previous = StreamUtils::replaceSystemClock([] {
            return std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count() +
                   TestStream::clockOffsetNs.load();
        });
    }
    ~SteppedSystemClock() { StreamUtils::replaceSystemClock(m_previous); }
    SteppedSystemClock(const SteppedSystemClock&) = delete;
    SteppedSystemClock& operator=(const SteppedSystemClock&) = delete;

private:
    StreamUtils::SystemClockSource m_previous = nullptr;
};

}  // namespace

TEST(Stream, FullCycleRunsHooksOnAHostThreadAndPassesOnTheWorker)
{
    TestStream s;
    EXPECT_EQ(s.currentState(), Stream::Closed);
    EXPECT_TRUE(s.openAsync().get());
    EXPECT_EQ(s.currentState(), Stream::Open);
    EXPECT_TRUE(s.isStateOneOf({2}));
    EXPECT_TRUE(s.startAsync().get());
    EXPECT_TRUE(s.isStateOneOf({3, 4}));
    ASSERT_TRUE(s.waitForPasses(5));
    EXPECT_TRUE(s.stopAsync().get());
    EXPECT_TRUE(s.closeAsync().get());
    EXPECT_TRUE(s.isStateOneOf({Stream::Closed}));

    std::lock_guard<std::mutex> lock(s.mutex);
    EXPECT_EQ(s.hooks, (std::vector<std::string>{"open", "start", "stop", "close"}));
    ASSERT_EQ(s.hookThreads.size(), 1u);
    ASSERT_EQ(s.workerThreads.size(), 1u);
    const auto hookThread = *s.hookThreads.begin();
    const auto workerThread = *s.workerThreads.begin();
    EXPECT_NE(hookThread, std::this_thread::get_id());
    EXPECT_NE(workerThread, std::this_thread::get_id());
    EXPECT_NE(hookThread, workerThread);
    EXPECT_EQ(s.overlaps, 0) << "a pass ran beside start/stop or outside the running state";
    EXPECT_EQ(s.earlyPasses, 0) << "a pass ran before the time the previous one asked for";
    const std::vector<std::pair<S, S>> expected = {
        {S::Closed, S::Opening},   {S::Opening, S::Open},     {S::Open, S::Starting},
        {S::Starting, S::Running}, {S::Running, S::Stopping}, {S::Stopping, S::Open},
        {S::Open, S::Closing},     {S::Closing, S::Closed}};
    EXPECT_EQ(s.transitions, expected);
}

TEST(Stream, RequestsQueuedWithoutWaitingRunInOrder)
{
    TestStream s;
    auto open = s.openAsync();
    auto start = s.startAsync();
    auto stop = s.stopAsync();
    auto close = s.closeAsync();
    EXPECT_TRUE(close.get());
    EXPECT_TRUE(open.get());
    EXPECT_TRUE(start.get());
    EXPECT_TRUE(stop.get());
    EXPECT_EQ(s.hookNames(), (std::vector<std::string>{"open", "start", "stop", "close"}));
    EXPECT_EQ(s.overlaps, 0);
}

TEST(Stream, RequestsThatMeetTheWrongStateDoNothing)
{
    TestStream s;
    EXPECT_FALSE(s.startAsync().get()) << "a closed stream cannot start";
    EXPECT_TRUE(s.stopAsync().get());
    EXPECT_TRUE(s.closeAsync().get());
    EXPECT_TRUE(s.hookNames().empty());
    ASSERT_TRUE(s.openAsync().get());
    EXPECT_TRUE(s.openAsync().get()) << "opening an open stream succeeds without a second openImpl";
    EXPECT_EQ(s.hookNames(), (std::vector<std::string>{"open"}));
}

TEST(Stream, FailuresAndExceptionsComeBackThroughTheResult)
{
    using O = TestStream::Outcome;
    struct Case {
        const char* what;
        O open, start;
        bool expectThrow;
        S finalState;
        std::vector<std::string> hooks;
    };
    const Case cases[] = {
        // A failed open releases what it left behind through closeImpl.
        {"open fails", O::Fail, O::Succeed, false, S::Closed, {"open", "close"}},
        {"open throws", O::Throw, O::Succeed, true, S::Closed, {"open", "close"}},
        {"start fails", O::Succeed, O::Fail, false, S::Open, {"open", "start"}},
        {"start throws", O::Succeed, O::Throw, true, S::Open, {"open", "start"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestStream s;
        s.openOutcome = c.open;
        s.startOutcome = c.start;
        auto open = s.openAsync();
        auto start = s.startAsync();
        const bool openShouldWork = c.open == O::Succeed;
        if (openShouldWork) {
            EXPECT_TRUE(open.get());
        } else if (c.expectThrow) {
            EXPECT_THROW(open.get(), std::runtime_error);
        } else {
            EXPECT_FALSE(open.get());
        }
        if (!openShouldWork) {
            EXPECT_FALSE(start.get()) << "start after a failed open meets a closed stream";
        } else if (c.expectThrow) {
            EXPECT_THROW(start.get(), std::runtime_error);
        } else {
            EXPECT_FALSE(start.get());
        }
        EXPECT_EQ(s.currentState(), c.finalState);
        EXPECT_EQ(s.hookNames(), c.hooks);
        EXPECT_TRUE(s.workerThreads.empty());
    }
}

TEST(Stream, StopThatThrowsStillEndsTheWorker)
{
    TestStream s;
    s.stopOutcome = TestStream::Outcome::Throw;
    ASSERT_TRUE(s.openAsync().get());
    ASSERT_TRUE(s.startAsync().get());
    ASSERT_TRUE(s.waitForPasses(1));
    EXPECT_THROW(s.stopAsync().get(), std::runtime_error);
    EXPECT_EQ(s.currentState(), Stream::Open);
    EXPECT_EQ(s.overlaps, 0);
}

TEST(Stream, CloseOfARunningStreamStopsItFirst)
{
    TestStream s;
    ASSERT_TRUE(s.openAsync().get());
    ASSERT_TRUE(s.startAsync().get());
    ASSERT_TRUE(s.waitForPasses(2));
    EXPECT_TRUE(s.closeAsync().get());
    EXPECT_EQ(s.hookNames(), (std::vector<std::string>{"open", "start", "stop", "close"}));
    EXPECT_EQ(s.overlaps, 0);
}

TEST(Stream, StopDoesNotWaitForAFarAwayNextPass)
{
    // A pass asking to be called again in an hour must not hold up stop.
    TestStream s(3600LL * 1000000000LL);
    ASSERT_TRUE(s.openAsync().get());
    ASSERT_TRUE(s.startAsync().get());
    ASSERT_TRUE(s.waitForPasses(1));
    EXPECT_TRUE(s.stopAsync().get());
    std::lock_guard<std::mutex> lock(s.mutex);
    EXPECT_EQ(s.passes, 1);
}

// The system clock stepping between a pass and the worker's wait (an
// administrator, a time daemon) must not hold the passes back by the size of
// the step; the clock the streams read keeps the step.
TEST(Stream, AStepOfTheSystemClockDoesNotHoldThePassesBack)
{
    constexpr std::int64_t kHour = 3600LL * 1000000000LL;
    for (const std::int64_t step : {-kHour, kHour}) {
        SCOPED_TRACE(step < 0 ? "backward" : "forward");
        SteppedSystemClock clock;
        TestStream s;
        ASSERT_TRUE(s.openAsync().get());
        ASSERT_TRUE(s.startAsync().get());
        ASSERT_TRUE(s.waitForPasses(3));
        const std::int64_t before = StreamUtils::systemTimeNs();
        s.clockStepAfterPass = step;
        EXPECT_TRUE(s.waitForPasses(s.passCount() + 20)) << "the worker stalled after the step";
        const std::int64_t after = StreamUtils::systemTimeNs();
        EXPECT_GT(step < 0 ? before - after : after - before, kHour / 2);
        EXPECT_TRUE(s.stopAsync().get());
    }
}

TEST(Stream, AWorkerWaitingForItsNextPassTakesNoProcessorTime)
{
    // Passes 20 ms apart: a worker that spun even the last millisecond of
    // each wait would burn well over the bound below; one that sleeps on the
    // kernel takes a few microseconds a pass. Spinning is opt-in; this is
    // about the default.
    unsetenv("VELANTOR_WORKER_SPIN_US");
    class Measured : public TestStream {
    public:
        Measured() : TestStream(20000000) {}
        WorkResult doWork() override
        {
            timespec t{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
            const std::int64_t cpu = static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (firstCpu < 0) firstCpu = cpu;
                lastCpu = cpu;
            }
            return TestStream::doWork();
        }
        std::int64_t firstCpu = -1, lastCpu = -1;
    } s;
    ASSERT_TRUE(s.openAsync().get());
    ASSERT_TRUE(s.startAsync().get());
    ASSERT_TRUE(s.waitForPasses(16));
    EXPECT_TRUE(s.stopAsync().get());
    std::lock_guard<std::mutex> lock(s.mutex);
    EXPECT_LT(s.lastCpu - s.firstCpu, 5000000) << "ns of processor time for 15 waits";
}

TEST(Stream, ThrowingPassIsLoggedAndTheLoopGoesOn)
{
    LogCapture log(true);
    TestStream s(100000);
    s.throwInWork = true;
    ASSERT_TRUE(s.openAsync().get());
    ASSERT_TRUE(s.startAsync().get());
    ASSERT_TRUE(s.waitForPasses(3));
    EXPECT_TRUE(s.stopAsync().get());
    EXPECT_GE(log.count(Log::Error, "Stream", "Stream 'test stream': doWork failed: pass failed"),
              2u);
}

TEST(Stream, AWorkResultWithoutAgainEndsThePasses)
{
    TestStream s;
    s.stopAfterOnePass = true;
    ASSERT_TRUE(s.openAsync().get());
    ASSERT_TRUE(s.startAsync().get());
    ASSERT_TRUE(s.waitForPasses(1));
    EXPECT_EQ(s.currentState(), Stream::Running);
    EXPECT_TRUE(s.stopAsync().get());
    std::lock_guard<std::mutex> lock(s.mutex);
    EXPECT_EQ(s.passes, 1);
}

TEST(Stream, PauseHoldsTheWorkerAndResumeReleasesIt)
{
    TestStream s(200000);
    ASSERT_TRUE(s.openAsync().get());
    ASSERT_TRUE(s.startAsync().get());
    ASSERT_TRUE(s.waitForPasses(2));
    ASSERT_TRUE(s.pauseAsync().get());
    EXPECT_EQ(s.currentState(), Stream::Paused);
    EXPECT_TRUE(s.isStateOneOf({3, 4}));
    const int before = s.passCount();
    ASSERT_TRUE(s.resumeAsync().get());
    ASSERT_TRUE(s.waitForPasses(before + 2));
    EXPECT_TRUE(s.closeAsync().get());
    EXPECT_EQ(s.overlaps, 0) << "a pass ran while the stream was paused";
}

TEST(Stream, DestroyingARunningStreamClosesItThroughTheHost)
{
    std::vector<std::string> hooks;
    {
        auto s = std::make_unique<TestStream>(100000);
        ASSERT_TRUE(s->openAsync().get());
        ASSERT_TRUE(s->startAsync().get());
        ASSERT_TRUE(s->waitForPasses(2));
        s->openAsync();  // still queued when destruction begins
        TestStream* raw = s.get();
        raw->dataSignal.connect(nullptr, [](const std::shared_ptr<const StreamData>&) {});
        s.reset();
    }
    SUCCEED();
}

TEST(Stream, DestroyingAStreamItsOwnerDidNotCloseIsReported)
{
    // The derived part should have closed in its destructor; the base cannot
    // call its hooks any more, so it only ends its threads and says so.
    class Bare : public Stream {
    public:
        Bare() : Stream("bare") {}
        bool openImpl() override { return true; }
        bool closeImpl() override { return true; }
        bool startImpl() override { return true; }
        bool stopImpl() override { return true; }
        WorkResult doWork() override { return WorkResult(StreamUtils::systemTimeNs() + 1000000); }
    };
    LogCapture log(true);
    auto s = std::make_unique<Bare>();
    ASSERT_TRUE(s->openAsync().get());
    s.reset();
    EXPECT_EQ(log.messages("Stream"),
              (std::vector<std::string>{
                  "Stream 'bare' destroyed in state Open without being closed; its worker is "
                  "ended without closing the device"}));
}

TEST(TrackingStream, FramesCarryTheNameAndRegistryChangesAreAnnounced)
{
    class Tracking : public TrackingStream {
    public:
        Tracking() : TrackingStream("tracker") {}
        ~Tracking() override { closeAsync().wait(); }
        bool openImpl() override { return true; }
        bool closeImpl() override { return true; }
        bool startImpl() override { return true; }
        bool stopImpl() override { return true; }
        WorkResult doWork() override
        {
            dataSignal.emitSignal(createTrackingStreamData());
            return WorkResult(StreamUtils::systemTimeNs() + 1000000);
        }
    } t;
    std::vector<unsigned> announced;
    t.instrumentsChanged.connect(
        nullptr, [&](Flags<InstrumentModification> f) { announced.push_back(f.toInt()); });
    t.emitSignals({});
    t.emitSignals(InstrumentModification::InstrumentList | InstrumentModification::MainInstrument);
    EXPECT_EQ(announced, (std::vector<unsigned>{6}));

    std::mutex m;
    std::condition_variable cv;
    std::shared_ptr<const StreamData> frame;
    t.dataSignal.connect(&t, [&](const std::shared_ptr<const StreamData>& d) {
        std::lock_guard<std::mutex> lock(m);
        if (!frame) frame = d;
        cv.notify_all();
    });
    ASSERT_TRUE(t.openAsync().get());
    ASSERT_TRUE(t.startAsync().get());
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 60s, [&] { return frame != nullptr; }));
    }
    EXPECT_TRUE(t.stopAsync().get());
    auto tracking = std::dynamic_pointer_cast<const TrackingStreamData>(frame);
    ASSERT_TRUE(tracking);
    EXPECT_EQ(tracking->name(), "tracker");
    EXPECT_GT(tracking->timestamp, 0u);
    EXPECT_TRUE(tracking->instruments.empty());
}

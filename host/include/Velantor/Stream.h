#pragma once
// Stream: a source of frames with a life cycle the host drives.
//
// States (numbers are stable; the panel and streams compare them):
//   0 Closed    1 Opening   2 Open       3 Running   4 Paused
//   5 Starting  6 Stopping  7 Pausing    8 Resuming  9 Closing
// Closed --open--> Opening --> Open --start--> Starting --> Running
// Running --pause--> Pausing --> Paused --resume--> Resuming --> Running
// Running/Paused --stop--> Stopping --> Open --close--> Closing --> Closed
//
// Requests (openAsync ... resumeAsync) may come from any thread. Each stream
// runs them one after the other, in the order requested, on its own host
// thread, which calls the hooks (openImpl, ...); the request's result is a
// std::shared_future<bool> that holds the hook's result, or the exception the
// hook threw. A request that makes no sense in the state it meets when its
// turn comes does nothing: open of an open or running stream, stop of a
// stream that does not run and close of a closed one succeed at once; start
// of a closed stream fails (false) without calling a hook. close of a running
// stream stops it first (stopImpl, then closeImpl). When openImpl fails
// (false or an exception), the stream calls closeImpl too, so that whatever
// the failed open left behind (a half-opened line) is released, and returns
// to Closed. stopImpl and closeImpl leave the stream Open and Closed even
// when they fail; their result is the request's result.
//
// While the stream is Running (and while Paused, if worksWhilePaused()), its
// worker thread calls doWork() over and over. doWork returns a WorkResult:
// the system-clock time of the next pass, whether to call again at all, and
// whether that time is to be met precisely. The worker waits for it on the
// kernel's monotonic clock with the least timer slack, taking no processor
// time while it waits (tens of microseconds late at normal priority on a
// quiet machine); a precise wait spins its last stretch only with the opt-in
// VELANTOR_WORKER_SPIN_US (see StreamUtils::spinWindow, and its price in
// processor time there). With VELANTOR_WORKER_PRIORITY=1..99 in the
// environment, workers run under SCHED_FIFO at that priority where the
// process may, and never spin. A pass that throws is logged (category
// "Stream", error) and the next one follows 1 ms later. Stop and close end
// the worker before calling stopImpl: no pass runs during stopImpl or
// closeImpl, or during startImpl, which runs before the worker starts.
//
// Pause lets a pass in progress finish and holds the worker before it calls
// pauseImpl (unless worksWhilePaused()); resume releases it after resumeImpl.
//
// StateChange is emitted on the thread that changes the state, with no lock
// held, with (previous state, new state). Never wait for a request's result
// inside a hook or a StateChange handler: they run on the very thread that
// would have to answer it (queue a call elsewhere instead, as the panels do).
//
// Destruction: a derived stream must close itself in its destructor
// (closeAsync().wait()), since its hooks cannot run once it is gone. The base
// destructor then finds the stream closed; if it does not, it logs an error,
// ends the worker without calling a hook, and fails requests that have not
// run with an exception.
#include <Velantor/Data.h>
#include <Velantor/Signal.h>
#include <Velantor/StreamData.h>

#include <cstdint>
#include <future>
#include <initializer_list>
#include <memory>

namespace Velantor {

class Stream : public Data {
public:
    enum State : int {
        Closed = 0,
        Opening = 1,
        Open = 2,
        Running = 3,
        Paused = 4,
        Starting = 5,
        Stopping = 6,
        Pausing = 7,
        Resuming = 8,
        Closing = 9,
    };

    struct WorkResult {
        WorkResult() = default;
        WorkResult(std::int64_t nextTimeNs, bool callAgain = true, bool preciseTiming = true)
            : nextTime(nextTimeNs), again(callAgain), precise(preciseTiming)
        {
        }
        std::int64_t nextTime = 0;  // system clock, nanoseconds since the epoch
        bool again = true;          // false ends the worker until the next start
        bool precise = true;        // may spin (opt-in) to meet nextTime closely
    };

    using AsyncResult = std::shared_future<bool>;

    explicit Stream(const std::string& name);
    ~Stream() override;

    State currentState() const;
    bool isStateOneOf(std::initializer_list<int> states) const;
    static const char* stateName(int state);

    AsyncResult openAsync();
    AsyncResult startAsync();
    AsyncResult stopAsync();
    AsyncResult closeAsync();
    AsyncResult pauseAsync();
    AsyncResult resumeAsync();

    SignalImpl<State, State> StateChange;
    // A stream that lost its device and gets it back by itself says so: true
    // when it starts reconnecting (no frames come meanwhile), false once the
    // device is back or the stream gave up because it was stopped or closed.
    // Emitted on one of the stream's threads with no lock held.
    SignalImpl<bool> ReconnectingChange;
    // Frames; emitted by the stream, normally on its worker thread.
    SignalImpl<std::shared_ptr<const StreamData>> dataSignal;

    // --- hooks, called by the host threads described above (public so that a
    // test can drive a single pass) ---
    virtual bool openImpl() = 0;
    virtual bool closeImpl() = 0;
    virtual bool startImpl() = 0;
    virtual bool stopImpl() = 0;
    virtual bool pauseImpl() { return true; }
    virtual bool resumeImpl() { return true; }
    // This host renders nothing, so no context is made; the answer is only
    // recorded in the log at debug level.
    virtual bool workerThreadRequiresOpenGl() const { return false; }
    virtual WorkResult doWork() = 0;
    virtual bool worksWhilePaused() const { return false; }

    // Makes a device reply the stream waits for, and every later one until
    // the stream closes, fail at once: for a host that must end a stop or
    // close that would otherwise wait out a device gone silent. Callable from
    // any thread, without waiting for the stream; the open connection is of
    // no further use afterwards. A stream without device I/O does nothing.
    virtual void cancelPendingReplies() {}

    // Whether the stream is reconnecting now (see ReconnectingChange). A
    // stream that does not recover by itself always says false.
    virtual bool reconnecting() const { return false; }

private:
    class Runner;
    std::unique_ptr<Runner> m_runner;
};

}  // namespace Velantor

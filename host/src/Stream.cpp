#include <Velantor/Log.h>
#include <Velantor/Stream.h>
#include <Velantor/StreamUtils.h>

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace Velantor {

namespace {

constexpr const char* kCategory = "Stream";
// Longest wait between passes honoured at once (guards the arithmetic).
constexpr std::int64_t kMaxWaitNs = 24LL * 3600 * 1000000000LL;

std::string describe(const std::exception_ptr& e)
{
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return ex.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

class Stream::Runner {
public:
    enum class Kind { Open, Start, Stop, Close, Pause, Resume };

    explicit Runner(Stream& s) : m_stream(s) {}

    State state() const { return static_cast<State>(m_state.load()); }

    AsyncResult request(Kind kind)
    {
        std::promise<bool> promise;
        AsyncResult result = promise.get_future().share();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_shutdown) {
                promise.set_exception(
                    std::make_exception_ptr(std::runtime_error("stream is being destroyed")));
                return result;
            }
            m_queue.push_back(Request{kind, std::move(promise)});
            if (!m_control.joinable()) m_control = std::thread([this] { controlLoop(); });
        }
        m_cv.notify_one();
        return result;
    }

    void shutdown()
    {
        const State st = state();
        if (st != Closed) {
            Log::logIf(Log::Error, kCategory, [&] {
                return "Stream '" + m_stream.name() + "' destroyed in state " + stateName(st) +
                       " without being closed; its worker is ended without closing the device";
            });
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_shutdown = true;
        }
        m_cv.notify_one();
        if (m_control.joinable()) {
            if (m_control.get_id() == std::this_thread::get_id())
                m_control.detach();  // destroyed from one of its own hooks
            else
                m_control.join();
        }
        stopWorker();
    }

private:
    struct Request {
        Kind kind = Kind::Open;
        std::promise<bool> promise;
    };

    void setState(State s)
    {
        const State previous = static_cast<State>(m_state.exchange(s));
        if (previous != s) m_stream.StateChange.emitSignal(previous, s);
    }

    // Runs a hook; false and the exception when it throws.
    template <typename F>
    static bool call(F&& f, std::exception_ptr& error)
    {
        try {
            return f();
        } catch (...) {
            error = std::current_exception();
            return false;
        }
    }

    void controlLoop()
    {
        for (;;) {
            Request r;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait(lock, [&] { return m_shutdown || !m_queue.empty(); });
                if (m_shutdown) {
                    for (auto& pending : m_queue)
                        pending.promise.set_exception(std::make_exception_ptr(
                            std::runtime_error("stream destroyed before the request ran")));
                    m_queue.clear();
                    return;
                }
                r = std::move(m_queue.front());
                m_queue.pop_front();
            }
            std::exception_ptr error;
            bool ok = false;
            switch (r.kind) {
            case Kind::Open: ok = doOpen(error); break;
            case Kind::Start: ok = doStart(error); break;
            case Kind::Stop: ok = doStop(error); break;
            case Kind::Close: ok = doClose(error); break;
            case Kind::Pause: ok = doPause(error); break;
            case Kind::Resume: ok = doResume(error); break;
            }
            if (error)
                r.promise.set_exception(error);
            else
                r.promise.set_value(ok);
        }
    }

    bool doOpen(std::exception_ptr& error)
    {
        const State st = state();
        if (st != Closed) return true;
        setState(Opening);
        if (call([&] { return m_stream.openImpl(); }, error)) {
            setState(Open);
            return true;
        }
        // Release whatever the failed open left behind.
        setState(Closing);
        std::exception_ptr closeError;
        call([&] { return m_stream.closeImpl(); }, closeError);
        if (closeError) logHookError("closeImpl after a failed open", closeError);
        setState(Closed);
        return false;
    }

    bool doStart(std::exception_ptr& error)
    {
        const State st = state();
        if (st == Running || st == Paused) return true;
        if (st != Open) return false;
        setState(Starting);
        if (!call([&] { return m_stream.startImpl(); }, error)) {
            setState(Open);
            return false;
        }
        setState(Running);
        startWorker();
        return true;
    }

    bool doStop(std::exception_ptr& error)
    {
        const State st = state();
        if (st != Running && st != Paused) return true;
        setState(Stopping);
        stopWorker();
        const bool ok = call([&] { return m_stream.stopImpl(); }, error);
        setState(Open);
        return ok;
    }

    bool doClose(std::exception_ptr& error)
    {
        if (state() == Closed) return true;
        if (state() == Running || state() == Paused) {
            std::exception_ptr stopError;
            doStop(stopError);
            if (stopError) logHookError("stopImpl", stopError);
        }
        setState(Closing);
        const bool ok = call([&] { return m_stream.closeImpl(); }, error);
        setState(Closed);
        return ok;
    }

    bool doPause(std::exception_ptr& error)
    {
        const State st = state();
        if (st == Paused) return true;
        if (st != Running) return false;
        setState(Pausing);
        {
            // Hold the worker (unless it works while paused) and let a pass in
            // progress finish, so that pauseImpl never runs beside doWork.
            std::unique_lock<std::mutex> lock(m_workerMutex);
            m_paused = true;
            if (!m_worksWhilePaused) m_workerCv.wait(lock, [&] { return !m_inPass; });
        }
        if (!call([&] { return m_stream.pauseImpl(); }, error)) {
            {
                std::lock_guard<std::mutex> lock(m_workerMutex);
                m_paused = false;
            }
            m_workerCv.notify_all();
            setState(Running);
            return false;
        }
        setState(Paused);
        return true;
    }

    bool doResume(std::exception_ptr& error)
    {
        const State st = state();
        if (st == Running) return true;
        if (st != Paused) return false;
        setState(Resuming);
        if (!call([&] { return m_stream.resumeImpl(); }, error)) {
            setState(Paused);
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(m_workerMutex);
            m_paused = false;
        }
        m_workerCv.notify_all();
        setState(Running);
        return true;
    }

    void logHookError(const char* what, const std::exception_ptr& e)
    {
        Log::logIf(Log::Error, kCategory, [&] {
            return "Stream '" + m_stream.name() + "': " + what + " failed: " + describe(e);
        });
    }

    // --- worker ---

    void startWorker()
    {
        {
            std::lock_guard<std::mutex> lock(m_workerMutex);
            m_workerStop = false;
            m_paused = false;
        }
        m_stopFlag.store(false);
        const bool worksWhilePaused = m_stream.worksWhilePaused();
        m_worksWhilePaused = worksWhilePaused;
        if (m_stream.workerThreadRequiresOpenGl())
            Log::logIf(Log::Debug, kCategory, [&] {
                return "Stream '" + m_stream.name() +
                       "' asks for an OpenGL context; this host renders nothing";
            });
        m_worker = std::thread([this, worksWhilePaused] { workerLoop(worksWhilePaused); });
    }

    void stopWorker()
    {
        {
            std::lock_guard<std::mutex> lock(m_workerMutex);
            m_workerStop = true;
        }
        m_stopFlag.store(true);
        m_workerCv.notify_all();
        if (m_worker.joinable()) {
            if (m_worker.get_id() == std::this_thread::get_id())
                m_worker.detach();
            else
                m_worker.join();
        }
    }

    // VELANTOR_WORKER_PRIORITY=1..99 runs workers under SCHED_FIFO at that
    // priority when the process may. A real-time thread is woken within tens of
    // microseconds even on a loaded machine; spinning there would only take
    // the processor from everyone else, so it never spins.
    static bool enterRealtime()
    {
        const char* env = std::getenv("VELANTOR_WORKER_PRIORITY");
        if (!env) return false;
        const int priority = std::atoi(env);
        if (priority < 1 || priority > 99) return false;
        sched_param param{};
        param.sched_priority = priority;
        return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    }

    void workerLoop(bool worksWhilePaused)
    {
        // The kernel's default slack (50 us) would be added to every wake-up.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        const bool realtime = enterRealtime();
        m_spinWindow = realtime ? std::chrono::nanoseconds(0) : StreamUtils::spinWindow();
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_workerMutex);
                m_workerCv.wait(lock,
                                [&] { return m_workerStop || !m_paused || worksWhilePaused; });
                if (m_workerStop) return;
                m_inPass = true;
            }
            WorkResult result;
            const std::int64_t systemBefore = StreamUtils::systemTimeNs();
            const auto monotonicBefore = std::chrono::steady_clock::now();
            try {
                result = m_stream.doWork();
            } catch (...) {
                const auto e = std::current_exception();
                logHookError("doWork", e);
                result = WorkResult(StreamUtils::systemTimeNs() + 1000000, true, false);
            }
            {
                std::lock_guard<std::mutex> lock(m_workerMutex);
                m_inPass = false;
            }
            m_workerCv.notify_all();
            if (!result.again) return;
            if (!waitForNextPass(result, systemBefore, monotonicBefore)) return;
        }
    }

    // False when the worker is to stop. The wait is an absolute one on the
    // monotonic clock, so a step of the system clock during it neither
    // stretches nor cuts it, and stop wakes it at once.
    bool waitForNextPass(const WorkResult& result, std::int64_t systemBefore,
                         std::chrono::steady_clock::time_point monotonicBefore)
    {
        using Clock = std::chrono::steady_clock;
        // The pass asked for a time on the system clock, which may also step
        // between the pass and this wait. The distance to that time is
        // measured twice: from the clock read before the pass (moved on by
        // the monotonic time since) and from the clock read now. Without a
        // step the two agree; a step makes one of them longer by its size and
        // leaves the other right or shorter, so the shorter is taken: at
        // worst one pass comes early, never an hour late. The system clock is
        // read before the monotonic one each time: the deadline then errs
        // late by the time between the reads, never early, and a pass is
        // never run twice for one requested time.
        const std::int64_t systemNow = StreamUtils::systemTimeNs();
        const auto now = Clock::now();
        if (result.nextTime <= systemNow) return !m_stopFlag.load();
        const std::int64_t sincePass =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - monotonicBefore).count();
        std::int64_t remaining =
            std::min(result.nextTime - systemNow, result.nextTime - systemBefore - sincePass);
        if (remaining <= 0) return !m_stopFlag.load();
        remaining = std::min(remaining, kMaxWaitNs);
        const auto deadline = now + std::chrono::nanoseconds(remaining);
        const auto wakeUp = result.precise ? deadline - m_spinWindow : deadline;
        {
            std::unique_lock<std::mutex> lock(m_workerMutex);
            if (m_workerCv.wait_until(lock, wakeUp, [&] { return m_workerStop; })) return false;
        }
        // Only with the opt-in spin window: the last stretch in a loop.
        while (Clock::now() < deadline) {
            if (m_stopFlag.load(std::memory_order_relaxed)) return false;
            std::this_thread::yield();
        }
        return !m_stopFlag.load();
    }

    Stream& m_stream;
    std::atomic<int> m_state{Closed};

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Request> m_queue;
    bool m_shutdown = false;
    std::thread m_control;

    std::mutex m_workerMutex;
    std::condition_variable m_workerCv;
    bool m_workerStop = false;
    bool m_paused = false;
    bool m_inPass = false;
    bool m_worksWhilePaused = false;  // control thread only
    std::atomic<bool> m_stopFlag{false};
    std::chrono::nanoseconds m_spinWindow{0};  // worker thread only
    std::thread m_worker;
};

Stream::Stream(const std::string& name) : Data(name), m_runner(std::make_unique<Runner>(*this)) {}

Stream::~Stream() { m_runner->shutdown(); }

Stream::State Stream::currentState() const { return m_runner->state(); }

bool Stream::isStateOneOf(std::initializer_list<int> states) const
{
    const int s = currentState();
    return std::find(states.begin(), states.end(), s) != states.end();
}

const char* Stream::stateName(int state)
{
    switch (state) {
    case Closed: return "Closed";
    case Opening: return "Opening";
    case Open: return "Open";
    case Running: return "Running";
    case Paused: return "Paused";
    case Starting: return "Starting";
    case Stopping: return "Stopping";
    case Pausing: return "Pausing";
    case Resuming: return "Resuming";
    case Closing: return "Closing";
    default: return "Unknown";
    }
}

Stream::AsyncResult Stream::openAsync() { return m_runner->request(Runner::Kind::Open); }
Stream::AsyncResult Stream::startAsync() { return m_runner->request(Runner::Kind::Start); }
Stream::AsyncResult Stream::stopAsync() { return m_runner->request(Runner::Kind::Stop); }
Stream::AsyncResult Stream::closeAsync() { return m_runner->request(Runner::Kind::Close); }
Stream::AsyncResult Stream::pauseAsync() { return m_runner->request(Runner::Kind::Pause); }
Stream::AsyncResult Stream::resumeAsync() { return m_runner->request(Runner::Kind::Resume); }

}  // namespace Velantor

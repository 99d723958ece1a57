#include "TrackCommand.h"

#include "DeviceAdvice.h"
#include "ExitCode.h"
#include "FramePrinter.h"
#include "FrameRecorder.h"
#include "IgtlServer.h"
#include "LinkGaps.h"
#include "LogRelay.h"
#include "StreamFactory.h"

#include <Velantor/Properties.h>
#include <Velantor/StreamUtils.h>
#include <Velantor/TrackingInstrumentFiducialsData.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ndi_track {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A healthy system stops and closes within tens of milliseconds (the margin is
// for a loaded machine); one that has not by then is waiting on a reply that
// may never come, so the pending replies are made to fail.
constexpr auto kStopGrace = milliseconds(500);
// The run is given up by then whatever the system does: Ctrl-C must always end
// the program within a second.
constexpr auto kLeaveAfter = milliseconds(900);

// Frames held for an output that does not keep up: a stalled pipe or terminal
// must not take the computer's memory (a frame of 24 tools holds about 8 kB).
constexpr std::size_t kQueueBytes = std::size_t{32} << 20;

// NDI_TRACK_QUEUE_BYTES, read by ndi-track alone, replaces the cap, so that a
// test reaches it within a second of stalling the output.
std::size_t queueByteLimit()
{
    const char* text = std::getenv("NDI_TRACK_QUEUE_BYTES");
    if (text == nullptr || *text == '\0') return kQueueBytes;
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(text, &end, 10);
    return *end == '\0' && bytes > 0 ? static_cast<std::size_t>(bytes) : kQueueBytes;
}

// What a frame holds in memory, near enough: its records and every block they
// allocate, each with the allocator's bookkeeping.
std::size_t frameBytes(const Velantor::TrackingStreamData& data)
{
    constexpr std::size_t kPerBlock = 32;
    const auto text = [](const std::string& s) { return s.capacity() + kPerBlock; };
    std::size_t bytes = sizeof data + kPerBlock + text(data.mainInstrumentId);
    bytes += data.instruments.capacity() * sizeof(Velantor::TrackingInstrument) + kPerBlock;
    for (const auto& i : data.instruments)
        bytes += text(i.id.ID()) + text(i.id.modelNumber()) + text(i.id.name());
    if (const auto* fiducials =
            data.components().get<Velantor::TrackingInstrumentFiducialsData>()) {
        bytes += sizeof *fiducials + 3 * kPerBlock +
                 fiducials->positions.capacity() * sizeof(Eigen::Vector3d) +
                 fiducials->keys.capacity() * sizeof(std::uint64_t);
    }
    return bytes;
}

// What the line output writes next: a frame, or a change of the connection.
struct Queued {
    Frame frame;
    std::optional<LinkEvent> event;
};

// Frames arrive on the stream's worker thread and are written by a thread of
// their own, so a slow terminal or pipe never holds up tracking or stopping.
// The connection's changes come on a stream thread too and take their place
// among the frames.
class FrameQueue {
public:
    FrameQueue(bool keepAll, std::size_t byteLimit) : m_keepAll(keepAll), m_byteLimit(byteLimit) {}

    // errors: the errors logged by the time the frame came.
    void push(std::shared_ptr<const Velantor::TrackingStreamData> data, std::uint64_t errors)
    {
        const auto now = Clock::now();
        const std::size_t bytes = m_keepAll ? frameBytes(*data) : 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_count == 0) m_first = now;
            m_last = now;
            m_gaps.frame(now, errors);
            Frame frame{++m_count, std::move(data)};
            m_latest = frame;
            if (!m_keepAll || !m_keeping) return;
            // One frame always fits, so a cap below a frame's size still lets
            // the run write something.
            if (!m_frames.empty() && m_bytes + bytes > m_byteLimit) {
                ++m_dropped;
                return;
            }
            m_bytes += bytes;
            m_frames.push_back(Queued{std::move(frame), std::nullopt});
        }
        m_changed.notify_all();
    }

    // The stream lost its system (true) or has it back (false). A line for
    // it is never dropped: it is what tells a reader why poses stopped.
    void linkChanged(bool reconnecting, std::uint64_t errors)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            std::optional<LinkEvent> event = m_gaps.change(
                reconnecting, Clock::now(),
                static_cast<std::int64_t>(Velantor::StreamUtils::systemTimeNs() / 1000000), m_count,
                errors);
            if (!event || !m_keepAll || !m_keeping) return;
            m_frames.push_back(Queued{Frame{}, event});
        }
        m_changed.notify_all();
    }
    // The run ends: what the stream says of its connection from now on is
    // about the stop, not about the system.
    LinkGaps endGaps()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gaps.end(Clock::now());
        return m_gaps;
    }
    LinkGaps gaps() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_gaps;
    }

    // Waits until frames are queued or no more will come; hands them over.
    std::deque<Queued> take(bool& finished)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return !m_frames.empty() || m_finished; });
        finished = m_finished && m_frames.empty();
        std::deque<Queued> out;
        out.swap(m_frames);
        m_bytes = 0;
        return out;
    }
    // True when no more frames will come; waits for that until `until`.
    bool waitFinished(Clock::time_point until)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_until(lock, until, [&] { return m_finished; });
    }
    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_changed.notify_all();
    }
    // The output is gone: nothing more is kept for it.
    void stopKeeping()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_keeping = false;
        m_frames.clear();
        m_bytes = 0;
    }
    void written(std::uint64_t frames)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_written += frames;
    }

    Frame latest() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_latest;
    }
    std::uint64_t count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    // Line output: frames that never reached it, dropped or still queued.
    std::uint64_t unwritten() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_keepAll ? m_count - m_written : 0;
    }
    // Seconds from the first frame to the last.
    double span() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::chrono::duration<double>(m_last - m_first).count();
    }

private:
    const bool m_keepAll;
    const std::size_t m_byteLimit;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Queued> m_frames;
    std::size_t m_bytes = 0;
    bool m_keeping = true;
    bool m_finished = false;
    Frame m_latest;
    std::uint64_t m_count = 0;
    std::uint64_t m_written = 0;
    std::uint64_t m_dropped = 0;
    Clock::time_point m_first{}, m_last{};
    LinkGaps m_gaps;
};

// Writes to stdout without stdio: no buffer holds lines back when the run has
// to leave at once, and a failure is seen with its cause. 0 or the errno.
int writeOut(const std::string& text)
{
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;  // would never move on
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Redraws the table in place on a terminal; elsewhere prints a snapshot per
// second, one after the other.
class TableScreen {
public:
    explicit TableScreen(LogRelay& relay) : m_relay(relay), m_tty(::isatty(STDOUT_FILENO) == 1)
    {
        if (m_tty) m_relay.hold();
    }
    ~TableScreen() { finish(); }

    Clock::time_point next() const { return m_next; }

    // 0 or the errno of the failed write.
    int show(const std::vector<std::string>& rows, Clock::time_point now)
    {
        m_next = now + (m_tty ? milliseconds(100) : milliseconds(1000));
        std::string out;
        if (!m_tty) {
            for (const auto& r : rows) out += r + "\n";
            return writeOut(out + "\n");
        }
        const std::size_t width = terminalWidth();
        if (m_drawn > 0) out += "\r\x1b[" + std::to_string(m_drawn) + "A";
        // Log messages go above the table and scroll away with the terminal.
        for (const auto& message : m_relay.take()) out += clip(message, width) + "\x1b[K\n";
        for (const auto& r : rows) out += clip(r, width) + "\x1b[K\n";
        out += "\x1b[J";
        m_drawn = rows.size();
        return writeOut(out);
    }

    void finish()
    {
        if (m_tty && !m_finished) {
            m_finished = true;
            m_relay.release();
        }
    }

private:
    static std::size_t terminalWidth()
    {
        winsize ws{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
        return 80;
    }
    // A wrapped line would throw the cursor arithmetic off.
    static std::string clip(const std::string& s, std::size_t width)
    {
        return s.size() < width ? s : s.substr(0, width - 1);
    }

    LogRelay& m_relay;
    const bool m_tty;
    std::size_t m_drawn = 0;
    bool m_finished = false;
    Clock::time_point m_next{};
};

// Frames per second over about the last second.
class RateMeter {
public:
    double update(Clock::time_point now, std::uint64_t count)
    {
        m_samples.emplace_back(now, count);
        while (m_samples.size() > 2 && now - m_samples[1].first >= std::chrono::seconds(1))
            m_samples.pop_front();
        const auto& first = m_samples.front();
        const double seconds = std::chrono::duration<double>(now - first.first).count();
        return seconds > 0.2 ? static_cast<double>(count - first.second) / seconds : 0.0;
    }

private:
    std::deque<std::pair<Clock::time_point, std::uint64_t>> m_samples;
};

bool requestResult(const Velantor::Stream::AsyncResult& result, std::string& why)
{
    try {
        return result.get();
    } catch (const std::exception& e) {
        why = e.what();
    } catch (...) {
        why = "unknown exception";
    }
    return false;
}

void note(const std::string& text) { std::fprintf(stderr, "ndi-track: %s\n", text.c_str()); }

enum class StopCause { None, Signal, Deadline, StartFailed, OutputFailed, OutputClosed };
enum class Phase { Opening, Tracking };
// Why a run is given up before it could end in order.
enum class Leaving { None, OpenUnfinished, StopUnanswered, OutputStalled, SecondSignal };

// One tracking run. The main thread opens, starts, stops and closes the
// stream, a writer thread feeds the output, and a guard thread takes the stop
// signals, ends the run at its deadline and, when a stop has not finished in
// time, first makes the pending replies fail and then leaves the program.
class TrackRun {
public:
    TrackRun(const TrackOptions& options, TrackHost& host, LogRelay& relay,
             const sigset_t& stopSignals)
        : m_options(options),
          m_host(host),
          m_relay(relay),
          m_stopSignals(stopSignals),
          m_lineFormat(options.format != OutputFormat::Table),
          m_queue(m_lineFormat, queueByteLimit()),
          m_printer(options.format),
          m_guard([this] { guard(); })
    {
    }
    ~TrackRun()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_guard.join();
    }
    TrackRun(const TrackRun&) = delete;
    TrackRun& operator=(const TrackRun&) = delete;

    // Claims the end of the run before the last words go out.
    int run();

private:
    void claimEnd();
    void guard();
    void requestStopLocked(StopCause cause, Clock::time_point now);
    void waitForStop();
    void deviceDone();
    [[noreturn]] void leaveLocked(Leaving why);
    int concludeLocked(Leaving why);
    void writeLines();
    void showTable();
    void outputFailed(int error);

    const TrackOptions& m_options;
    TrackHost& m_host;
    LogRelay& m_relay;
    const sigset_t m_stopSignals;
    const bool m_lineFormat;
    FrameQueue m_queue;
    const FramePrinter m_printer;

    std::mutex m_mutex;  // everything below; the guard thread reads it
    std::condition_variable m_stopChanged;
    std::unique_ptr<TrackedStream> m_stream;
    Phase m_phase = Phase::Opening;
    StopCause m_cause = StopCause::None;
    Clock::time_point m_stopAt{};
    Clock::time_point m_deadline = Clock::time_point::max();
    bool m_signalled = false;
    Clock::time_point m_signalledAt{};
    bool m_cancelled = false;
    bool m_deviceDone = false;
    bool m_ended = false;
    bool m_quit = false;
    int m_code = Success;
    int m_outputError = 0;
    std::uint64_t m_errorsBeforeTracking = 0;
    // Tools named on the command line that the open could not load.
    std::vector<std::string> m_untracked;
    // With --record; set before the stream is made.
    std::unique_ptr<FrameRecorder> m_recorder;
    std::unique_ptr<IgtlServer> m_igtl;  // with --igtl; set before tracking starts

    std::thread m_guard;  // last: it starts once everything above is set up
};

void TrackRun::guard()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_quit) {
        lock.unlock();
        const timespec tick{0, 10 * 1000 * 1000};
        const int signal = sigtimedwait(&m_stopSignals, nullptr, &tick);
        lock.lock();
        if (m_quit || m_ended) continue;
        const auto now = Clock::now();
        if (signal > 0) {
            if (m_signalled) leaveLocked(Leaving::SecondSignal);
            m_signalled = true;
            m_signalledAt = now;
            requestStopLocked(StopCause::Signal, now);
        }
        if (now >= m_deadline) requestStopLocked(StopCause::Deadline, now);
        if (m_cause != StopCause::None && !m_deviceDone) {
            if (!m_cancelled && now - m_stopAt >= kStopGrace) {
                m_cancelled = true;
                if (m_stream) m_stream->cancelPendingReplies();
            }
            if (now - m_stopAt >= kLeaveAfter)
                leaveLocked(m_phase == Phase::Opening ? Leaving::OpenUnfinished
                                                      : Leaving::StopUnanswered);
        }
        // After a signal the output has the same second to take what is left.
        if (m_signalled && now - m_signalledAt >= kLeaveAfter) leaveLocked(Leaving::OutputStalled);
    }
}

void TrackRun::requestStopLocked(StopCause cause, Clock::time_point now)
{
    if (m_cause != StopCause::None) return;
    m_cause = cause;
    m_stopAt = now;
    m_stopChanged.notify_all();
}

void TrackRun::waitForStop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stopChanged.wait(lock, [&] { return m_cause != StopCause::None; });
}

void TrackRun::deviceDone()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deviceDone = true;
}

void TrackRun::leaveLocked(Leaving why)
{
    m_ended = true;
    int code = concludeLocked(why);
    // Should stderr itself be stalled, the program still ends.
    std::thread([code] {
        std::this_thread::sleep_for(milliseconds(50));
        std::_Exit(code == kOutputClosed ? OutputFailed : code);
    }).detach();
    std::fflush(stderr);
    if (code == kOutputClosed) {
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
        code = OutputFailed;
    }
    std::_Exit(code);
}

// The summary and what went wrong, on stderr; returns the exit code.
int TrackRun::concludeLocked(Leaving why)
{
    m_relay.release();  // shows what is held or counted before the summary
    const std::uint64_t frames = m_queue.count();
    const std::uint64_t trackingErrors = m_relay.errorCount() - m_errorsBeforeTracking;
    const LinkGaps gaps = m_queue.endGaps();
    // A gap the system came back from is no fault of the run's: its errors
    // are told, not held against it.
    const std::uint64_t gapErrors = std::min(trackingErrors, gaps.gapErrors());
    if (m_phase == Phase::Tracking) {
        char summary[300];
        const double span = m_queue.span();
        std::snprintf(summary, sizeof summary, "%llu frames in %.1f s (%.1f Hz), %llu errors",
                      static_cast<unsigned long long>(frames), span,
                      span > 0 ? static_cast<double>(frames - 1) / span : 0.0,
                      static_cast<unsigned long long>(trackingErrors));
        std::string line = summary;
        if (gapErrors > 0) line += " (" + std::to_string(gapErrors) + " while reconnecting)";
        std::snprintf(summary, sizeof summary, ", gaps: %llu, total %.1f s",
                      static_cast<unsigned long long>(gaps.recovered()), gaps.recoveredSeconds());
        line += summary;
        if (m_igtl)
            line += ", " + std::to_string(m_igtl->droppedFrames()) +
                    " frames dropped for OpenIGTLink clients";
        note(line);
    }
    int code = m_code;
    switch (why) {
    case Leaving::None:
    case Leaving::OutputStalled: break;
    case Leaving::OpenUnfinished:
        note(
            "the system was still being opened a second after the stop: leaving without waiting "
            "for it");
        code = OpenFailed;
        break;
    case Leaving::StopUnanswered:
        note(
            "the system did not answer the stop: leaving without stopping and closing it "
            "properly; it may still be tracking until it is opened again");
        code = std::max(code, static_cast<int>(TrackingErrors));
        break;
    case Leaving::SecondSignal:
        note("a second stop signal: leaving at once");
        if (!m_deviceDone) {
            note("the system was left without being stopped and closed properly");
            code = m_phase == Phase::Opening ? static_cast<int>(OpenFailed)
                                             : std::max(code, static_cast<int>(TrackingErrors));
        }
        break;
    }
    // The reader went away: what it did not take is of no interest to anyone.
    if (m_outputError == EPIPE) return kOutputClosed;
    if (code == OpenFailed) return code;
    if (m_outputError != 0) {
        note(std::string("cannot write the output: ") + std::strerror(m_outputError));
        code = std::max(code, static_cast<int>(OutputFailed));
        return code;
    }
    const std::uint64_t unwritten = m_queue.unwritten();
    if (unwritten > 0) {
        note(std::to_string(unwritten) +
             (why == Leaving::None ? " frames were dropped: the output did not keep up"
                                   : " frames were not written: the output did not take them"));
        code = std::max(code, static_cast<int>(FramesDropped));
    }
    if (!m_untracked.empty()) {
        for (const std::string& line : m_untracked) note(line);
        code = std::max(code, static_cast<int>(ToolsNotTracked));
    }
    if (gaps.endedUnreachable() && m_phase == Phase::Tracking) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the system was unreachable at the end of the run (no frames for the last "
                      "%.1f s): check the cable and power",
                      gaps.unreachableSeconds());
        note(text);
        code = std::max(code, static_cast<int>(TrackingErrors));
    } else if (trackingErrors > gapErrors && m_phase == Phase::Tracking) {
        note("the system reported errors while tracking (last: " + m_relay.lastError() +
             "); if frames stopped, the system is gone: check the cable and power and run "
             "ndi-track again");
        code = std::max(code, static_cast<int>(TrackingErrors));
    }
    return code;
}

void TrackRun::outputFailed(int error)
{
    m_queue.stopKeeping();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_outputError = error;
    requestStopLocked(error == EPIPE ? StopCause::OutputClosed : StopCause::OutputFailed,
                      Clock::now());
}

void TrackRun::writeLines()
{
    int error = writeOut(m_printer.header());
    bool finished = false;
    while (error == 0 && !finished) {
        std::string text;
        std::uint64_t frames = 0;
        for (const Queued& queued : m_queue.take(finished)) {
            if (queued.event) {
                text += m_printer.event(*queued.event);
                continue;
            }
            text += m_printer.lines(queued.frame);
            ++frames;
        }
        error = writeOut(text);
        if (error == 0) m_queue.written(frames);
    }
    if (error != 0) outputFailed(error);
}

void TrackRun::showTable()
{
    TableScreen screen(m_relay);
    RateMeter meter;
    int error = 0;
    do {
        const auto now = Clock::now();
        RunStatus status;
        status.frames = m_queue.count();
        status.rateHz = meter.update(now, status.frames);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            status.errors = m_relay.errorCount() - m_errorsBeforeTracking;
            status.untracked = m_untracked;
        }
        const LinkGaps gaps = m_queue.gaps();
        status.reconnecting = gaps.reconnecting();
        status.reconnectingSeconds = gaps.openSeconds(now);
        status.gaps = gaps.recovered();
        status.lastError = status.errors ? m_relay.lastError() : std::string();
        const Frame latest = m_queue.latest();
        error = screen.show(m_printer.table(latest.data ? &latest : nullptr, status), now);
    } while (error == 0 && !m_queue.waitFinished(screen.next()));
    screen.finish();
    if (error != 0) outputFailed(error);
}

void TrackRun::claimEnd()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // The guard is leaving the program already: it has the last word.
    m_stopChanged.wait(lock, [&] { return !m_ended; });
    m_ended = true;
}

int TrackRun::run()
{
    if (!m_options.record.empty()) {
        // A recording that cannot be made is told before the system is opened.
        std::string problem;
        m_recorder = FrameRecorder::open(
            m_options,
            [this] {
                std::lock_guard<std::mutex> lock(m_mutex);
                requestStopLocked(StopCause::OutputFailed, Clock::now());
            },
            &problem);
        if (!m_recorder) {
            claimEnd();
            note(problem);
            return OutputFailed;
        }
    }
    if (m_options.isSerial() && !m_options.autoDetect()) {
        const std::string problem = serialDeviceProblem(m_options.device);
        if (!problem.empty()) {
            claimEnd();
            note(problem);
            return OpenFailed;
        }
    }

    std::string problem;
    auto made = m_host.makeStream(m_options, &problem);
    if (!made) {
        claimEnd();
        note(problem);
        return OpenFailed;
    }
    TrackedStream& stream = *made;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stream = std::move(made);
    }
    // The stream is closed before it goes; the guard no longer reaches it then.
    struct Release {
        TrackRun& run;
        ~Release()
        {
            std::unique_ptr<TrackedStream> gone;
            {
                std::lock_guard<std::mutex> lock(run.m_mutex);
                gone.swap(run.m_stream);
            }
        }
    } release{*this};

    if (!stream.configure(m_options, &problem)) {
        deviceDone();
        claimEnd();
        note(problem);
        return UsageError;
    }
    if (m_options.igtl) {
        // Listening before the system is opened: a port that is taken is told
        // at once, not after the open.
        IgtlServerOptions igtlOptions;
        igtlOptions.port = m_options.igtlPort;
        igtlOptions.strays = m_options.igtlStrays;
        auto server = std::make_unique<IgtlServer>(igtlOptions);
        if (!server->start(&problem)) {
            deviceDone();
            claimEnd();
            note(problem);
            return UsageError;
        }
        note("OpenIGTLink server listening on port " + std::to_string(server->port()));
        // The stream's state reaches the clients as STATUS messages; a stream
        // that comes back by itself later announces Running the same way.
        stream->StateChange.connect(
            server.get(),
            [igtl = server.get()](Velantor::Stream::State previous, Velantor::Stream::State next) {
                if (next == Velantor::Stream::Running)
                    igtl->announce(IgtlStatusCode::Ok, "tracking");
                else if (previous == Velantor::Stream::Running)
                    igtl->announce(IgtlStatusCode::Disabled, std::string("tracking stopped: ") +
                                                                 Velantor::Stream::stateName(next));
            });
        std::lock_guard<std::mutex> lock(m_mutex);
        m_igtl = std::move(server);
    }
    stream->dataSignal.connect(&m_queue, [this](std::shared_ptr<const Velantor::StreamData> data) {
        if (auto frame = std::dynamic_pointer_cast<const Velantor::TrackingStreamData>(data)) {
            if (m_igtl) m_igtl->publish(frame);
            if (m_recorder) m_recorder->push(frame);
            m_queue.push(std::move(frame), m_relay.errorCount());
        }
    });
    // Told on a stream thread with no lock of the stream held; the queue
    // hands it to whoever shows it.
    stream->ReconnectingChange.connect(&m_queue, [this](bool reconnecting) {
        m_queue.linkChanged(reconnecting, m_relay.errorCount());
    });

    const std::uint64_t errorsBeforeOpen = m_relay.errorCount();
    // No limit here: the guard ends the program when a stop does not end this.
    const auto opening = stream->openAsync();
    opening.wait();
    std::string why;
    if (!requestResult(opening, why)) {
        stream->dataSignal.disconnect(&m_queue);
        stream->ReconnectingChange.disconnect(&m_queue);
        deviceDone();
        claimEnd();
        if (!why.empty()) note("open failed: " + why);
        bool signalled = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            signalled = m_signalled;
        }
        note(signalled ? std::string("stopped while the system was being opened")
                       : adviceAfterFailedOpen(m_options, m_relay.errorsSince(errorsBeforeOpen)));
        return OpenFailed;
    }
    {
        // A tool the user asked for and does not get must not go unnoticed
        // among the others' poses: said now, in the table and at the end.
        std::vector<std::string> untracked = stream.untrackedTools(m_options);
        for (const std::string& line : untracked) note(line);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_untracked = std::move(untracked);
    }
    const auto volumes = stream.volumeOptions();
    if (!volumes.empty()) {
        std::string list;
        for (std::size_t i = 0; i < volumes.size(); ++i)
            list += (i ? "; " : "") + std::to_string(i) + ": " + volumes[i];
        Velantor::Log::logIf(Velantor::Log::Info, "ndi-track",
                             [&] { return "Operating volumes (--volume N): " + list; });
    }

    bool stopped = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stopped = m_cause != StopCause::None;
    }
    bool started = false;
    if (!stopped) {
        const auto starting = stream->startAsync();
        starting.wait();
        started = requestResult(starting, why);
        if (!started) {
            note("tracking could not be started" + (why.empty() ? std::string() : ": " + why));
            std::lock_guard<std::mutex> lock(m_mutex);
            m_code = OpenFailed;
            requestStopLocked(StopCause::StartFailed, Clock::now());
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_errorsBeforeTracking = m_relay.errorCount();
        m_phase = Phase::Tracking;
        if (m_options.durationSeconds > 0)
            m_deadline =
                Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(m_options.durationSeconds));
    }

    std::thread writer;
    if (m_lineFormat)
        writer = std::thread([this] { writeLines(); });
    else if (started)
        writer = std::thread([this] { showTable(); });

    waitForStop();
    m_queue.endGaps();
    // The stream closes itself in its destructor, but closing here keeps the
    // order visible and its errors inside the run.
    stream->stopAsync().wait();
    stream->closeAsync().wait();
    stream->dataSignal.disconnect(&m_queue);
    stream->ReconnectingChange.disconnect(&m_queue);
    if (m_igtl) {
        stream->StateChange.disconnect(m_igtl.get());
        m_igtl->stop();
        for (const std::string& line : m_igtl->lossReports()) note("OpenIGTLink " + line);
    }
    deviceDone();
    m_queue.finish();
    if (writer.joinable()) writer.join();
    // Written and closed before the summary: a recording that failed is said.
    const std::string recordProblem = m_recorder ? m_recorder->finish() : std::string();

    std::string saveProblem;
    const bool saved = m_options.saveWorkspace.empty() ||
                       stream.saveWorkspace(m_options.saveWorkspace, &saveProblem);
    claimEnd();
    std::lock_guard<std::mutex> lock(m_mutex);
    int code = concludeLocked(Leaving::None);
    if (!recordProblem.empty()) {
        note(recordProblem);
        if (code != kOutputClosed) code = std::max(code, static_cast<int>(OutputFailed));
    }
    if (!saved) {
        note("cannot save the workspace: " + saveProblem);
        if (code != kOutputClosed) code = std::max(code, static_cast<int>(OutputFailed));
    } else if (!m_options.saveWorkspace.empty()) {
        note("workspace saved to " + m_options.saveWorkspace);
    }
    return code;
}

}  // namespace

int runTrack(const TrackOptions& o, TrackHost& host, LogRelay& relay, const sigset_t& stopSignals)
{
    TrackRun run(o, host, relay, stopSignals);
    return run.run();
}

}  // namespace ndi_track

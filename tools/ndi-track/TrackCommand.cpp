#include "TrackCommand.h"

#include "DeviceAdvice.h"
#include "ExitCode.h"
#include "FramePrinter.h"
#include "LogRelay.h"
#include "StreamFactory.h"

#include <Velantor/PluginLoader.h>
#include <Velantor/Properties.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ndi_track {

namespace {

using Clock = std::chrono::steady_clock;

// Frames arrive on the stream's worker thread and are written by the main
// thread, so a slow terminal or pipe never holds up tracking.
class FrameQueue {
public:
    explicit FrameQueue(bool keepAll) : m_keepAll(keepAll) {}

    void push(std::shared_ptr<const Velantor::TrackingStreamData> data)
    {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count == 0) m_first = now;
        m_last = now;
        Frame frame{++m_count, std::move(data)};
        m_latest = frame;
        if (!m_keepAll) return;
        if (m_frames.size() >= kLimit) {
            ++m_dropped;
            return;
        }
        m_frames.push_back(std::move(frame));
    }
    std::deque<Frame> take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::deque<Frame> out;
        out.swap(m_frames);
        return out;
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
    // Seconds from the first frame to the last.
    double span() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::chrono::duration<double>(m_last - m_first).count();
    }
    std::uint64_t dropped() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dropped;
    }

private:
    // About ten minutes of 24 tools at 400 Hz waiting for an output that stalled.
    static constexpr std::size_t kLimit = 250000;
    const bool m_keepAll;
    mutable std::mutex m_mutex;
    std::deque<Frame> m_frames;
    Frame m_latest;
    std::uint64_t m_count = 0;
    std::uint64_t m_dropped = 0;
    Clock::time_point m_first{}, m_last{};
};

// Redraws the table in place on a terminal; elsewhere prints a snapshot per
// second, one after the other.
class TableScreen {
public:
    explicit TableScreen(LogRelay& relay) : m_relay(relay), m_tty(::isatty(STDOUT_FILENO) == 1)
    {
        if (m_tty) m_relay.hold();
    }
    ~TableScreen() { finish(); }

    bool due(Clock::time_point now) const { return now >= m_next; }

    void show(const std::vector<std::string>& rows, Clock::time_point now)
    {
        m_next = now + (m_tty ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000));
        if (!m_tty) {
            for (const auto& r : rows) std::fprintf(stdout, "%s\n", r.c_str());
            std::fprintf(stdout, "\n");
            std::fflush(stdout);
            return;
        }
        const std::size_t width = terminalWidth();
        std::string out;
        if (m_drawn > 0) out += "\r\x1b[" + std::to_string(m_drawn) + "A";
        // Log messages go above the table and scroll away with the terminal.
        for (const auto& message : m_relay.take()) out += clip(message, width) + "\x1b[K\n";
        for (const auto& r : rows) out += clip(r, width) + "\x1b[K\n";
        out += "\x1b[J";
        m_drawn = rows.size();
        std::fputs(out.c_str(), stdout);
        std::fflush(stdout);
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

// Waits for a request while taking stop signals; true when one came.
template <typename Future>
bool waitTakingSignals(const Future& future, const sigset_t& stopSignals, bool& stopRequested)
{
    while (future.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        const timespec tick{0, 10 * 1000 * 1000};
        if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) stopRequested = true;
    }
    return stopRequested;
}

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

bool writeOut(const std::string& text)
{
    if (text.empty()) return true;
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

void note(const std::string& text) { std::fprintf(stderr, "ndi-track: %s\n", text.c_str()); }

}  // namespace

int runTrack(const TrackOptions& o, LogRelay& relay, const sigset_t& stopSignals)
{
    // Plugins stay loaded for the whole run: their code may still be referenced.
    std::vector<std::unique_ptr<Velantor::LoadedPlugin>> plugins;
    for (const std::string& path : o.plugins) {
        std::string error;
        auto loaded = Velantor::PluginLoader::load(path, &error);
        if (!loaded) {
            note("cannot load the plugin " + path + ": " + error);
            return OpenFailed;
        }
        if (loaded->plugin()->init() != 0) {
            note("the plugin " + path + " failed to initialise");
            return OpenFailed;
        }
        note("plugin " + (loaded->id().empty() ? path : loaded->id()) + " loaded");
        plugins.push_back(std::move(loaded));
    }

    if (o.isSerial() && !o.autoDetect()) {
        const std::string problem = serialDeviceProblem(o.device);
        if (!problem.empty()) {
            note(problem);
            return OpenFailed;
        }
    }

    auto stream = makeStream(o.family);
    const Velantor::Properties configuration = o.toProperties();
    stream->configure(&configuration);

    const bool lineFormat = o.format != OutputFormat::Table;
    FrameQueue queue(lineFormat);
    stream->dataSignal.connect(&queue, [&queue](std::shared_ptr<const Velantor::StreamData> data) {
        if (auto frame = std::dynamic_pointer_cast<const Velantor::TrackingStreamData>(data))
            queue.push(std::move(frame));
    });

    bool stopRequested = false;
    const std::uint64_t errorsBeforeOpen = relay.errorCount();
    const auto opening = stream->openAsync();
    waitTakingSignals(opening, stopSignals, stopRequested);
    std::string why;
    if (!requestResult(opening, why)) {
        if (!why.empty()) note("open failed: " + why);
        note(adviceAfterFailedOpen(o, relay.errorsSince(errorsBeforeOpen)));
        stream->dataSignal.disconnect(&queue);
        return OpenFailed;
    }
    const auto volumes = stream.volumeOptions();
    if (!volumes.empty()) {
        std::string list;
        for (std::size_t i = 0; i < volumes.size(); ++i)
            list += (i ? "; " : "") + std::to_string(i) + ": " + volumes[i];
        Velantor::Log::logIf(Velantor::Log::Info, "ndi-track",
                             [&] { return "Operating volumes (--volume N): " + list; });
    }

    int exitCode = Success;
    std::uint64_t errorsBeforeTracking = relay.errorCount();
    Clock::time_point trackingStart = Clock::now();
    if (!stopRequested) {
        const auto starting = stream->startAsync();
        waitTakingSignals(starting, stopSignals, stopRequested);
        if (!requestResult(starting, why)) {
            note("tracking could not be started" + (why.empty() ? std::string() : ": " + why));
            exitCode = OpenFailed;
            stopRequested = true;
        }
        errorsBeforeTracking = relay.errorCount();
        trackingStart = Clock::now();
    }

    FramePrinter printer(o.format);
    std::unique_ptr<TableScreen> screen;
    if (lineFormat) {
        writeOut(printer.header());
        std::fflush(stdout);
    } else if (!stopRequested) {
        screen = std::make_unique<TableScreen>(relay);
    }
    RateMeter meter;
    RunStatus status;
    bool outputFailed = false;
    const auto deadline =
        o.durationSeconds > 0
            ? trackingStart + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(o.durationSeconds))
            : Clock::time_point::max();

    auto drainLines = [&] {
        bool wrote = false;
        for (const Frame& frame : queue.take()) {
            if (!outputFailed && !writeOut(printer.lines(frame))) outputFailed = true;
            wrote = true;
        }
        if (wrote && std::fflush(stdout) != 0) outputFailed = true;
    };

    while (!stopRequested) {
        const timespec tick{0, 20 * 1000 * 1000};
        if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) break;
        const auto now = Clock::now();
        if (now >= deadline) break;
        if (lineFormat) {
            drainLines();
            if (outputFailed) {
                note("the output was closed; stopping");
                break;
            }
        } else if (screen->due(now)) {
            status.frames = queue.count();
            status.rateHz = meter.update(now, status.frames);
            status.errors = relay.errorCount() - errorsBeforeTracking;
            status.lastError = status.errors ? relay.lastError() : std::string();
            const Frame latest = queue.latest();
            screen->show(printer.table(latest.data ? &latest : nullptr, status), now);
        }
    }
    // The stream closes itself in its destructor, but closing here keeps the
    // order visible and its errors inside the run.
    const auto stopping = stream->stopAsync();
    stopping.wait();
    const auto closing = stream->closeAsync();
    closing.wait();
    stream->dataSignal.disconnect(&queue);
    if (lineFormat) drainLines();
    if (screen) screen->finish();
    relay.release();  // shows what is held or counted before the summary

    const std::uint64_t frames = queue.count();
    const std::uint64_t trackingErrors = relay.errorCount() - errorsBeforeTracking;
    char summary[200];
    const double span = queue.span();
    std::snprintf(summary, sizeof summary, "%llu frames in %.1f s (%.1f Hz), %llu errors",
                  static_cast<unsigned long long>(frames), span,
                  span > 0 ? (frames - 1) / span : 0.0,
                  static_cast<unsigned long long>(trackingErrors));
    note(summary);
    if (queue.dropped() > 0)
        note(std::to_string(queue.dropped()) +
             " frames were not written: the output did not keep up");
    if (exitCode == Success && trackingErrors > 0) {
        exitCode = TrackingErrors;
        note("the system reported errors while tracking (last: " + relay.lastError() +
             "); if frames stopped, the system is gone and is not reconnected: check the cable and "
             "power and run "
             "ndi-track again");
    }
    return exitCode;
}

}  // namespace ndi_track

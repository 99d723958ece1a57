// bench_soak: a Vega-family marker stream at 400 Hz (TCP) and an Aurora camera
// stream at 40 Hz (serial line), both on the host's workers against the
// simulator, for a set time with the cable of one or the other pulled at
// intervals. Reports memory, frames, duplicates, skipped frame numbers and
// the reconnecting episodes; fails when a stream did not come back or
// delivered a frame twice.
#include "StreamWatch.h"

#include <NDIPolarisTrackingStream.h>
#include <PolarisAuroraTrackingStream.h>

#include <ndisim/Simulator.h>

#include <Velantor/Log.h>
#include <Velantor/OpticalTrackingMarker.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using AuroraStream = Velantor::PolarisAuroraTrackingStream<Velantor::NDIAurora>;

const char* kHelp =
    "Usage: bench_soak [--duration S] [--disconnect-every S] [--unplug-for S]\n"
    "                  [--progress-every S]\n"
    "\n"
    "Runs a Vega-family marker stream at 400 Hz over TCP and an Aurora camera\n"
    "stream at 40 Hz on a pseudo-terminal, both against the simulator, for\n"
    "--duration seconds (default 60). Every --disconnect-every seconds (default\n"
    "20; 0: never) the simulator's cable of one of them is pulled, taking turns,\n"
    "and put back --unplug-for seconds later (default 2); the device keeps its\n"
    "state meanwhile, and the stream must find it again by itself. None is\n"
    "pulled in the last 5 s, and the run waits\n"
    "up to 20 s more for a stream still reconnecting. A progress line goes out\n"
    "every --progress-every seconds (default 60; 0: none).\n"
    "\n"
    "Reports the resident memory after a warm-up and at the end, and per stream:\n"
    "frames delivered, frames whose device frame could not be told, duplicates\n"
    "(a device frame delivered twice within one connection), skipped frame\n"
    "numbers, the disconnects injected, the reconnecting episodes and how many\n"
    "recovered, the longest episode and the longest time without a frame.\n"
    "\n"
    "Exit status: 0 when every episode recovered, no frame was delivered twice\n"
    "and both streams delivered frames at the end; 1 otherwise; 2 for a bad\n"
    "command line.\n";

long residentKb()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

bool readSeconds(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 0;
}

// Keeps stderr readable over a long run: the streams' messages are counted,
// and only those about losing and finding a device are shown.
class SoakLog : public Velantor::LogSink {
public:
    explicit SoakLog(Clock::time_point start) : m_start(start) {}
    void write(const Velantor::LogRecord& record) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (record.level == Velantor::Log::Error) ++m_errors;
        if (record.level == Velantor::Log::Warning) ++m_warnings;
        const bool recovery = record.message.find("lost; reconnecting") != std::string::npos ||
                              record.message.find("reconnected after") != std::string::npos;
        if (recovery) {
            std::printf("[%7.1f s] %s: %s\n", since(), record.category.c_str(),
                        record.message.c_str());
            std::fflush(stdout);
        }
    }
    void counts(std::uint64_t& errors, std::uint64_t& warnings) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        errors = m_errors;
        warnings = m_warnings;
    }
    double since() const { return std::chrono::duration<double>(Clock::now() - m_start).count(); }

private:
    const Clock::time_point m_start;
    mutable std::mutex m_mutex;
    std::uint64_t m_errors = 0;
    std::uint64_t m_warnings = 0;
};

struct Soaked {
    std::string label;
    ndisim::Simulator* sim = nullptr;
    Velantor::TrackingStream* stream = nullptr;
    std::unique_ptr<soak::StreamWatch> watch;
    std::uint64_t injected = 0;
    double plugInAt = -1;  // run seconds; -1 while plugged in
};

}  // namespace

int main(int argc, char** argv)
{
    double duration = 60, every = 20, unplugFor = 2, progressEvery = 60;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        double* target = a == "--duration"           ? &duration
                         : a == "--disconnect-every" ? &every
                         : a == "--unplug-for"       ? &unplugFor
                         : a == "--progress-every"   ? &progressEvery
                                                     : nullptr;
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (!target || i + 1 >= argc || !readSeconds(argv[i + 1], *target)) {
            std::fprintf(stderr, "bench_soak: bad argument %s (see --help)\n", a.c_str());
            return 2;
        }
        ++i;
    }

    // One clock for every line: the run's, from before the streams open.
    const auto start = Clock::now();
    auto log = std::make_shared<SoakLog>(start);
    Velantor::Log::removeSink(Velantor::Log::stderrSink());
    Velantor::Log::addSink(log);

    ndisim::Scenario vegaScenario = ndisim::defaultScenario(ndisim::Family::Vega);
    vegaScenario.frameRate = 400;
    auto vegaSim = ndisim::Simulator::tcp(vegaScenario, "127.0.0.1", 0);
    const std::string auroraLink = "/tmp/bench-soak-aurora-" + std::to_string(::getpid());
    auto auroraSim =
        ndisim::Simulator::serial(ndisim::defaultScenario(ndisim::Family::Aurora), auroraLink);
    // A device that lost its line speed is found again with a break.
    ::setenv("NDI_BREAK_NOTIFY", auroraSim->breakNotifyPath().c_str(), 1);

    auto vega = std::make_unique<Velantor::NDIPolarisTrackingStream>("SoakVega");
    vega->setHardwareDevice("127.0.0.1");
    vega->setHardwareIPPort(vegaSim->tcpPort());
    vega->setBinaryQueryMode(true);
    for (const auto& tool : vegaScenario.tools) {
        // Without a geometry the device takes its own tool's.
        auto marker = std::make_unique<Velantor::OpticalTrackingMarker>(tool.name);
        marker->setPartNumber(tool.partNumber);
        vega->addTrackingMarker(std::move(marker));
    }
    auto aurora = std::make_unique<AuroraStream>("SoakAurora");
    aurora->setHardwareDevice(auroraLink);
    aurora->setBinaryQueryMode(true);

    std::vector<Soaked> streams(2);
    streams[0].label = "vega 400 Hz";
    streams[0].sim = vegaSim.get();
    streams[0].stream = vega.get();
    streams[0].watch = std::make_unique<soak::StreamWatch>("vega", *vega, *vegaSim, 400);
    streams[1].label = "aurora 40 Hz";
    streams[1].sim = auroraSim.get();
    streams[1].stream = aurora.get();
    streams[1].watch = std::make_unique<soak::StreamWatch>("aurora", *aurora, *auroraSim, 40);

    for (Soaked& s : streams) {
        if (!s.stream->openAsync().get() || !s.stream->startAsync().get()) {
            std::fprintf(stderr, "bench_soak: the %s stream did not open and start\n",
                         s.label.c_str());
            return 1;
        }
    }

    const auto at = [&](double s) {
        return start +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    const double warmUp = every > 0 ? std::min(3.0, every / 2) : 3.0;
    long rssStart = 0;
    bool warm = false;
    double nextDrop = every > 0 ? every : duration + 1;
    double nextProgress = progressEvery > 0 ? progressEvery : duration + 1;
    std::size_t turn = 0;
    std::printf(
        "soak: %.0f s, a cable pulled for %.1f s every %.0f s (vega, then aurora, in turn)\n",
        duration, unplugFor, every);
    std::fflush(stdout);
    while (Clock::now() < at(duration)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const double now = std::chrono::duration<double>(Clock::now() - start).count();
        if (!warm && now >= warmUp) {
            warm = true;
            rssStart = residentKb();
        }
        if (now >= nextDrop) {
            if (nextDrop <= duration - 5) {
                Soaked& s = streams[turn++ % streams.size()];
                if (s.plugInAt < 0) {
                    std::printf("[%7.1f s] unplugging the %s\n", log->since(),
                                s.watch->name().c_str());
                    std::fflush(stdout);
                    s.sim->unplug();
                    ++s.injected;
                    s.plugInAt = now + unplugFor;
                }
            }
            nextDrop += every;
        }
        for (Soaked& s : streams)
            if (s.plugInAt >= 0 && now >= s.plugInAt) {
                std::printf("[%7.1f s] plugging the %s in\n", log->since(),
                            s.watch->name().c_str());
                std::fflush(stdout);
                s.sim->plugIn();
                s.plugInAt = -1;
            }
        if (now >= nextProgress) {
            std::printf("[%5.0f s] rss %ld kB", now, residentKb());
            for (const Soaked& s : streams) {
                const soak::WatchTally t = s.watch->tally();
                std::printf("  %s: %llu frames, %llu/%llu recovered", s.watch->name().c_str(),
                            static_cast<unsigned long long>(t.delivered),
                            static_cast<unsigned long long>(t.recovered),
                            static_cast<unsigned long long>(t.episodes));
            }
            std::printf("\n");
            std::fflush(stdout);
            nextProgress += progressEvery;
        }
    }
    for (Soaked& s : streams)
        if (s.plugInAt >= 0) s.sim->plugIn();
    // A stream dropped near the end gets its time to come back.
    const auto graceEnd = Clock::now() + std::chrono::seconds(20);
    const auto settled = [&] {
        for (const Soaked& s : streams) {
            const soak::WatchTally t = s.watch->tally();
            if (t.reconnecting || t.sinceLastFrameS > 1.0) return false;
        }
        return true;
    };
    while (!settled() && Clock::now() < graceEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!warm) rssStart = residentKb();
    const long rssEnd = residentKb();
    const double ran = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<soak::WatchTally> tallies;
    for (const Soaked& s : streams) tallies.push_back(s.watch->tally());
    for (Soaked& s : streams) {
        s.stream->stopAsync().wait();
        s.stream->closeAsync().wait();
    }
    std::uint64_t errors = 0, warnings = 0;
    log->counts(errors, warnings);

    bool sound = true;
    std::printf("\nran %.1f s; rss after warm-up %ld kB, at the end %ld kB (%+ld kB)\n", ran,
                rssStart, rssEnd, rssEnd - rssStart);
    std::printf("%-13s %9s %8s %6s %9s %8s %8s %7s %9s %10s %10s\n", "stream", "frames", "unknown",
                "dups", "num-gaps", "skipped", "unplugs", "gaps", "recovered", "longest-s",
                "silence-s");
    for (std::size_t k = 0; k < streams.size(); ++k) {
        const soak::WatchTally& t = tallies[k];
        std::printf("%-13s %9llu %8llu %6llu %9llu %8llu %8llu %7llu %9llu %10.2f %10.2f\n",
                    streams[k].label.c_str(), static_cast<unsigned long long>(t.delivered),
                    static_cast<unsigned long long>(t.unidentified),
                    static_cast<unsigned long long>(t.duplicates),
                    static_cast<unsigned long long>(t.numberGaps),
                    static_cast<unsigned long long>(t.framesSkipped),
                    static_cast<unsigned long long>(streams[k].injected),
                    static_cast<unsigned long long>(t.episodes),
                    static_cast<unsigned long long>(t.recovered), t.longestEpisodeS,
                    t.longestSilenceS);
        if (t.duplicates > 0) {
            std::printf("FAIL: %s delivered %llu frames twice\n", streams[k].label.c_str(),
                        static_cast<unsigned long long>(t.duplicates));
            sound = false;
        }
        if (t.reconnecting || t.recovered < t.episodes) {
            std::printf("FAIL: %s did not recover from a gap\n", streams[k].label.c_str());
            sound = false;
        }
        if (t.delivered == 0 || t.sinceLastFrameS > 1.0) {
            std::printf("FAIL: %s delivered no frame in its last %.1f s\n",
                        streams[k].label.c_str(), t.sinceLastFrameS);
            sound = false;
        }
        if (t.episodes != streams[k].injected)
            std::printf("note: %s: %llu cables pulled, %llu reconnecting episodes\n",
                        streams[k].label.c_str(),
                        static_cast<unsigned long long>(streams[k].injected),
                        static_cast<unsigned long long>(t.episodes));
    }
    std::printf("log: %llu errors, %llu warnings\n", static_cast<unsigned long long>(errors),
                static_cast<unsigned long long>(warnings));
    std::printf("%s\n", sound ? "PASS" : "FAIL");
    streams.clear();
    Velantor::Log::removeSink(log);
    return sound ? 0 : 1;
}

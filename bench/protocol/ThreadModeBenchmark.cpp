// Tracking-command latency with thread mode on (TX answered from the
// background thread's latest reply) and off (one exchange per command),
// against the simulator over loopback TCP, a caller asking at 250 Hz as a
// navigation display would. Each runs against a device that answers at once
// and against one that takes 1 ms per reply, as a camera on a network does.
// The floor, measured in the same run against the same device, is a raw
// send of the same command and receive of its reply on the socket,
// bypassing the library. Thread mode also reports how old its answers are
// (device frames behind the newest) and how many exchanges per second its
// thread makes on its own.
#include <ndisim/Simulator.h>

#include <ndi/protocol.h>

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ndisim;
using Clock = std::chrono::steady_clock;

constexpr auto kPeriod = std::chrono::microseconds(4000);  // 250 Hz

// An Aurora at 250 Hz over TCP with its four wired tools enabled and
// tracking, answering each command after replyDelayMs.
class Tracking {
public:
    explicit Tracking(int replyDelayMs)
    {
        Scenario scenario = defaultScenario(Family::Aurora);
        scenario.frameRate = 250;
        m_sim = Simulator::tcp(scenario, "127.0.0.1", 0);
        m_h = ndiOpenNetwork("127.0.0.1", m_sim->tcpPort());
        if (m_h == nullptr) {
            return;
        }
        ndiTimeoutSocket(m_h, 5000);
        ndiCommand(m_h, "INIT:");
        ndiCommand(m_h, "PHSR:%02X", 0);
        std::vector<int> handles;
        for (int i = 0; i < ndiGetPHSRNumberOfHandles(m_h); ++i) {
            handles.push_back(ndiGetPHSRHandle(m_h, i));
        }
        for (int ph : handles) {
            ndiCommand(m_h, "PINIT:%02X", ph);
            ndiCommand(m_h, "PENA:%02X%c", ph, 'D');
        }
        ndiCommand(m_h, "TSTART:");
        m_ok = ndiGetError(m_h) == 0 && !handles.empty();
        Faults faults;
        faults.delayMs = replyDelayMs;
        m_sim->setFaults(faults);
        m_firstHandle = handles.empty() ? 0 : handles[0];
    }
    ~Tracking()
    {
        if (m_h != nullptr) {
            ndiCloseNetwork(m_h);
        }
    }
    bool ok() const { return m_ok; }
    NdiConnection* handle() const { return m_h; }
    Simulator& sim() const { return *m_sim; }
    int firstHandle() const { return m_firstHandle; }

private:
    std::unique_ptr<Simulator> m_sim;
    NdiConnection* m_h = nullptr;
    bool m_ok = false;
    int m_firstHandle = 0;
};

// Seconds that `exchange` took, or a negative value when it failed.
template <typename Exchange>
double timed(Exchange exchange)
{
    const auto start = Clock::now();
    const bool ok = exchange();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return ok ? seconds : -1.0;
}

// Runs `call` once every period; `call` returns the seconds of its timed
// part (see timed), so that bookkeeping around the exchange stays outside.
template <typename Call>
void paced(benchmark::State& state, Call call)
{
    auto next = Clock::now();
    for (auto _ : state) {
        next += kPeriod;
        std::this_thread::sleep_until(next);
        const double seconds = call();
        if (seconds < 0) {
            state.SkipWithError("the exchange failed");
            break;
        }
        state.SetIterationTime(seconds);
    }
}

void directTX(benchmark::State& state)
{
    Tracking t(static_cast<int>(state.range(0)));
    if (!t.ok()) {
        state.SkipWithError("the simulator could not be set up");
        return;
    }
    paced(state, [&] {
        return timed([&] {
            ndiCommand(t.handle(), "TX:%04X", 0x0801);
            return ndiGetError(t.handle()) == 0;
        });
    });
}

void threadTX(benchmark::State& state)
{
    Tracking t(static_cast<int>(state.range(0)));
    if (!t.ok()) {
        state.SkipWithError("the simulator could not be set up");
        return;
    }
    ndiSetThreadMode(t.handle(), 1);
    if (!ndiGetThreadMode(t.handle())) {
        state.SkipWithError("thread mode could not be switched on");
        return;
    }
    // The first tracking command hands the command to the thread and waits
    // for its replies; the paced calls measure what follows.
    state.counters["first_call_us"] = 1e6 * timed([&] {
                                          ndiCommand(t.handle(), "TX:%04X", 0x0801);
                                          return ndiGetError(t.handle()) == 0;
                                      });
    double behind = 0;
    const auto commandsBefore = t.sim().stats().commands;
    const auto start = Clock::now();
    paced(state, [&] {
        const double seconds = timed([&] {
            ndiCommand(t.handle(), "TX:%04X", 0x0801);
            return ndiGetError(t.handle()) == 0;
        });
        const double frame = static_cast<double>(ndiGetTXFrame(t.handle(), t.firstHandle()));
        behind += static_cast<double>(t.sim().currentFrame()) - frame;
        return seconds;
    });
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["frames_behind"] =
        benchmark::Counter(behind, benchmark::Counter::kAvgIterations);
    state.counters["polls_per_s"] =
        static_cast<double>(t.sim().stats().commands - commandsBefore) / seconds;
    ndiSetThreadMode(t.handle(), 0);
}

// The floor: the same command bytes and reply on the same kind of socket,
// without the library.
void rawTX(benchmark::State& state)
{
    Tracking t(static_cast<int>(state.range(0)));
    if (!t.ok()) {
        state.SkipWithError("the simulator could not be set up");
        return;
    }
    ndiCommand(t.handle(), "TX:%04X", 0x0801);
    const std::string command = t.handle()->CommandBuffer;
    const int s = ndiGetSocket(t.handle());
    std::vector<char> buffer(NDI_BUFFER_SIZE);
    paced(state, [&] {
        return timed([&] {
            if (::send(s, command.data(), command.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(command.size())) {
                return false;
            }
            size_t got = 0;
            while (got == 0 || buffer[got - 1] != '\r') {
                const ssize_t n = ::recv(s, buffer.data() + got, buffer.size() - got, 0);
                if (n <= 0) {
                    return false;
                }
                got += static_cast<size_t>(n);
            }
            benchmark::DoNotOptimize(buffer.data());
            return true;
        });
    });
}

// 250 calls a run (one second at 250 Hz), each measure repeated and
// compared by its median: the machine is shared.
// The argument is the device's reply time in milliseconds.
void everyCase(benchmark::internal::Benchmark* b)
{
    b->Arg(0)->Arg(1)->UseManualTime()->Iterations(250)->Repetitions(5)->ReportAggregatesOnly();
}
BENCHMARK(rawTX)->Apply(everyCase);
BENCHMARK(directTX)->Apply(everyCase);
BENCHMARK(threadTX)->Apply(everyCase);

class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Aggregate &&
                run.aggregate_name == "median") {
                const std::string name = run.run_name.function_name + "/" + run.run_name.args;
                nanoseconds[name] = run.GetAdjustedRealTime();
                for (const auto& counter : run.counters) {
                    counters[name + "." + counter.first] = counter.second.value;
                }
            }
        }
    }
    std::map<std::string, double> nanoseconds;
    std::map<std::string, double> counters;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    for (const char* delay : {"0", "1"}) {
        const std::string suffix = std::string("/") + delay;
        const auto floor = reporter.nanoseconds.find("rawTX" + suffix);
        if (floor == reporter.nanoseconds.end() || floor->second <= 0.0) {
            continue;
        }
        std::printf("\nTX:0801 at 250 Hz over TCP, device reply time %s ms (median)\n", delay);
        std::printf("%-44s %10s %10s %7s\n", "", "ours [us]", "floor [us]", "ratio");
        const struct {
            const char* label;
            const char* name;
        } rows[] = {{"direct exchange", "directTX"},
                    {"thread mode (background thread's reply)", "threadTX"}};
        for (const auto& row : rows) {
            const auto ours = reporter.nanoseconds.find(row.name + suffix);
            if (ours != reporter.nanoseconds.end()) {
                std::printf("%-44s %10.1f %10.1f %7.2f\n", row.label, ours->second / 1e3,
                            floor->second / 1e3, ours->second / floor->second);
            }
        }
        const auto behind = reporter.counters.find("threadTX" + suffix + ".frames_behind");
        const auto polls = reporter.counters.find("threadTX" + suffix + ".polls_per_s");
        const auto firstCall = reporter.counters.find("threadTX" + suffix + ".first_call_us");
        if (behind != reporter.counters.end() && polls != reporter.counters.end() &&
            firstCall != reporter.counters.end()) {
            std::printf(
                "thread mode: answers %.2f device frames behind the newest, %.0f polls/s on the "
                "line,\n"
                "             first tracking command after TSTART %.1f ms\n",
                behind->second, polls->second, firstCall->second / 1e3);
        }
    }
    return 0;
}

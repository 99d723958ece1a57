// How late the stream worker calls doWork against the time the previous pass
// asked for, and what the worker thread costs in processor time while it
// paces passes, for the streams' two pass intervals. The floor is a bare
// clock_nanosleep to deadlines spaced the same way, measured in the same run:
// the ratio says how the worker's pacing compares with simply sleeping.
// Three ways of waiting: the default (a kernel wait, no spinning), the opt-in
// spin of the last 200 us and 1000 us (VELANTOR_WORKER_SPIN_US), and the
// opt-in real-time worker (VELANTOR_WORKER_PRIORITY; its rows are the default
// ones where the process may not raise its priority). Run it three times and
// note the machine's load (uptime): on a busy machine wake-ups are late
// whatever the worker does.
#include <Velantor/Stream.h>
#include <Velantor/StreamUtils.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

using namespace Velantor;

namespace {

constexpr int kPasses = 400;

struct Lateness {
    double p50us = 0;
    double p99us = 0;
    double cpuShare = 0;  // of one core, while pacing
};

Lateness summarise(std::vector<std::int64_t> ns, double cpuShare = 0)
{
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) {
        return static_cast<double>(ns[static_cast<std::size_t>(q * (ns.size() - 1))]) / 1000.0;
    };
    return {at(0.5), at(0.99), cpuShare};
}

std::int64_t threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The worker's own pacing: each pass asks for the next one a period after the
// time the previous one asked for, on a fixed grid as the tracking streams do.
class PacedStream : public Stream {
public:
    explicit PacedStream(std::int64_t periodNs) : Stream("bench"), m_period(periodNs)
    {
        m_late.reserve(kPasses);
    }
    ~PacedStream() override { closeAsync().wait(); }
    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override { return true; }
    bool stopImpl() override { return true; }
    WorkResult doWork() override
    {
        const std::int64_t now = StreamUtils::systemTimeNs();
        const std::int64_t cpu = threadCpuNs();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_requested == 0) {
            m_firstCpu = cpu;
            m_first = now;
            m_requested = now;
        } else if (static_cast<int>(m_late.size()) < kPasses) {
            m_late.push_back(now - m_requested);
            m_lastCpu = cpu;
            m_last = now;
        }
        m_requested += m_period;
        while (m_requested <= now) m_requested += m_period;
        if (static_cast<int>(m_late.size()) == kPasses) m_done.notify_all();
        return WorkResult(m_requested, true, true);
    }
    Lateness run()
    {
        openAsync().get();
        startAsync().get();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_done.wait(lock, [&] { return static_cast<int>(m_late.size()) >= kPasses; });
        }
        stopAsync().get();
        return summarise(m_late, static_cast<double>(m_lastCpu - m_firstCpu) /
                                     static_cast<double>(m_last - m_first));
    }

private:
    std::int64_t m_period;
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::int64_t m_requested = 0;
    std::int64_t m_first = 0, m_last = 0, m_firstCpu = 0, m_lastCpu = 0;
    std::vector<std::int64_t> m_late;
};

// One run of the worker with the environment that chooses its way of waiting.
Lateness paced(std::int64_t period, const char* variable, const char* value)
{
    if (variable) setenv(variable, value, 1);
    Lateness result;
    {
        PacedStream stream(period);
        result = stream.run();
    }
    if (variable) unsetenv(variable);
    return result;
}

std::vector<std::int64_t> bareSleepLateness(std::int64_t periodNs)
{
    std::vector<std::int64_t> late;
    std::thread t([&] {
        for (int i = 0; i < kPasses; ++i) {
            const std::int64_t deadline = StreamUtils::systemTimeNs() + periodNs;
            timespec ts{static_cast<time_t>(deadline / 1000000000),
                        static_cast<long>(deadline % 1000000000)};
            while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr) != 0) {
            }
            late.push_back(StreamUtils::systemTimeNs() - deadline);
        }
    });
    t.join();
    return late;
}

struct Row {
    std::string measure;
    double ours, floor;
    double cpuPercent;
};
std::vector<Row> g_rows;

void BM_WorkerLateness(benchmark::State& state)
{
    const std::int64_t period = state.range(0);
    Lateness floor, ours, spin200, spin1000, realtime;
    for (auto _ : state) {
        floor = summarise(bareSleepLateness(period));
        ours = paced(period, nullptr, nullptr);
        spin200 = paced(period, "VELANTOR_WORKER_SPIN_US", "200");
        spin1000 = paced(period, "VELANTOR_WORKER_SPIN_US", "1000");
        realtime = paced(period, "VELANTOR_WORKER_PRIORITY", "10");
    }
    state.counters["ours_p50_us"] = ours.p50us;
    state.counters["floor_p50_us"] = floor.p50us;
    state.counters["ratio_p50"] = ours.p50us / floor.p50us;
    state.counters["ours_p99_us"] = ours.p99us;
    state.counters["floor_p99_us"] = floor.p99us;
    state.counters["ratio_p99"] = ours.p99us / floor.p99us;
    state.counters["ours_cpu_pct"] = 100 * ours.cpuShare;
    state.counters["spin1000_cpu_pct"] = 100 * spin1000.cpuShare;
    state.counters["rt_p50_us"] = realtime.p50us;
    state.counters["rt_p99_us"] = realtime.p99us;
    const std::string p = period == 5000000 ? "5 ms" : "2.5 ms";
    auto add = [&](const std::string& what, const Lateness& l) {
        g_rows.push_back(
            {what + " median, " + p + " (us)", l.p50us, floor.p50us, 100 * l.cpuShare});
        g_rows.push_back({what + " p99, " + p + " (us)", l.p99us, floor.p99us, 100 * l.cpuShare});
    };
    add("lateness", ours);
    add("  spin 200 us", spin200);
    add("  spin 1000 us", spin1000);
    add("  real-time worker", realtime);
}
BENCHMARK(BM_WorkerLateness)
    ->Arg(5000000)
    ->Arg(2500000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n%-44s %12s %12s %8s %14s\n", "measure", "ours", "floor", "ratio",
                "worker CPU %");
    for (const auto& r : g_rows)
        std::printf("%-44s %12.1f %12.1f %8.3f %13.2f%%\n", r.measure.c_str(), r.ours, r.floor,
                    r.floor > 0 ? r.ours / r.floor : 0.0, r.cpuPercent);
    std::printf(
        "floor: bare clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME) to the same deadlines, same "
        "run\nworker CPU: the worker thread's processor time per second of pacing, in %% of one "
        "core\n");
    return 0;
}

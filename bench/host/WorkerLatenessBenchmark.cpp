// How late the stream worker calls doWork against the time the previous pass
// asked for, for the streams' two pass intervals. The floor is a bare
// clock_nanosleep to deadlines spaced the same way, measured in the same run:
// the ratio says how the worker's pacing compares with simply sleeping.
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
};

Lateness summarise(std::vector<std::int64_t> ns)
{
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) {
        return static_cast<double>(ns[static_cast<std::size_t>(q * (ns.size() - 1))]) / 1000.0;
    };
    return {at(0.5), at(0.99)};
}

// The worker's own pacing: each pass asks for the next one `period` after its
// start, as the tracking streams do.
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
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_requested != 0 && static_cast<int>(m_late.size()) < kPasses)
            m_late.push_back(now - m_requested);
        m_requested = now + m_period;
        if (static_cast<int>(m_late.size()) == kPasses) m_done.notify_all();
        return WorkResult(m_requested, true, true);
    }
    std::vector<std::int64_t> run()
    {
        openAsync().get();
        startAsync().get();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_done.wait(lock, [&] { return static_cast<int>(m_late.size()) >= kPasses; });
        }
        stopAsync().get();
        return m_late;
    }

private:
    std::int64_t m_period;
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::int64_t m_requested = 0;
    std::vector<std::int64_t> m_late;
};

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
};
std::vector<Row> g_rows;

void BM_WorkerLateness(benchmark::State& state)
{
    const std::int64_t period = state.range(0);
    Lateness floor, ours, realtime;
    for (auto _ : state) {
        floor = summarise(bareSleepLateness(period));
        {
            PacedStream stream(period);
            ours = summarise(stream.run());
        }
        // The opt-in real-time worker (only where the process may raise priority).
        setenv("VELANTOR_WORKER_PRIORITY", "10", 1);
        {
            PacedStream stream(period);
            realtime = summarise(stream.run());
        }
        unsetenv("VELANTOR_WORKER_PRIORITY");
    }
    state.counters["ours_p50_us"] = ours.p50us;
    state.counters["floor_p50_us"] = floor.p50us;
    state.counters["ratio_p50"] = ours.p50us / floor.p50us;
    state.counters["ours_p99_us"] = ours.p99us;
    state.counters["floor_p99_us"] = floor.p99us;
    state.counters["ratio_p99"] = ours.p99us / floor.p99us;
    state.counters["rt_p50_us"] = realtime.p50us;
    state.counters["rt_p99_us"] = realtime.p99us;
    const std::string p = period == 5000000 ? "5 ms" : "2.5 ms";
    g_rows.push_back({"lateness median, " + p + " passes (us)", ours.p50us, floor.p50us});
    g_rows.push_back({"lateness p99, " + p + " passes (us)", ours.p99us, floor.p99us});
    g_rows.push_back({"  real-time worker median, " + p + " (us)", realtime.p50us, floor.p50us});
    g_rows.push_back({"  real-time worker p99, " + p + " (us)", realtime.p99us, floor.p99us});
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
    std::printf("\n%-44s %12s %12s %8s\n", "measure", "ours", "floor", "ratio");
    for (const auto& r : g_rows)
        std::printf("%-44s %12.1f %12.1f %8.3f\n", r.measure.c_str(), r.ours, r.floor,
                    r.floor > 0 ? r.ours / r.floor : 0.0);
    std::printf(
        "floor: bare clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME) to the same deadlines, same "
        "run\n");
    return 0;
}

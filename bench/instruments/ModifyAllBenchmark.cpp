// The cost of one per-frame rewrite of a full registry (24 instruments, the
// most one tracking reply holds) through modifyAll with the special object,
// as the worker thread does it on every pass, against a floor: the same
// rewrite as a plain loop over an unlocked std::map of the same entries. The
// difference is what the lock, the callback indirection and the modification
// check cost. Both run in the same process, so the ratio is comparable across
// machines where the absolute times are not.
#include <ThreadSafeInstruments.h>

#include <Velantor/TrackingInstrument.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

using Velantor::TrackerID;
using Velantor::TrackingInstrument;

struct PortData {
    int portHandle = 0;
};

using Registry = Velantor::ThreadSafeInstruments<PortData>;

constexpr int kInstruments = 24;

std::string toolId(int i) { return "8700" + std::to_string(340 + i); }

// What the worker writes for one tool: a pose that moves every frame.
inline void writePose(TrackingInstrument& instrument, const PortData& port, std::uint64_t frame)
{
    const double v = static_cast<double>(frame + static_cast<std::uint64_t>(port.portHandle));
    instrument.matrix.setIdentity();
    instrument.matrix(0, 3) = v;
    instrument.matrix(1, 3) = -v;
    instrument.matrix(2, 3) = 0.5 * v;
    instrument.quality = 0.9;
    instrument.timestamp = frame;
    instrument.active = true;
}

void registryModifyAll(benchmark::State& state)
{
    Registry registry;
    for (int i = 0; i < kInstruments; ++i) {
        auto port = std::make_unique<PortData>();
        port->portHandle = i + 1;
        registry.create(TrackerID(toolId(i), "model", "tool"), std::move(port), true);
    }
    std::uint64_t frame = 0;
    for (auto _ : state) {
        ++frame;
        auto flags = registry.modifyAll(Registry::InstrumentSpecialFunction(
            [frame](const std::string&, TrackingInstrument& instrument, PortData& port) {
                writePose(instrument, port, frame);
            }));
        benchmark::DoNotOptimize(flags);
    }
}

void plainMapLoop(benchmark::State& state)
{
    std::map<std::string, std::pair<TrackingInstrument, std::unique_ptr<PortData>>> map;
    for (int i = 0; i < kInstruments; ++i) {
        auto port = std::make_unique<PortData>();
        port->portHandle = i + 1;
        map.emplace(toolId(i),
                    std::make_pair(TrackingInstrument(TrackerID(toolId(i), "model", "tool")),
                                   std::move(port)));
    }
    std::uint64_t frame = 0;
    for (auto _ : state) {
        ++frame;
        for (auto& [id, entry] : map) {
            if (entry.second) writePose(entry.first, *entry.second, frame);
        }
        benchmark::DoNotOptimize(map);
        benchmark::ClobberMemory();
    }
}

// Repeated, and compared by the median CPU time: the machine is shared, and
// wall time would mostly measure the neighbours.
BENCHMARK(registryModifyAll)->Unit(benchmark::kNanosecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(plainMapLoop)->Unit(benchmark::kNanosecond)->Repetitions(5)->ReportAggregatesOnly();

// Keeps the usual console output and remembers each benchmark's median CPU
// time per iteration.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                times[run.run_name.function_name] = run.GetAdjustedCPUTime();
            else if (run.run_type == Run::RT_Iteration && !times.count(run.run_name.function_name))
                times[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto ours = reporter.times.find("registryModifyAll");
    const auto floor = reporter.times.find("plainMapLoop");
    if (ours == reporter.times.end() || floor == reporter.times.end() || floor->second <= 0.0)
        return 0;  // a --benchmark_filter left one of them out
    std::printf("\n%-44s %12s %12s %8s\n", "measure (median CPU time)", "ours [ns]", "floor [ns]",
                "ratio");
    std::printf("%-44s %12.1f %12.1f %8.2f\n", "modifyAll over 24 instruments (per frame)",
                ours->second, floor->second, ours->second / floor->second);
    return 0;
}

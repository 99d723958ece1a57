// How well a tracking stream keeps up with a measurement system, measured
// end to end against the simulator. Prints one table; each figure has a
// floor measured or derived in the same run and the ratio to it.
//
//   TCP, 12 tools, binary BX: the camera-specific stream (5 ms passes) with
//   the device at 60, 250 and 400 Hz, and the marker stream (2.5 ms passes)
//   with 12 markers and the device at 250 and 400 Hz:
//     frames delivered   against min(device rate, pass rate) over the run
//                        (goal >= 99.5%), and duplicate frames (goal 0)
//     delay              device frame time -> emission of that frame, median
//                        and p99, against an ideal poller: half of the
//                        shorter of frame and pass interval plus the median
//                        exchange time
//     passes per second  against the rate the pass schedule aims at
//     lateness           pass start after its scheduled time, median and p99
//     CPU per pass       thread CPU time of one pass, against its wall time
//     worker CPU         the worker thread's CPU time from the first pass to
//                        the last (passes, waits and wake-ups), per second of
//                        tracking (goal <= 5% of one core at 200 passes/s)
//                        and per pass
//     allocations        operator new calls on the worker inside doWork, per
//                        pass and per emitted frame
//   Serial pty at 115200 baud with wire-time emulation, Aurora with 4 tools:
//     pass time          against the wire time of the command and reply bytes
//                        (goal <= 1.05)
//
//   The camera stream at 250 Hz once more with the opt-in spinning worker
//   (VELANTOR_WORKER_SPIN_US=1000): its CPU price against its lateness.
//
// Options: --seconds S (tracking time per case, default 5). The machine's
// load average is printed before and after: figures from a busy machine say
// more about the scheduler than about the stream. Run it three times at
// normal priority and take min/median/max of each figure; as root,
//   chrt -f 40 env VELANTOR_WORKER_PRIORITY=50 bench_streams
// shows the stream without the scheduler's wake-up latency.
#include "PartNumberImage.h"

#include <NDIPolarisTrackingStream.h>
#include <PolarisAuroraTrackingStream.h>

#include <Velantor/OpticalTrackingMarker.h>
#include <Velantor/Properties.h>
#include <Velantor/TrackingStreamData.h>

#include <ndisim/Crc16.h>
#include <ndisim/Device.h>
#include <ndisim/Simulator.h>

#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

using namespace Velantor;
using Steady = std::chrono::steady_clock;

// Every allocation made on a thread while it counts; the simulator serves on
// threads of its own, which never count.
namespace {
thread_local bool t_countAllocations = false;
thread_local std::uint64_t t_allocations = 0;
}  // namespace

void* operator new(std::size_t size)
{
    if (t_countAllocations) ++t_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(
        std::min<double>(v.size() - 1, std::floor(p * (v.size() - 1) + 0.5)));
    return v[i];
}

void row(const char* measure, const std::string& ours, const std::string& floor,
         const std::string& ratio)
{
    std::printf("  %-44s %16s %16s %10s\n", measure, ours.c_str(), floor.c_str(), ratio.c_str());
}
std::string num(double v, const char* format = "%.3f")
{
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

std::int64_t threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::int64_t systemNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One of the plugin's streams with each pass timed from outside; the
// figures are only touched by the worker thread until the stream has
// stopped.
template <class Base>
class TimedStream : public Base {
public:
    explicit TimedStream(const std::string& name) : Base(name)
    {
        latenessNs.reserve(1 << 16);
        wallNs.reserve(1 << 16);
        cpuNs.reserve(1 << 16);
        this->dataSignal.connect(
            this, [this](const std::shared_ptr<const StreamData>&) { ++framesEmitted; });
    }
    ~TimedStream() override { this->closeAsync().wait(); }

    Stream::WorkResult doWork() override
    {
        const std::int64_t start = systemNowNs();
        if (m_scheduled != 0) latenessNs.push_back(static_cast<double>(start - m_scheduled));
        const std::int64_t cpu0 = threadCpuNs();
        const auto t0 = Steady::now();
        if (workerCpuNs.first == 0) {
            workerCpuNs.first = cpu0;
            workerWall.first = t0;
        }
        workerCpuNs.second = cpu0;
        workerWall.second = t0;
        t_countAllocations = true;
        const std::uint64_t allocations0 = t_allocations;
        Stream::WorkResult result = Base::doWork();
        allocations += t_allocations - allocations0;
        t_countAllocations = false;
        wallNs.push_back(static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - t0).count()));
        cpuNs.push_back(static_cast<double>(threadCpuNs() - cpu0));
        m_scheduled = result.nextTime;
        return result;
    }

    // The worker thread's CPU per second of wall time between the first and
    // the last pass start, and per pass in that stretch.
    double workerCpuShare() const
    {
        const double wall =
            std::chrono::duration<double, std::nano>(workerWall.second - workerWall.first).count();
        return wall > 0 ? static_cast<double>(workerCpuNs.second - workerCpuNs.first) / wall : NAN;
    }
    double workerCpuPerPassUs() const
    {
        const std::size_t passes = wallNs.size();
        return passes > 1 ? static_cast<double>(workerCpuNs.second - workerCpuNs.first) / 1e3 /
                                static_cast<double>(passes - 1)
                          : NAN;
    }

    std::vector<double> latenessNs, wallNs, cpuNs;
    std::pair<std::int64_t, std::int64_t> workerCpuNs{0, 0};
    std::pair<Steady::time_point, Steady::time_point> workerWall;
    std::uint64_t allocations = 0;
    std::atomic<std::uint64_t> framesEmitted{0};

private:
    std::int64_t m_scheduled = 0;
};

template <class S>
void allocationRows(const S& stream)
{
    const double passes = static_cast<double>(std::max<std::size_t>(1, stream.wallNs.size()));
    const double frames = static_cast<double>(std::max<std::uint64_t>(1, stream.framesEmitted));
    row("allocations per pass / per emitted frame",
        num(static_cast<double>(stream.allocations) / passes, "%.1f") + " / " +
            num(static_cast<double>(stream.allocations) / frames, "%.1f"),
        "", "");
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

struct Emission {
    Steady::time_point at;
    Eigen::Vector3d mainPosition;
};

ndisim::Scenario twelveTools(double rate)
{
    ndisim::Scenario s = ndisim::defaultScenario(ndisim::Family::Vega);
    const ndisim::ToolDescription base =
        s.tools[1];  // a tool that moves briskly: frames are told apart by pose
    s.tools.clear();
    for (int i = 0; i < 12; ++i) {
        ndisim::ToolDescription t = base;
        t.name = "tool" + std::to_string(i);
        t.partNumber = "87005" + std::to_string(10 + i);
        t.trajectory.center[0] = -300 + 50 * i;
        t.missing.clear();
        t.disabled.clear();
        s.tools.push_back(t);
    }
    s.frameRate = rate;
    s.maxPortHandles = 24;
    return s;
}

// The moment a device frame begins, from one observed frame edge.
struct FrameClock {
    Steady::time_point edge;
    std::uint32_t edgeFrame = 0;
    double rate = 0;
    // An edge counts only when the calls around it were not interrupted, so a
    // preempted look cannot shift every delay by the time it lost.
    static FrameClock calibrate(const ndisim::Simulator& sim, double rate)
    {
        Steady::time_point before = Steady::now();
        std::uint32_t previous = sim.currentFrame();
        for (;;) {
            const Steady::time_point start = Steady::now();
            const std::uint32_t f = sim.currentFrame();
            const Steady::time_point end = Steady::now();
            if (f != previous) {
                if (end - before < std::chrono::microseconds(50))
                    return FrameClock{before + (end - before) / 2, f, rate};
                previous = f;
            }
            before = start;
        }
    }
    Steady::time_point startOf(std::uint32_t frame) const
    {
        const double seconds = (static_cast<double>(frame) - static_cast<double>(edgeFrame)) / rate;
        return edge +
               std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
    }
    std::uint32_t frameAt(Steady::time_point t) const
    {
        return edgeFrame + static_cast<std::uint32_t>(
                               std::floor(std::chrono::duration<double>(t - edge).count() * rate));
    }
};

// The stream kinds tracked over TCP: how each is given the 12 tools, and
// the id of the main one.
using CameraStream = TimedStream<PolarisAuroraTrackingStream<NDIPolarisNetwork>>;
using MarkerStream = TimedStream<NDIPolarisTrackingStream>;

std::string addTools(CameraStream& stream, const ndisim::Scenario& scenario,
                     const QTemporaryDir& dir)
{
    Properties p;
    Properties& targets = p.addSubProperties("TrackingTargets");
    for (const auto& tool : scenario.tools) {
        const std::string path =
            dir.filePath(QString::fromStdString(tool.partNumber + ".rom")).toStdString();
        benchsupport::writePartNumberImage(path, tool.partNumber);
        Properties& t = targets.addSubProperties(tool.name);
        t.setParam("Path", path);
        t.setParam("Port", 1);
    }
    const std::string mainId = "ndi-polaris-" + scenario.tools[0].partNumber;
    p.setParam("selectedInstrument", mainId);
    stream.configure(&p);
    return mainId;
}

std::string addTools(MarkerStream& stream, const ndisim::Scenario& scenario, const QTemporaryDir&)
{
    std::string mainId;
    for (const auto& tool : scenario.tools) {
        // Without a geometry the device takes the tool's own.
        auto marker = std::make_unique<OpticalTrackingMarker>(tool.name);
        marker->setPartNumber(tool.partNumber);
        const std::string id = stream.addTrackingMarker(std::move(marker));
        if (mainId.empty()) mainId = id;
    }
    stream.instrumentRegistry()->setMainById(mainId);
    return mainId;
}

template <class Stream>
void tcpCase(const char* kind, double passRateHz, double rate, double seconds,
             const char* spinUs = nullptr)
{
    // The worker reads its waiting mode when it starts.
    if (spinUs)
        setenv("VELANTOR_WORKER_SPIN_US", spinUs, 1);
    else
        unsetenv("VELANTOR_WORKER_SPIN_US");
    const ndisim::Scenario scenario = twelveTools(rate);
    auto sim = ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
    QTemporaryDir dir;
    Stream stream("bench");
    Properties p;
    p.setParam("hardwareDevice", std::string("127.0.0.1"));
    p.setParam("hardwarePort", sim->tcpPort());
    p.setParam("binaryQueryMode", true);
    stream.configure(&p);
    const std::string mainId = addTools(stream, scenario, dir);

    std::vector<Emission> emissions;
    emissions.reserve(static_cast<std::size_t>(seconds * 1000) + 1000);
    stream.dataSignal.connect(
        &emissions, [&emissions, &mainId](std::shared_ptr<const StreamData> data) {
            const auto at = Steady::now();
            const auto* frame = static_cast<const TrackingStreamData*>(data.get());
            for (const auto& i : frame->instruments)
                if (i.id.ID() == mainId) emissions.push_back({at, i.matrix.block<3, 1>(0, 3)});
        });
    if (!stream.openAsync().get()) {
        std::printf("  %s, %.0f Hz: the stream did not open\n", kind, rate);
        return;
    }
    int mainHandle = -1;
    for (int h : sim->portHandles())
        if (sim->scenarioToolOf(h) == 0) mainHandle = h;
    const FrameClock clock = FrameClock::calibrate(*sim, rate);
    stream.startAsync().get();
    const auto trackingStart = Steady::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stream.stopAsync().get();
    const double trackedSeconds =
        std::chrono::duration<double>(Steady::now() - trackingStart).count();
    stream.dataSignal.disconnect(&emissions);

    // Which device frame each emission carried: the one whose main-tool pose
    // it shows, searched around the frame current at emission.
    std::vector<double> delays;
    std::set<std::uint32_t> seen;
    std::size_t duplicates = 0, unmatched = 0;
    std::uint32_t first = 0, last = 0;
    for (const Emission& e : emissions) {
        const std::uint32_t now = clock.frameAt(e.at);
        double best = 1e9;
        std::uint32_t bestFrame = 0;
        for (std::uint32_t n = now > 8 ? now - 8 : 0; n <= now + 1; ++n) {
            const auto expected = sim->expectedFrame(mainHandle, n);
            if (!expected) continue;
            const Eigen::Vector3d t(expected->pose.t[0], expected->pose.t[1], expected->pose.t[2]);
            const double d = (t - e.mainPosition).norm();
            if (d < best) {
                best = d;
                bestFrame = n;
            }
        }
        if (best > 0.01) {
            ++unmatched;
            continue;
        }
        if (!seen.insert(bestFrame).second) ++duplicates;
        if (seen.size() == 1) first = bestFrame;
        last = std::max(last, bestFrame);
        delays.push_back(
            std::chrono::duration<double, std::milli>(e.at - clock.startOf(bestFrame)).count());
    }
    const double span = seen.empty() ? 0 : (last - first) / rate;
    const double expected =
        seen.empty() ? 0 : std::min<double>(last - first + 1, std::floor(span * passRateHz) + 1);
    const double exchangeMs = percentile(stream.wallNs, 0.5) / 1e6;
    const double idealMs = std::min(1000.0 / rate, 1000.0 / passRateHz) / 2 + exchangeMs;

    std::printf("TCP, %s, 12 tools, device %.0f Hz, %zu passes%s%s\n", kind, rate,
                stream.wallNs.size(), spinUs ? ", VELANTOR_WORKER_SPIN_US=" : "",
                spinUs ? spinUs : "");
    // Passes keep to a fixed grid: a rate under the aim means passes that
    // overran a whole period and skipped a grid point.
    const double passRate = static_cast<double>(stream.wallNs.size()) / trackedSeconds;
    row("passes per second", num(passRate, "%.2f"), num(passRateHz, "%.0f"),
        num(passRate / passRateHz, "%.4f"));
    row("frames delivered (distinct) / expected", std::to_string(seen.size()),
        num(expected, "%.0f"), num(100.0 * seen.size() / std::max(1.0, expected), "%.2f%%"));
    row("duplicate frames / frames not matched",
        std::to_string(duplicates) + " / " + std::to_string(unmatched), "0", "");
    row("delay frame time -> emission, median (ms)", num(percentile(delays, 0.5)), num(idealMs),
        num(percentile(delays, 0.5) / idealMs, "%.2f"));
    row("delay frame time -> emission, p99 (ms)", num(percentile(delays, 0.99)), num(idealMs),
        num(percentile(delays, 0.99) / idealMs, "%.2f"));
    row("pass lateness, median / p99 (us)",
        num(percentile(stream.latenessNs, 0.5) / 1e3, "%.1f") + " / " +
            num(percentile(stream.latenessNs, 0.99) / 1e3, "%.1f"),
        "0", "");
    row("CPU per pass, median (us) vs pass wall time",
        num(percentile(stream.cpuNs, 0.5) / 1e3, "%.1f"),
        num(percentile(stream.wallNs, 0.5) / 1e3, "%.1f"),
        num(percentile(stream.cpuNs, 0.5) / percentile(stream.wallNs, 0.5), "%.2f"));
    row("worker CPU, % of one core / us per pass",
        num(100.0 * stream.workerCpuShare(), "%.2f%%") + " / " +
            num(stream.workerCpuPerPassUs(), "%.1f"),
        "5.00%", num(100.0 * stream.workerCpuShare() / 5.0, "%.2f"));
    allocationRows(stream);
    unsetenv("VELANTOR_WORKER_SPIN_US");
}

// The exact size of the BX reply the device gives for its default Aurora
// tools, taken from the device itself.
std::size_t auroraReplyBytes(const ndisim::Scenario& scenario, const std::string& bx)
{
    ndisim::Device device(scenario);
    auto command = [&device](const std::string& text) {
        char crc[8];
        std::snprintf(crc, sizeof crc, "%04X", ndisim::crc16(text));
        return device.command(text + crc).bytes;
    };
    command("INIT:");
    const std::string phsr = command("PHSR:00");
    const int n = static_cast<int>(std::strtol(phsr.substr(0, 2).c_str(), nullptr, 16));
    for (int i = 0; i < n; ++i) {
        const std::string handle = phsr.substr(2 + 5 * static_cast<std::size_t>(i), 2);
        command("PINIT:" + handle);
        command("PENA:" + handle + "D");
    }
    command("TSTART:");
    return command(bx).size();
}

void serialCase(double seconds)
{
    ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Aurora);
    for (auto& tool : scenario.tools) tool.disabled.clear();  // every reply the same size
    scenario.wireTime = true;
    const std::string bx = "BX:0801";
    const std::size_t commandBytes = bx.size() + 4 + 1;  // CRC digits and carriage return
    const std::size_t replyBytes = auroraReplyBytes(scenario, bx);
    auto sim = ndisim::Simulator::serial(scenario);

    TimedStream<PolarisAuroraTrackingStream<NDIAurora>> stream("bench");
    Properties p;
    p.setParam("hardwareDevice", sim->serialDevice());
    p.setParam("binaryQueryMode", true);
    p.setParam("measurementRate", 5);  // 115200
    stream.configure(&p);
    if (!stream.openAsync().get()) {
        std::printf("  serial: the stream did not open\n");
        return;
    }
    stream.startAsync().get();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stream.stopAsync().get();
    const double wireMs = (commandBytes + replyBytes) * 10.0 / 115200.0 * 1000.0;
    const double median = percentile(stream.wallNs, 0.5) / 1e6;
    std::printf(
        "Serial pty, 115200 baud, wire time emulated, Aurora 4 tools, %zu passes (%zu + %zu "
        "bytes)\n",
        stream.wallNs.size(), commandBytes, replyBytes);
    row("pass time, median (ms) vs wire time", num(median), num(wireMs),
        num(median / wireMs, "%.3f"));
    row("pass time, p99 (ms) vs wire time", num(percentile(stream.wallNs, 0.99) / 1e6), num(wireMs),
        num(percentile(stream.wallNs, 0.99) / 1e6 / wireMs, "%.3f"));
    row("CPU per pass, median (us) vs pass wall time",
        num(percentile(stream.cpuNs, 0.5) / 1e3, "%.1f"), num(median * 1e3, "%.1f"),
        num(percentile(stream.cpuNs, 0.5) / 1e6 / median, "%.3f"));
    allocationRows(stream);
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::printf("usage: %s [--seconds S]\n", argv[0]);
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    // Only the figures: the streams' information messages would break the table.
    Log::g_globalLevel = Log::Warning;
    std::printf("load average before: %s\n", loadAverage().c_str());
    std::printf("  %-44s %16s %16s %10s\n", "measure", "ours", "floor", "ratio");
    for (double rate : {60.0, 250.0, 400.0})
        tcpCase<CameraStream>("camera stream", 200.0, rate, seconds);  // 5 ms passes
    for (double rate : {250.0, 400.0})
        tcpCase<MarkerStream>("marker stream", 400.0, rate, seconds);  // 2.5 ms passes
    serialCase(seconds);
    tcpCase<CameraStream>("camera stream", 200.0, 250.0, seconds, "1000");
    std::printf("load average after: %s\n", loadAverage().c_str());
    return 0;
}

// What the protocol library costs per tracking frame, each measure against a
// floor taken side by side in the same run:
//   - the CRC-16 of the 12-tool reply, against Boost.CRC's crc_16_type on the
//     same bytes;
//   - one BX:180F exchange through ndiCommand (format, send, receive, check,
//     capture) with the 12-tool reply of 1297 bytes and the 24-tool reply of
//     2545 bytes (4 markers a tool, 3 passive strays), against a raw send and
//     blocking receive of the same bytes over loopback TCP to the same kind of
//     responder; once with the caller and both responders pinned to one CPU,
//     once with them pinned to different CPUs;
//   - capture plus every accessor of the 24-tool reply (and of the largest
//     reply the buffer holds), against a memcpy of the same bytes.
//
// Each repetition yields one ratio; the summary at the end gives the
// minimum, median and maximum of each ratio over the repetitions (3 unless
// --benchmark_repetitions says otherwise) and its goal. Only the ratios are
// comparable across machines.
#include <ndi/protocol.h>

#include "ndi_capture_internal.h"
#include "reply_encoder.h"

#include <benchmark/benchmark.h>
#include <boost/crc.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace replies;
using Clock = std::chrono::steady_clock;

// ---- replies ----

// A BX:180F reply as a camera sends it: every tool with a pose, tool and
// marker information, no single stray and 4 markers, and 3 passive strays.
std::string trackingPayload(int tools)
{
    BxReply r;
    for (int i = 1; i <= tools; ++i) {
        BxEntry e;
        e.handle = static_cast<std::uint8_t>(i);
        e.pose = {1, 0, 0, 0, 10.0f * i, 20, 30, 0.1f};
        e.frame = 1000;
        e.information[0] = 0x31;
        e.information[1] = 0x11;
        e.information[2] = 0x11;
        for (int m = 0; m < 4; ++m) {
            e.markers.push_back({float(m), 2.0f * i, 3});
        }
        r.entries.push_back(e);
    }
    r.passiveStrays = {{4, 5, 6}, {7, 8, 9}, {10, 11, 12}};
    return encodeBx(0x180F, r);  // as the capture sees it: without the body CRC
}

// The longest BX:180F reply there is: 24 tools, each with a single stray and
// 20 markers, and 127 passive strays.
std::string largestPayload()
{
    BxReply r;
    for (int i = 1; i <= NDI_MAX_HANDLES; ++i) {
        BxEntry e;
        e.handle = static_cast<std::uint8_t>(i);
        e.pose = {1, 0, 0, 0, float(i), 2, 3, 0.1f};
        e.strayStatus = 1;
        e.markers.assign(NDI_MAX_BX_MARKERS, {1, 2, 3});
        r.entries.push_back(e);
    }
    r.passiveStrays.assign(127, {4, 5, 6});
    return encodeBx(0x180F, r);
}

// ---- CPU placement ----

// The CPUs this process may run on, in order.
std::vector<int> allowedCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) {
                cpus.push_back(cpu);
            }
        }
    }
    return cpus;
}

bool pinThisThread(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// Pins the calling thread for its lifetime and gives it its CPUs back after.
class PinnedCaller {
public:
    explicit PinnedCaller(int cpu)
    {
        CPU_ZERO(&m_before);
        m_saved = pthread_getaffinity_np(pthread_self(), sizeof m_before, &m_before) == 0;
        m_pinned = pinThisThread(cpu);
    }
    ~PinnedCaller()
    {
        if (m_saved) {
            pthread_setaffinity_np(pthread_self(), sizeof m_before, &m_before);
        }
    }
    bool pinned() const { return m_pinned; }

private:
    cpu_set_t m_before;
    bool m_saved = false;
    bool m_pinned = false;
};

// ---- the device side ----

// One connection's measurement system, reduced to what costs time on its
// side: a thread pinned to a CPU that waits in a blocking receive and
// answers every command (up to its carriage return) with the same reply.
// The library and the floor each talk to one of these, so the device's
// share of each exchange is the same on both sides.
class Responder {
public:
    Responder(std::string reply, int cpu) : m_reply(std::move(reply))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
            ::listen(m_listener, 1) ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &length)) {
            return;
        }
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this, cpu] { serve(cpu); });
    }
    ~Responder()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_peer >= 0) {
            ::shutdown(m_peer, SHUT_RDWR);
        }
        if (m_thread.joinable()) {
            m_thread.join();
        }
        for (int fd : {m_peer, m_listener}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    int port() const { return m_port; }
    bool pinned() const { return m_pinned; }

private:
    void serve(int cpu)
    {
        m_pinned = pinThisThread(cpu);
        const int peer = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) {
            return;
        }
        const int on = 1;
        ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_peer = peer;
        char buffer[256];
        for (;;) {
            const ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == '\r' &&
                    ::send(peer, m_reply.data(), m_reply.size(), MSG_NOSIGNAL) !=
                        static_cast<ssize_t>(m_reply.size())) {
                    return;
                }
            }
        }
    }

    const std::string m_reply;
    int m_listener = -1;
    int m_peer = -1;
    int m_port = 0;
    std::atomic<bool> m_pinned{false};
    std::thread m_thread;
};

// ---- CRC-16 ----

void crcPair(benchmark::State& state)
{
    const std::string payload = trackingPayload(12);
    const std::string bytes = payload.substr(6);  // what a reply's body CRC covers
    constexpr int kBatch = 64;
    double oursNs = 0, boostNs = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            unsigned int crc = ndiCRC16(0, bytes.data(), static_cast<int>(bytes.size()));
            benchmark::DoNotOptimize(crc);
        }
        auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            boost::crc_16_type crc;
            crc.process_bytes(bytes.data(), bytes.size());
            unsigned int value = crc.checksum();
            benchmark::DoNotOptimize(value);
        }
        auto t2 = Clock::now();
        oursNs += std::chrono::duration<double, std::nano>(t1 - t0).count() / kBatch;
        boostNs += std::chrono::duration<double, std::nano>(t2 - t1).count() / kBatch;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_ns"] = oursNs / n;
    state.counters["floor_ns"] = boostNs / n;
    state.counters["ratio"] = boostNs > 0 ? oursNs / boostNs : 0.0;
    state.counters["bytes"] = static_cast<double>(bytes.size());
}

// ---- one BX exchange ----

const std::string kCommand = "BX:180F" + hex(crc16("BX:180F"), 4) + "\r";

// The library's exchange and the floor's, each on its own connection to its
// own responder; every iteration runs both, alternating which goes first, so
// that on a shared machine both meet the same neighbours and the ratio shows
// what the library adds rather than what the scheduler did meanwhile.
// Arguments: tools (12 or 24), placement (0: one CPU for all, 1: the caller
// on one CPU and the responders on another).
void exchangeBX(benchmark::State& state)
{
    const int tools = static_cast<int>(state.range(0));
    const bool apart = state.range(1) != 0;
    const std::vector<int> cpus = allowedCpus();
    if (cpus.empty() || (apart && cpus.size() < 2)) {
        state.SkipWithError("not enough CPUs for this placement");
        return;
    }
    const int callerCpu = cpus[0];
    const int deviceCpu = apart ? cpus[1] : cpus[0];
    const std::string reply = frameBx(trackingPayload(tools));

    PinnedCaller caller(callerCpu);
    Responder oursDevice(reply, deviceCpu);
    Responder rawDevice(reply, deviceCpu);
    NdiConnection* h = ndiOpenNetwork("127.0.0.1", oursDevice.port());
    int raw = -1;
    if (h == nullptr || !ndiSocketOpen("127.0.0.1", rawDevice.port(), &raw)) {
        state.SkipWithError("cannot connect to the responders");
        if (h != nullptr) {
            ndiCloseNetwork(h);
        }
        return;
    }
    ndiTimeoutSocket(h, 5000);
    std::vector<char> buffer(NDI_BUFFER_SIZE);

    auto ours = [&]() -> double {
        const auto start = Clock::now();
        ndiCommand(h, "BX:%04X", 0x180F);
        const auto end = Clock::now();
        return ndiGetError(h) == 0 && ndiGetBXMarkerCount(h) == tools
                   ? std::chrono::duration<double>(end - start).count()
                   : -1.0;
    };
    auto floor = [&]() -> double {
        const auto start = Clock::now();
        if (::send(raw, kCommand.data(), kCommand.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(kCommand.size())) {
            return -1.0;
        }
        size_t got = 0;
        while (got < reply.size()) {
            const ssize_t n = ::recv(raw, buffer.data() + got, buffer.size() - got, 0);
            if (n <= 0) {
                return -1.0;
            }
            got += static_cast<size_t>(n);
        }
        const auto end = Clock::now();
        benchmark::DoNotOptimize(buffer.data());
        return got == reply.size() ? std::chrono::duration<double>(end - start).count() : -1.0;
    };

    // The first exchange of a connection discards what waits on its line;
    // later ones run as a tracking loop's do.
    ours();
    floor();
    if (!caller.pinned() || !oursDevice.pinned() || !rawDevice.pinned()) {
        state.SkipWithError("cannot pin the threads to their CPUs");
    }
    double oursTotal = 0, rawTotal = 0;
    bool oursFirst = true;
    for (auto _ : state) {
        double a, b;
        if (oursFirst) {
            a = ours();
            b = floor();
        } else {
            b = floor();
            a = ours();
        }
        oursFirst = !oursFirst;
        if (a < 0 || b < 0) {
            state.SkipWithError("exchange failed");
            break;
        }
        oursTotal += a;
        rawTotal += b;
        state.SetIterationTime(a);
    }
    const double n =
        static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["ours_ns"] = oursTotal * 1e9 / n;
    state.counters["floor_ns"] = rawTotal * 1e9 / n;
    state.counters["ratio"] = rawTotal > 0 ? oursTotal / rawTotal : 0.0;
    state.counters["bytes"] = static_cast<double>(reply.size());
    ndiCloseNetwork(h);
    ndiSocketClose(raw);
}

// ---- capture and accessors ----

void readAll(NdiConnection* h)
{
    float f8[8], f3[3];
    char c;
    for (int i = 0; i < ndiGetBXMarkerCount(h); ++i) {
        const int handle = h->Capture.BxHandles[i];
        benchmark::DoNotOptimize(ndiGetBXTransform(h, handle, f8));
        benchmark::DoNotOptimize(ndiGetBXPortStatus(h, handle));
        benchmark::DoNotOptimize(ndiGetBXFrame(h, handle));
        benchmark::DoNotOptimize(ndiGetBXToolInfo(h, handle, &c));
        for (int m = 0; m < NDI_MAX_BX_MARKERS; ++m) {
            benchmark::DoNotOptimize(ndiGetBXMarkerInfo(h, handle, m, &c));
        }
        benchmark::DoNotOptimize(ndiGetBXSingleStray(h, handle, f3));
        for (int m = 0; m < ndiGetBXMarkerStrayCount(h, handle); ++m) {
            benchmark::DoNotOptimize(ndiGetBXMarkerStray(h, handle, m, f3));
        }
    }
    for (int i = 0; i < ndiGetBXNumberOfPassiveStrays(h); ++i) {
        benchmark::DoNotOptimize(ndiGetBXPassiveStray(h, i, f3));
    }
    benchmark::DoNotOptimize(ndiGetBXReplyLength(h));
    benchmark::DoNotOptimize(ndiGetBXSystemStatus(h));
    benchmark::ClobberMemory();
}

// Capture and accessors against a memcpy of the same bytes, batch by batch
// in every iteration. Argument: 0 the 24-tool tracking reply, 1 the largest
// reply.
void capturePair(benchmark::State& state)
{
    const std::string payload = state.range(0) == 0 ? trackingPayload(24) : largestPayload();
    auto* h = static_cast<NdiConnection*>(std::calloc(1, sizeof(NdiConnection)));
    std::vector<char> target(NDI_BUFFER_SIZE);
    constexpr int kCaptures = 32, kCopies = 1024;
    double oursNs = 0, copyNs = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kCaptures; ++i) {
            ndiCaptureReply(h, "BX:180F", 7, payload.data(), static_cast<int>(payload.size()));
            readAll(h);
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kCopies; ++i) {
            std::memcpy(target.data(), payload.data(), payload.size());
            benchmark::DoNotOptimize(target.data());
            benchmark::ClobberMemory();
        }
        const auto t2 = Clock::now();
        oursNs += std::chrono::duration<double, std::nano>(t1 - t0).count() / kCaptures;
        copyNs += std::chrono::duration<double, std::nano>(t2 - t1).count() / kCopies;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_ns"] = oursNs / n;
    state.counters["floor_ns"] = copyNs / n;
    state.counters["ratio"] = copyNs > 0 ? oursNs / copyNs : 0.0;
    state.counters["tools"] = ndiGetBXMarkerCount(h);
    state.counters["bytes"] = static_cast<double>(payload.size() + 2);
    std::free(h);
}

BENCHMARK(crcPair);
BENCHMARK(exchangeBX)
    ->ArgNames({"tools", "apart"})
    ->Args({12, 0})
    ->Args({12, 1})
    ->Args({24, 0})
    ->Args({24, 1})
    ->UseManualTime()
    ->MinTime(1.0);
BENCHMARK(capturePair)->ArgName("largest")->Arg(0)->Arg(1);

// Keeps the ratio of every repetition, for the summary.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    struct Measure {
        std::vector<double> ratios, ours, floor;
        double bytes = 0;
    };

    CollectingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration ||
                !run.counters.count("ratio")) {
                continue;
            }
            Measure& m = measures[run.run_name.function_name + "/" + run.run_name.args];
            m.ratios.push_back(run.counters.at("ratio").value);
            m.ours.push_back(run.counters.at("ours_ns").value);
            m.floor.push_back(run.counters.at("floor_ns").value);
            m.bytes = run.counters.at("bytes").value;
        }
    }
    std::map<std::string, Measure> measures;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    // Three repetitions unless asked otherwise: each gives one ratio.
    std::vector<char*> args(argv, argv + argc);
    static char defaultRepetitions[] = "--benchmark_repetitions=3";
    if (std::none_of(args.begin(), args.end(), [](const char* a) {
            return std::strncmp(a, "--benchmark_repetitions", 23) == 0;
        })) {
        args.push_back(defaultRepetitions);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    struct Row {
        const char* name;
        const char* measure;
        const char* goal;
    } rows[] = {
        {"crcPair/", "CRC-16 of the 12-tool body vs Boost.CRC", "-"},
        {"exchangeBX/tools:12/apart:0", "BX exchange, 12 tools, one CPU vs raw", "<= 1.10"},
        {"exchangeBX/tools:12/apart:1", "BX exchange, 12 tools, CPUs apart vs raw", "<= 1.05"},
        {"exchangeBX/tools:24/apart:0", "BX exchange, 24 tools, one CPU vs raw", "<= 1.10"},
        {"exchangeBX/tools:24/apart:1", "BX exchange, 24 tools, CPUs apart vs raw", "<= 1.05"},
        {"capturePair/largest:0", "capture + accessors, 24 tools vs memcpy", "<= 50"},
        {"capturePair/largest:1", "capture + accessors, largest vs memcpy", "-"},
    };
    std::printf("\n%-42s %6s %11s %11s %22s %8s\n", "measure (per repetition)", "bytes",
                "ours [ns]", "floor [ns]", "ratio min/median/max", "goal");
    for (const Row& row : rows) {
        const auto found = reporter.measures.find(row.name);
        if (found == reporter.measures.end() || found->second.ratios.empty()) {
            continue;  // left out by a filter, or failed
        }
        const auto& m = found->second;
        const auto range = std::minmax_element(m.ratios.begin(), m.ratios.end());
        std::printf("%-42s %6.0f %11.1f %11.1f %6.2f / %5.2f / %5.2f %8s\n", row.measure, m.bytes,
                    median(m.ours), median(m.floor), *range.first, median(m.ratios), *range.second,
                    row.goal);
    }
    return 0;
}

// What the protocol library costs per tracking frame, each measure against a
// floor run in the same process:
//   - the CRC-16 of a full reply buffer, against Boost.CRC's crc_16_type on
//     the same bytes;
//   - one BX exchange through ndiCommand (format, send, receive, check,
//     capture) with a scripted device on loopback TCP, against a raw send
//     and receive of the same bytes over the same kind of socket to the same
//     kind of device;
//   - capture plus every accessor of the largest BX:180F reply that fits the
//     reply buffer, against a memcpy of the same bytes.
// Only the ratios are comparable across machines.
#include <ndi/protocol.h>

#include "ndi_capture_internal.h"
#include "reply_encoder.h"
#include "scripted_device.h"

#include <benchmark/benchmark.h>
#include <boost/crc.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace replies;

// ---- CRC-16 ----

std::string crcInput()
{
    std::string bytes(NDI_BUFFER_SIZE - 1, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    }
    return bytes;
}

void crcOurs(benchmark::State& state)
{
    const std::string bytes = crcInput();
    for (auto _ : state) {
        unsigned int crc = ndiCRC16(0, bytes.data(), static_cast<int>(bytes.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void crcBoost(benchmark::State& state)
{
    const std::string bytes = crcInput();
    for (auto _ : state) {
        boost::crc_16_type crc;
        crc.process_bytes(bytes.data(), bytes.size());
        unsigned int value = crc.checksum();
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// ---- one BX exchange ----

// A typical electromagnetic frame: four tools with poses, BX:0801.
std::string trackingReply()
{
    BxReply r;
    for (int i = 1; i <= 4; ++i) {
        BxEntry e;
        e.handle = static_cast<std::uint8_t>(i);
        e.pose = {1, 0, 0, 0, 10.0f * i, 20, 30, 0.1f};
        e.frame = 1000;
        r.entries.push_back(e);
    }
    return frameBx(encodeBx(0x0801, r));
}

const std::string kCommand = "BX:0801" + hex(crc16("BX:0801"), 4) + "\r";

// Both exchanges run side by side in every iteration, each on its own
// connection to its own device, and each benchmark times one of them: on
// a shared machine the two then meet the same neighbours, and the ratio
// shows what the library adds rather than what the scheduler did meanwhile.
class ExchangePair {
    using Line = nditest::ScriptedDevice::Line;
    using Use = nditest::ScriptedDevice::Use;

public:
    ExchangePair()
        : m_reply(trackingReply()),
          m_oursDevice(
              Line::Tcp, [this](const std::string&) { return m_reply; }, Use::Benchmark),
          m_rawDevice(
              Line::Tcp, [this](const std::string&) { return m_reply; }, Use::Benchmark),
          m_buffer(NDI_BUFFER_SIZE)
    {
        m_h = ndiOpenNetwork("127.0.0.1", m_oursDevice.port());
        if (m_h) {
            ndiTimeoutSocket(m_h, 5000);
        }
        if (!ndiSocketOpen("127.0.0.1", m_rawDevice.port(), &m_raw)) {
            m_raw = -1;
        }
    }
    ~ExchangePair()
    {
        if (m_h) {
            ndiCloseNetwork(m_h);
        }
        if (m_raw >= 0) {
            ndiSocketClose(m_raw);
        }
    }
    bool ready() const { return m_h && m_raw >= 0; }

    // Seconds taken, or a negative value on failure.
    double ours()
    {
        const auto start = std::chrono::steady_clock::now();
        ndiCommand(m_h, "BX:%04X", 0x0801);
        const auto end = std::chrono::steady_clock::now();
        return ndiGetError(m_h) == 0 ? std::chrono::duration<double>(end - start).count() : -1.0;
    }

    double raw()
    {
        const auto start = std::chrono::steady_clock::now();
        if (::send(m_raw, kCommand.data(), kCommand.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(kCommand.size())) {
            return -1.0;
        }
        size_t got = 0;
        while (got < m_reply.size()) {
            ssize_t n = ::recv(m_raw, m_buffer.data() + got, m_buffer.size() - got, 0);
            if (n <= 0) {
                return -1.0;
            }
            got += static_cast<size_t>(n);
        }
        const auto end = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(m_buffer.data());
        return got == m_reply.size() ? std::chrono::duration<double>(end - start).count() : -1.0;
    }

private:
    const std::string m_reply;
    nditest::ScriptedDevice m_oursDevice;
    nditest::ScriptedDevice m_rawDevice;
    std::vector<char> m_buffer;
    NdiConnection* m_h = nullptr;
    int m_raw = -1;
};

// One benchmark times both: the iteration time is the library's exchange,
// the counters hold both totals per iteration and their ratio, so that each
// repetition yields a ratio of two measurements taken side by side.
void exchangeBX(benchmark::State& state)
{
    ExchangePair pair;
    if (!pair.ready()) {
        state.SkipWithError("cannot connect to the scripted devices");
        return;
    }
    double oursTotal = 0, rawTotal = 0;
    bool oursFirst = true;
    for (auto _ : state) {
        // Alternate which goes first, so that neither always finds the
        // other's wake-ups still settling.
        double ours, raw;
        if (oursFirst) {
            ours = pair.ours();
            raw = pair.raw();
        } else {
            raw = pair.raw();
            ours = pair.ours();
        }
        oursFirst = !oursFirst;
        if (ours < 0 || raw < 0) {
            state.SkipWithError("exchange failed");
            break;
        }
        oursTotal += ours;
        rawTotal += raw;
        state.SetIterationTime(ours);
    }
    state.counters["ours_ns"] =
        benchmark::Counter(oursTotal * 1e9, benchmark::Counter::kAvgIterations);
    state.counters["raw_ns"] =
        benchmark::Counter(rawTotal * 1e9, benchmark::Counter::kAvgIterations);
    state.counters["ratio"] = rawTotal > 0 ? oursTotal / rawTotal : 0.0;
}

// ---- capture and accessors ----

// The most tools, single strays, markers and passive strays that a BX:180F
// reply can carry within the 2047 bytes of one read.
std::string largestReply()
{
    BxReply r;
    for (int i = 1; i <= NDI_MAX_HANDLES; ++i) {
        BxEntry e;
        e.handle = static_cast<std::uint8_t>(i);
        e.pose = {1, 0, 0, 0, float(i), 2, 3, 0.1f};
        e.strayStatus = 1;
        r.entries.push_back(e);
    }
    auto fits = [](const BxReply& candidate) {
        return frameBx(encodeBx(0x180F, candidate)).size() <= NDI_BUFFER_SIZE - 1;
    };
    // Markers and passive strays in turn, until neither fits any more.
    for (int tool = 0;; tool = (tool + 1) % NDI_MAX_HANDLES) {
        BxReply withStray = r;
        withStray.passiveStrays.push_back({4, 5, 6});
        const bool strayFits = fits(withStray);
        if (strayFits) {
            r = withStray;
        }
        BxReply withMarker = r;
        withMarker.entries[tool].markers.push_back({1, 2, 3});
        const bool markerFits = fits(withMarker);
        if (markerFits) {
            r = withMarker;
        }
        if (!strayFits && !markerFits) {
            break;
        }
    }
    return encodeBx(0x180F, r);  // as the capture sees it: without the body CRC
}

void readAll(NdiConnection* h)
{
    float f8[8], f3[3];
    char c;
    for (int i = 0; i < ndiGetBXMarkerCount(h); ++i) {
        int handle = h->Capture.BxHandles[i];
        benchmark::DoNotOptimize(ndiGetBXTransform(h, handle, f8));
        benchmark::DoNotOptimize(ndiGetBXPortStatus(h, handle));
        benchmark::DoNotOptimize(ndiGetBXFrame(h, handle));
        benchmark::DoNotOptimize(ndiGetBXToolInfo(h, handle, &c));
        for (int m = 0; m < 20; ++m) {
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

void captureOurs(benchmark::State& state)
{
    const std::string reply = largestReply();
    auto* h = static_cast<NdiConnection*>(std::calloc(1, sizeof(NdiConnection)));
    for (auto _ : state) {
        ndiCaptureReply(h, "BX:180F", 7, reply.data(), static_cast<int>(reply.size()));
        readAll(h);
    }
    state.counters["tools"] = ndiGetBXMarkerCount(h);
    state.counters["strays"] = ndiGetBXNumberOfPassiveStrays(h);
    state.counters["bytes"] = static_cast<double>(reply.size() + 2);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
    std::free(h);
}

void captureMemcpy(benchmark::State& state)
{
    const std::string reply = largestReply();
    std::vector<char> target(NDI_BUFFER_SIZE);
    for (auto _ : state) {
        std::memcpy(target.data(), reply.data(), reply.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}

// The machine is shared: each measure is repeated and compared by its
// median. CPU time for the in-process work; wall time for the exchanges,
// which mostly wait on the device's thread.
BENCHMARK(crcOurs)->Repetitions(7)->ReportAggregatesOnly();
BENCHMARK(crcBoost)->Repetitions(7)->ReportAggregatesOnly();
BENCHMARK(exchangeBX)->UseManualTime()->Repetitions(9)->ReportAggregatesOnly();
BENCHMARK(captureOurs)->Repetitions(7)->ReportAggregatesOnly();
BENCHMARK(captureMemcpy)->Repetitions(7)->ReportAggregatesOnly();

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const std::string name = run.run_name.function_name;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!median && !(run.run_type == Run::RT_Iteration && !times.count(name))) {
                continue;
            }
            if (run.counters.count("ratio")) {
                times[name + ".ours"] = run.counters.at("ours_ns").value;
                times[name + ".floor"] = run.counters.at("raw_ns").value;
                ratios[name] = run.counters.at("ratio").value;
            }
            times[name] = run.GetAdjustedCPUTime();
        }
    }
    std::map<std::string, double> ratios;
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    struct Row {
        const char* measure;
        std::string ours;
        std::string floor;
        std::string ratio;  // a measured ratio, when the pair ran side by side
    } rows[] = {
        {"CRC-16 of 2047 bytes (CPU) vs Boost.CRC", "crcOurs", "crcBoost", ""},
        {"BX:0801 exchange, loopback TCP (wall) vs raw", "exchangeBX.ours", "exchangeBX.floor",
         "exchangeBX"},
        {"BX:180F capture + accessors (CPU) vs memcpy", "captureOurs", "captureMemcpy", ""},
    };
    std::printf("\n%-46s %12s %12s %8s\n", "measure (median)", "ours [ns]", "floor [ns]", "ratio");
    for (const Row& row : rows) {
        const auto ours = reporter.times.find(row.ours);
        const auto floor = reporter.times.find(row.floor);
        if (ours == reporter.times.end() || floor == reporter.times.end() || floor->second <= 0.0) {
            continue;  // left out by a filter, or failed
        }
        const auto measured = reporter.ratios.find(row.ratio);
        const double ratio =
            measured != reporter.ratios.end() ? measured->second : ours->second / floor->second;
        std::printf("%-46s %12.1f %12.1f %8.2f\n", row.measure, ours->second, floor->second, ratio);
    }
    return 0;
}

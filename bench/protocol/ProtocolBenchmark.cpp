// What the protocol library costs per tracking frame, each measure against a
// floor run in the same process:
//   - the CRC-16 of a full reply buffer, against Boost.CRC's crc_16_type on
//     the same bytes;
//   - one BX exchange through ndiCommand (format, send, receive, check,
//     capture) with a loopback TCP responder, against a raw send and receive
//     of the same bytes over the same kind of socket to the same responder;
//   - capture plus every accessor of the largest BX:180F reply that fits the
//     reply buffer, against a memcpy of the same bytes.
// Only the ratios are comparable across machines.
#include <ndicapi.h>

#include "loopback_responder.h"
#include "ndi_capture_internal.h"
#include "reply_encoder.h"

#include <benchmark/benchmark.h>
#include <boost/crc.hpp>

#include <sys/socket.h>
#include <unistd.h>

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

void exchangeOurs(benchmark::State& state)
{
    const std::string reply = trackingReply();
    LoopbackResponder device([&reply](const std::string&) { return reply; });
    NdiConnection* h = ndiOpenNetwork("127.0.0.1", device.port());
    if (!h) {
        state.SkipWithError("cannot connect to the loopback responder");
        return;
    }
    ndiTimeoutSocket(h, 5000);
    for (auto _ : state) {
        ndiCommand(h, "BX:%04X", 0x0801);
        if (ndiGetError(h) != 0) {
            state.SkipWithError(ndiErrorString(ndiGetError(h)));
            break;
        }
    }
    ndiCloseNetwork(h);
}

void exchangeRaw(benchmark::State& state)
{
    const std::string reply = trackingReply();
    LoopbackResponder device([&reply](const std::string&) { return reply; });
    int s = -1;
    if (!ndiSocketOpen("127.0.0.1", device.port(), &s)) {
        state.SkipWithError("cannot connect to the loopback responder");
        return;
    }
    std::vector<char> buffer(NDI_BUFFER_SIZE);
    for (auto _ : state) {
        if (::send(s, kCommand.data(), kCommand.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(kCommand.size())) {
            state.SkipWithError("send failed");
            break;
        }
        size_t got = 0;
        while (got < reply.size()) {
            ssize_t n = ::recv(s, buffer.data() + got, buffer.size() - got, 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (got != reply.size()) {
            state.SkipWithError("short reply");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    ndiSocketClose(s);
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
    return encodeBx(0x180F, r); // as the capture sees it: without the body CRC
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
// which mostly wait on the other thread.
BENCHMARK(crcOurs)->Repetitions(7)->ReportAggregatesOnly();
BENCHMARK(crcBoost)->Repetitions(7)->ReportAggregatesOnly();
BENCHMARK(exchangeOurs)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly();
BENCHMARK(exchangeRaw)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly();
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
            const double time = run.run_name.function_name.rfind("exchange", 0) == 0 ? run.GetAdjustedRealTime()
                                                                                     : run.GetAdjustedCPUTime();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times[name] = time;
            } else if (run.run_type == Run::RT_Iteration && !times.count(name)) {
                times[name] = time;
            }
        }
    }
    std::map<std::string, double> times;
};

} // namespace

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
        const char* ours;
        const char* floor;
    } rows[] = {
        {"CRC-16 of 2047 bytes (CPU) vs Boost.CRC", "crcOurs", "crcBoost"},
        {"BX:0801 exchange, loopback TCP (wall) vs raw", "exchangeOurs", "exchangeRaw"},
        {"BX:180F capture + accessors (CPU) vs memcpy", "captureOurs", "captureMemcpy"},
    };
    std::printf("\n%-46s %12s %12s %8s\n", "measure (median)", "ours [ns]", "floor [ns]", "ratio");
    for (const Row& row : rows) {
        const auto ours = reporter.times.find(row.ours);
        const auto floor = reporter.times.find(row.floor);
        if (ours == reporter.times.end() || floor == reporter.times.end() || floor->second <= 0.0) {
            continue; // left out by a filter, or failed
        }
        std::printf("%-46s %12.1f %12.1f %8.2f\n", row.measure, ours->second, floor->second,
                    ours->second / floor->second);
    }
    return 0;
}

// 12 tools at 400 Hz, as a fast optical system delivers them, handed to the
// OpenIGTLink server with one and with four clients reading on loopback.
// Measured per run: the extra processor time per frame (the serving thread's
// plus what publishing adds on the tracking thread) and the time from a
// frame's emission to its receipt by a client. The floor is the same frames
// handed to a thread of their own through a queue, as ndi-track's output
// gets them. Three runs each; min / median / max of the runs' medians.
#include "IgtlServer.h"

#include <Velantor/Log.h>

#include <igtlClientSocket.h>
#include <igtlMessageHeader.h>
#include <igtlTransformMessage.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTools = 12;
constexpr double kRateHz = 400;
constexpr int kFrames = 1200;  // 3 s per run
constexpr int kRuns = 3;

double threadCpu()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::uint64_t nowMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// A frame as the stream makes it: copies of every instrument; the first
// tool's x carries the frame's index so that a client can tell which it got.
std::shared_ptr<const Velantor::TrackingStreamData> makeFrame(int index)
{
    auto frame = std::make_shared<Velantor::TrackingStreamData>();
    frame->timestamp = nowMs();
    for (int k = 0; k < kTools; ++k) {
        Velantor::TrackingInstrument i(
            Velantor::TrackerID("tool-" + std::to_string(k), "", "Tool " + std::to_string(k)));
        i.matrix(0, 3) = k == 0 ? index : 10.0 * k;
        i.matrix(1, 3) = 20;
        i.matrix(2, 3) = -1500;
        i.quality = 0.9;
        i.timestamp = frame->timestamp;
        frame->instruments.push_back(i);
    }
    return frame;
}

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct RunResult {
    double cpuUsPerFrame = 0;  // extra processor time per frame
    double latencyUs = 0;      // median emission to receipt
    double latencyP99Us = 0;
    double received = 0;  // share of the frames each client got
};

// Emits the frames at the rate; `hand` is what the tracking thread does with
// each; returns the emission times and that thread's CPU spent in `hand`.
template <typename Hand>
double emit(std::vector<Clock::time_point>& emitted, Hand&& hand)
{
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / kRateHz));
    auto next = Clock::now();
    double cpu = 0;
    for (int n = 0; n < kFrames; ++n) {
        std::this_thread::sleep_until(next);
        next += period;
        auto frame = makeFrame(n);
        const double before = threadCpu();
        emitted[static_cast<std::size_t>(n)] = Clock::now();
        hand(std::move(frame));
        cpu += threadCpu() - before;
    }
    return cpu;
}

RunResult floorRun()
{
    std::vector<Clock::time_point> emitted(kFrames);
    std::vector<Clock::time_point> taken(kFrames);
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<const Velantor::TrackingStreamData>> queue;
    bool done = false;
    std::thread output([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !queue.empty() || done; });
            if (queue.empty()) return;
            auto frame = std::move(queue.front());
            queue.pop_front();
            taken[static_cast<std::size_t>(frame->instruments[0].matrix(0, 3))] = Clock::now();
        }
    });
    const double cpu = emit(emitted, [&](auto frame) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(std::move(frame));
        }
        changed.notify_one();
    });
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_one();
    output.join();
    std::vector<double> latency;
    for (int n = 0; n < kFrames; ++n)
        latency.push_back(std::chrono::duration<double, std::micro>(taken[n] - emitted[n]).count());
    RunResult r;
    r.cpuUsPerFrame = cpu / kFrames * 1e6;
    r.latencyUs = median(latency);
    std::sort(latency.begin(), latency.end());
    r.latencyP99Us = latency[latency.size() * 99 / 100];
    r.received = 1;
    return r;
}

RunResult serverRun(int clients)
{
    ndi_track::IgtlServerOptions options;
    options.port = 0;
    ndi_track::IgtlServer server(options);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    std::vector<Clock::time_point> emitted(kFrames);
    std::vector<std::vector<Clock::time_point>> received(static_cast<std::size_t>(clients),
                                                         std::vector<Clock::time_point>(kFrames));
    std::atomic<int> connected{0};
    std::vector<std::thread> readers;
    for (int c = 0; c < clients; ++c)
        readers.emplace_back([&, c] {
            igtl::ClientSocket::Pointer socket = igtl::ClientSocket::New();
            if (socket->ConnectToServer("127.0.0.1", server.port()) != 0) return;
            socket->SetReceiveTimeout(5000);
            ++connected;
            igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
            igtl::TransformMessage::Pointer transform = igtl::TransformMessage::New();
            std::vector<char> skip;
            for (;;) {
                header->InitPack();
                if (socket->Receive(header->GetPackPointer(), header->GetPackSize()) !=
                    header->GetPackSize())
                    return;
                header->Unpack();
                if (std::string(header->GetDeviceType()) == "TRANSFORM" &&
                    std::string(header->GetDeviceName()) == "Tool_0ToTracker") {
                    transform->SetMessageHeader(header);
                    transform->AllocatePack();
                    socket->Receive(transform->GetPackBodyPointer(), transform->GetPackBodySize());
                    const auto now = Clock::now();
                    transform->Unpack();
                    igtl::Matrix4x4 m;
                    transform->GetMatrix(m);
                    const int index = static_cast<int>(m[0][3]);
                    if (index >= 0 && index < kFrames)
                        received[static_cast<std::size_t>(c)][static_cast<std::size_t>(index)] =
                            now;
                } else {
                    skip.resize(static_cast<std::size_t>(header->GetBodySizeToRead()));
                    if (!skip.empty()) socket->Receive(skip.data(), static_cast<int>(skip.size()));
                }
            }
        });
    while (connected.load() < clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all accepted
    server.announce(ndi_track::IgtlStatusCode::Ok, "tracking");
    const double cpuBefore = server.cpuSeconds();
    const double emitCpu = emit(emitted, [&](auto frame) { server.publish(std::move(frame)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last frames arrive
    const double serverCpu = server.cpuSeconds() - cpuBefore;
    server.stop();
    for (auto& t : readers) t.join();

    std::vector<double> latency;
    std::size_t got = 0;
    for (const auto& times : received)
        for (int n = 0; n < kFrames; ++n)
            if (times[static_cast<std::size_t>(n)] != Clock::time_point{}) {
                ++got;
                latency.push_back(std::chrono::duration<double, std::micro>(
                                      times[static_cast<std::size_t>(n)] - emitted[n])
                                      .count());
            }
    RunResult r;
    // What --igtl adds: publishing on the tracking thread and the server's
    // thread; the hand-over to the output happens with or without it.
    r.cpuUsPerFrame = (emitCpu + serverCpu) / kFrames * 1e6;
    r.latencyUs = median(latency);
    std::sort(latency.begin(), latency.end());
    r.latencyP99Us = latency.empty() ? 0 : latency[latency.size() * 99 / 100];
    r.received = static_cast<double>(got) / (static_cast<double>(kFrames) * clients);
    return r;
}

void row(const char* what, const std::vector<double>& values, const char* unit)
{
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    std::printf("  %-44s %9.1f %9.1f %9.1f  %s\n", what, v.front(), v[v.size() / 2], v.back(),
                unit);
}

}  // namespace

int main()
{
    // Clients coming and going are logged for people; not here.
    Velantor::Log::g_globalLevel = Velantor::Log::Warning;
    std::printf("OpenIGTLink server: %d tools at %.0f Hz, %d frames per run, %d runs\n", kTools,
                kRateHz, kFrames, kRuns);
    std::printf("  %-44s %9s %9s %9s\n", "measure", "min", "median", "max");
    std::vector<RunResult> floors;
    for (int r = 0; r < kRuns; ++r) floors.push_back(floorRun());
    const auto pick = [](const std::vector<RunResult>& runs, double RunResult::*field) {
        std::vector<double> v;
        for (const auto& r : runs) v.push_back(r.*field);
        return v;
    };
    row("floor: CPU per frame, hand-over", pick(floors, &RunResult::cpuUsPerFrame), "us");
    row("floor: emission to output thread, median", pick(floors, &RunResult::latencyUs), "us");
    row("floor: emission to output thread, p99", pick(floors, &RunResult::latencyP99Us), "us");
    const double floorCpu = median(pick(floors, &RunResult::cpuUsPerFrame));
    const double floorLatency = median(pick(floors, &RunResult::latencyUs));
    for (int clients : {1, 4}) {
        std::vector<RunResult> runs;
        for (int r = 0; r < kRuns; ++r) runs.push_back(serverRun(clients));
        char label[80];
        std::vector<double> cpuRatio, addedLatency, latencyRatio;
        for (const auto& r : runs) {
            cpuRatio.push_back(r.cpuUsPerFrame / floorCpu);
            addedLatency.push_back(r.latencyUs - floorLatency);
            latencyRatio.push_back(r.latencyUs / floorLatency);
        }
        std::snprintf(label, sizeof label, "%d client(s): extra CPU per frame", clients);
        row(label, pick(runs, &RunResult::cpuUsPerFrame), "us");
        std::snprintf(label, sizeof label, "%d client(s): extra CPU / floor hand-over", clients);
        row(label, cpuRatio, "x");
        std::snprintf(label, sizeof label, "%d client(s): emission to receipt, median", clients);
        row(label, pick(runs, &RunResult::latencyUs), "us");
        std::snprintf(label, sizeof label, "%d client(s): added latency vs floor, median", clients);
        row(label, addedLatency, "us");
        std::snprintf(label, sizeof label, "%d client(s): receipt / floor, median", clients);
        row(label, latencyRatio, "x");
        std::snprintf(label, sizeof label, "%d client(s): emission to receipt, p99", clients);
        row(label, pick(runs, &RunResult::latencyP99Us), "us");
        std::vector<double> share;
        for (const auto& r : runs) share.push_back(100 * r.received);
        std::snprintf(label, sizeof label, "%d client(s): frames received", clients);
        row(label, share, "%");
    }
    return 0;
}

// How fast the simulator serves BX exchanges over loopback TCP for a 12-tool
// reply, so that it is never what limits a tracking benchmark. The floor is
// a plain echo of the same number of bytes over loopback in the same run;
// the simulator is reported as exchanges per second and as a ratio to it.
//
// And how closely its serial line keeps to the wire: a bare host's BX
// exchange with an Aurora at 115200 baud with wire time, against the time the
// command and reply bytes take on the wire (ratio_to_wire: at least 1, and
// what it exceeds 1 by is what a host's pass over a serial line cannot be
// told apart from).
#include "RawHost.h"

#include <ndisim/Simulator.h>
#include <ndisim/WireTime.h>

#include <Velantor/ToolDefinitionImageLayout.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace ndisim;

namespace {

Scenario twelveTools()
{
    Scenario s = defaultScenario(Family::Vega);
    const ToolDescription base = s.tools[1];
    s.tools.clear();
    for (int i = 0; i < 12; ++i) {
        ToolDescription t = base;
        t.partNumber = "87005" + std::to_string(10 + i);
        t.trajectory.center[0] = -300 + 50 * i;
        s.tools.push_back(t);
    }
    return s;
}

std::string hexOf(const std::string& bytes)
{
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool loadTools(rawhost::Link& link, const Scenario& s)
{
    namespace L = Velantor::ToolDefinitionImageLayout;
    if (link.exchange("INIT:") != "OKAYA896\r") return false;
    for (const ToolDescription& t : s.tools) {
        const std::string handle = link.exchange("PHRQ:*********1****").substr(0, 2);
        std::string img(L::kUploadSize, '\0');
        std::memcpy(&img[0], L::kMagic, 4);
        std::memcpy(&img[L::kPartNumberOffset], t.partNumber.data(), t.partNumber.size());
        for (std::size_t a = 0; a < img.size(); a += 64) {
            char address[24];
            std::snprintf(address, sizeof address, "%04zX", a);
            if (link.exchange("PVWR:" + handle + address + hexOf(img.substr(a, 64))) !=
                "OKAYA896\r")
                return false;
        }
        if (link.exchange("PINIT:" + handle) != "OKAYA896\r") return false;
        if (link.exchange("PENA:" + handle + "D") != "OKAYA896\r") return false;
    }
    return link.exchange("TSTART:") == "OKAYA896\r";
}

// Seconds per round trip of `size` bytes through a loopback echo.
double echoFloor(std::size_t size, int rounds)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener, 1);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::thread echo([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buffer[4096];
        ssize_t n;
        std::string pending;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
            // Answer each 8-byte "command" with `size` bytes, as the device does.
            pending.append(buffer, static_cast<std::size_t>(n));
            while (pending.size() >= 8) {
                pending.erase(0, 8);
                const std::string reply(size, 'x');
                (void)!::write(fd, reply.data(), reply.size());
            }
        }
        ::close(fd);
    });
    rawhost::Link client = rawhost::Link::tcp(ntohs(addr.sin_port));
    std::string in(size, '\0');
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) {
        client.send("BX:0000\r");
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::read(client.fd(), &in[got], size - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    client.close();
    echo.join();
    ::close(listener);
    return seconds / rounds;
}

void BM_SimulatorBX12Tools(benchmark::State& state)
{
    auto sim = Simulator::tcp(twelveTools(), "127.0.0.1", 0);
    rawhost::Link link = rawhost::Link::tcp(sim->tcpPort());
    if (!loadTools(link, sim->scenario())) {
        state.SkipWithError("tool set-up failed");
        return;
    }
    const std::string command = rawhost::framed("BX:180F");
    const std::string first = link.exchange("BX:180F");
    if (first.size() < 8) {
        state.SkipWithError("no BX reply");
        return;
    }
    const std::size_t replySize = first.size();
    std::string in(replySize + 64, '\0');
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        link.send(command);
        std::size_t got = 0;
        std::size_t want = 8;
        while (got < want) {
            const ssize_t n = ::read(link.fd(), &in[got], in.size() - got);
            if (n <= 0) {
                state.SkipWithError("connection lost");
                return;
            }
            got += static_cast<std::size_t>(n);
            if (got >= 4)
                want =
                    (static_cast<std::uint8_t>(in[2]) | static_cast<std::uint8_t>(in[3]) << 8) + 8u;
        }
        benchmark::DoNotOptimize(in.data());
    }
    const double perExchange =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    const double floor = echoFloor(replySize, 2000);
    state.SetItemsProcessed(state.iterations());
    state.counters["exchanges_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["reply_bytes"] = static_cast<double>(replySize);
    state.counters["floor_exchanges_per_s"] = 1.0 / floor;
    state.counters["ratio_to_floor"] = perExchange / floor;
}
BENCHMARK(BM_SimulatorBX12Tools)->UseRealTime()->MinTime(2.0);

// Readies an Aurora at 115200 baud with its wired tools enabled and tracking.
bool startAurora(rawhost::Link& link)
{
    if (link.exchange("COMM:50000") != "OKAYA896\r") return false;
    link.setSpeed(B115200);
    if (link.exchange("INIT:") != "OKAYA896\r") return false;
    const std::string phsr = link.exchange("PHSR:00");
    if (phsr.size() < 2) return false;
    const int n = static_cast<int>(std::strtol(phsr.substr(0, 2).c_str(), nullptr, 16));
    for (int i = 0; i < n; ++i) {
        const std::string handle = phsr.substr(2 + 5 * static_cast<std::size_t>(i), 2);
        if (link.exchange("PINIT:" + handle) != "OKAYA896\r") return false;
        if (link.exchange("PENA:" + handle + "D") != "OKAYA896\r") return false;
    }
    return link.exchange("TSTART:") == "OKAYA896\r";
}

void BM_SerialWireTime(benchmark::State& state)
{
    Scenario scenario = defaultScenario(Family::Aurora);
    for (auto& tool : scenario.tools) tool.disabled.clear();  // every reply the same size
    scenario.wireTime = true;
    auto sim = Simulator::serial(scenario);
    rawhost::Link link = rawhost::Link::serial(sim->serialDevice());
    if (!startAurora(link)) {
        state.SkipWithError("Aurora set-up failed");
        return;
    }
    const std::string command = rawhost::framed("BX:0801");
    const std::string first = link.exchange("BX:0801");
    const LineSettings line = sim->deviceLine();
    const double wire =
        std::chrono::duration<double>(wireTime(command.size() + first.size(), line)).count();
    double total = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        link.send(command);
        const std::string reply = link.reply();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (reply.size() != first.size()) {
            state.SkipWithError("reply lost or of another size");
            return;
        }
        total += seconds;
        state.SetIterationTime(seconds);
    }
    state.counters["bytes"] = static_cast<double>(command.size() + first.size());
    state.counters["wire_us"] = wire * 1e6;
    state.counters["ratio_to_wire"] =
        state.iterations() > 0 ? total / static_cast<double>(state.iterations()) / wire : 0.0;
}
BENCHMARK(BM_SerialWireTime)->UseManualTime()->MinTime(2.0);

}  // namespace

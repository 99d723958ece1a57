// How fast the simulator serves BX exchanges over loopback TCP for a 12-tool
// reply, so that it is never what limits a tracking benchmark. The floor is
// a plain echo of the same number of bytes over loopback in the same run;
// the simulator is reported as exchanges per second and as a ratio to it.
#include "RawHost.h"

#include <ndisim/Simulator.h>

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

}  // namespace

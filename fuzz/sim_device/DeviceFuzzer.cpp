// Feeds arbitrary command lines to the simulated device's interpreter, in
// whatever state earlier lines left it, and checks every reply's framing and,
// for TX and BX, its layout. The first byte picks the family's built-in
// scenario (low two bits) and two switches (0x40 unmatched images tracked,
// 0x80 GETINFO toggled); the rest is split at carriage returns. A line is:
//   "!text"      sent exactly as written (for wrong or missing CRCs)
//   "@hex"       the clock moves on by that many milliseconds ("@-hex": back)
//   "~"          a break: the device returns to its power-on state
//   "%item"      a fault item as ndi-sim's --fault takes it
//   anything else is sent with its CRC appended when it has a ':'
// so that mutations reach the commands behind a valid CRC. At the end the
// encoders run once more on the current frame with a spread of options.
#include "ReplyCheck.h"

#include <ndisim/Device.h>
#include <ndisim/Faults.h>
#include <ndisim/ReplyFormat.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace {

using namespace ndisim;
using simfuzz::check;

// Far enough from the clock's epoch that going back stays representable.
const Clock::time_point kPowerOn = Clock::time_point{} + std::chrono::hours(24 * 365 * 100);
// The clock may move up to this far either side of power-on: centuries, far
// beyond any frame counter, yet well inside the clock's range.
constexpr std::int64_t kMaxOffsetMs = std::int64_t{1} << 42;

std::string withCrc(const std::string& line)
{
    if (line.find(':') == std::string::npos) return line;
    return line + hexField(crc16(line), 4);
}

// The options a successful TX or BX line asked for (it was accepted, so its
// parameter is absent or four hex digits before any CRC).
unsigned trackingOptions(const std::string& line)
{
    if (line.size() <= 2) return ReplyOption::kTransforms;
    const std::string params = line[2] == ':' ? line.substr(3, line.size() - 7) : line.substr(3);
    return params.empty() ? ReplyOption::kTransforms
                          : static_cast<unsigned>(std::stoul(params, nullptr, 16));
}

void checkReply(const std::string& line, const DeviceReply& reply)
{
    if (reply.tracking) {
        check(line.rfind("TX", 0) == 0 || line.rfind("BX", 0) == 0);
        const unsigned options = trackingOptions(line);
        if (line[0] == 'B') {
            simfuzz::checkBX(reply.bytes, options);
        } else {
            simfuzz::checkTX(simfuzz::textPayload(reply.bytes), options);
        }
        return;
    }
    const std::string payload = simfuzz::textPayload(reply.bytes);
    if (reply.error) {
        check(payload.size() == 7 && payload.compare(0, 5, "ERROR") == 0);
        check(simfuzz::isHex(payload[5]) && simfuzz::isHex(payload[6]));
    }
}

void checkState(const Device& device)
{
    const std::vector<int> handles = device.portHandles();
    check(static_cast<int>(handles.size()) <= device.scenario().maxPortHandles);
    for (int h : handles) {
        check(h >= 1 && h <= 0xFF);
        const int tool = device.scenarioToolOf(h);
        check(tool >= -1 && tool < static_cast<int>(device.scenario().tools.size()));
        check(device.handleMarkers(h).size() <= 20);
    }
}

void encodeEverything(const Device& device, std::uint32_t frame)
{
    const FrameSnapshot s = device.snapshot(frame);
    static const unsigned kOptions[] = {0x0000, 0x0001, 0x0002, 0x0004,           0x0008,
                                        0x0801, 0x1000, 0x1007, ReplyOption::kAll};
    for (unsigned options : kOptions) {
        const simfuzz::TrackingReport tx = simfuzz::checkTX(encodeTX(s, options), options);
        const simfuzz::TrackingReport bx = simfuzz::checkBX(encodeBX(s, options), options);
        if (options & ReplyOption::kTransforms) simfuzz::checkSameFrame(tx, bx);
    }
}

}  // namespace

// Undefined behaviour ends the run like a crash, whatever the environment says.
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const Family families[] = {Family::Polaris, Family::Vega, Family::Aurora, Family::Polaris};
    Scenario scenario = defaultScenario(families[data[0] & 0x03]);
    if (data[0] & 0x40) scenario.trackUnmatchedTools = true;
    if (data[0] & 0x80) scenario.getInfo = !scenario.getInfo;
    Device device(scenario, kPowerOn);
    Faults faults;

    std::int64_t offsetMs = 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\r', start);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(start, end - start);
        start = end + 1;

        const Clock::time_point now = kPowerOn + std::chrono::milliseconds(offsetMs);
        if (!line.empty() && line[0] == '@') {
            const bool back = line.size() > 1 && line[1] == '-';
            std::int64_t step = 0;
            for (std::size_t i = back ? 2 : 1; i < line.size() && i < 14; ++i) {
                const char c = line[i];
                const int d = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
                if (d < 0) break;
                step = step * 16 + d;
            }
            offsetMs += back ? -step : step;
            if (offsetMs > kMaxOffsetMs) offsetMs = kMaxOffsetMs;
            if (offsetMs < -kMaxOffsetMs) offsetMs = -kMaxOffsetMs;
            continue;
        }
        if (line == "~") {
            device.reset();
            check(!device.initialised() && !device.tracking());
            continue;
        }
        if (!line.empty() && line[0] == '%') {
            const Faults before = faults;
            if (applyFaultItem(line.substr(1), faults).empty()) {
                check(faults.corruptCrcEvery >= 0 && faults.dropEvery >= 0 && faults.delayMs >= 0 &&
                      faults.delayEvery >= 1 && faults.splitBytes >= 0 &&
                      faults.splitPauseMs >= 0 && faults.garbageEvery >= 0 &&
                      faults.disconnectAfterFrames >= 0);
                (void)describeFaults(faults);
            } else {
                check(faults == before);
            }
            continue;
        }
        const std::string sent = !line.empty() && line[0] == '!' ? line.substr(1) : withCrc(line);
        const DeviceReply reply = device.command(sent, now);
        checkReply(sent, reply);
        if (reply.lineAfter) device.setLine(*reply.lineAfter);
        checkState(device);
    }

    const Clock::time_point end = kPowerOn + std::chrono::milliseconds(offsetMs);
    encodeEverything(device, device.frameAt(end));
    encodeEverything(device, 0xFFFFFFFFu);
    return 0;
}

// Arbitrary bytes as a scenario file. A refused file must be refused with a
// message, never with anything else; an accepted one must hold what the
// device relies on, and then runs: a device built from it is initialised,
// gets its tools (passive ones by uploading an image with their part number),
// tracks, and answers TX and BX at frames the file singles out (its first
// frame, the edges of its missing and disabled ranges) and after a very long
// run, so that whatever numbers the file holds reach the encoders.
#include "ReplyCheck.h"

#include <ndisim/Device.h>
#include <ndisim/ReplyFormat.h>
#include <ndisim/Scenario.h>

#include <Velantor/ToolDefinitionImageLayout.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

using namespace ndisim;
using simfuzz::check;
namespace L = Velantor::ToolDefinitionImageLayout;

const Clock::time_point kPowerOn = Clock::time_point{} + std::chrono::hours(24);

std::string withCrc(const std::string& text) { return text + hexField(crc16(text), 4); }

DeviceReply send(Device& device, const std::string& text, Clock::time_point now = kPowerOn)
{
    const DeviceReply reply = device.command(withCrc(text), now);
    if (reply.tracking) {
        const unsigned options = static_cast<unsigned>(std::stoul(text.substr(3), nullptr, 16));
        if (text[0] == 'B') {
            simfuzz::checkBX(reply.bytes, options);
        } else {
            simfuzz::checkTX(simfuzz::textPayload(reply.bytes), options);
        }
    } else {
        simfuzz::textPayload(reply.bytes);
    }
    return reply;
}

std::string payload(const DeviceReply& reply)
{
    return reply.bytes.substr(0, reply.bytes.size() - 5);
}

void checkScenario(const Scenario& s)
{
    check(std::isfinite(s.frameRate) && s.frameRate >= 20 && s.frameRate <= 400);
    check(s.maxPortHandles >= 1 && s.maxPortHandles <= 24);
    check(static_cast<int>(s.tools.size()) <= s.maxPortHandles);
    check(s.volumes.size() <= 9 && s.strays.size() <= 50);
    check(s.model.size() <= 60 && s.serialNumber.size() <= 20 && s.firmware.size() <= 40);
    for (const ToolDescription& t : s.tools) {
        check(t.partNumber.size() <= 20 && t.toolInfo.size() <= 31 && t.markers.size() <= 20);
        check(t.port >= 0 && t.port <= 99 && t.channel >= 0 && t.channel <= 99);
        if (s.family == Family::Aurora) check(t.port >= 1);
        check(std::isfinite(t.rmsError) && t.rmsError >= 0);
    }
    const Faults& f = s.faults;
    check(f.corruptCrcEvery >= 0 && f.dropEvery >= 0 && f.delayMs >= 0 && f.delayEvery >= 1 &&
          f.splitBytes >= 0 && f.splitPauseMs >= 0 && f.garbageEvery >= 0 &&
          f.disconnectAfterFrames >= 0);
}

ImageBytes imageFor(const ToolDescription& tool)
{
    ImageBytes img{};
    std::memcpy(img.data() + L::kMagicOffset, L::kMagic, sizeof L::kMagic);
    img[L::kMarkerCountOffset] = static_cast<std::uint8_t>(tool.markers.size());
    for (std::size_t m = 0; m < tool.markers.size(); ++m) {
        for (std::size_t k = 0; k < 3; ++k) {
            const float f = static_cast<float>(tool.markers[m][k]);
            std::memcpy(img.data() + L::kMarkersOffset + m * L::kMarkerStride + 4 * k, &f,
                        sizeof f);
        }
    }
    std::memcpy(img.data() + L::kSecondMagicOffset, L::kMagic, sizeof L::kMagic);
    std::memcpy(img.data() + L::kPartNumberOffset, tool.partNumber.data(), tool.partNumber.size());
    return img;
}

// A passive tool: a handle, its image, initialised and enabled.
void addPassiveTool(Device& device, const ToolDescription& tool)
{
    const DeviceReply handle = send(device, "PHRQ:*********1****");
    if (handle.error) return;  // all handles taken
    const std::string number = payload(handle);
    const ImageBytes img = imageFor(tool);
    for (std::size_t address = 0; address < img.size(); address += 64) {
        std::string line = "PVWR:" + number + hexField(address, 4);
        for (std::size_t i = 0; i < 64; ++i) line += hexField(img[address + i], 2);
        check(payload(send(device, line)) == "OKAY");
    }
    check(payload(send(device, "PINIT:" + number)) == "OKAY");
    check(payload(send(device, "PENA:" + number + "D")) == "OKAY");
}

Clock::time_point atFrame(const Scenario& s, std::uint32_t frame)
{
    // The device counts from firstFrame at power-on.
    const double seconds =
        (static_cast<double>(frame) - static_cast<double>(s.firstFrame)) / s.frameRate;
    return kPowerOn +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// TX and BX of one moment, which must agree.
void trackAt(Device& device, Clock::time_point now)
{
    const unsigned options[][2] = {{0x180F, 0x180F}, {0x0001, 0x0801}};
    for (const auto& pair : options) {
        const std::string tx = device.command(withCrc("TX:" + hexField(pair[0], 4)), now).bytes;
        const std::string bx = device.command(withCrc("BX:" + hexField(pair[1], 4)), now).bytes;
        simfuzz::checkSameFrame(simfuzz::checkTX(simfuzz::textPayload(tx), pair[0]),
                                simfuzz::checkBX(bx, pair[1]));
    }
}

}  // namespace

// Undefined behaviour ends the run like a crash, whatever the environment says.
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

// Qt 5.15's JSON reader loses the first value of a key that an object names
// twice. A scenario is read once per run, so it costs nothing there; here it
// would stop every run that tries a repeated key.
extern "C" const char* __lsan_default_suppressions() { return "leak:libQt5Core.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Scenario s;
    try {
        s = parseScenario(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::runtime_error& e) {
        check(std::strncmp(e.what(), "scenario: ", 10) == 0);
        return 0;
    }
    checkScenario(s);

    Device device(s, kPowerOn);
    check(payload(send(device, "INIT:")) == "OKAY");
    send(device, "VER:4");
    send(device, "GETINFO:Features.Firmware.Version");
    const std::string volumes = payload(send(device, "SFLIST:03"));
    check(volumes.size() == 1 + 75 * s.volumes.size());
    if (!s.volumes.empty())
        check(payload(send(device, "VSEL:" + std::to_string(s.volumes.size()))) == "OKAY");

    if (s.family == Family::Aurora) {
        for (int handle : device.portHandles()) {
            const std::string number = hexField(static_cast<unsigned>(handle), 2);
            check(payload(send(device, "PINIT:" + number)) == "OKAY");
            check(payload(send(device, "PENA:" + number + "D")) == "OKAY");
            send(device, "PHINF:" + number + "007F");
        }
    } else {
        for (const ToolDescription& tool : s.tools) addPassiveTool(device, tool);
        addPassiveTool(device, ToolDescription{});  // an image that matches nothing here
    }
    send(device, "PHSR:00");

    check(payload(send(device, "TSTART:")) == "OKAY");
    trackAt(device, kPowerOn);
    for (const ToolDescription& tool : s.tools) {
        for (const auto* list : {&tool.missing, &tool.disabled}) {
            for (const FrameRange& r : *list) {
                trackAt(device, atFrame(s, r.first));
                trackAt(device, atFrame(s, r.last));
            }
        }
    }
    for (const StrayMarker& stray : s.strays) {
        for (const FrameRange& r : stray.missing) trackAt(device, atFrame(s, r.first));
    }
    // Years of tracking: the frame counter runs past its 32 bits.
    trackAt(device, kPowerOn + std::chrono::hours(24 * 365 * 5));

    check(payload(send(device, "TSTOP:")) == "OKAY");
    check(payload(send(device, "TSTART:80")) == "OKAY");
    trackAt(device, kPowerOn);
    return 0;
}

// Arbitrary bytes as an uploaded tool-definition image (shorter inputs are
// padded with zeros, as the device's buffer starts out). The reader must keep
// its promises on every input; then the image goes up to a passive tool and
// onto a wired one through PVWR and the tracking replies carry its geometry.
#include "ReplyCheck.h"

#include <ndisim/Device.h>
#include <ndisim/ReplyFormat.h>
#include <ndisim/ToolImage.h>

#include <Velantor/ToolDefinitionImageLayout.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using namespace ndisim;
using simfuzz::check;
namespace L = Velantor::ToolDefinitionImageLayout;

std::string send(Device& device, const std::string& text)
{
    const std::string line = text + hexField(crc16(text), 4);
    const DeviceReply reply = device.command(line, Clock::time_point{});
    if (reply.tracking && text[0] == 'B') {
        simfuzz::checkBX(reply.bytes,
                         static_cast<unsigned>(std::stoul(text.substr(3), nullptr, 16)));
        return {};
    }
    const std::string payload = simfuzz::textPayload(reply.bytes);
    if (reply.tracking)
        simfuzz::checkTX(payload, static_cast<unsigned>(std::stoul(text.substr(3), nullptr, 16)));
    return payload;
}

void upload(Device& device, const std::string& handle, const ImageBytes& image)
{
    for (std::size_t address = 0; address < image.size(); address += 64) {
        std::string line = "PVWR:" + handle + hexField(address, 4);
        for (std::size_t i = 0; i < 64; ++i) line += hexField(image[address + i], 2);
        check(send(device, line) == "OKAY");
    }
}

void track(Device& device, const std::string& handle, const ImageBytes& image, bool accepted)
{
    upload(device, handle, image);
    const std::string init = send(device, "PINIT:" + handle);
    check(init == (accepted ? "OKAY" : "ERROR13"));
    if (!accepted) return;
    check(send(device, "PENA:" + handle + "D") == "OKAY");
    check(send(device, "TSTART:") == "OKAY");
    send(device, "BX:180F");
    send(device, "TX:180F");
    check(send(device, "PHINF:" + handle + "007F").size() > 20);
}

}  // namespace

// Undefined behaviour ends the run like a crash, whatever the environment says.
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ImageBytes image{};
    std::memcpy(image.data(), data, size < image.size() ? size : image.size());

    const std::optional<ToolImage> parsed = parseToolImage(image);
    const bool magic =
        std::memcmp(image.data() + L::kMagicOffset, L::kMagic, sizeof L::kMagic) == 0;
    check(parsed.has_value() == magic);
    if (parsed) {
        check(parsed->partNumber.size() <= L::kPartNumberLength);
        for (char c : parsed->partNumber) check(c >= 32 && c <= 126);
        check(parsed->markers.empty() || parsed->markers.size() == image[L::kMarkerCountOffset]);
        for (const Vec3& m : parsed->markers) {
            for (double v : m) check(std::isfinite(v) && std::fabs(v) <= 1000.0);
        }
    }

    Device optical(defaultScenario(Family::Polaris), Clock::time_point{});
    check(send(optical, "INIT:") == "OKAY");
    check(send(optical, "PHRQ:*********1****") == "01");
    track(optical, "01", image, magic);
    if (parsed && !parsed->markers.empty()) check(optical.handleMarkers(1) == parsed->markers);

    Device wired(defaultScenario(Family::Aurora), Clock::time_point{});
    check(send(wired, "INIT:") == "OKAY");
    track(wired, "0A", image, magic);
    return 0;
}

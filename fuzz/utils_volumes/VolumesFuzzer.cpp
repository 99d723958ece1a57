// Feeds arbitrary SFLIST:03 reply texts to the operating-volume decoder.
// Beyond memory safety it checks what callers rely on: the list is either
// complete or empty, and every parameter is a six-digit field over 100.
#include <NDIUtils.h>
#include <Velantor/Log.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace {

bool setUp()
{
    // Build every message (debug included) but print none of them.
    Velantor::Log::removeSink(Velantor::Log::stderrSink());
    Velantor::Log::setCategoryLevel("NDIUtils", 1);
    return true;
}

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool ready = setUp();
    (void)ready;
    // The engine hands over a NUL-terminated reply text, so a NUL ends it.
    const std::string reply(reinterpret_cast<const char*>(data), size);
    const std::string text(reply.c_str());
    const auto volumes = Velantor::NDIUtils::parseOperatingVolumes(text);
    if (!volumes.empty()) check(static_cast<int>(volumes.size()) == text[0] - '0');
    for (const auto& volume : volumes) {
        check(volume.name.compare(0, 5, volume.isCube ? "Cube " : "Dome ") == 0);
        for (double p : volume.parameters) check(std::isfinite(p) && std::fabs(p) <= 9999.99);
    }
    return 0;
}

// Arbitrary bytes as a recording. A refused file must be refused with a
// RecordingError naming its line, never with anything else; an accepted one
// must write out and read back to the same recording, and must either become
// a replayed device or be refused with a message.
#include <ndirecording/Recording.h>
#include <ndisim/Playback.h>
#include <ndisim/ReplayScenario.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

using namespace ndi_recording;

void check(bool condition)
{
    if (!condition) std::abort();
}

// The same bits, but any NaN is a NaN and the reader drops the sign of a zero.
bool sameNumber(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b) || (a == 0 && b == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ReadLimits limits;
    limits.maxBytes = 1 << 16;
    limits.maxLineBytes = 1 << 14;
    limits.maxFrames = 200;
    const std::string text(reinterpret_cast<const char*>(data), size);
    Recording r;
    try {
        r = parseRecording(text, limits);
    } catch (const RecordingError& e) {
        check(std::strncmp(e.what(), "line ", 5) == 0 || std::strstr(e.what(), "recording"));
        return 0;
    }

    std::string again = headerLine(r.header);
    for (const RecordedFrame& f : r.frames) again += frameLine(f);
    ReadLimits roomy;
    const Recording back = parseRecording(again, roomy);
    check(back.header.tools.size() == r.header.tools.size());
    check(back.header.startNs == r.header.startNs);
    check(back.frames.size() == r.frames.size());
    for (std::size_t i = 0; i < r.frames.size(); ++i) {
        const RecordedFrame& a = r.frames[i];
        const RecordedFrame& b = back.frames[i];
        check(a.seq == b.seq && a.offsetNs == b.offsetNs && a.mainId == b.mainId);
        check(a.instruments.size() == b.instruments.size());
        for (std::size_t t = 0; t < a.instruments.size(); ++t) {
            check(a.instruments[t].name == b.instruments[t].name);
            check(sameNumber(a.instruments[t].quality, b.instruments[t].quality));
            for (std::size_t k = 0; k < 16; ++k)
                check(sameNumber(a.instruments[t].matrix[k], b.instruments[t].matrix[k]));
        }
        check(a.markers.size() == b.markers.size());
    }

    for (const double speed : {1.0, 1000.0}) {
        try {
            const ndisim::Scenario s = ndisim::replayScenario(r, speed, speed > 1);
            const ndisim::Playback& p = *s.playback;
            for (const double seconds : {0.0, 0.5, 1e6, 1e300}) {
                const ndisim::PlaybackFrame& f = p.frameAt(p.positionAt(seconds));
                check(f.tools.size() == s.tools.size());
            }
        } catch (const std::runtime_error& e) {
            check(std::strncmp(e.what(), "replay: ", 8) == 0);
        }
    }
    return 0;
}

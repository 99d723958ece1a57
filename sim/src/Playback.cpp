#include <ndisim/Playback.h>

#include <algorithm>
#include <cmath>

namespace ndisim {

std::int64_t Playback::loopNs() const
{
    const std::int64_t span = frames.back().offsetNs;
    const std::int64_t n = static_cast<std::int64_t>(frames.size());
    // A pass never takes no time, or looping would spin through it.
    const std::int64_t interval = n > 1 ? span / (n - 1) : 0;
    return span + std::max<std::int64_t>(interval, 1000000);
}

std::uint64_t Playback::positionAt(double seconds) const
{
    if (!(seconds > 0)) return 0;
    double ns = seconds * speed * 1e9;
    std::uint64_t passes = 0;
    if (loop) {
        const double pass = static_cast<double>(loopNs());
        const double whole = std::floor(ns / pass);
        // Beyond 2^63 ns (some 290 years) the count only has to stay defined.
        passes = whole < 9e18 ? static_cast<std::uint64_t>(whole) : 0;
        ns -= whole * pass;
    }
    const auto later = std::upper_bound(
        frames.begin(), frames.end(), ns,
        [](double t, const PlaybackFrame& f) { return t < static_cast<double>(f.offsetNs); });
    const std::uint64_t index =
        later == frames.begin() ? 0 : static_cast<std::uint64_t>(later - frames.begin()) - 1;
    return passes * frames.size() + index;
}

const PlaybackFrame& Playback::frameAt(std::uint64_t position) const
{
    if (loop) return frames[position % frames.size()];
    return frames[std::min<std::uint64_t>(position, frames.size() - 1)];
}

}  // namespace ndisim

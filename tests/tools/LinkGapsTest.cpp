// The gaps of a run's connection as ndi-track adds them up: how long each
// lasted (from the last frame before it), which errors belong to it, and what
// is left open when the run ends.
#include "LinkGaps.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ndi_track::LinkGaps;

namespace {

enum class Step { Frame, Lost, Back, End };

struct At {
    Step step;
    double seconds;
    std::uint64_t errors;  // logged by then
};

struct Sums {
    std::uint64_t events = 0;
    std::uint64_t recovered = 0;
    double recoveredSeconds = 0;
    std::uint64_t gapErrors = 0;
    bool unreachable = false;
    double unreachableSeconds = 0;
};

Sums replay(const std::vector<At>& steps)
{
    const LinkGaps::Clock::time_point zero{};
    const auto at = [&](double s) {
        return zero + std::chrono::duration_cast<LinkGaps::Clock::duration>(
                          std::chrono::duration<double>(s));
    };
    LinkGaps gaps;
    Sums sums;
    std::uint64_t frames = 0;
    for (const At& a : steps) {
        switch (a.step) {
        case Step::Frame:
            gaps.frame(at(a.seconds), a.errors);
            ++frames;
            break;
        case Step::Lost:
        case Step::Back:
            if (gaps.change(a.step == Step::Lost, at(a.seconds), 0, frames, a.errors))
                ++sums.events;
            break;
        case Step::End: gaps.end(at(a.seconds)); break;
        }
    }
    sums.recovered = gaps.recovered();
    sums.recoveredSeconds = gaps.recoveredSeconds();
    sums.gapErrors = gaps.gapErrors();
    sums.unreachable = gaps.endedUnreachable();
    sums.unreachableSeconds = gaps.unreachableSeconds();
    return sums;
}

}  // namespace

TEST(LinkGaps, AddsUpEachGapFromTheLastFrameBeforeIt)
{
    using S = Step;
    struct Case {
        const char* name;
        std::vector<At> steps;
        Sums want;
    };
    const std::vector<Case> cases = {
        // The failed passes before the stream says so belong to the gap; the
        // errors before the last frame do not.
        {"one gap",
         {{S::Frame, 1.0, 2},
          {S::Lost, 1.6, 5},
          {S::Back, 3.0, 7},
          {S::Frame, 3.1, 7},
          {S::End, 9, 7}},
         {2, 1, 2.0, 5, false, 0}},
        // No frame came between two losses: the second starts at the first's
        // end, with the errors logged since.
        {"lost again before a frame",
         {{S::Frame, 1.0, 0},
          {S::Lost, 2.0, 2},
          {S::Back, 3.0, 4},
          {S::Lost, 4.0, 6},
          {S::Back, 5.0, 7},
          {S::End, 9, 7}},
         {4, 2, 4.0, 7, false, 0}},
        // A repeat is no news, and a stream stopped while reconnecting says
        // false without being back.
        {"still gone at the end",
         {{S::Frame, 1.0, 0},
          {S::Lost, 2.0, 3},
          {S::Lost, 2.5, 4},
          {S::End, 6.0, 9},
          {S::Back, 6.1, 9}},
         {1, 0, 0.0, 0, true, 5.0}},
        {"lost before the first frame",
         {{S::Lost, 2.0, 3}, {S::Back, 3.5, 4}, {S::Frame, 3.6, 4}, {S::End, 5, 4}},
         {2, 1, 1.5, 4, false, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Sums got = replay(c.steps);
        EXPECT_EQ(got.events, c.want.events);
        EXPECT_EQ(got.recovered, c.want.recovered);
        EXPECT_NEAR(got.recoveredSeconds, c.want.recoveredSeconds, 1e-9);
        EXPECT_EQ(got.gapErrors, c.want.gapErrors);
        EXPECT_EQ(got.unreachable, c.want.unreachable);
        EXPECT_NEAR(got.unreachableSeconds, c.want.unreachableSeconds, 1e-9);
    }
}

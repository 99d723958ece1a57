// When the tracking passes run: on a fixed grid from the first pass, so that
// late passes neither pile their lateness onto the ones after them nor come
// in a burst to catch up.
#include <TrackingPass.h>

#include <gtest/gtest.h>

#include <cstdint>

using Velantor::PassGrid;

namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kPeriod = 5 * kMs;
// A monotonic reading such as a machine up for a while gives.
constexpr std::int64_t kOrigin = 86'400'000 * kMs + 123'456;

}  // namespace

TEST(PassSchedule, EachPassIsScheduledOnTheGridWhateverItsLateness)
{
    struct Case {
        const char* what;
        std::int64_t start;  // of the pass
        std::int64_t next;   // its successor's
    };
    // One grid, passes in order.
    const Case cases[] = {
        {"the first pass begins the grid", kOrigin, kOrigin + kPeriod},
        {"on time", kOrigin + kPeriod, kOrigin + 2 * kPeriod},
        {"late by a little", kOrigin + 2 * kPeriod + 80'000, kOrigin + 3 * kPeriod},
        {"late by most of a period", kOrigin + 3 * kPeriod + 4 * kMs, kOrigin + 4 * kPeriod},
        // Clocks read one after the other can put a wake-up a hair before its
        // time: that is the point reached, not the one before it again.
        {"a hair early", kOrigin + 4 * kPeriod - 300, kOrigin + 5 * kPeriod},
        // The passes missed are skipped: no burst of passes to catch up.
        {"late by several periods", kOrigin + 5 * kPeriod + 3 * kPeriod + 2 * kMs,
         kOrigin + 9 * kPeriod},
        {"right after a skip, on time", kOrigin + 9 * kPeriod + 10'000, kOrigin + 10 * kPeriod},
        // Whoever calls before the time asked for gets the same grid point.
        {"called well ahead of time", kOrigin + 10 * kPeriod - 2 * kMs, kOrigin + 10 * kPeriod},
        {"then on time", kOrigin + 10 * kPeriod + 1'000, kOrigin + 11 * kPeriod},
    };
    PassGrid grid(kPeriod);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(grid.nextAfter(c.start), c.next);
    }
}

TEST(PassSchedule, LatenessDoesNotAccumulateAndARestartBeginsANewGrid)
{
    // Every pass 30% of a period late: a schedule taken from each pass's own
    // start would fall back by 1.5 ms a pass; the grid keeps 200 a second.
    PassGrid grid(kPeriod);
    std::int64_t scheduled = grid.nextAfter(kOrigin);
    const std::int64_t late = kPeriod * 3 / 10;
    for (int i = 0; i < 1000; ++i) {
        const std::int64_t next = grid.nextAfter(scheduled + late);
        ASSERT_EQ(next, scheduled + kPeriod) << "pass " << i;
        scheduled = next;
    }
    EXPECT_EQ(scheduled, kOrigin + 1001 * kPeriod);

    // After a stop and a start the old grid means nothing.
    grid.restart();
    const std::int64_t again = kOrigin + 7777 * kMs + 42;
    EXPECT_EQ(grid.nextAfter(again), again + kPeriod);
    EXPECT_EQ(grid.nextAfter(again + kPeriod + 5), again + 2 * kPeriod);
}

namespace {

struct Tracked {
    int lost = 0;   // device frames that no pass saw, between the first and the last seen
    int moves = 0;  // intervals between passes that were not one period
};

// Passes on a grid against a device whose frames are framePeriod long and
// whose frame edges lie edge after the grid's first point; pass i starts
// late(i) after its grid point and reads the frame current then.
template <class Late>
Tracked track(std::int64_t passPeriod, std::int64_t framePeriod, std::int64_t edge, Late late,
              int passes)
{
    PassGrid grid(passPeriod);
    // Counted from far back, so that the division never meets a negative.
    auto frameAt = [&](std::int64_t t) {
        return (t - kOrigin - edge + 1000 * framePeriod) / framePeriod;
    };
    Tracked result;
    std::int64_t scheduled = kOrigin, first = -1, last = -1, seen = 0;
    for (int i = 0; i < passes; ++i) {
        // As a pass does: the frame first, then its successor's time.
        const std::int64_t start = scheduled + late(i);
        const std::int64_t frame = frameAt(start);
        if (last >= 0) grid.frameMoved(frame - last);
        const std::int64_t next = grid.nextAfter(start);
        if (frame != last) ++seen;
        if (first < 0) first = frame;
        last = frame;
        if (i > 0 && next - scheduled != passPeriod) ++result.moves;
        scheduled = next;
    }
    result.lost = static_cast<int>(last - first + 1 - seen);
    return result;
}

}  // namespace

TEST(PassSchedule, GridMovesOffTheDeviceFrameEdgesOnlyWhenTheDeviceIsNoFasterThanIt)
{
    constexpr std::int64_t kUs = 1000;
    constexpr std::int64_t kMarkerPeriod = 2500 * kUs;
    // Every seventh pass 120 us late, every 500th stalled for 1 ms.
    auto jitter = [](int i) -> std::int64_t {
        return i % 500 == 499 ? 1000 * kUs : i % 7 == 3 ? 120 * kUs : 5 * kUs;
    };
    struct Case {
        const char* what;
        std::int64_t passPeriod, framePeriod, edge;
        int maxLost, moves;
    };
    const Case cases[] = {
        // Equal rates with the grid 50 us before each frame edge: every late
        // pass would lose a frame (every seventh here). The third late pass
        // comes after the grid has measured the device, and its loss moves
        // the grid to the middle of the frames, where neither the move nor
        // the late passes nor the stalls lose any more.
        {"400 Hz device, 2.5 ms passes, grid at the frame edges", kMarkerPeriod, kMarkerPeriod,
         50 * kUs, 3, 1},
        {"400 Hz device, 2.5 ms passes, grid mid-frame", kMarkerPeriod, kMarkerPeriod, 1250 * kUs,
         0, 0},
        // A slower device: lateness under a millisecond and a half loses
        // nothing, and the grid stays.
        {"250 Hz device, 2.5 ms passes", kMarkerPeriod, 4000 * kUs, 50 * kUs, 0, 0},
        // A faster device skips frames between any two passes: that is no
        // sign of a badly placed grid.
        {"400 Hz device, 5 ms passes", 5000 * kUs, kMarkerPeriod, 50 * kUs, 100000, 0},
        {"250 Hz device, 5 ms passes", 5000 * kUs, 4000 * kUs, 50 * kUs, 100000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Tracked t = track(c.passPeriod, c.framePeriod, c.edge, jitter, 4000);
        EXPECT_LE(t.lost, c.maxLost);
        EXPECT_EQ(t.moves, c.moves);
    }
}

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

// When a stream gives its line up, and how long it waits between attempts.
#include <LinkLossPolicy.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using Velantor::LinkLossPolicy;
using Velantor::RetryBackoff;

namespace {

constexpr std::int64_t kMs = 1'000'000;

struct Outcome {
    std::int64_t atMs;
    bool good;
};

}  // namespace

TEST(LinkLossPolicy, TheLineIsLostOnlyAfterEnoughFailuresOverTheGrace)
{
    struct Case {
        const char* what;
        std::vector<Outcome> passes;  // after restart at 0 ms
        int lostAt;                   // index of the pass that declares the loss, -1 none
    };
    const Case cases[] = {
        {"one bad reply among good ones", {{5, true}, {10, false}, {15, true}, {600, true}}, -1},
        {"many fast failures within the grace",
         {{5, false}, {10, false}, {15, false}, {400, false}},
         -1},
        {"failures that outlast the grace",
         {{5, false}, {10, false}, {15, false}, {499, false}, {500, false}, {505, false}},
         4},
        {"two slow failures are not enough", {{300, false}, {900, false}}, -1},
        {"the third slow failure is", {{300, false}, {900, false}, {1000, false}}, 2},
        {"a good reply starts the count again",
         {{100, false},
          {200, false},
          {550, true},
          {700, false},
          {800, false},
          {1000, false},
          {1049, false},
          {1050, false}},
         7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LinkLossPolicy policy;
        policy.restart(0);
        int lostAt = -1;
        for (std::size_t i = 0; i < c.passes.size(); ++i) {
            const Outcome& o = c.passes[i];
            if (o.good) {
                policy.passSucceeded(o.atMs * kMs);
            } else if (policy.passFailed(o.atMs * kMs)) {
                EXPECT_EQ(lostAt, -1) << "the loss was declared twice";
                lostAt = static_cast<int>(i);
            }
        }
        EXPECT_EQ(lostAt, c.lostAt);
        EXPECT_EQ(policy.lost(), c.lostAt >= 0);
    }
}

TEST(LinkLossPolicy, RestartEndsALossAndCountsAsAGoodReply)
{
    LinkLossPolicy policy;
    policy.restart(0);
    for (int i = 0; i < 3; ++i) policy.passFailed((600 + i) * kMs);
    ASSERT_TRUE(policy.lost());
    EXPECT_FALSE(policy.passFailed(700 * kMs)) << "one loss, one declaration";

    policy.restart(10'000 * kMs);
    EXPECT_FALSE(policy.lost());
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(policy.passFailed((10'100 + i) * kMs));
    EXPECT_TRUE(policy.passFailed(10'500 * kMs));
}

TEST(RetryBackoff, DoublesToItsCapAndStartsOverAfterReset)
{
    RetryBackoff backoff;
    std::vector<std::int64_t> waits;
    for (int i = 0; i < 6; ++i) waits.push_back(backoff.next() / kMs);
    EXPECT_EQ(waits, (std::vector<std::int64_t>{250, 500, 1000, 2000, 2000, 2000}));
    backoff.reset();
    EXPECT_EQ(backoff.next(), 250 * kMs);
}

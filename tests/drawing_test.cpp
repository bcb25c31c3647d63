// The drawing phase: white, then discs in the one order the seed gives,
// nothing erased, one disc per 50 ms at the most.
#include "suite.hpp"

namespace suite {
namespace {

using Drawing = OnDisplay;

TEST_F(Drawing, ScreenIsAlwaysAnExactPrefixThatOnlyGrows)
{
    SpotfallRun run(server, x);
    run.await_white();
    Sight early = run.await_discs(oracle(), 3, 10s);
    Sight later = run.await_discs(oracle(), early.match.count + 15, 10s);

    EXPECT_EXACT(early);
    EXPECT_EXACT(later);
    EXPECT_EQ(early.match.seed, later.match.seed) << "both screens come from one run";
    EXPECT_GE(later.match.count, early.match.count);
    EXPECT_TRUE(later.screen.keeps_black_of(early.screen)) << "black was erased";
    EXPECT_LE(later.match.count, disc_bound(later.at - run.spawned_at()));
    run.freeze(oracle());
    expect_clean_end(run);
}

// Without the timer module the rest does not pause and the screen goes
// black within a second; load can slow the program, never speed it up.
TEST_F(Drawing, BlackAreaStaysWithinOneDiscPerFiftyMs)
{
    SpotfallRun run(server, x);
    run.await_white();
    std::this_thread::sleep_for(1500ms);  // the span being measured, not a wait for a state
    Sight sight = run.look(oracle());
    int bound = disc_bound(sight.at - run.spawned_at());

    EXPECT_LE(sight.screen.count(Picture::black), std::size_t(bound) * oracle().disc_area())
        << "more black than " << bound << " discs can cover";
    EXPECT_GT(sight.screen.count(Picture::black), 0u) << "no disc drawn in 1.5 s";
    EXPECT_EXACT(sight);
    EXPECT_LE(sight.match.count, bound);
}

}  // namespace
}  // namespace suite

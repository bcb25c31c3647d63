// What every test of the program shares: a private X server, a connection
// to it, and the oracle that knows the exact picture.
#pragma once

#include "run.hpp"

#include <gtest/gtest.h>

namespace suite {

using namespace harness;
using namespace std::chrono_literals;

inline const Oracle& oracle()
{
    static const Oracle instance;
    return instance;
}

class OnDisplay : public ::testing::Test {
protected:
    explicit OnDisplay(XvfbOptions options = {}) : server(options), x(server.display()) {}

    XvfbServer server;
    XConnection x;
};

// Asserts that a sight is an exact picture and returns its disc count.
#define EXPECT_EXACT(sight) EXPECT_TRUE((sight).match.found) << (sight).match.explain()

// Asserts that a frozen picture is exact and holds no more discs than the
// time up to SPACE allows, with the one that may follow the press.
inline void expect_frozen_exact(const SpotfallRun& run, const Sight& frozen)
{
    EXPECT_EXACT(frozen);
    EXPECT_LE(frozen.match.count, disc_bound(frozen.at - run.spawned_at()) + 1)
        << "more discs than one per 50 ms";
}

// Waits for the screen to turn white and then show a few discs.
inline void await_drawing(SpotfallRun& run, int discs = 3)
{
    run.await_white();
    run.await_discs(oracle(), discs, 10s);
}

// Ends a run whose picture is frozen: ESC, then status 0 and no window left.
inline void expect_clean_end(SpotfallRun& run)
{
    run.x().tap(Key::escape);
    ExitStatus status = run.await_exit(5s);
    EXPECT_TRUE(status.success()) << status.describe();
    EXPECT_NO_THROW(wait_until([&] { return run.x().mapped_windows() == 0; }, 5s,
                               "the program's window to go"));
}

}  // namespace suite

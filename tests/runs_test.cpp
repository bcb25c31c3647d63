// Whole runs under different conditions: the seed, the command line and
// the display's depth must leave the picture exact.
#include "suite.hpp"

#include <algorithm>
#include <ctime>

namespace suite {
namespace {

// Runs until a few discs are down, freezes, checks the picture, ends.
Sight exact_run(const XvfbServer& server, XConnection& x, RunOptions options = {})
{
    SpotfallRun run(server, x, std::move(options));
    await_drawing(run, 5);
    Sight frozen = run.freeze(oracle());
    expect_frozen_exact(run, frozen);
    expect_clean_end(run);
    EXPECT_EQ(run.process().captured_stderr(), "");
    return frozen;
}

TEST(Seed, TwoRunsInTheSameSecondDrawOneSequence)
{
    // Two displays, two runs started together with their calendar clocks
    // set to the same second and left running.
    std::time_t second = std::time(nullptr) - 86400;
    XvfbServer first_server, second_server;
    XConnection first_x(first_server.display()), second_x(second_server.display());
    RunOptions pinned;
    pinned.clock_starts_at = second;
    SpotfallRun first(first_server, first_x, pinned), second_run(second_server, second_x, pinned);
    first.await_white();
    second_run.await_white();
    Sight a = first.await_discs(oracle(), 5, 10s);
    Sight b = second_run.await_discs(oracle(), a.match.count + 3, 10s);

    EXPECT_EXACT(a);
    EXPECT_EXACT(b);
    EXPECT_EQ(a.match.seed, unsigned(second));
    EXPECT_EQ(b.match.seed, unsigned(second));
    // The longer picture holds the shorter one.
    EXPECT_TRUE(b.screen.keeps_black_of(a.screen));

    // Ended normally, the pinned clock removes its files from /dev/shm;
    // killed, it would leave them for a later process with the same pid.
    for (SpotfallRun* run : {&first, &second_run}) {
        run->freeze(oracle());
        expect_clean_end(*run);
        EXPECT_EQ(run->clock_files(), std::vector<std::string>{});
    }
}

// main takes no arguments; whatever the command line holds must change
// nothing: an empty one, one of 100,000 characters, bytes that are not
// UTF-8, and options other programs (and X toolkits) know.
using Arguments = OnDisplay;

TEST_F(Arguments, ChangeNothing)
{
    RunOptions options;
    options.args = {"", std::string(100000, 'x'), "\xff\xfe\x80", "--help", "-geometry", "640x480"};
    exact_run(server, x, options);
}

class Depths : public OnDisplay, public ::testing::WithParamInterface<int> {
protected:
    Depths() : OnDisplay(XvfbOptions{1024, 768, GetParam()}) {}
};

TEST_P(Depths, PictureIsExact) { exact_run(server, x); }

INSTANTIATE_TEST_SUITE_P(BitsPerPixel, Depths, ::testing::Values(8, 16, 24),
                         [](const auto& info) { return std::to_string(info.param) + "Bits"; });

// With no display to run on, the program says so in one line and fails.
class NoDisplay : public ::testing::TestWithParam<const char*> {};

TEST_P(NoDisplay, OneLineOnStderrAndStatusOne)
{
    std::vector<std::pair<std::string, std::string>> env;
    if (GetParam())
        env = {{"DISPLAY", GetParam()}};
    Refusal refusal = run_expecting_refusal(env, [] { return false; });
    expect_one_line_refusal(refusal, {"display"});
}

INSTANTIATE_TEST_SUITE_P(Displays, NoDisplay, ::testing::Values(nullptr, ":4093"),
                         [](const auto& info) {
                             return std::string(info.param ? "NoServer" : "Unset");
                         });

}  // namespace
}  // namespace suite

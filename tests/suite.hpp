// What every test of the program shares: a private X server, a connection
// to it, and the oracle that knows the exact picture.
#pragma once

#include "run.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/resource.h>

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

// The program's two phases: discs until SPACE, then the frozen picture until ESC.
enum class Phase { drawing, waiting };

inline const char* phase_name(Phase phase)
{
    return phase == Phase::drawing ? "WhileDrawing" : "WhileWaiting";
}

inline void PrintTo(Phase phase, std::ostream* out) { *out << phase_name(phase); }

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
    if (auto* x = dynamic_cast<XConnection*>(&run.x())) {
        EXPECT_NO_THROW(wait_until([&] { return x->mapped_windows() == 0; }, 5s,
                                   "the program's window to go"));
    }
}

// A run that must refuse to start: how it ended, what it said, and whether
// the screen it was watched on ever showed anything of it.
struct Refusal {
    ExitStatus status;
    std::string text;
    bool screen_touched = false;
};

// Runs the program with `env` (DISPLAY unset where it names none) until it
// ends, calling `touched` on the way to see whether it has put anything on
// the screen.
template <typename Touched>
Refusal run_expecting_refusal(std::vector<std::pair<std::string, std::string>> env,
                              Touched touched)
{
    SpawnOptions spawn;
    spawn.argv = {spotfall_binary()};
    spawn.unset_env = {"DISPLAY", "XAUTHORITY"};
    spawn.set_env = std::move(env);
    spawn.capture_stderr = true;
    ChildProcess program(spawn);
    Refusal refusal;
    wait_until(
        [&] {
            refusal.screen_touched |= touched();
            return !program.running();
        },
        10s, "spotfall to refuse the display and end");
    refusal.status = *program.status();
    refusal.text = program.captured_stderr();
    return refusal;
}

inline void expect_one_line_refusal(const Refusal& refusal, std::initializer_list<const char*> words)
{
    EXPECT_TRUE(refusal.status.exited() && refusal.status.code() == 1)
        << refusal.status.describe();
    EXPECT_EQ(refusal.text.rfind("spotfall: ", 0), 0u) << refusal.text;
    EXPECT_EQ(std::count(refusal.text.begin(), refusal.text.end(), '\n'), 1) << refusal.text;
    for (const char* word : words)
        EXPECT_NE(refusal.text.find(word), std::string::npos) << "no '" << word << "' in: " << refusal.text;
}

// SIGQUIT's default action dumps core, and so do the other signals the
// program re-raises: no core files in the build folder from the tests.
inline void no_core_files()
{
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
}

// Options for a server that switches to 1024x768: the picture then fills
// the screen from its top-left corner.
inline RunOptions mode_switched()
{
    RunOptions options;
    options.picture_at = std::pair{0, 0};
    return options;
}

// Puts the pointer where a user may have left it, off the middle of the
// screen (where the library's full-screen mode moves it), and returns that
// place, for expect_display_given_back.
inline ScreenPoint place_pointer(XConnection& x)
{
    const ScreenPoint place{343, 279};
    x.move_pointer(place);
    return place;
}

// The pointer is back where place_pointer left it.
inline void expect_pointer_given_back(XConnection& x, ScreenPoint place)
{
    EXPECT_EQ(x.pointer_position(), place) << "the pointer is not where it was before the run";
}

// The display is as it was before the program ran: the video mode it
// started in, no keyboard or pointer grab, no window, and the pointer
// where place_pointer left it.
inline void expect_display_given_back(XConnection& x, const std::string& mode, ScreenPoint pointer)
{
    EXPECT_NO_THROW(wait_until([&] { return x.video_mode() == mode; }, 2s,
                               "the video mode to return to " + mode))
        << "the mode is " << x.video_mode();
    EXPECT_FALSE(x.keyboard_grabbed_elsewhere()) << "the keyboard is still grabbed";
    EXPECT_FALSE(x.pointer_grabbed_elsewhere()) << "the pointer is still grabbed";
    EXPECT_NO_THROW(wait_until([&] { return x.mapped_windows() == 0; }, 2s,
                               "the program's window to go"));
    expect_pointer_given_back(x, pointer);
}

}  // namespace suite

// One run of spotfall on a private X server, and the waits a test needs:
// each bounded, each saying what it waited for when it runs out.
#pragma once

#include "display.hpp"
#include "oracle.hpp"
#include "process.hpp"
#include "server.hpp"

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace harness {

// The spotfall executable this harness was built with.
std::string spotfall_binary();

struct RunOptions {
    std::vector<std::string> args;
    // Starts the program's calendar clock at this second (through
    // libfaketime), still running, so that its seed is known.
    std::optional<std::time_t> clock_starts_at;
    // A command that runs the program, such as valgrind and its options.
    std::vector<std::string> wrapper;
    // The program's own command, in place of the spotfall this harness was
    // built with (such as Wine and the Windows build), and what its
    // environment needs besides the display.
    std::vector<std::string> command;
    std::vector<std::pair<std::string, std::string>> env;
    // Where the 1024x768 picture's top-left corner lies on the root window.
    // By default it is centred, as on a larger screen without mode
    // switching; a server that switches to 1024x768 shows it at (0, 0).
    std::optional<std::pair<int, int>> picture_at;
    // How the program is started. By default the harness spawns it from
    // these options; a desktop's launch starts it some other way and
    // returns it as a child of this process.
    std::function<std::unique_ptr<ChildProcess>(const SpawnOptions&)> start;
};

// A screen read back, when it was read, and what the oracle made of it.
struct Sight {
    Picture screen;
    OracleMatch match;
    // For a picture frozen by freeze(): when SPACE was sent, as no more
    // than one disc may follow that.
    Clock::time_point at;
};

// What holding SPACE until the screen stood still saw.
struct SpaceHold {
    Clock::time_point pressed;      // when the press was sent
    Picture at_press;               // the screen read straight after the press
    Picture still;                  // the screen that then stood still
    Clock::time_point last_change;  // when it last changed (`pressed` if it never did)
};

class SpotfallRun {
public:
    SpotfallRun(const DisplayServer& server, Seat& seat, RunOptions options = {});
    // Kills the program if it still runs, and removes the files its pinned
    // clock leaves behind when it is killed.
    ~SpotfallRun();
    SpotfallRun(const SpotfallRun&) = delete;
    SpotfallRun& operator=(const SpotfallRun&) = delete;

    ChildProcess& process() { return *process_; }
    Seat& x() { return x_; }
    Clock::time_point spawned_at() const { return process_->spawned_at(); }
    // The calendar seconds in which the program may have seeded its generator.
    std::time_t first_second() const { return first_second_; }
    std::time_t last_second() const { return last_second_; }

    // The 1024x768 picture, read back from where it lies on the root window.
    Picture grab();
    // Where the picture's top-left corner lies, once known (on a desktop
    // with several monitors, the one it landed on says).
    void picture_at(std::pair<int, int> top_left) { picture_at_ = top_left; }
    // The first screen that is more than a quarter white: the program has
    // set its mode and painted.
    Picture await_white(Millis limit = Millis(15000));
    Picture await_change(const Picture& from, Millis limit, const std::string& what);
    // A screen that stays the same for `still_for`.
    Picture await_still(Millis still_for, Millis limit);
    ExitStatus await_exit(Millis limit);
    // Matches a screen against the oracle for this run's possible seeds.
    OracleMatch match(const Oracle& oracle, const Picture& screen, int max_discs) const;
    // Matches a screen read at `at`, trying up to four times as many discs
    // as the time since the start allows.
    Sight judge(const Oracle& oracle, Picture screen, Clock::time_point at = Clock::now()) const;
    // Reads the screen and judges it.
    Sight look(const Oracle& oracle);
    // Looks until the screen is an exact picture of at least `discs` discs.
    Sight await_discs(const Oracle& oracle, int discs, Millis limit);
    // Presses SPACE and holds it until the screen has stood still for
    // `still_for`, and for at least 150 ms (long enough to be seen by a
    // program that samples it every 50 ms, and on through any backlog of
    // other key events), then lets it go. Reads the screen every `poll`.
    SpaceHold hold_space_until_still(Millis still_for, Millis limit, Millis poll = Millis(20));
    // Freezes the picture with SPACE and judges it. "Still" means unchanged
    // for 300 ms, or for three of the intervals between discs that the
    // picture shows if that is longer, so that a slow program still
    // drawing is not taken for a frozen one.
    Sight freeze(const Oracle& oracle, Millis limit = Millis(5000));
    // The files in /dev/shm that the pinned clock (libfaketime) made for
    // this run and has not removed: it removes them when the program ends
    // normally, never when it is killed.
    std::vector<std::string> clock_files() const;

private:
    static std::vector<std::string> clock_files(pid_t pid);

    Seat& x_;
    std::pair<int, int> picture_at_;
    std::unique_ptr<ChildProcess> process_;
    std::time_t first_second_ = 0;
    std::time_t last_second_ = 0;
    // When the screen was first seen white: the drawing began before it.
    std::optional<Clock::time_point> white_seen_at_;
    std::optional<std::time_t> fake_start_;
};

// The most discs that the program may have stamped in `elapsed` when it
// rests 50 ms after each one.
int disc_bound(Clock::duration elapsed);

// Formats a calendar second for libfaketime's start-at mode.
std::string faketime_start(std::time_t second);

}  // namespace harness

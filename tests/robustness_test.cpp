// A full-screen program must always give the display back, never hang and
// never report a failure as success: many runs in a row, a lost display,
// a storm of other keys, and memcheck.
#include "numbers.hpp"
#include "suite.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>

namespace suite {
namespace {

int soak_runs() { return int(whole_setting("SPOTFALL_SOAK_RUNS", 20, 1, 1000000)); }

using Soak = OnDisplay;

// Start, about 0.3 s of drawing, SPACE, ESC: again and again on one server.
TEST_F(Soak, CompleteRunsInARow)
{
    int runs = soak_runs(), ended_well = 0, exact = 0, windows_gone = 0;
    for (int i = 0; i < runs; ++i) {
        SCOPED_TRACE("run " + std::to_string(i + 1) + " of " + std::to_string(runs));
        SpotfallRun run(server, x);
        run.await_white();
        std::this_thread::sleep_for(300ms);  // the drawing this run is given
        Sight frozen = run.freeze(oracle());
        expect_frozen_exact(run, frozen);
        exact += frozen.match.found;
        x.tap(Key::escape);
        ExitStatus status = run.await_exit(5s);
        EXPECT_TRUE(status.success()) << status.describe();
        ended_well += status.success();
        try {
            wait_until([&] { return x.mapped_windows() == 0; }, 5s, "the program's window to go");
            ++windows_gone;
        } catch (const TimeoutError& e) {
            ADD_FAILURE() << e.what();
        }
    }
    std::printf("soak: %d runs, %d ended with status 0, %d frozen pictures exact, %d left no window\n",
                runs, ended_well, exact, windows_gone);
}

class LostDisplay : public ::testing::TestWithParam<Phase> {};

TEST_P(LostDisplay, EndsTheProgramWithAFailure)
{
    XvfbServer server;
    XConnection x(server.display());
    SpotfallRun run(server, x);
    await_drawing(run);
    if (GetParam() == Phase::waiting)
        run.freeze(oracle());
    server.kill_now();
    auto lost = Clock::now();
    ExitStatus status = run.await_exit(5s);
    std::printf("display lost while %s: ended after %.1f ms, %s\n",
                GetParam() == Phase::drawing ? "drawing" : "waiting",
                std::chrono::duration<double, std::milli>(run.process().ended_at() - lost).count(),
                status.describe().c_str());
    EXPECT_FALSE(status.success()) << "the display was lost, yet the program reported success";
    // The harness's own connection died too; it must say so, not end the test binary.
    EXPECT_THROW(x.grab(), ConnectionLost);
}

INSTANTIATE_TEST_SUITE_P(Phases, LostDisplay, ::testing::Values(Phase::drawing, Phase::waiting),
                         [](const auto& info) { return std::string(phase_name(info.param)); });

class KeyStorm : public OnDisplay, public ::testing::WithParamInterface<Phase> {
protected:
    // 2,000 random presses and releases of every key but SPACE, ESC and
    // End (Ctrl+Alt+End is the library's own emergency exit); all let go at the end.
    void storm()
    {
        std::vector<unsigned> codes = x.other_keycodes();
        std::vector<bool> down(256, false);
        std::mt19937 random(20261208);
        for (int event = 0; event < 2000; ++event) {
            unsigned code = codes[random() % codes.size()];
            down[code] = !down[code];
            x.send_keycode(code, down[code]);
        }
        for (unsigned code = 0; code < down.size(); ++code)
            if (down[code])
                x.send_keycode(code, false);
    }
};

TEST_P(KeyStorm, OtherKeysChangeNothing)
{
    SpotfallRun run(server, x);
    await_drawing(run);

    if (GetParam() == Phase::drawing) {
        storm();
        ASSERT_TRUE(run.process().running()) << run.process().status()->describe();
        Picture after_storm = x.grab();
        run.await_change(after_storm, 2s, "drawing to go on after the key storm");

        // The library works through the storm's backlog a few events at a
        // time, and would join a short tap's press and release into one
        // moment that the program never sees; so SPACE is held until the
        // picture stops.
        SpaceHold hold = run.hold_space_until_still(300ms, 10s);
        std::printf("key storm: SPACE held after 2000 other key events was seen within %.0f ms\n",
                    std::chrono::duration<double, std::milli>(hold.last_change - hold.pressed)
                        .count());
        Sight sight = run.look(oracle());
        EXPECT_EQ(sight.screen, hold.still);
        EXPECT_EXACT(sight);
    } else {
        Sight frozen = run.freeze(oracle());
        expect_frozen_exact(run, frozen);
        storm();
        // The library works through the backlog in about 300 ms; nothing on
        // the screen shows when it is done, so the program is watched for
        // five times that: it must neither end nor draw.
        auto watch_until = Clock::now() + 1500ms;
        while (Clock::now() < watch_until && run.process().running() &&
               x.grab() == frozen.screen)
            std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(run.process().running())
            << "other keys ended the frozen picture: " << run.process().status()->describe();
        EXPECT_EQ(x.grab(), frozen.screen) << "other keys changed the frozen picture";
    }
    expect_clean_end(run);
}

INSTANTIATE_TEST_SUITE_P(Phases, KeyStorm, ::testing::Values(Phase::drawing, Phase::waiting),
                         [](const auto& info) { return std::string(phase_name(info.param)); });

TEST(Memcheck, CompleteRunHasNoErrors)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "valgrind cannot run a program built with AddressSanitizer";
#endif
    XvfbServer server;
    XConnection x(server.display());
    RunOptions options;
    // Fair scheduling, so that the spinning main thread cannot starve the
    // library's thread that reads the keyboard.
    options.wrapper = {"valgrind", "-q", "--fair-sched=yes", "--leak-check=full",
                       "--error-exitcode=42"};
    SpotfallRun run(server, x, options);
    run.await_white(30s);
    run.await_discs(oracle(), 5, 20s);
    expect_frozen_exact(run, run.freeze(oracle(), 10s));
    x.tap(Key::escape);
    ExitStatus status = run.await_exit(30s);
    EXPECT_TRUE(status.success()) << status.describe() << "\n" << run.process().captured_stderr();
    EXPECT_EQ(run.process().captured_stderr(), "");
}

}  // namespace
}  // namespace suite

// The two keys and the phases they move between: SPACE freezes the
// picture, ESC ends the program, and neither does anything out of turn.
#include "suite.hpp"

namespace suite {
namespace {

using Keys = OnDisplay;

TEST_F(Keys, SpaceFreezesAnExactPictureWithAtMostOneDiscMore)
{
    SpotfallRun run(server, x);
    await_drawing(run, 5);

    SpaceHold hold = run.hold_space_until_still(300ms, 5s);
    // Every disc on this screen was drawn before, or while, the press was sent.
    Sight at_press = run.judge(oracle(), hold.at_press, hold.pressed);
    std::this_thread::sleep_for(300ms);  // the span that must show no change
    Sight frozen = run.look(oracle());

    EXPECT_EQ(frozen.screen, hold.still) << "the picture changed after it had stood still";
    EXPECT_EXACT(at_press);
    EXPECT_EXACT(frozen);
    EXPECT_LE(frozen.match.count, at_press.match.count_max + 1);
    EXPECT_TRUE(run.process().running()) << "SPACE must not end the program";
    expect_clean_end(run);
}

TEST_F(Keys, EscWhileDrawingChangesNothing)
{
    SpotfallRun run(server, x);
    await_drawing(run);

    x.tap(Key::escape);
    Picture after_esc = x.grab();
    run.await_change(after_esc, 2s, "drawing to go on after ESC");
    EXPECT_TRUE(run.process().running()) << run.process().status()->describe();

    Sight frozen = run.freeze(oracle());
    expect_frozen_exact(run, frozen);
    expect_clean_end(run);
}

TEST_F(Keys, SpaceWhileWaitingChangesNothingAndEscEndsWithStatusZero)
{
    SpotfallRun run(server, x);
    await_drawing(run);
    Sight frozen = run.freeze(oracle());
    expect_frozen_exact(run, frozen);

    x.tap(Key::space);
    std::this_thread::sleep_for(300ms);  // the span that must show no change
    EXPECT_EQ(x.grab(), frozen.screen) << "SPACE while waiting changed the picture";
    EXPECT_TRUE(run.process().running()) << "SPACE while waiting ended the program";
    expect_clean_end(run);
}

TEST_F(Keys, SpaceAndEscTogetherEndTheProgramStraightAfterDrawing)
{
    SpotfallRun run(server, x);
    await_drawing(run);

    x.press(Key::space);
    x.press(Key::escape);
    std::this_thread::sleep_for(150ms);  // how long the keys are held
    x.release(Key::space);
    x.release(Key::escape);
    ExitStatus status = run.await_exit(2s);
    EXPECT_TRUE(status.success()) << status.describe();
}

}  // namespace
}  // namespace suite

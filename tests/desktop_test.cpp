// The program on a desktop: it takes the whole screen and the keyboard
// while it runs, gives both back when it ends with the pointer where it
// was, and under a window manager SPACE and ESC reach it, not the window
// that had the focus.
#include "desktop.hpp"
#include "suite.hpp"

namespace suite {
namespace {

using FullScreen = OnDisplay;

TEST_F(FullScreen, TakesTheWholeScreenAndTheKeyboardAndGivesThemBack)
{
    XConnection other_client(server.display());
    ASSERT_FALSE(other_client.keyboard_grabbed_elsewhere()) << "grabbed before the program ran";
    const ScreenPoint pointer = place_pointer(x);
    SpotfallRun run(server, x);
    await_drawing(run);

    std::vector<TopLevelWindow> windows = x.viewable_windows();
    ASSERT_EQ(windows.size(), 1u) << "the program shows one window";
    const TopLevelWindow& window = windows.front();
    // A window manager leaves an override-redirect window alone: no frame,
    // no moving, nothing stacked above it.
    EXPECT_TRUE(window.override_redirect) << "a managed window, not a full-screen one";
    EXPECT_EQ(window.x, 0);
    EXPECT_EQ(window.y, 0);
    EXPECT_EQ(window.width, x.screen_width());
    EXPECT_EQ(window.height, x.screen_height());
    EXPECT_TRUE(other_client.keyboard_grabbed_elsewhere())
        << "while drawing, another client could take the keyboard";

    expect_frozen_exact(run, run.freeze(oracle()));
    EXPECT_TRUE(other_client.keyboard_grabbed_elsewhere())
        << "while frozen, another client could take the keyboard";
    expect_clean_end(run);
    // The server lets a grab go when it sees the client's connection close.
    EXPECT_NO_THROW(wait_until([&] { return !other_client.keyboard_grabbed_elsewhere(); }, 5s,
                               "the keyboard grab to go with the program"));
    expect_pointer_given_back(x, pointer);
}

TEST(WindowManager, SpaceAndEscReachTheProgramAndTheFocusComesBack)
{
    XvfbServer server;
    XConnection x(server.display());
    WindowManager openbox(server.display());
    FocusedWindow focused(server.display());
    // The window gets keys while it has the focus, so that none reaching it
    // later means something.
    x.tap(Key::space, 20ms);
    EXPECT_NO_THROW(wait_until([&] { return focused.key_presses() > 0; }, 5s,
                               "a key press to reach the focused window"));
    const int desktop_windows = x.mapped_windows();

    SpotfallRun run(server, x);
    await_drawing(run);
    Sight frozen = run.freeze(oracle());
    expect_frozen_exact(run, frozen);
    EXPECT_TRUE(run.process().running()) << "SPACE must not end the program";
    // ESC stays down until the program has gone: let go afterwards, it
    // reaches the focused window as a release, which no program can prevent.
    x.press(Key::escape);
    ExitStatus status = run.await_exit(5s);
    x.release(Key::escape);
    EXPECT_TRUE(status.success()) << status.describe();
    EXPECT_EQ(focused.key_presses(), 0) << "SPACE or ESC reached the window that had the focus";

    EXPECT_NO_THROW(wait_until([&] { return x.mapped_windows() == desktop_windows; }, 5s,
                               "the program's window to go"));
    EXPECT_NO_THROW(wait_until([&] { return focused.has_focus(); }, 5s,
                               "the focus to come back to the window that had it"));
    EXPECT_TRUE(openbox.running());
}

}  // namespace
}  // namespace suite

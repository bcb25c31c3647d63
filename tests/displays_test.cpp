// The displays users have besides a bare 1024x768 Xvfb: an Xorg that
// really switches video modes, screens larger and smaller than the
// picture, and a Wayland desktop, where the program's keys cannot reach it.
#include "suite.hpp"

#include <algorithm>
#include <memory>

namespace suite {
namespace {

TEST(Xorg, SwitchesTo1024x768WhileRunningAndBackAfterEsc)
{
    XorgServer server;
    XConnection x(server.display());
    ASSERT_EQ(x.video_mode(), "1920x1080");

    SpotfallRun run(server, x, mode_switched());
    await_drawing(run);
    EXPECT_EQ(x.video_mode(), "1024x768");
    EXPECT_TRUE(x.keyboard_grabbed_elsewhere()) << "full screen holds the keyboard";
    expect_frozen_exact(run, run.freeze(oracle()));
    expect_clean_end(run);
    expect_display_given_back(x, "1920x1080");
}

// Without mode switching the picture sits whole in the middle of a larger
// screen, on black.
TEST(Letterbox, PictureIsWholeExactAndCentredOnBlack)
{
    XvfbServer server(XvfbOptions{1920, 1080, 24});
    XConnection x(server.display());
    SpotfallRun run(server, x);
    await_drawing(run);
    expect_frozen_exact(run, run.freeze(oracle()));

    Picture whole = x.grab();
    const int left = (1920 - 1024) / 2, top = (1080 - 768) / 2;
    std::size_t border_not_black = 0;
    for (int y = 0; y < whole.height; ++y)
        for (int x_at = 0; x_at < whole.width; ++x_at) {
            bool inside = x_at >= left && x_at < left + 1024 && y >= top && y < top + 768;
            border_not_black += !inside && whole.at(x_at, y) != Picture::black;
        }
    EXPECT_EQ(border_not_black, 0u) << "pixels around the picture that are not black";
    expect_clean_end(run);
}

struct SmallScreen {
    const char* name;
    bool xorg;
    std::vector<std::string> modes;
};

void PrintTo(const SmallScreen& screen, std::ostream* out) { *out << screen.name; }

class SmallScreens : public ::testing::TestWithParam<SmallScreen> {};

TEST_P(SmallScreens, RefusedWithOneLineAndNothingDrawn)
{
    std::unique_ptr<DisplayServer> server;
    if (GetParam().xorg)
        server = std::make_unique<XorgServer>(XorgOptions{GetParam().modes});
    else
        server = std::make_unique<XvfbServer>(XvfbOptions{800, 600, 24});
    XConnection x(server->display());

    Refusal refusal = run_expecting_refusal(server->display().c_str(), [&] {
        return x.grab().count(Picture::white) > 0;
    });
    expect_one_line_refusal(refusal, {"800x600", "1024x768"});
    EXPECT_FALSE(refusal.screen_touched) << "the screen turned white";
    if (GetParam().xorg)
        expect_display_given_back(x, "800x600");
}

INSTANTIATE_TEST_SUITE_P(
    At800x600, SmallScreens,
    ::testing::Values(SmallScreen{"Xvfb", false, {}},
                      SmallScreen{"XorgWithNoLargerMode", true, {"800x600"}},
                      // Its screen is 800x600 too: a larger mode cannot be switched to.
                      SmallScreen{"XorgWithLargerModes", true, {"800x600", "1024x768", "1920x1080"}}),
    [](const auto& info) { return std::string(info.param.name); });

// On weston, as on other Wayland desktops, the compositor gives the
// keyboard only to windows it manages, never to the program's full-screen
// window: it must say so and end rather than cover the screen.
TEST(Wayland, RefusedBeforeCoveringTheScreen)
{
    if (!weston_available())
        GTEST_SKIP() << "weston or Xwayland is not installed (Debian: weston, xwayland)";
    std::unique_ptr<WestonDesktop> desktop;
    try {
        desktop = std::make_unique<WestonDesktop>();
    } catch (const std::exception& e) {
        GTEST_SKIP() << "weston cannot run on this machine: " << e.what();
    }
    // An ordinary client has the focus, as a terminal would.
    XConnection outer(desktop->outer_display());
    Picture bare_desktop = outer.grab();
    ChildProcess terminal(desktop->wayland_client({"weston-terminal"}));
    wait_until([&] { return outer.grab() != bare_desktop; }, 10s, "weston-terminal to show");

    XConnection xwayland(desktop->display());
    Refusal refusal = run_expecting_refusal(desktop->display().c_str(), [&] {
        auto windows = xwayland.viewable_windows();
        return std::any_of(windows.begin(), windows.end(),
                           [](const TopLevelWindow& w) { return w.override_redirect; });
    });
    expect_one_line_refusal(refusal, {"Xwayland", "X11 session"});
    EXPECT_FALSE(refusal.screen_touched) << "a full-screen window appeared";
    EXPECT_TRUE(terminal.running()) << "the focused client ended";
}

}  // namespace
}  // namespace suite

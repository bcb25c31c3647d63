// The displays users have besides a bare 1024x768 Xvfb: an Xorg that
// really switches video modes, screens larger and smaller than the
// picture, and a Wayland desktop, where the program's keys cannot reach it.
#include "suite.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
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

    Refusal refusal = run_expecting_refusal({{"DISPLAY", server->display()}}, [&] {
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

// Starts a nested desktop; where its programs are missing or it cannot run
// here, returns none and says why.
template <typename Desktop>
std::unique_ptr<Desktop> start_desktop(const std::vector<std::string>& programs, std::string& why)
{
    if (!installed(programs)) {
        why = "not installed: one of";
        for (const auto& program : programs)
            why += " " + program;
        return nullptr;
    }
    try {
        return std::make_unique<Desktop>();
    } catch (const std::exception& e) {
        why = std::string("the compositor cannot run on this machine: ") + e.what();
        return nullptr;
    }
}

// On weston, as on other Wayland desktops, the compositor gives the
// keyboard only to windows it manages. Keys typed on its keyboard (the outer
// Xvfb's) must still reach the program, and not the client that had the
// focus; the picture is read back from the compositor's output.
TEST(Wayland, KeysOnWestonReachTheProgramAndNotTheFocusedClient)
{
    std::string why;
    auto desktop = start_desktop<WestonDesktop>({"weston", "weston-terminal", "Xwayland"}, why);
    if (!desktop)
        GTEST_SKIP() << why;
    XConnection outer(desktop->outer_display());

    // A terminal with the focus, whose shell writes down every byte it gets.
    TempDir files("spotfall-terminal");
    const std::string shell = files.path() + "/shell";
    std::ofstream(shell) << "#!/bin/sh\nstty raw -echo\nexec cat > \"$0.keys\"\n";
    std::filesystem::permissions(shell, std::filesystem::perms::owner_all);
    ChildProcess terminal(desktop->wayland_client({"weston-terminal", "--shell=" + shell}));
    auto bytes_typed = [&] {
        std::error_code missing;
        auto size = std::filesystem::file_size(shell + ".keys", missing);
        return missing ? 0 : size;
    };
    // A tap a second until one arrives; none is left on its way after.
    wait_until(
        [&] {
            if (bytes_typed() > 0)
                return true;
            outer.tap(Key::space, Millis(20));
            return false;
        },
        10s, "the terminal to have the focus and get a key", 1000ms);
    const auto before = bytes_typed();

    SpotfallRun run(*desktop, outer);
    // The terminal and the desktop show white too: first the picture must
    // cover its place on the compositor's output.
    wait_until(
        [&] {
            if (!run.process().running())
                throw std::runtime_error("spotfall ended: " + run.process().status()->describe() +
                                         "; stderr: " + run.process().captured_stderr());
            return run.grab().count(Picture::other) == 0;
        },
        15s, "the picture to show, whole, on the compositor's output");
    await_drawing(run);
    expect_frozen_exact(run, run.freeze(oracle()));
    outer.tap(Key::escape);
    ExitStatus status = run.await_exit(5s);
    EXPECT_TRUE(status.success()) << status.describe() << "; " << run.process().captured_stderr();
    EXPECT_EQ(bytes_typed(), before) << "keys meant for spotfall reached the focused terminal";
    EXPECT_TRUE(terminal.running()) << "the focused client ended";
}

// Elsewhere (GNOME's mutter crashed when the picture's window was taken
// below) the program refuses before it covers the screen.
TEST(Wayland, OtherDesktopsAreRefusedBeforeTheScreenIsCovered)
{
    std::string why;
    auto desktop =
        start_desktop<MutterDesktop>({"mutter", "dbus-run-session", "Xwayland"}, why);
    if (!desktop)
        GTEST_SKIP() << why;
    XConnection outer(desktop->outer_display());
    Picture settled = outer.grab();
    wait_until(
        [&] {
            Picture now = outer.grab();
            bool same = now == settled;
            settled = std::move(now);
            return same;
        },
        10s, "mutter's output to settle", 300ms);

    Refusal refusal = run_expecting_refusal(desktop->x_client_env(),
                                            [&] { return outer.grab() != settled; });
    expect_one_line_refusal(refusal, {"Xwayland", "X11 session"});
    EXPECT_FALSE(refusal.screen_touched) << "mutter's output changed while the program ran";
}

}  // namespace
}  // namespace suite

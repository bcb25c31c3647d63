// The displays users have besides a bare 1024x768 Xvfb: an Xorg that
// really switches video modes, and screens larger and smaller than the
// picture. (Wayland desktops are in wayland_test.cpp.)
#include "suite.hpp"

#include <memory>

namespace suite {
namespace {

TEST(Xorg, SwitchesTo1024x768WhileRunningAndBackAfterEsc)
{
    XorgServer server;
    XConnection x(server.display());
    ASSERT_EQ(x.video_mode(), "1920x1080");
    const ScreenPoint pointer = place_pointer(x);

    SpotfallRun run(server, x, mode_switched());
    await_drawing(run);
    EXPECT_EQ(x.video_mode(), "1024x768");
    EXPECT_TRUE(x.keyboard_grabbed_elsewhere()) << "full screen holds the keyboard";
    expect_frozen_exact(run, run.freeze(oracle()));
    expect_clean_end(run);
    expect_display_given_back(x, "1920x1080", pointer);
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
    const ScreenPoint pointer = place_pointer(x);

    Refusal refusal = run_expecting_refusal({{"DISPLAY", server->display()}}, [&] {
        return x.grab().count(Picture::white) > 0;
    });
    expect_one_line_refusal(refusal, {"800x600", "1024x768"});
    EXPECT_FALSE(refusal.screen_touched) << "the screen turned white";
    if (GetParam().xorg)
        expect_display_given_back(x, "800x600", pointer);
}

INSTANTIATE_TEST_SUITE_P(
    At800x600, SmallScreens,
    ::testing::Values(SmallScreen{"Xvfb", false, {}},
                      SmallScreen{"XorgWithNoLargerMode", true, {"800x600"}},
                      // Its screen is 800x600 too: a larger mode cannot be switched to.
                      SmallScreen{"XorgWithLargerModes", true, {"800x600", "1024x768", "1920x1080"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace suite

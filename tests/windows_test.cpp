// The Windows build: spotfall.exe from the Windows zip, run by Wine on a
// private 1920x1080 Xvfb, each test with a Wine prefix of its own. Wine
// switches the X server's mode through RandR as Windows would switch the
// monitor's, and the picture is judged by the oracle with msvcrt's rand(),
// the generator the Windows program seeds. Skipped, saying why, where Wine
// or the zip is missing.
#include "suite.hpp"
#include "wine.hpp"

#include <X11/keysym.h>

#include <filesystem>

namespace suite {
namespace {

const Oracle& msvcrt_oracle()
{
    static const Oracle instance(RandomGenerator::msvcrt);
    return instance;
}

// Wine's own ending waits some seconds for a window manager that a bare
// Xvfb lacks, so its programs take that long to end.
constexpr Millis wine_exit_limit = 30s;

class Windows : public ::testing::Test {
protected:
    Windows() : server(XvfbOptions{1920, 1080, 24}), x(server.display()) {}

    void SetUp() override
    {
        if (!installed({"wine", "wineboot", "wineserver"}))
            GTEST_SKIP() << "Wine is not installed (Debian: wine wine64), so the Windows build "
                            "cannot run here";
        const std::string zip = SPOTFALL_WINDOWS_ZIP;
        if (!std::filesystem::exists(zip))
            GTEST_SKIP() << "no Windows zip at " << zip
                         << " (scripts/package --windows makes it; the test Windows.Zip runs it)";
        SpawnOptions unzip;
        unzip.argv = {"unzip", "-q", zip, "-d", unzipped.path()};
        ExitStatus unzipped_status = ChildProcess(unzip).wait(30s, "unzip to open " + zip);
        ASSERT_TRUE(unzipped_status.success()) << "unzip " << zip << ": " << unzipped_status.describe();
        for (const auto& entry : std::filesystem::recursive_directory_iterator(unzipped.path()))
            if (entry.path().filename() == "spotfall.exe")
                exe = entry.path().string();
        ASSERT_FALSE(exe.empty()) << "no spotfall.exe in " << zip;
    }

    // The prefix is made once the display has the modes it will have:
    // Wine takes the list of modes when it starts. Its DirectDraw draws
    // through GDI: through OpenGL (Mesa's software renderer on Xvfb) the
    // same pictures cost 15 times the processor time and start 4 times
    // slower, too much for a shared machine (scripts/bench --windows
    // --wine-renderer gl|gdi).
    void start_wine() { wine = std::make_unique<WinePrefix>(server, "gdi"); }

    RunOptions windows_program()
    {
        RunOptions options = mode_switched();
        options.command = wine->command(exe);
        options.env = wine->env();
        return options;
    }

    XvfbServer server;
    XConnection x;
    TempDir unzipped{"spotfall-windows-zip"};
    std::string exe;
    // Ended (wineserver -k) before the X server goes.
    std::unique_ptr<WinePrefix> wine;
};

// With a 1024x768 mode on the monitor: the mode is set, the picture is
// white with exact discs from msvcrt's generator (glibc's gives another),
// SPACE freezes it, ESC ends with 0, and the mode comes back.
TEST_F(Windows, SwitchesModeDrawsExactDiscsFreezesAndEndsWithZero)
{
    add_randr_mode(x, 1024, 768);
    start_wine();
    SpotfallRun run(server, x, windows_program());
    run.await_white(30s);
    EXPECT_EQ(mode_name(randr_mode(x)), "1024x768") << "Wine did not switch the mode";
    run.await_discs(msvcrt_oracle(), 3, 10s);

    Sight frozen = run.freeze(msvcrt_oracle());
    expect_frozen_exact(run, frozen);
    EXPECT_FALSE(run.match(oracle(), frozen.screen, frozen.match.count + 20).found)
        << "glibc's generator gives this picture too, so it does not tell the two apart";
    // Frozen: still the same picture a while later.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(run.grab().count(Picture::black), frozen.screen.count(Picture::black))
        << "the picture changed after SPACE";

    run.x().tap(Key::escape);
    ExitStatus status = run.await_exit(wine_exit_limit);
    EXPECT_TRUE(status.success()) << status.describe() << "; stderr: "
                                  << run.process().captured_stderr();
    EXPECT_NO_THROW(wait_until([&] { return mode_name(randr_mode(x)) == "1920x1080"; }, 10s,
                               "the mode to come back to 1920x1080"))
        << "the mode is " << mode_name(randr_mode(x));
}

// Alt+F4, typed while the discs fall, is Windows' close request: spotfall
// ends at once with 0 and gives the mode back.
TEST_F(Windows, AltF4EndsWithZero)
{
    add_randr_mode(x, 1024, 768);
    start_wine();
    SpotfallRun run(server, x, windows_program());
    run.await_white(30s);
    run.await_discs(msvcrt_oracle(), 3, 10s);
    // Alt+F4 is Windows' close request: the library's keyboard turns it
    // into WM_CLOSE, which reaches the program's close callback.
    type_chord(x, {XK_Alt_L, XK_F4});
    ExitStatus status = run.await_exit(wine_exit_limit);
    EXPECT_TRUE(status.success()) << status.describe() << "; stderr: "
                                  << run.process().captured_stderr();
    EXPECT_NO_THROW(wait_until([&] { return mode_name(randr_mode(x)) == "1920x1080"; }, 10s,
                               "the mode to come back to 1920x1080"));
}

// Without a 1024x768 mode: one line, in a message box (and on stderr, which
// Wine passes on), with Windows advice and no word of X; nothing drawn;
// after the box is answered with Enter, status 1.
TEST_F(Windows, WithoutTheModeSaysWhyInAMessageBoxAndEndsWithOne)
{
    start_wine();
    SpawnOptions spawn;
    spawn.argv = wine->command(exe);
    spawn.set_env = server.x_client_env();
    for (const auto& variable : wine->env())
        spawn.set_env.push_back(variable);
    spawn.capture_stderr = true;
    ChildProcess program(spawn);
    wait_until(
        [&] {
            if (!program.running())
                return true;
            return program.captured_stderr().find('\n') != std::string::npos;
        },
        30s, "spotfall to say why it cannot start");
    const std::string text = program.captured_stderr();
    EXPECT_EQ(text.rfind("spotfall: ", 0), 0u) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    for (const char* word : {"1024x768", "display settings"})
        EXPECT_NE(text.find(word), std::string::npos) << "no '" << word << "' in: " << text;
    for (const char* word : {"DISPLAY", "X server", "X11"})
        EXPECT_EQ(text.find(word), std::string::npos) << "'" << word << "' in: " << text;
    EXPECT_EQ(mode_name(randr_mode(x)), "1920x1080");

    // The message box waits for its answer: the program has not ended yet.
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(program.running()) << "spotfall ended without waiting for the message box";
    // The message box has some white of its own, far less than a picture.
    EXPECT_LT(x.grab().count(Picture::white), std::size_t(1024 * 768 / 4))
        << "the refusal painted the screen";
    // Enter answers the box (OK has the focus). Typed again until it ends,
    // in case the box was not yet up to take it.
    std::optional<ExitStatus> status;
    wait_until(
        [&] {
            type_chord(x, {XK_Return});
            status = program.wait_for(1s);
            return status.has_value();
        },
        wine_exit_limit, "spotfall to end once its message box is answered");
    EXPECT_TRUE(status->exited() && status->code() == 1) << status->describe();
}

}  // namespace
}  // namespace suite

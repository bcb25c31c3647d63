// Signals end the program by that same signal with the display given back:
// on an Xorg that really switches modes, the mode it started in, no grab
// and no window. A signal ignored when the program started stays ignored.
#include "suite.hpp"

#include <sys/resource.h>

#include <cctype>
#include <csignal>
#include <cstring>
#include <random>

namespace suite {
namespace {

struct SignalCase {
    int signal_number;
    Phase phase;
};

void PrintTo(const SignalCase& c, std::ostream* out)
{
    *out << strsignal(c.signal_number) << " " << phase_name(c.phase);
}

class Signals : public ::testing::TestWithParam<SignalCase> {
protected:
    static void SetUpTestSuite() { no_core_files(); }

    XorgServer server;
    XConnection x{server.display()};
};

TEST_P(Signals, EndByThatSignalWithTheDisplayGivenBack)
{
    const int number = GetParam().signal_number;
    const std::string start_mode = x.video_mode();
    ASSERT_EQ(start_mode, "1920x1080");
    const ScreenPoint pointer = place_pointer(x);
    {
        SpotfallRun run(server, x, mode_switched());
        await_drawing(run);
        if (GetParam().phase == Phase::waiting)
            expect_frozen_exact(run, run.freeze(oracle()));
        ASSERT_EQ(x.video_mode(), "1024x768");
        run.process().send_signal(number);
        auto sent = Clock::now();
        ExitStatus status = run.await_exit(5s);
        double took_ms =
            std::chrono::duration<double, std::milli>(run.process().ended_at() - sent).count();
        std::printf("%s %s: ended after %.1f ms, %s\n", strsignal(number),
                    phase_name(GetParam().phase), took_ms, status.describe().c_str());
        EXPECT_TRUE(status.signalled() && status.signal() == number) << status.describe();
        EXPECT_LE(took_ms, 500.0) << "the signal took too long to end the program";
        EXPECT_EQ(run.process().captured_stderr(), "");
    }
    expect_display_given_back(x, start_mode, pointer);

    // The same server serves a new run at once.
    SpotfallRun next(server, x, mode_switched());
    next.await_white(5s);
    expect_frozen_exact(next, next.freeze(oracle()));
    expect_clean_end(next);
}

std::string signal_case_name(const ::testing::TestParamInfo<SignalCase>& info)
{
    std::string name = sigabbrev_np(info.param.signal_number);
    for (size_t i = 1; i < name.size(); ++i)
        name[i] = char(std::tolower(static_cast<unsigned char>(name[i])));
    return name + phase_name(info.param.phase);
}

INSTANTIATE_TEST_SUITE_P(
    OnXorg, Signals,
    ::testing::Values(SignalCase{SIGHUP, Phase::drawing}, SignalCase{SIGHUP, Phase::waiting},
                      SignalCase{SIGINT, Phase::drawing}, SignalCase{SIGINT, Phase::waiting},
                      SignalCase{SIGQUIT, Phase::drawing}, SignalCase{SIGQUIT, Phase::waiting},
                      SignalCase{SIGTERM, Phase::drawing}, SignalCase{SIGTERM, Phase::waiting}),
    signal_case_name);

// The other signals whose default ends a program left the mode switched
// before the program handled them too.
INSTANTIATE_TEST_SUITE_P(
    OtherEndingSignalsOnXorg, Signals,
    ::testing::Values(SignalCase{SIGPIPE, Phase::drawing}, SignalCase{SIGALRM, Phase::waiting},
                      SignalCase{SIGUSR1, Phase::drawing}, SignalCase{SIGUSR2, Phase::waiting},
                      SignalCase{SIGVTALRM, Phase::drawing}, SignalCase{SIGPROF, Phase::waiting},
                      SignalCase{SIGXCPU, Phase::drawing}, SignalCase{SIGXFSZ, Phase::waiting}),
    signal_case_name);

// A shell starts a background job with SIGINT and SIGQUIT ignored; the
// program must keep drawing through them and still end on its keys.
using BackgroundJob = OnDisplay;

TEST_F(BackgroundJob, IgnoredInterruptAndQuitStayIgnored)
{
    RunOptions options;
    options.wrapper = {"sh", "-c", "trap '' INT QUIT; exec \"$0\" \"$@\""};
    SpotfallRun run(server, x, options);
    await_drawing(run);

    run.process().send_signal(SIGINT);
    run.process().send_signal(SIGQUIT);
    run.await_change(run.grab(), 2s, "drawing to go on after SIGINT and SIGQUIT");
    ASSERT_TRUE(run.process().running()) << run.process().status()->describe();

    expect_frozen_exact(run, run.freeze(oracle()));
    expect_clean_end(run);
    EXPECT_EQ(run.process().captured_stderr(), "");
}

// SIGTERM at random moments of both phases: the library's shutdown must
// never abort or crash, so every run ends by SIGTERM itself.
using SignalStorm = OnDisplay;

TEST_F(SignalStorm, SixtyTermsAtRandomMomentsAllEndBySigterm)
{
    const int runs = 60;
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> moment_ms(0, 400);
    int by_sigterm = 0, pointer_back = 0;
    std::vector<std::string> other_endings;
    const ScreenPoint pointer = place_pointer(x);
    for (int i = 0; i < runs; ++i) {
        SpotfallRun run(server, x);
        run.await_white();
        if (i % 2)
            run.freeze(oracle());
        // The moment is the thing varied, not a wait for a state.
        std::this_thread::sleep_for(Millis(moment_ms(random)));
        run.process().send_signal(SIGTERM);
        ExitStatus status = run.await_exit(5s);
        if (status.signalled() && status.signal() == SIGTERM)
            ++by_sigterm;
        else
            other_endings.push_back("run " + std::to_string(i + 1) + (i % 2 ? " (waiting): " : " (drawing): ") +
                                    status.describe());
        wait_until([&] { return x.mapped_windows() == 0; }, 5s, "the program's window to go");
        if (x.pointer_position() == pointer)
            ++pointer_back;
        else
            other_endings.push_back("run " + std::to_string(i + 1) + ": the pointer was not put back");
        x.move_pointer(pointer);
    }
    std::printf("signal storm: %d runs, %d ended by SIGTERM, %d with the pointer put back, %zu "
                "otherwise\n",
                runs, by_sigterm, pointer_back, other_endings.size());
    for (const auto& ending : other_endings)
        ADD_FAILURE() << ending;
}

}  // namespace
}  // namespace suite

// Never a core dump, never a hang: a signal at any moment from exec to exit,
// start-up included, ends the program by that signal; a display killed at
// any moment ends it with one line and status 1; a display that never
// answers ends it with one line and status 1 within the bound; and a
// failed start gives advice that fits what failed.
#include "numbers.hpp"
#include "suite.hpp"

#include <X11/Xlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>
#include <system_error>

namespace suite {
namespace {

int storm_runs() { return int(whole_setting("SPOTFALL_STORM_RUNS", 20, 1, 100000)); }
int lost_display_runs() { return int(whole_setting("SPOTFALL_LOST_DISPLAY_RUNS", 40, 1, 100000)); }

std::string line_count_and_text(const std::string& text)
{
    return std::to_string(std::count(text.begin(), text.end(), '\n')) + " lines: " + text;
}

const char* short_name(int number)
{
    switch (number) {
    case SIGHUP: return "Hup";
    case SIGINT: return "Int";
    case SIGQUIT: return "Quit";
    case SIGTERM: return "Term";
    case SIGPIPE: return "Pipe";
    case SIGALRM: return "Alrm";
    case SIGUSR1: return "Usr1";
    case SIGUSR2: return "Usr2";
    case SIGVTALRM: return "Vtalrm";
    case SIGPROF: return "Prof";
    case SIGXCPU: return "Xcpu";
    case SIGXFSZ: return "Xfsz";
    default: return "Other";
    }
}

// Every catchable signal whose default ends the process.
const int ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGPIPE, SIGALRM,
                              SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

// A wrapper that runs the program with the shim preloaded, raising `number`
// just before allegro_init opens the display. In a sanitized build the shim
// comes before the sanitizer's runtime, which is harmless here.
std::vector<std::string> raising_before_xopendisplay(int number)
{
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {"env", "LD_PRELOAD=" SPOTFALL_RAISE_SHIM,
            "SPOTFALL_RAISE_SIGNAL=" + std::to_string(number),
            "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"};
}

class EndingSignalStorm : public OnDisplay, public ::testing::WithParamInterface<int> {
protected:
    // Several of these signals dump core by default; no core files here.
    static void SetUpTestSuite() { no_core_files(); }
};

// Runs in four kinds of moment, in turn: raised inside the program just
// before allegro_init opens the display (through a preloaded shim), sent
// at a random moment of the first 300 ms (start-up and drawing), and sent
// at a random moment just after SPACE.
TEST_P(EndingSignalStorm, EveryRunEndsByThatSignal)
{
    const int number = GetParam();
    const int runs = storm_runs();
    std::mt19937 random(20261208 + number);
    std::uniform_int_distribution<int> moment_ms(0, 300);
    int by_that_signal = 0;
    std::vector<std::string> wrong;
    for (int i = 0; i < runs; ++i) {
        const int kind = i % 4;
        RunOptions options;
        if (kind == 0)
            options.wrapper = raising_before_xopendisplay(number);
        SpotfallRun run(server, x, options);
        if (kind == 1 || kind == 2) {
            // The moment is the thing varied, not a wait for a state.
            std::this_thread::sleep_for(Millis(moment_ms(random)));
            run.process().send_signal(number);
        } else if (kind == 3) {
            run.await_white();
            x.press(Key::space);
            std::this_thread::sleep_for(Millis(100 + moment_ms(random) / 3));
            x.release(Key::space);
            run.process().send_signal(number);
        }
        ExitStatus status = run.await_exit(10s);
        const std::string& said = run.process().captured_stderr();
        static const char* const kinds[] = {"raised before XOpenDisplay", "sent while starting or drawing",
                                            "sent while starting or drawing", "sent after SPACE"};
        if (status.signalled() && status.signal() == number && said.empty())
            ++by_that_signal;
        else
            wrong.push_back("run " + std::to_string(i + 1) + " (" + kinds[kind] + "): " +
                            status.describe() + (said.empty() ? "" : "; it said: " + said));
        wait_until([&] { return x.mapped_windows() == 0; }, 5s, "the program's window to go");
    }
    std::printf("signal storm, %s: %d runs, %d ended by it with nothing said, %zu otherwise\n",
                strsignal(number), runs, by_that_signal, wrong.size());
    for (const auto& ending : wrong)
        ADD_FAILURE() << ending;
}

INSTANTIATE_TEST_SUITE_P(EveryEndingSignal, EndingSignalStorm, ::testing::ValuesIn(ending_signals),
                         [](const auto& info) { return std::string(short_name(info.param)); });

// On an Xorg that switches modes, a signal raised inside allegro_init, the
// moment that used to abort, still ends the program by that signal with
// the mode it started in given back.
class StartUpSignalOnXorg : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() { no_core_files(); }
    XorgServer server;
    XConnection x{server.display()};
};

TEST_P(StartUpSignalOnXorg, EndsByThatSignalWithTheModeGivenBack)
{
    const int number = GetParam();
    const std::string start_mode = x.video_mode();
    const ScreenPoint pointer = place_pointer(x);
    {
        RunOptions options = mode_switched();
        options.wrapper = raising_before_xopendisplay(number);
        SpotfallRun run(server, x, options);
        ExitStatus status = run.await_exit(10s);
        EXPECT_TRUE(status.signalled() && status.signal() == number) << status.describe();
        EXPECT_EQ(run.process().captured_stderr(), "");
    }
    expect_display_given_back(x, start_mode, pointer);
}

INSTANTIATE_TEST_SUITE_P(RaisedInAllegroInit, StartUpSignalOnXorg,
                         ::testing::Values(SIGINT, SIGQUIT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(short_name(info.param)); });

// The X server killed at a random moment of the drawing or of the frozen
// picture: status 1 and one line naming the display, never an abort.
TEST(LostDisplayStorm, EveryRunEndsWithOneLineAndStatusOne)
{
    const int runs = lost_display_runs();
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> moment_ms(0, 300);
    int well = 0;
    std::vector<std::string> wrong;
    for (int i = 0; i < runs; ++i) {
        XvfbServer server;
        XConnection x(server.display());
        SpotfallRun run(server, x);
        run.await_white();
        const bool frozen = i % 2;
        if (frozen) {
            x.press(Key::space);
            std::this_thread::sleep_for(150ms);
            x.release(Key::space);
        }
        // The moment is the thing varied, not a wait for a state.
        std::this_thread::sleep_for(Millis(moment_ms(random)));
        server.kill_now();
        ExitStatus status = run.await_exit(10s);
        const std::string said = run.process().captured_stderr();
        if (status.exited() && status.code() == 1 && std::count(said.begin(), said.end(), '\n') == 1 &&
            said.rfind("spotfall: ", 0) == 0 && said.find(server.display()) != std::string::npos &&
            said.find("lost") != std::string::npos)
            ++well;
        else
            wrong.push_back("run " + std::to_string(i + 1) + (frozen ? " (after SPACE): " : " (drawing): ") +
                            status.describe() + "; it said " + line_count_and_text(said));
    }
    std::printf("lost display storm: %d runs, %d ended with status 1 and one line, %zu otherwise\n",
                runs, well, wrong.size());
    for (const auto& ending : wrong)
        ADD_FAILURE() << ending;
}

// A listening socket in the X server's place that never answers: the
// program gets its connection and then nothing, as over a stalled link.
class SilentListener {
public:
    SilentListener()
    {
        long base = whole_setting("SPOTFALL_FIRST_DISPLAY", 900, 0, 65000);
        for (long number = base; number < base + 64; ++number) {
            std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
            std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
            if (access(lock.c_str(), F_OK) == 0 || access(path.c_str(), F_OK) == 0)
                continue;
            fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd_ < 0)
                throw std::system_error(errno, std::generic_category(), "socket");
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
            if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                listen(fd_, 8) == 0) {
                path_ = path;
                display_ = ":" + std::to_string(number);
                return;
            }
            close(fd_);
            fd_ = -1;
        }
        throw std::runtime_error("no free X display number for a silent display");
    }
    ~SilentListener()
    {
        close(fd_);
        unlink(path_.c_str());
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    const std::string& display() const { return display_; }

private:
    int fd_ = -1;
    std::string path_, display_;
};

TEST(SilentDisplay, EndsWithOneLineAndStatusOneWithinTheBound)
{
    SilentListener silent;
    SpawnOptions spawn;
    spawn.argv = {spotfall_binary()};
    spawn.set_env = {{"DISPLAY", silent.display()}};
    spawn.unset_env = {"XAUTHORITY"};
    spawn.capture_stderr = true;
    ChildProcess program(spawn);
    ExitStatus status = program.wait(20s, "spotfall to give up on a display that does not answer");
    double took_s =
        std::chrono::duration<double>(program.ended_at() - program.spawned_at()).count();
    const std::string said = program.captured_stderr();
    std::printf("silent display: ended after %.1f s, %s; it said: %s", took_s,
                status.describe().c_str(), said.c_str());
    EXPECT_TRUE(status.exited() && status.code() == 1) << status.describe();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(said.rfind("spotfall: ", 0), 0u) << said;
    EXPECT_NE(said.find(silent.display()), std::string::npos) << said;
    EXPECT_NE(said.find("did not answer"), std::string::npos) << said;
    // Ten seconds of no answer, and a little for a slow machine.
    EXPECT_GE(took_s, 9.5);
    EXPECT_LE(took_s, 15.0);
}

// The keyboard held by another client: the line says so, and does not send
// the user to DISPLAY, which is fine.
using FailureLines = OnDisplay;

TEST_F(FailureLines, KeyboardHeldByAnotherProgramIsNamed)
{
    Display* holder = XOpenDisplay(server.display().c_str());
    ASSERT_NE(holder, nullptr);
    struct Closer {
        Display* d;
        ~Closer() { XCloseDisplay(d); }
    } closer{holder};
    ASSERT_EQ(XGrabKeyboard(holder, DefaultRootWindow(holder), False, GrabModeAsync,
                            GrabModeAsync, CurrentTime),
              GrabSuccess);
    XSync(holder, False);

    SpawnOptions spawn;
    spawn.argv = {spotfall_binary()};
    spawn.set_env = server.x_client_env();
    spawn.capture_stderr = true;
    ChildProcess program(spawn);
    ExitStatus status = program.wait(20s, "spotfall to fail on the held keyboard");
    const std::string said = program.captured_stderr();
    std::printf("keyboard held elsewhere: %s; it said: %s", status.describe().c_str(), said.c_str());
    EXPECT_TRUE(status.exited() && status.code() == 1) << status.describe();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("another program holds the keyboard"), std::string::npos) << said;
    EXPECT_EQ(said.find("DISPLAY"), std::string::npos) << said;
}

}  // namespace
}  // namespace suite

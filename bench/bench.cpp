// spotfall-bench: runs spotfall K times on a private Xvfb and prints the
// medians (with min and max) of its start-up, cadence, freeze, exit and
// cost, beside the targets; then K times on a nested weston, a nested KWin
// and GNOME Shell (headless), for the time from exec to the whole picture
// there, each run started only once the compositor has gone idle. Nothing
// here is asserted: the figures are for reading, on a machine that may be
// shared. With --against-binary PATH, another build of spotfall runs too,
// its runs interleaved with this one's (ABBA, so that neither always goes
// first), and the table gives both medians and their ratio. With --windows
// ZIP, the Windows build's program from that zip instead, under Wine on a
// 1920x1080 Xvfb with a 1024x768 RandR mode, judged with msvcrt's generator
// (the targets are the Linux program's, so none is shown), and no desktop.
#include "gnome.hpp"
#include "numbers.hpp"
#include "output.hpp"
#include "run.hpp"
#include "wine.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

using namespace harness;
using namespace std::chrono_literals;

namespace {

struct Metric {
    const char* name;
    const char* unit;
    const char* target_text;
    std::function<bool(double)> meets;
    // values[0] are this build's, values[1] the other build's (--against).
    std::array<std::vector<double>, 2> values;
};

// A build of spotfall to run: this one's (no command) or another's.
struct Program {
    std::string name;
    std::vector<std::string> command;
};

// The order of the programs in run `i`: ABBA, so that a drift of the
// machine's load over the session weighs on both alike.
std::vector<std::size_t> order_of_run(int i, std::size_t programs)
{
    if (programs == 1)
        return {0};
    return i % 2 == 0 ? std::vector<std::size_t>{0, 1} : std::vector<std::size_t>{1, 0};
}

double ms_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The four corners: the first white a fresh screen shows, cheaply.
bool any_corner_white(XConnection& x)
{
    for (auto [left, top] : {std::pair{0, 0}, {1023, 0}, {0, 767}, {1023, 767}})
        if (x.grab(left, top, 1, 1).pixels[0] == Picture::white)
            return true;
    return false;
}

struct Figures {
    double startup_ms, whole_ms, cadence, discs_after_space, freeze_ms, exit_ms, cpu_drawing,
        cpu_waiting, peak_mib;
};

// What a run of the Windows build needs: its program, unzipped, and Wine.
struct WindowsProgram {
    TempDir unzipped{"spotfall-bench-windows"};
    std::string exe;
    std::unique_ptr<WinePrefix> wine;
};

Figures measure_one_run(XvfbServer& server, XConnection& x, const Oracle& oracle, double window,
                        const WindowsProgram* windows, const Program& program)
{
    Figures f{};
    RunOptions options;
    options.command = program.command;
    if (windows) {
        options.command = windows->wine->command(windows->exe);
        options.env = windows->wine->env();
        options.picture_at = std::pair{0, 0};
    }
    SpotfallRun run(server, x, options);

    // Start-up: from exec to the first white pixel on the X server.
    wait_until([&] { return any_corner_white(x); }, 15000ms, "spotfall to paint the screen white",
               1ms);
    f.startup_ms = ms_between(run.spawned_at(), Clock::now());
    run.await_white();
    // The whole picture: the first exact one read back.
    WholePicture whole = await_whole_picture(run, x, {ScreenArea{0, 0, 1024, 768}}, oracle,
                                             15000ms, 1ms);
    f.whole_ms = ms_between(run.spawned_at(), whole.seen_at);

    // Cadence, counted exactly by the oracle, and the CPU it costs.
    pid_t pid = run.process().pid();
    Sight start = run.await_discs(oracle, 1, 5000ms);
    double cpu_start = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(window));
    Sight end = run.look(oracle);
    double cpu_end = cpu_seconds(pid);
    if (!start.match.found || !end.match.found)
        throw std::runtime_error("the picture is not exact: " + end.match.explain());
    double span = ms_between(start.at, end.at) / 1000.0;
    f.cadence = (end.match.count - start.match.count) / span;
    f.cpu_drawing = 100.0 * (cpu_end - cpu_start) / span;

    // Freeze: discs added after SPACE was sent, and when the screen stopped,
    // reading it back as fast as the X server answers.
    SpaceHold hold = run.hold_space_until_still(300ms, 5000ms, 1ms);
    f.freeze_ms = hold.still == hold.at_press ? 0.0 : ms_between(hold.pressed, hold.last_change);
    OracleMatch at_press = run.match(oracle, hold.at_press, end.match.count + 200);
    OracleMatch frozen = run.match(oracle, hold.still, end.match.count + 200);
    if (!at_press.found || !frozen.found)
        throw std::runtime_error("the frozen picture is not exact: " + frozen.explain());
    f.discs_after_space = frozen.count - at_press.count;

    // The waiting phase spins; measure what that costs.
    double wait_cpu_start = cpu_seconds(pid);
    auto wait_start = Clock::now();
    std::this_thread::sleep_for(2s);
    double wait_span = ms_between(wait_start, Clock::now()) / 1000.0;
    f.cpu_waiting = 100.0 * (cpu_seconds(pid) - wait_cpu_start) / wait_span;
    f.peak_mib = memory_use(pid).peak_resident_kib / 1024.0;

    // Exit: from ESC sent to the process reaped.
    x.press(Key::escape);
    auto esc = Clock::now();
    // Wine waits some seconds for a window manager at the end.
    ExitStatus status = run.await_exit(windows ? 30000ms : 5000ms);
    f.exit_ms = ms_between(esc, run.process().ended_at());
    x.release(Key::escape);
    if (!status.success())
        throw std::runtime_error("spotfall ended with " + status.describe());
    return f;
}

// What a compositor shows now, as raw bytes: two reads that differ mean it
// has shown a new frame between them.
using FrameReader = std::function<std::vector<std::uint8_t>()>;

// A nested compositor's outputs, read raw from the outer Xvfb's root
// window (where its output windows lie), every byte of every pixel, so
// that each step of a fade counts as a frame. Through shared memory
// (MIT-SHM): a read costs the Xvfb a copy, not a trip through the socket,
// so watching does not slow the compositor it watches.
class OuterScreenFrames {
public:
    explicit OuterScreenFrames(const std::string& outer_display) : x_(outer_display)
    {
        Display* d = x_.handle();
        Window root = DefaultRootWindow(d);
        XWindowAttributes size{};
        XGetWindowAttributes(d, root, &size);
        if (!XShmQueryExtension(d))
            throw std::runtime_error("the outer Xvfb " + outer_display + " has no MIT-SHM");
        image_ = XShmCreateImage(d, DefaultVisual(d, DefaultScreen(d)),
                                 unsigned(DefaultDepth(d, DefaultScreen(d))), ZPixmap, nullptr,
                                 &segment_, unsigned(size.width), unsigned(size.height));
        if (!image_)
            throw std::runtime_error("could not make a shared image of " + outer_display);
        bytes_ = std::size_t(image_->bytes_per_line) * std::size_t(image_->height);
        segment_.shmid = shmget(IPC_PRIVATE, bytes_, IPC_CREAT | 0600);
        if (segment_.shmid < 0) {
            XDestroyImage(image_);
            throw std::system_error(errno, std::generic_category(), "shmget");
        }
        segment_.shmaddr = image_->data = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
        // Removed now, it goes once both sides have let it go.
        shmctl(segment_.shmid, IPC_RMID, nullptr);
        segment_.readOnly = False;
        if (segment_.shmaddr == reinterpret_cast<char*>(-1) || !XShmAttach(d, &segment_)) {
            image_->data = nullptr;
            XDestroyImage(image_);
            throw std::runtime_error("could not share memory with " + outer_display);
        }
        XSync(d, False);
        x_.check();
    }
    ~OuterScreenFrames()
    {
        XShmDetach(x_.handle(), &segment_);
        XSync(x_.handle(), False);
        shmdt(segment_.shmaddr);
        image_->data = nullptr;
        XDestroyImage(image_);
    }
    OuterScreenFrames(const OuterScreenFrames&) = delete;
    OuterScreenFrames& operator=(const OuterScreenFrames&) = delete;

    std::vector<std::uint8_t> read()
    {
        Display* d = x_.handle();
        if (!XShmGetImage(d, DefaultRootWindow(d), image_, 0, 0, AllPlanes))
            x_.check();
        const auto* data = reinterpret_cast<const std::uint8_t*>(image_->data);
        return std::vector<std::uint8_t>(data, data + bytes_);
    }

private:
    XConnection x_;
    XShmSegmentInfo segment_{};
    XImage* image_ = nullptr;
    std::size_t bytes_ = 0;
};

// Waits until the compositor has shown no new frame for 250 ms, reading
// what it shows every `poll` (a frame drawn between two reads shows as a
// difference between them). A run started while it still animates the
// last run's closing window (weston fades it out for about 1.25 s, KWin
// for about 0.5 s) shares the machine with that animation and is slowed by
// it. Returns how long it stayed busy.
Millis await_compositor_idle(const FrameReader& frame, const std::string& desktop, Millis poll)
{
    const Millis quiet(250);
    const auto started = Clock::now();
    std::vector<std::uint8_t> last = frame();
    auto changed_at = started;
    wait_until(
        [&] {
            std::vector<std::uint8_t> now = frame();
            const auto at = Clock::now();
            if (now != last) {
                last = std::move(now);
                changed_at = at;
                return false;
            }
            return at - changed_at >= quiet;
        },
        Millis(15000), desktop + " to show no new frame for 250 ms", poll);
    return std::chrono::duration_cast<Millis>(changed_at - started);
}

// Waits until no output shows the last run's picture: a run started in the
// same second draws the same discs, and a picture the compositor still
// shows would be taken for this run's. More white than a pointer (64 x 64
// at most) is the picture; the compositor may draw its pointer anywhere.
void await_picture_gone(Seat& seat, const std::vector<ScreenArea>& outputs)
{
    wait_until(
        [&] {
            for (const ScreenArea& output : outputs)
                if (view_output(seat, output).middle.count(Picture::white) > 64 * 64)
                    return false;
            return true;
        },
        5000ms, "the last run's picture to leave the desktop's outputs", 10ms);
}

// From exec to the whole picture on a desktop's outputs (its Xwayland
// already running), then SPACE and ESC.
double whole_picture_on_desktop(const DisplayServer& desktop, Seat& seat,
                                const std::vector<ScreenArea>& outputs, const Oracle& oracle,
                                const Program& program)
{
    RunOptions options;
    options.command = program.command;
    SpotfallRun run(desktop, seat, options);
    WholePicture whole = await_whole_picture(run, seat, outputs, oracle, 15000ms, 1ms);
    run.freeze(oracle);
    seat.press(Key::escape);
    ExitStatus status = run.await_exit(5000ms);
    seat.release(Key::escape);
    if (!status.success())
        throw std::runtime_error("spotfall ended with " + status.describe() + ": " +
                                 run.process().captured_stderr());
    return ms_between(run.spawned_at(), whole.seen_at);
}

// K runs of each program on one desktop, interleaved, each started once
// the compositor is idle; the times go to `metric`.
void time_on_desktop(const DisplayServer& desktop, Seat& seat,
                     const std::vector<ScreenArea>& outputs, const FrameReader& frame, Millis poll,
                     const std::string& name, const std::vector<Program>& programs, int runs,
                     bool quiet, Metric& metric)
{
    Oracle oracle;
    for (int i = 0; i < runs; ++i)
        for (std::size_t p : order_of_run(i, programs.size())) {
            await_picture_gone(seat, outputs);
            Millis busy = await_compositor_idle(frame, name, poll);
            if (!quiet)
                std::fprintf(stderr, "run %d of %d on %s%s%s (idle after %lld ms)...\n", i + 1,
                             runs, name.c_str(), programs.size() > 1 ? ", " : "",
                             programs.size() > 1 ? programs[p].name.c_str() : "",
                             static_cast<long long>(busy.count()));
            metric.values[p].push_back(
                whole_picture_on_desktop(desktop, seat, outputs, oracle, programs[p]));
        }
}

// The same on a desktop of the kind given, where it is installed (if not,
// its row is left out, with a word); false if the desktop failed.
template <typename Desktop, typename FramesOf>
bool time_on_kind(const char* name, const char* packages, FramesOf frames_of, Millis poll,
                  const std::vector<Program>& programs, int runs, bool quiet, Metric& metric)
{
    if (!installed(Desktop::programs())) {
        std::fprintf(stderr, "spotfall-bench: %s is not installed (Debian: %s); its row is left out\n",
                     name, packages);
        return true;
    }
    try {
        Desktop desktop;
        time_on_desktop(desktop, desktop.seat(), desktop.outputs(), frames_of(desktop), poll, name,
                        programs, runs, quiet, metric);
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "spotfall-bench: on %s: %s\n", name, e.what());
        return false;
    }
}

int usage()
{
    std::fprintf(stderr,
                 "usage: spotfall-bench [--runs K] [--window SECONDS] [--json] "
                 "[--against-binary PATH [--against-name NAME]] | [--windows ZIP "
                 "[--wine-renderer gl|gdi]]\n");
    return 2;
}

int bad_value(const char* option, const char* wanted, const char* given)
{
    std::fprintf(stderr, "spotfall-bench: %s wants %s, not '%s'\n", option, wanted, given);
    return usage();
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    double window = 10.0;
    bool json = false;
    std::string windows_zip;
    std::string wine_renderer;
    std::vector<Program> programs = {{"this", {}}};
    std::string against_name;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
            auto value = parse_whole(argv[++i], 1, 1000);
            if (!value)
                return bad_value("--runs", "a whole number of runs from 1 to 1000", argv[i]);
            runs = int(*value);
        } else if (!std::strcmp(argv[i], "--window") && i + 1 < argc) {
            auto value = parse_decimal(argv[++i], 0.5, 3600);
            if (!value)
                return bad_value("--window", "a number of seconds from 0.5 to 3600", argv[i]);
            window = *value;
        } else if (!std::strcmp(argv[i], "--json"))
            json = true;
        else if (!std::strcmp(argv[i], "--windows") && i + 1 < argc)
            windows_zip = argv[++i];
        else if (!std::strcmp(argv[i], "--wine-renderer") && i + 1 < argc)
            wine_renderer = argv[++i];
        else if (!std::strcmp(argv[i], "--against-binary") && i + 1 < argc)
            programs.push_back({"", {argv[++i]}});
        else if (!std::strcmp(argv[i], "--against-name") && i + 1 < argc)
            against_name = argv[++i];
        else
            return usage();
    }
    const bool against = programs.size() > 1;
    if (programs.size() > 2 || (against && !windows_zip.empty()) ||
        (!against_name.empty() && !against))
        return usage();
    if (against) {
        if (access(programs[1].command[0].c_str(), X_OK) != 0) {
            std::fprintf(stderr, "spotfall-bench: cannot run %s: %s; build it first\n",
                         programs[1].command[0].c_str(), std::strerror(errno));
            return 1;
        }
        programs[1].name = against_name.empty() ? programs[1].command[0] : against_name;
    }

    std::vector<Metric> metrics = {
        {"start-up", "ms", "<= 150", [](double v) { return v <= 150; }, {}},
        {"whole picture", "ms", "", nullptr, {}},
        // Measured apart, after the runs on Xvfb; left empty without the desktop.
        {"whole picture, weston", "ms", "", nullptr, {}},
        {"whole picture, KWin", "ms", "", nullptr, {}},
        {"whole picture, GNOME", "ms", "", nullptr, {}},
        {"cadence", "discs/s", ">= 19.8", [](double v) { return v >= 19.8; }, {}},
        {"cadence / ideal 20", "ratio", ">= 0.99", [](double v) { return v >= 0.99; }, {}},
        {"discs after SPACE", "discs", "<= 1", [](double v) { return v <= 1; }, {}},
        {"freeze", "ms", "", nullptr, {}},
        {"exit after ESC", "ms", "<= 20", [](double v) { return v <= 20; }, {}},
        {"CPU while drawing", "% core", "<= 3", [](double v) { return v <= 3; }, {}},
        {"CPU while waiting", "% core", "", nullptr, {}},
        {"peak memory", "MiB", "<= 12", [](double v) { return v <= 12; }, {}},
    };

    if (!windows_zip.empty())
        for (Metric& metric : metrics)
            metric.meets = nullptr;

    try {
        XvfbServer server(windows_zip.empty() ? XvfbOptions{} : XvfbOptions{1920, 1080, 24});
        XConnection x(server.display());
        Oracle oracle(windows_zip.empty() ? RandomGenerator::glibc : RandomGenerator::msvcrt);
        std::unique_ptr<WindowsProgram> windows;
        if (!windows_zip.empty()) {
            windows = std::make_unique<WindowsProgram>();
            SpawnOptions unzip;
            unzip.argv = {"unzip", "-q", windows_zip, "-d", windows->unzipped.path()};
            if (!ChildProcess(unzip).wait(30000ms, "unzip to open " + windows_zip).success())
                throw std::runtime_error("unzip could not open " + windows_zip);
            for (const auto& entry :
                 std::filesystem::recursive_directory_iterator(windows->unzipped.path()))
                if (entry.path().filename() == "spotfall.exe")
                    windows->exe = entry.path().string();
            if (windows->exe.empty())
                throw std::runtime_error("no spotfall.exe in " + windows_zip);
            add_randr_mode(x, 1024, 768);
            windows->wine = std::make_unique<WinePrefix>(server, wine_renderer);
        }
        for (int i = 0; i < runs; ++i)
            for (std::size_t p : order_of_run(i, programs.size())) {
                if (!json)
                    std::fprintf(stderr, "run %d of %d%s%s...\n", i + 1, runs,
                                 against ? ", " : "", against ? programs[p].name.c_str() : "");
                Figures f = measure_one_run(server, x, oracle, window, windows.get(), programs[p]);
                double row[] = {f.startup_ms,        f.whole_ms,  f.cadence,   f.cadence / 20.0,
                                f.discs_after_space, f.freeze_ms, f.exit_ms,   f.cpu_drawing,
                                f.cpu_waiting,       f.peak_mib};
                for (size_t m = 0; m < std::size(row); ++m)
                    metrics[m < 2 ? m : m + 3].values[p].push_back(row[m]);
            }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "spotfall-bench: %s\n", e.what());
        return 1;
    }

    // The same on weston, KWin and GNOME Shell, where the window manager
    // makes the window full screen before the picture goes up. A nested
    // desktop's frames are read from its outer Xvfb; GNOME's come only as
    // screenshots, in the program's palette (tens of ms each): a frame that
    // changes no pixel's palette colour goes unseen, but any that moves or
    // uncovers something is seen.
    if (windows_zip.empty()) {
        auto outer_frames = [](NestedDesktop& desktop) {
            auto frames = std::make_shared<OuterScreenFrames>(desktop.outer_display());
            return FrameReader([frames] { return frames->read(); });
        };
        auto screenshots = [](GnomeShellDesktop& desktop) {
            Seat* seat = &desktop.seat();
            return FrameReader([seat] { return seat->grab().pixels; });
        };
        if (!time_on_kind<WestonDesktop>("weston", "weston and xwayland", outer_frames, 20ms,
                                         programs, runs, json, metrics[2]) ||
            !time_on_kind<KwinDesktop>("KWin", "kwin-wayland, weston and xwayland", outer_frames,
                                       20ms, programs, runs, json, metrics[3]) ||
            !time_on_kind<GnomeShellDesktop>("GNOME Shell", "gnome-shell, dbus-daemon and xwayland",
                                             screenshots, 2ms, programs, runs, json, metrics[4]))
            return 1;
    }
    metrics.erase(std::remove_if(metrics.begin(), metrics.end(),
                                 [](const Metric& m) { return m.values[0].empty(); }),
                  metrics.end());

    auto lowest = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
    auto highest = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    // this/other, where the other's median is not zero.
    auto ratio_text = [](double mine, double theirs, const char* format) {
        char text[32] = "-";
        if (theirs != 0)
            std::snprintf(text, sizeof text, format, mine / theirs);
        return std::string(text);
    };
    if (json) {
        std::printf("{\"runs\": %d, \"window_s\": %.1f, ", runs, window);
        if (against)
            std::printf("\"against\": \"%s\", ", programs[1].name.c_str());
        std::printf("\"metrics\": [\n");
        for (size_t m = 0; m < metrics.size(); ++m) {
            const Metric& mt = metrics[m];
            double med = median(mt.values[0]);
            std::printf("  {\"name\": \"%s\", \"unit\": \"%s\", \"median\": %.4g, \"min\": %.4g, "
                        "\"max\": %.4g, \"target\": \"%s\", \"meets\": %s",
                        mt.name, mt.unit, med, lowest(mt.values[0]), highest(mt.values[0]),
                        mt.target_text,
                        mt.meets ? (mt.meets(med) ? "true" : "false") : "null");
            if (against) {
                double theirs = median(mt.values[1]);
                std::string ratio = ratio_text(med, theirs, "%.4g");
                std::printf(", \"against\": {\"median\": %.4g, \"min\": %.4g, \"max\": %.4g}, "
                            "\"ratio\": %s",
                            theirs, lowest(mt.values[1]), highest(mt.values[1]),
                            ratio == "-" ? "null" : ratio.c_str());
            }
            std::printf("}%s\n", m + 1 < metrics.size() ? "," : "");
        }
        std::printf("]}\n");
        return 0;
    }
    const char* desktops = "; as many on a nested weston, a nested KWin and GNOME Shell "
                           "(1920x1080), each once the compositor is idle";
    if (against) {
        std::printf("spotfall-bench: %d runs of this build and %d of %s, interleaved, on a "
                    "private Xvfb, %.0f s cadence window%s\n\n",
                    runs, runs, programs[1].name.c_str(), window, desktops);
        const std::string& other = programs[1].name;
        std::string ratio_head = "this/" + other;
        std::printf("| %-21s | %-7s | %8s | %8s | %-8s | %-4s | %*s |\n", "figure", "unit", "this",
                    other.c_str(), "target", "met", int(ratio_head.size()), ratio_head.c_str());
        std::printf("|-----------------------|---------|---------:|---------:|----------|------|%s:|"
                    "\n",
                    std::string(ratio_head.size() + 1, '-').c_str());
        for (const Metric& mt : metrics) {
            double mine = median(mt.values[0]), theirs = median(mt.values[1]);
            int digits = std::strcmp(mt.unit, "ratio") == 0 ? 3 : 2;
            std::printf("| %-21s | %-7s | %8.*f | %8.*f | %-8s | %-4s | %*s |\n", mt.name, mt.unit,
                        digits, mine, digits, theirs, mt.target_text[0] ? mt.target_text : "-",
                        mt.meets ? (mt.meets(mine) ? "yes" : "NO") : "-",
                        int(ratio_head.size()), ratio_text(mine, theirs, "%.3f").c_str());
        }
        return 0;
    }
    std::printf("spotfall-bench: %d runs%s on a private Xvfb, %.0f s cadence window%s\n\n", runs,
                windows_zip.empty() ? "" : " of the Windows build under Wine", window,
                windows_zip.empty() ? desktops : "");
    std::printf("| %-21s | %-7s | %8s | %8s | %8s | %-8s | %-4s |\n", "figure", "unit", "median", "min",
                "max", "target", "met");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", "-----------------------", "---------", "---------:",
                "---------:", "---------:", "----------", "------");
    for (const Metric& mt : metrics) {
        double med = median(mt.values[0]);
        int digits = std::strcmp(mt.unit, "ratio") == 0 ? 3 : 2;
        std::printf("| %-21s | %-7s | %8.*f | %8.*f | %8.*f | %-8s | %-4s |\n", mt.name, mt.unit, digits, med, digits,
                    lowest(mt.values[0]), digits, highest(mt.values[0]),
                    mt.target_text[0] ? mt.target_text : "-",
                    mt.meets ? (mt.meets(med) ? "yes" : "NO") : "-");
    }
    return 0;
}

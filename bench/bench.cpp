// spotfall-bench: runs spotfall K times on a private Xvfb and prints the
// medians (with min and max) of its start-up, cadence, freeze, exit and
// cost, beside the targets; then K times on a nested weston and on GNOME
// Shell (headless), for the time from exec to the whole picture there.
// Nothing here is asserted: the figures are for reading, on a machine that
// may be shared. With --windows ZIP, the Windows build's program from that
// zip instead, under Wine on a 1920x1080 Xvfb with a 1024x768 RandR mode,
// judged with msvcrt's generator (the targets are the Linux program's, so
// none is shown), and no desktop.
#include "gnome.hpp"
#include "numbers.hpp"
#include "output.hpp"
#include "run.hpp"
#include "wine.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace harness;
using namespace std::chrono_literals;

namespace {

struct Metric {
    const char* name;
    const char* unit;
    const char* target_text;
    std::function<bool(double)> meets;
    std::vector<double> values;
};

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
                        const WindowsProgram* windows)
{
    Figures f{};
    RunOptions options;
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

// From exec to the whole picture on a desktop's outputs (its Xwayland
// already running), then SPACE and ESC.
double whole_picture_on_desktop(const DisplayServer& desktop, Seat& seat,
                                const std::vector<ScreenArea>& outputs, const Oracle& oracle)
{
    // The last run's picture must be gone first: a run started in the same
    // second draws the same discs, and a picture the compositor still shows
    // would be taken for this run's.
    wait_until(
        [&] {
            for (const ScreenArea& output : outputs)
                if (view_output(seat, output).middle.count(Picture::white) > 0)
                    return false;
            return true;
        },
        5000ms, "the last run's picture to leave the desktop's outputs", 10ms);
    SpotfallRun run(desktop, seat);
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

int usage()
{
    std::fprintf(stderr,
                 "usage: spotfall-bench [--runs K] [--window SECONDS] [--json] [--windows ZIP "
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
        else
            return usage();
    }

    std::vector<Metric> metrics = {
        {"start-up", "ms", "<= 150", [](double v) { return v <= 150; }, {}},
        {"whole picture", "ms", "", nullptr, {}},
        // Measured apart, after the runs on Xvfb; left empty without the desktop.
        {"whole picture, weston", "ms", "", nullptr, {}},
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
        for (int i = 0; i < runs; ++i) {
            if (!json)
                std::fprintf(stderr, "run %d of %d...\n", i + 1, runs);
            Figures f = measure_one_run(server, x, oracle, window, windows.get());
            double row[] = {f.startup_ms,        f.whole_ms, f.cadence,     f.cadence / 20.0,
                            f.discs_after_space, f.freeze_ms, f.exit_ms,    f.cpu_drawing,
                            f.cpu_waiting,       f.peak_mib};
            for (size_t m = 0; m < std::size(row); ++m)
                metrics[m < 2 ? m : m + 2].values.push_back(row[m]);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "spotfall-bench: %s\n", e.what());
        return 1;
    }

    // The same on weston and GNOME Shell, where the window manager makes
    // the window full screen before the picture goes up.
    if (!windows_zip.empty()) {
    } else if (!installed(WestonDesktop::programs())) {
        std::fprintf(stderr, "spotfall-bench: weston is not installed (Debian: weston and "
                             "xwayland); its row is left out\n");
    } else {
        try {
            WestonDesktop desktop;
            Oracle oracle;
            for (int i = 0; i < runs; ++i) {
                if (!json)
                    std::fprintf(stderr, "run %d of %d on weston...\n", i + 1, runs);
                metrics[2].values.push_back(
                    whole_picture_on_desktop(desktop, desktop.seat(), desktop.outputs(), oracle));
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "spotfall-bench: on weston: %s\n", e.what());
            return 1;
        }
    }
    if (!windows_zip.empty()) {
    } else if (!installed(GnomeShellDesktop::programs())) {
        std::string programs;
        for (const auto& program : GnomeShellDesktop::programs())
            programs += " " + program;
        std::fprintf(stderr, "spotfall-bench: GNOME Shell cannot run here (not installed: one "
                             "of%s); its row is left out\n", programs.c_str());
    } else {
        try {
            GnomeShellDesktop desktop;
            Oracle oracle;
            for (int i = 0; i < runs; ++i) {
                if (!json)
                    std::fprintf(stderr, "run %d of %d on GNOME Shell...\n", i + 1, runs);
                metrics[3].values.push_back(
                    whole_picture_on_desktop(desktop, desktop.seat(), desktop.outputs(), oracle));
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "spotfall-bench: on GNOME Shell: %s\n", e.what());
            return 1;
        }
    }
    metrics.erase(std::remove_if(metrics.begin(), metrics.end(),
                                 [](const Metric& m) { return m.values.empty(); }),
                  metrics.end());

    if (json) {
        std::printf("{\"runs\": %d, \"window_s\": %.1f, \"metrics\": [\n", runs, window);
        for (size_t m = 0; m < metrics.size(); ++m) {
            const Metric& mt = metrics[m];
            double med = median(mt.values);
            std::printf("  {\"name\": \"%s\", \"unit\": \"%s\", \"median\": %.4g, \"min\": %.4g, "
                        "\"max\": %.4g, \"target\": \"%s\", \"meets\": %s}%s\n",
                        mt.name, mt.unit, med, *std::min_element(mt.values.begin(), mt.values.end()),
                        *std::max_element(mt.values.begin(), mt.values.end()), mt.target_text,
                        mt.meets ? (mt.meets(med) ? "true" : "false") : "null",
                        m + 1 < metrics.size() ? "," : "");
        }
        std::printf("]}\n");
        return 0;
    }
    std::printf("spotfall-bench: %d runs%s on a private Xvfb, %.0f s cadence window%s\n\n", runs,
                windows_zip.empty() ? "" : " of the Windows build under Wine", window,
                windows_zip.empty() ? "; as many on a nested weston and on GNOME Shell (1920x1080)"
                                    : "");
    std::printf("| %-21s | %-7s | %8s | %8s | %8s | %-8s | %-4s |\n", "figure", "unit", "median", "min",
                "max", "target", "met");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", "-----------------------", "---------", "---------:",
                "---------:", "---------:", "----------", "------");
    for (const Metric& mt : metrics) {
        double med = median(mt.values);
        int digits = std::strcmp(mt.unit, "ratio") == 0 ? 3 : 2;
        std::printf("| %-21s | %-7s | %8.*f | %8.*f | %8.*f | %-8s | %-4s |\n", mt.name, mt.unit, digits, med, digits,
                    *std::min_element(mt.values.begin(), mt.values.end()), digits,
                    *std::max_element(mt.values.begin(), mt.values.end()),
                    mt.target_text[0] ? mt.target_text : "-",
                    mt.meets ? (mt.meets(med) ? "yes" : "NO") : "-");
    }
    return 0;
}

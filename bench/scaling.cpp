// spotfall-scaling: what spotfall shows on a Wayland desktop whose monitor
// (1920x1080) is scaled. Starts the desktop with its monitor at the scale
// given, and prints one line: the X screen Xwayland offers, how spotfall
// ended, and where its picture lies on the monitor in the monitor's own
// pixels, with how many of them are neither white nor black (a filter's
// grey). With --png PATH, the monitor's picture is saved there (any colour
// but white and black in red). For reading, not asserting: the README's
// table of scaled monitors comes from it.
//
//   spotfall-scaling sway|weston|kwin|gnome SCALE [--x-native yes|no]
//                    [--png PATH] [--probe]
//
// --probe first shows how large the nested compositor draws a native
// Wayland window of 250x250 pixels (weston-simple-shm): the scale it
// really uses.
//
// --x-native asks the desktop to give X programs the monitor's own pixels
// (yes) or the scaled size (no) where it has a setting for that: KWin's
// "legacy applications (X11)" ([Xwayland] Scale in KWin 5, XwaylandClientsScale
// in KWin 6), GNOME's experimental features (scale-monitor-framebuffer, and
// xwayland-native-scaling from GNOME 47). Without it each desktop runs as
// it is installed: GNOME with the features a GNOME session gets.
#include "gnome.hpp"
#include "numbers.hpp"
#include "run.hpp"

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>

using namespace harness;
using namespace std::chrono_literals;

namespace {

// What a command run in the desktop's session printed (its stdout, sent to
// the captured stderr).
std::string session_output(const GnomeShellDesktop& desktop, const std::string& command)
{
    SpawnOptions spawn = desktop.wayland_client({"sh", "-c", command + " 1>&2"});
    spawn.quiet = false;
    spawn.capture_stderr = true;
    ChildProcess child(spawn);
    ExitStatus status = child.wait(10000ms, command + " to end");
    if (!status.success())
        throw std::runtime_error(command + " failed: " + child.captured_stderr());
    return child.captured_stderr();
}

// The experimental features a GNOME session gets by default (Debian sets
// them for GNOME sessions only, through XDG_CURRENT_DESKTOP).
std::string gnome_session_features()
{
    SpawnOptions spawn;
    spawn.argv = {"sh", "-c", "gsettings get org.gnome.mutter experimental-features 1>&2"};
    spawn.set_env = {{"XDG_CURRENT_DESKTOP", "GNOME"}, {"GSETTINGS_BACKEND", "memory"}};
    spawn.capture_stderr = true;
    ChildProcess child(spawn);
    child.wait(10000ms, "gsettings to end");
    std::string text = child.captured_stderr();
    // "@as []" when empty.
    if (auto at = text.find('['); at != std::string::npos)
        text = text.substr(at, text.find(']', at) - at + 1);
    return text;
}

// Sets GNOME's one monitor to the supported scale nearest `scale`, through
// its display configuration on D-Bus (as Settings does). Returns the scale
// set.
double set_gnome_scale(const GnomeShellDesktop& desktop, double scale)
{
    const std::string call =
        "gdbus call --session --dest org.gnome.Mutter.DisplayConfig "
        "--object-path /org/gnome/Mutter/DisplayConfig --method org.gnome.Mutter.DisplayConfig.";
    std::string state = session_output(desktop, call + "GetCurrentState");
    std::smatch m;
    if (!std::regex_search(state, m, std::regex(R"(^\(uint32 (\d+),)")))
        throw std::runtime_error("no serial in GetCurrentState: " + state);
    std::string serial = m[1];
    if (!std::regex_search(state, m, std::regex(R"(\[\(\('([^']+)')")))
        throw std::runtime_error("no monitor in GetCurrentState: " + state);
    std::string connector = m[1];
    // A mode: ('id', width, height, rate, preferred scale, [scales], {... 'is-current': <true> ...})
    if (!std::regex_search(state, m,
                           std::regex(R"(\('([^']+)', \d+, \d+, [0-9.]+, [0-9.]+, \[([^\]]*)\], \{[^}]*'is-current': <true>)")))
        throw std::runtime_error("no current mode in GetCurrentState: " + state);
    std::string mode = m[1];
    double best = 1;
    std::istringstream scales(std::regex_replace(std::string(m[2]), std::regex(","), " "));
    for (double s; scales >> s;)
        if (std::abs(s - scale) < std::abs(best - scale))
            best = s;
    char scale_text[32];
    std::snprintf(scale_text, sizeof scale_text, "%.17g", best);
    session_output(desktop, call + "ApplyMonitorsConfig " + serial + " 1 \"[(0, 0, " +
                                scale_text + ", 0, true, [('" + connector + "', '" + mode +
                                "', @a{sv} {})])]\" \"@a{sv} {}\"");
    // The scale the monitor has now, as the shell reports it.
    state = session_output(desktop, call + "GetCurrentState");
    if (!std::regex_search(state, m, std::regex(R"(\[\(-?\d+, -?\d+, ([0-9.]+), uint32)")))
        throw std::runtime_error("no logical monitor in GetCurrentState: " + state);
    return std::stod(m[1]);
}

// The size of the X screen, once it has stayed the same for a second.
std::pair<int, int> lasting_screen_size(XConnection& x)
{
    std::pair<int, int> last{-1, -1};
    auto changed = Clock::now();
    wait_until(
        [&] {
            // A fresh query each time: the connection's own figures are
            // those it opened with.
            XConnection fresh(x.display_name());
            std::pair<int, int> now{fresh.screen_width(), fresh.screen_height()};
            if (now != last) {
                last = now;
                changed = Clock::now();
            }
            return Clock::now() - changed >= 1000ms;
        },
        15000ms, "the X screen to keep one size for a second", 50ms);
    return last;
}

struct Box {
    int left = 0, top = 0, right = -1, bottom = -1;
    int width() const { return right - left + 1; }
    int height() const { return bottom - top + 1; }
    bool operator==(const Box& o) const
    {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
};

// Where the white lies on the picture: the program's, as nothing else
// on these desktops is white.
Box white_box(const Picture& p)
{
    Box b{p.width, p.height, -1, -1};
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (p.at(x, y) == Picture::white) {
                b.left = std::min(b.left, x);
                b.right = std::max(b.right, x);
                b.top = std::min(b.top, y);
                b.bottom = std::max(b.bottom, y);
            }
    return b;
}

int usage()
{
    std::fprintf(stderr, "usage: spotfall-scaling sway|weston|kwin|gnome SCALE [--x-native yes|no] "
                         "[--png PATH] [--probe]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return usage();
    const std::string kind = argv[1];
    auto scale = parse_decimal(argv[2], 1, 4);
    if (!scale)
        return usage();
    std::string x_native, png;
    bool probe = false;
    for (int i = 3; i < argc; ++i)
        if (!std::strcmp(argv[i], "--probe")) {
            probe = true;
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
        }
    for (int i = 3; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--x-native"))
            x_native = argv[i + 1];
        else if (!std::strcmp(argv[i], "--png"))
            png = argv[i + 1];
        else
            return usage();
    }
    if (argc % 2 == 0 || (!x_native.empty() && x_native != "yes" && x_native != "no"))
        return usage();

    try {
        std::unique_ptr<DisplayServer> desktop;
        Seat* seat = nullptr;
        ScreenArea output;
        std::string setting = "as installed";
        double scale_set = *scale;
        if (kind == "sway") {
            auto d = std::make_unique<SwayDesktop>(std::vector<NestedOutput>{{1920, 1080, *scale}});
            seat = &d->seat();
            output = d->outputs()[0];
            desktop = std::move(d);
        } else if (kind == "weston") {
            auto d = std::make_unique<WestonDesktop>(int(*scale));
            scale_set = int(*scale);
            seat = &d->seat();
            output = d->outputs()[0];
            desktop = std::move(d);
        } else if (kind == "kwin") {
            std::string kwinrc;
            if (x_native == "yes")
                kwinrc = "[Xwayland]\nScale=" + std::string(argv[2]) + "\nXwaylandClientsScale=true\n";
            else if (x_native == "no")
                kwinrc = "[Xwayland]\nScale=1\nXwaylandClientsScale=false\n";
            if (!kwinrc.empty())
                setting = "kwinrc " + std::regex_replace(kwinrc, std::regex("\n"), " ");
            std::vector<std::pair<std::string, std::string>> config;
            if (!kwinrc.empty())
                config.emplace_back("kwinrc", kwinrc);
            // KWin 6 keeps each output's scale in a file of its own, which
            // wins over the scale it was started with.
            char scale_text[32];
            std::snprintf(scale_text, sizeof scale_text, "%g", *scale);
            config.emplace_back(
                "kwinoutputconfig.json",
                std::string("[{\"name\": \"outputs\", \"data\": [{\"connectorName\": \"X11-1\", "
                            "\"mode\": {\"width\": 1920, \"height\": 1080, \"refreshRate\": 60000}, "
                            "\"scale\": ") +
                    scale_text +
                    "}]}, {\"name\": \"setups\", \"data\": [{\"lidClosed\": false, \"outputs\": "
                    "[{\"enabled\": true, \"outputIndex\": 0, \"position\": {\"x\": 0, \"y\": 0}, "
                    "\"priority\": 0}]}]}]\n");
            auto d = std::make_unique<KwinDesktop>(1, *scale, config);
            seat = &d->seat();
            output = d->outputs()[0];
            desktop = std::move(d);
        } else if (kind == "gnome") {
            GnomeShellOptions options;
            std::string features = gnome_session_features();
            if (x_native == "yes")
                features = "['scale-monitor-framebuffer', 'xwayland-native-scaling']";
            else if (x_native == "no")
                features = "['scale-monitor-framebuffer']";
            setting = "experimental-features=" + features;
            if (features.find('\'') != std::string::npos)
                options.settings = "[org/gnome/mutter]\nexperimental-features=" + features + "\n";
            auto d = std::make_unique<GnomeShellDesktop>(options);
            scale_set = set_gnome_scale(*d, *scale);
            seat = &d->seat();
            desktop = std::move(d);
        } else {
            return usage();
        }
        // The scale the compositor really draws at: a native client that
        // draws 250x250 pixels and sets no scale of its own is enlarged by
        // it (weston-simple-shm, on a nested desktop's black background).
        if (auto* nested = dynamic_cast<NestedDesktop*>(desktop.get()); nested && probe) {
            ChildProcess client(nested->wayland_client({"weston-simple-shm"}));
            Box last;
            auto since = Clock::now();
            wait_until(
                [&] {
                    Picture p = seat->grab(output.left, output.top, output.width, output.height);
                    Box b{p.width, p.height, -1, -1};
                    for (int y = 0; y < p.height; ++y)
                        for (int xx = 64; xx < p.width; ++xx)
                            if (p.at(xx, y) != Picture::black) {
                                b.left = std::min(b.left, xx);
                                b.right = std::max(b.right, xx);
                                b.top = std::min(b.top, y);
                                b.bottom = std::max(b.bottom, y);
                            }
                    if (!(b.width() == last.width() && b.height() == last.height())) {
                        last = b;
                        since = Clock::now();
                    }
                    return b.right >= 0 && Clock::now() - since >= 1000ms;
                },
                15000ms, "weston-simple-shm's window to show", 100ms);
            std::fprintf(stderr, "%s at %.4g: a 250x250 native window shows as %dx%d (%.3g)\n",
                         kind.c_str(), scale_set, last.width(), last.height(),
                         last.width() / 250.0);
        }
        for (const auto& [name, value] : desktop->x_client_env())
            setenv(name.c_str(), value.c_str(), 1);
        XConnection x(desktop->display());
        auto [x_width, x_height] = lasting_screen_size(x);
        // The desktop tells X programs that draw at its own pixels their
        // scale through Xft.dpi (96 per 1), where it does.
        std::string dpi = "none";
        {
            XConnection fresh(desktop->display());
            const char* resources = XResourceManagerString(fresh.handle());
            std::smatch m;
            std::string text = resources ? resources : "";
            if (std::regex_search(text, m, std::regex(R"(Xft\.dpi:\s*([0-9.]+))")))
                dpi = m[1];
        }
        // Said at once: reading the monitor back may still fail.
        std::fprintf(stderr, "%s at %.4g: X screen %dx%d, Xft.dpi %s\n", kind.c_str(), scale_set,
                     x_width, x_height, dpi.c_str());

        SpawnOptions spawn;
        spawn.argv = {spotfall_binary()};
        spawn.set_env = desktop->x_client_env();
        spawn.capture_stderr = true;
        ChildProcess program(spawn);
        auto monitor = [&] {
            Picture p = seat->grab();
            if (output.width == 0)
                return p;
            Picture part;
            part.width = output.width;
            part.height = output.height;
            for (int y = output.top; y < output.top + output.height; ++y)
                for (int xx = output.left; xx < output.left + output.width; ++xx)
                    part.pixels.push_back(p.at(xx, y));
            return part;
        };
        // The picture has settled when its white has kept one place for a
        // second (the window may show first at another size), or the
        // program has ended.
        Box last;
        auto since = Clock::now();
        Picture shown;
        wait_until(
            [&] {
                if (!program.running())
                    return true;
                shown = monitor();
                Box now = white_box(shown);
                if (!(now == last)) {
                    last = now;
                    since = Clock::now();
                }
                return now.right >= 0 && Clock::now() - since >= 1000ms;
            },
            20000ms, "the picture to settle or spotfall to end", 50ms);
        std::string ending;
        if (program.running()) {
            seat->tap(Key::space);
            Picture before = monitor();
            wait_until(
                [&] {
                    shown = monitor();
                    bool same = shown == before;
                    before = shown;
                    return same;
                },
                10000ms, "the picture to stand still after SPACE", 300ms);
            seat->tap(Key::escape);
        }
        ExitStatus status = program.wait(10000ms, "spotfall to end");
        ending = status.describe();
        std::string said = program.captured_stderr();
        said.erase(std::remove(said.begin(), said.end(), '\n'), said.end());

        std::printf("%s at %.4g (%s): X screen %dx%d, Xft.dpi %s; spotfall %s%s%s", kind.c_str(),
                    scale_set, setting.c_str(), x_width, x_height, dpi.c_str(), ending.c_str(),
                    said.empty() ? "" : ", said: ", said.c_str());
        if (shown.width > 0) {
            Box b = white_box(shown);
            if (b.right >= 0) {
                std::size_t white = 0, black = 0, other = 0, outside = 0;
                for (int y = 0; y < shown.height; ++y)
                    for (int xx = 0; xx < shown.width; ++xx) {
                        bool in = xx >= b.left && xx <= b.right && y >= b.top && y <= b.bottom;
                        std::uint8_t c = shown.at(xx, y);
                        if (!in) {
                            outside += c != Picture::black;
                            continue;
                        }
                        white += c == Picture::white;
                        black += c == Picture::black;
                        other += c == Picture::other;
                    }
                std::printf("; monitor %dx%d shows the picture at %d,%d, %dx%d of its pixels "
                            "(%.3g of 1024x768), inside: %zu white, %zu black, %zu neither; %zu "
                            "not black around it",
                            shown.width, shown.height, b.left, b.top, b.width(), b.height(),
                            b.width() / 1024.0, white, black, other, outside);
            }
            if (!png.empty())
                shown.save_png(png);
        }
        std::printf("\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "spotfall-scaling: %s\n", e.what());
        return 1;
    }
    return 0;
}

#include "gnome.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <signal.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace harness {

namespace {

const Millis start_limit(30000);
const Millis end_limit(5000);
const Millis call_limit(10000);
const char* const wayland_socket = "wayland-spotfall";

// An error filled in by a failed call, freed when it goes out of scope.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
};

// A message, unreferenced when it goes out of scope.
struct BusMessage {
    sd_bus_message* message = nullptr;
    ~BusMessage() { sd_bus_message_unref(message); }
};

void check_call(int result, const BusError& error, const std::string& what)
{
    if (result >= 0)
        return;
    std::string why = error.error.name ? std::string(error.error.name) + ": " +
                                             (error.error.message ? error.error.message : "")
                                       : std::strerror(-result);
    throw std::runtime_error(what + " failed: " + why);
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Makes the namespaces' file system and starts the two buses, then runs
// the command given ("$@"), with the runtime folder as "$1". The runtime
// folder may lie under /tmp, which is replaced: it is kept aside on a
// mount point outside /tmp meanwhile, and moved back to its own path.
const char* const namespace_script = R"(set -e
runtime=$1
shift
exec >"$runtime/gnome-shell.log" 2>&1
aside=/run/systemd
[ -d "$aside" ] || aside=/mnt
mount -t tmpfs -o mode=0755 spotfall-hidden "$aside"
mkdir "$aside/runtime"
mount --bind "$runtime" "$aside/runtime"
mount -t tmpfs -o mode=1777 spotfall-tmp /tmp
mkdir -p "$runtime"
mount --move "$aside/runtime" "$runtime"
mkdir -m 1777 /tmp/.X11-unix
dbus-daemon --session --nofork --nopidfile --address="unix:path=$runtime/system-bus" &
dbus-daemon --session --nofork --nopidfile --address="unix:path=$runtime/session-bus" &
tries=0
until [ -S "$runtime/system-bus" ] && [ -S "$runtime/session-bus" ]; do
  tries=$((tries + 1))
  if [ $tries -gt 500 ]; then echo "the D-Bus daemons did not start within 10 s" >&2; exit 1; fi
  sleep 0.02
done
exec "$@"
)";

}  // namespace

BusConnection::BusConnection(const std::string& address)
{
    int result = sd_bus_new(&bus_);
    if (result < 0)
        throw std::system_error(-result, std::generic_category(), "sd_bus_new");
    const std::uint64_t call_limit_us = std::uint64_t(call_limit.count()) * 1000;
    if ((result = sd_bus_set_address(bus_, address.c_str())) < 0 ||
        (result = sd_bus_set_bus_client(bus_, 1)) < 0 ||
        (result = sd_bus_set_method_call_timeout(bus_, call_limit_us)) < 0 ||
        (result = sd_bus_start(bus_)) < 0) {
        sd_bus_unref(bus_);
        throw std::system_error(-result, std::generic_category(),
                                "connecting to the D-Bus bus at " + address);
    }
}

BusConnection::~BusConnection() { sd_bus_flush_close_unref(bus_); }

bool BusConnection::has_owner(const std::string& name)
{
    BusError error;
    BusMessage reply;
    int result = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "NameHasOwner", &error.error,
                                    &reply.message, "s", name.c_str());
    check_call(result, error, "asking the bus whether " + name + " has an owner");
    int owned = 0;
    check_call(sd_bus_message_read(reply.message, "b", &owned), error, "reading NameHasOwner");
    return owned;
}

void BusConnection::own(const std::string& name)
{
    int result = sd_bus_request_name(bus_, name.c_str(), 0);
    if (result < 0)
        throw std::system_error(-result, std::generic_category(), "owning the bus name " + name);
}

void BusConnection::release(const std::string& name)
{
    int result = sd_bus_release_name(bus_, name.c_str());
    if (result < 0)
        throw std::system_error(-result, std::generic_category(), "letting the bus name " + name + " go");
}

bool BusConnection::boolean_property(const std::string& service, const std::string& path,
                                     const std::string& interface, const std::string& property)
{
    BusError error;
    int value = 0;
    int result = sd_bus_get_property_trivial(bus_, service.c_str(), path.c_str(),
                                             interface.c_str(), property.c_str(), &error.error,
                                             'b', &value);
    check_call(result, error, "reading " + interface + "." + property);
    return value;
}

void BusConnection::set_boolean_property(const std::string& service, const std::string& path,
                                         const std::string& interface,
                                         const std::string& property, bool value)
{
    BusError error;
    int result = sd_bus_set_property(bus_, service.c_str(), path.c_str(), interface.c_str(),
                                     property.c_str(), &error.error, "b", int(value));
    check_call(result, error, "setting " + interface + "." + property);
}

GnomeShellDesktop::GnomeShellDesktop(GnomeShellOptions options) : WaylandDesktop("GNOME Shell")
{
    try {
        start(options);
        seat_ = std::make_unique<GnomeSeat>(*this);
    } catch (const TimeoutError& e) {
        std::string text = log();
        // The last lines the shell wrote say most about where it stuck.
        std::size_t from = text.size();
        for (int lines = 0; lines < 20 && from > 0; ++lines) {
            auto newline = text.rfind('\n', from - 1);
            from = newline == std::string::npos ? 0 : newline;
        }
        end();
        throw TimeoutError(std::string(e.what()) + "; gnome-shell's log ends:\n" +
                           text.substr(from));
    } catch (...) {
        end();
        throw;
    }
}

GnomeShellDesktop::~GnomeShellDesktop() { end(); }

void GnomeShellDesktop::start(const GnomeShellOptions& options)
{
    const std::string& runtime = runtime_.path();
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    // Its settings start from the defaults, in a file of its own but for
    // one: no notification banners. Run as root, the shell shows one at
    // start-up ("Logged in as a privileged user") that stays until a few
    // seconds after the first key, over whatever is on the screen.
    std::filesystem::create_directories(runtime + "/home/.config/glib-2.0/settings");
    std::ofstream(runtime + "/home/.config/glib-2.0/settings/keyfile")
        << "[org/gnome/desktop/notifications]\nshow-banners=false\n" << options.settings;
    session_bus_ = "unix:path=" + runtime + "/session-bus";
    for (const auto& folder : options.data_dirs)
        data_dirs_ += folder + ":";
    const char* usual = std::getenv("XDG_DATA_DIRS");
    data_dirs_ += usual && *usual ? usual : "/usr/local/share:/usr/share";

    SpawnOptions spawn;
    // The namespaces' first process is gnome-shell itself (unshare forks
    // it and waits): when it ends, the kernel ends everything else in
    // them. --kill-child ends it if unshare is killed.
    spawn.argv = {"unshare", "--mount", "--pid", "--fork", "--mount-proc", "--kill-child",
                  "--propagation", "private", "sh", "-c", namespace_script, "sh", runtime,
                  "gnome-shell", "--wayland", "--headless",
                  std::string("--wayland-display=") + wayland_socket};
    for (const auto& monitor : options.monitors)
        spawn.argv.insert(spawn.argv.end(), {"--virtual-monitor", monitor});
    spawn.set_env = {{"XDG_RUNTIME_DIR", runtime},
                     {"HOME", runtime + "/home"},
                     {"DBUS_SESSION_BUS_ADDRESS", session_bus_},
                     // The system bus is a stand-in: an empty bus, so
                     // that the shell's system services are simply absent.
                     {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + runtime + "/system-bus"},
                     {"GSETTINGS_BACKEND", "keyfile"},
                     {"XDG_DATA_DIRS", data_dirs_}};
    spawn.unset_env = {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XAUTHORITY",
                       "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME",
                       "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP"};
    // The shell, Xwayland and the buses write to the log; what comes here
    // is unshare's and the mounts' own complaints.
    spawn.capture_stderr = true;
    spawn.quiet = true;
    auto started = Clock::now();
    namespace_ = std::make_unique<ChildProcess>(spawn);

    auto alive = [&] {
        if (!namespace_->running())
            throw std::runtime_error("gnome-shell (in namespaces of its own, which need root) "
                                     "ended at start-up: " +
                                     namespace_->status()->describe() + "; it said:\n" +
                                     namespace_->captured_stderr() + log());
    };
    // mutter names Xwayland's display in its log, and starts it at once
    // with a cookie file of its own in the runtime folder.
    const std::string words = "Using public X11 display ";
    wait_until(
        [&] {
            alive();
            std::string text = log();
            auto at = text.find(words);
            if (at == std::string::npos)
                return false;
            at += words.size();
            auto end = text.find_first_not_of("0123456789", at + 1);
            if (end == std::string::npos || text[at] != ':' || end == at + 1)
                return false;
            display_ = text.substr(at, end - at);
            return true;
        },
        start_limit, "gnome-shell to name Xwayland's display", Millis(20));
    wait_until(
        [&] {
            alive();
            for (const auto& entry : std::filesystem::directory_iterator(runtime))
                if (entry.path().filename().string().rfind(".mutter-Xwaylandauth.", 0) == 0)
                    xauthority_ = entry.path().string();
            if (xauthority_.empty())
                return false;
            Display* x = open_with_cookie(display_, xauthority_);
            if (!x)
                return false;
            width_ = DisplayWidth(x, DefaultScreen(x));
            height_ = DisplayHeight(x, DefaultScreen(x));
            // Where the shell has put its monitors, as Xwayland tells X
            // programs, in the stage's own pixels, which its screenshots
            // also use.
            int count = 0;
            XRRMonitorInfo* monitors = XRRGetMonitors(x, DefaultRootWindow(x), True, &count);
            outputs_.clear();
            for (int i = 0; i < count; ++i)
                outputs_.push_back(ScreenArea{monitors[i].x, monitors[i].y, monitors[i].width,
                                              monitors[i].height});
            if (monitors)
                XRRFreeMonitors(monitors);
            XCloseDisplay(x);
            std::sort(outputs_.begin(), outputs_.end(),
                      [](const auto& a, const auto& b) { return a.left < b.left; });
            return outputs_.size() == options.monitors.size();
        },
        start_limit, "gnome-shell's Xwayland on " + display_ + " to accept connections and "
                     "show " + std::to_string(options.monitors.size()) + " monitor(s)",
        Millis(20));

    bus_ = std::make_unique<BusConnection>(session_bus_);
    wait_until(
        [&] {
            alive();
            return bus_->has_owner("org.gnome.Shell.Screenshot") &&
                   bus_->has_owner("org.gnome.Mutter.RemoteDesktop");
        },
        start_limit, "gnome-shell's screenshot and remote-desktop interfaces on its bus",
        Millis(20));
    // The shell starts in the overview, as after a log-in; a user's
    // programs meet the desktop without it.
    wait_until(
        [&] {
            alive();
            return overview_shown();
        },
        start_limit, "gnome-shell to show the overview it starts in", Millis(20));
    bus_->set_boolean_property("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell",
                               "OverviewActive", false);
    wait_until(
        [&] {
            alive();
            return !overview_shown();
        },
        start_limit, "gnome-shell to leave the overview", Millis(20));
    start_time_ = std::chrono::duration_cast<Millis>(Clock::now() - started);
}

bool GnomeShellDesktop::overview_shown()
{
    return bus_->boolean_property("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell",
                                  "OverviewActive");
}

pid_t GnomeShellDesktop::shell_pid()
{
    std::string pid = std::to_string(namespace_->pid());
    std::ifstream children("/proc/" + pid + "/task/" + pid + "/children");
    pid_t child = -1;
    children >> child;
    return child;
}

void GnomeShellDesktop::end()
{
    seat_.reset();
    bus_.reset();
    if (!namespace_)
        return;
    // SIGTERM to gnome-shell itself (unshare does not pass it on), so
    // that it ends Xwayland and removes its sockets; SIGKILL if it will
    // not go. Either way the kernel ends everything else it started.
    if (namespace_->running()) {
        pid_t shell = shell_pid();
        if (shell > 0)
            ::kill(shell, SIGTERM);
        if (!namespace_->wait_for(end_limit)) {
            if (shell > 0)
                ::kill(shell, SIGKILL);
            if (!namespace_->wait_for(end_limit))
                namespace_->kill_now();
        }
    }
    namespace_.reset();
}

void GnomeShellDesktop::kill_now()
{
    pid_t shell = shell_pid();
    if (shell > 0)
        ::kill(shell, SIGKILL);
    namespace_->wait(end_limit, "gnome-shell to end after SIGKILL");
}

bool GnomeShellDesktop::running() { return namespace_ && namespace_->running(); }

std::string GnomeShellDesktop::log() const
{
    return read_text(runtime_.path() + "/gnome-shell.log");
}

std::vector<std::pair<std::string, std::string>> GnomeShellDesktop::x_client_env() const
{
    return {{"DISPLAY", display_}, {"XAUTHORITY", xauthority_}};
}

SpawnOptions GnomeShellDesktop::wayland_client(std::vector<std::string> argv) const
{
    SpawnOptions spawn;
    spawn.argv = std::move(argv);
    spawn.set_env = {{"WAYLAND_DISPLAY", wayland_socket},
                     {"DISPLAY", display_},
                     {"XAUTHORITY", xauthority_},
                     {"DBUS_SESSION_BUS_ADDRESS", session_bus_},
                     {"XDG_RUNTIME_DIR", runtime_.path()},
                     {"XDG_DATA_DIRS", data_dirs_},
                     {"XDG_SESSION_TYPE", "wayland"},
                     {"XDG_CURRENT_DESKTOP", "GNOME"}};
    spawn.unset_env = {"WAYLAND_SOCKET"};
    spawn.quiet = true;
    return spawn;
}

GnomeSeat::GnomeSeat(GnomeShellDesktop& desktop)
    : desktop_(desktop), bus_(desktop.session_bus_address())
{
    std::string pattern = desktop.runtime_dir() + "/seat-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    folder_ = pattern;

    BusError error;
    BusMessage reply;
    int result = sd_bus_call_method(bus_.handle(), "org.gnome.Mutter.RemoteDesktop",
                                    "/org/gnome/Mutter/RemoteDesktop",
                                    "org.gnome.Mutter.RemoteDesktop", "CreateSession",
                                    &error.error, &reply.message, "");
    check_call(result, error, "creating a remote-desktop session");
    const char* path = nullptr;
    check_call(sd_bus_message_read(reply.message, "o", &path), error,
               "reading the remote-desktop session's path");
    session_path_ = path;
    BusError start_error;
    result = sd_bus_call_method(bus_.handle(), "org.gnome.Mutter.RemoteDesktop",
                                session_path_.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
                                "Start", &start_error.error, nullptr, "");
    check_call(result, start_error, "starting the remote-desktop session");
    // The first key of a new session can be lost while its keyboard
    // device is being set up: a harmless one goes first.
    type({XK_Shift_L}, Millis(50));
    choose_screenshot_caller();
}

int GnomeSeat::screen_width() { return desktop_.width(); }
int GnomeSeat::screen_height() { return desktop_.height(); }

namespace {

// The names whose owners the screenshot interface answers, in the order
// tried: the screenshot tool's (GNOME 43, 48), then the settings daemon's
// screenshot keys' and the desktop portal's (43 to 50). On the shell's
// private session bus no one else holds them.
const char* const screenshot_callers[] = {"org.gnome.Screenshot",
                                          "org.gnome.SettingsDaemon.MediaKeys",
                                          "org.freedesktop.impl.portal.desktop.gnome"};

}  // namespace

void GnomeSeat::choose_screenshot_caller()
{
    std::string refusals;
    for (const char* name : screenshot_callers) {
        bus_.own(name);
        std::string file = folder_ + "/caller.png";
        BusError error;
        BusMessage reply;
        int result = sd_bus_call_method(bus_.handle(), "org.gnome.Shell.Screenshot",
                                        "/org/gnome/Shell/Screenshot",
                                        "org.gnome.Shell.Screenshot", "ScreenshotArea",
                                        &error.error, &reply.message, "iiiibs", 0, 0, 1, 1, 0,
                                        file.c_str());
        if (result >= 0) {
            std::filesystem::remove(file);
            caller_ = name;
            return;
        }
        if (!sd_bus_error_has_name(&error.error, SD_BUS_ERROR_ACCESS_DENIED))
            check_call(result, error, "taking a screenshot through gnome-shell as " +
                                          std::string(name));
        refusals += std::string(refusals.empty() ? "" : "; ") + name + ": " +
                    (error.error.message ? error.error.message : "refused");
        bus_.release(name);
    }
    throw std::runtime_error("gnome-shell takes screenshots for none of the callers it used to "
                             "trust (" + refusals + ")");
}

GnomeSeat::~GnomeSeat()
{
    BusError error;
    sd_bus_call_method(bus_.handle(), "org.gnome.Mutter.RemoteDesktop", session_path_.c_str(),
                       "org.gnome.Mutter.RemoteDesktop.Session", "Stop", &error.error, nullptr,
                       "");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void GnomeSeat::notify_keysym(unsigned keysym, bool down)
{
    BusError error;
    int result = sd_bus_call_method(bus_.handle(), "org.gnome.Mutter.RemoteDesktop",
                                    session_path_.c_str(),
                                    "org.gnome.Mutter.RemoteDesktop.Session",
                                    "NotifyKeyboardKeysym", &error.error, nullptr, "ub",
                                    std::uint32_t(keysym), int(down));
    check_call(result, error, "typing a key through the remote-desktop session");
}

namespace {

unsigned keysym_of(Key key) { return key == Key::space ? XK_space : XK_Escape; }

}  // namespace

void GnomeSeat::press(Key key) { notify_keysym(keysym_of(key), true); }
void GnomeSeat::release(Key key) { notify_keysym(keysym_of(key), false); }
void GnomeSeat::press_keysym(unsigned keysym) { notify_keysym(keysym, true); }
void GnomeSeat::release_keysym(unsigned keysym) { notify_keysym(keysym, false); }

void GnomeSeat::type(const std::vector<unsigned>& keysyms, Millis hold)
{
    // A hand's pace between the keys of a combination.
    const Millis between(50);
    for (std::size_t i = 0; i < keysyms.size(); ++i) {
        if (i > 0)
            std::this_thread::sleep_for(between);
        press_keysym(keysyms[i]);
    }
    std::this_thread::sleep_for(hold);
    for (std::size_t i = keysyms.size(); i-- > 0;) {
        release_keysym(keysyms[i]);
        if (i > 0)
            std::this_thread::sleep_for(between);
    }
}

Picture GnomeSeat::grab() { return screenshot(nullptr); }

Picture GnomeSeat::grab(int left, int top, int width, int height)
{
    const int area[] = {left, top, width, height};
    return screenshot(area);
}

Picture GnomeSeat::screenshot(const int* area)
{
    std::string file = folder_ + "/" + std::to_string(++shots_) + ".png";
    BusError error;
    BusMessage reply;
    int result;
    if (area)
        result = sd_bus_call_method(bus_.handle(), "org.gnome.Shell.Screenshot",
                                    "/org/gnome/Shell/Screenshot", "org.gnome.Shell.Screenshot",
                                    "ScreenshotArea", &error.error, &reply.message, "iiiibs",
                                    area[0], area[1], area[2], area[3], 0, file.c_str());
    else
        result = sd_bus_call_method(bus_.handle(), "org.gnome.Shell.Screenshot",
                                    "/org/gnome/Shell/Screenshot", "org.gnome.Shell.Screenshot",
                                    "Screenshot", &error.error, &reply.message, "bbs", 0, 0,
                                    file.c_str());
    check_call(result, error, "taking a screenshot through gnome-shell");
    int success = 0;
    const char* written = nullptr;
    check_call(sd_bus_message_read(reply.message, "bs", &success, &written), error,
               "reading the screenshot's answer");
    if (!success)
        throw std::runtime_error("gnome-shell could not take a screenshot into " + file);
    Picture picture = Picture::read_png(written);
    std::filesystem::remove(written);
    return picture;
}

}  // namespace harness

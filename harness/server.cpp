#include "server.hpp"

#include "numbers.hpp"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <pwd.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace harness {

namespace {

const Millis start_limit(20000);
const Millis end_limit(5000);

// Closes a descriptor when it goes out of scope.
struct FdGuard {
    int fd;
    ~FdGuard() { close(fd); }
};

// SIGTERM first, so that the server removes its socket and lock file;
// SIGKILL only if it has not ended within the bound.
void end_gracefully(ChildProcess& process)
{
    process.send_signal(SIGTERM);
    if (!process.wait_for(end_limit))
        process.kill_now();
}

// Whether the display takes a connection, with the cookie file given, if any.
bool answers(const std::string& display, const std::string& xauthority = "")
{
    Display* d = open_with_cookie(display, xauthority);
    if (d)
        XCloseDisplay(d);
    return d != nullptr;
}

// Reads an X server's display number from its -displayfd pipe, up to the
// newline; nothing if the server ends first.
std::optional<std::string> read_display_number(int fd, ChildProcess& server,
                                               const std::string& name)
{
    std::string number;
    auto deadline = Clock::now() + start_limit;
    for (;;) {
        if (Clock::now() >= deadline)
            throw TimeoutError(timeout_message(start_limit, name + " to report its display number"));
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            if (!server.running())
                return std::nullopt;
            continue;
        }
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n == 0)
            return std::nullopt;
        if (n < 0)
            continue;
        if (c == '\n')
            return number;
        number += c;
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TempDir::TempDir(const std::string& prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

XServerProcess::~XServerProcess() { end(); }

void XServerProcess::end()
{
    if (process_)
        end_gracefully(*process_);
    process_.reset();
}

void XServerProcess::start(const std::string& name, const std::vector<std::string>& argv)
{
    long base = whole_setting("SPOTFALL_FIRST_DISPLAY", -1, 0, 65000);
    if (base < 0) {
        if (!try_start(name, argv, -1))
            throw std::runtime_error(name + " ended at start-up: " +
                                     process_->status()->describe() + " (is it installed?)");
        return;
    }
    for (int number = int(base); number < base + 64; ++number)
        if (try_start(name, argv, number))
            return;
    throw std::runtime_error(name + " could not start on any display from :" +
                             std::to_string(base) + " to :" + std::to_string(base + 63));
}

bool XServerProcess::try_start(const std::string& name, std::vector<std::string> argv, int number)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe for -displayfd");
    FdGuard read_end{fds[0]};
    {
        FdGuard write_end{fds[1]};
        if (number >= 0)
            argv.push_back(":" + std::to_string(number));
        argv.insert(argv.end(), {"-displayfd", std::to_string(fds[1])});
        SpawnOptions spawn;
        spawn.argv = argv;
        spawn.keep_fd = fds[1];
        spawn.quiet = true;
        process_ = std::make_unique<ChildProcess>(spawn);
    }
    auto reported = read_display_number(fds[0], *process_, name);
    if (!reported) {
        process_->wait(end_limit, name + " to end after a failed start");
        return false;
    }
    display_ = ":" + *reported;
    // The pipe stays open until the server answers: it may still write to
    // it, and closing it early can kill the server as it starts.
    wait_until(
        [&] {
            if (!process_->running())
                throw std::runtime_error(name + " on " + display_ + " ended at start-up: " +
                                         process_->status()->describe());
            return answers(display_);
        },
        start_limit, name + " on " + display_ + " to accept connections", Millis(10));
    return true;
}

XvfbServer::XvfbServer(XvfbOptions options)
{
    start("Xvfb", {"Xvfb", "-screen", "0",
                   std::to_string(options.width) + "x" + std::to_string(options.height) + "x" +
                       std::to_string(options.depth),
                   "-nolisten", "tcp", "-noreset", "-br"});
}

XorgServer::XorgServer(XorgOptions options)
{
    // The configuration kept beside this file, with the modes asked for.
    std::string config = read_file(SPOTFALL_XORG_CONFIG);
    std::string modes;
    for (const auto& mode : options.modes)
        modes += " \"" + mode + "\"";
    auto line = config.find("Modes \"");
    if (line == std::string::npos)
        throw std::runtime_error(std::string(SPOTFALL_XORG_CONFIG) + " has no Modes line");
    config.replace(line, config.find('\n', line) - line, "Modes" + modes);
    std::string config_path = files_.path() + "/xorg.conf";
    std::ofstream(config_path) << config;
    std::filesystem::create_directory(files_.path() + "/xorg.conf.d");

    start("Xorg", {"Xorg", "-config", config_path, "-configdir", files_.path() + "/xorg.conf.d",
                   "-logfile", files_.path() + "/Xorg.log", "-nolisten", "tcp", "-noreset",
                   "-novtswitch", "-sharevts"});
}

// The server goes before the folder that holds its configuration and log.
XorgServer::~XorgServer() { end(); }

bool installed(const std::vector<std::string>& programs)
{
    std::string command = "true";
    for (const auto& program : programs)
        command += " && command -v '" + program + "' >/dev/null";
    return std::system(command.c_str()) == 0;
}

namespace {

// The outer Xvfb holds the output windows side by side.
XvfbOptions outer_screen(const std::vector<NestedOutput>& outputs)
{
    XvfbOptions options{0, 0, 24};
    for (const auto& output : outputs) {
        options.width += output.width;
        options.height = std::max(options.height, output.height);
    }
    return options;
}

// The size of an X display's screen, if it answers.
std::optional<std::pair<int, int>> screen_size(const std::string& display,
                                               const std::string& xauthority)
{
    Display* d = open_with_cookie(display, xauthority);
    if (!d)
        return std::nullopt;
    std::pair<int, int> size{DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))};
    XCloseDisplay(d);
    return size;
}

// The processes whose environment holds `entry` ("NAME=value"), but this one.
std::vector<pid_t> processes_with(const std::string& entry)
{
    std::vector<pid_t> found;
    for (const auto& proc : std::filesystem::directory_iterator("/proc")) {
        const std::string name = proc.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = std::stoi(name);
        if (pid == getpid())
            continue;
        // Entries are separated by NUL bytes.
        std::string environment = read_file(proc.path().string() + "/environ");
        std::size_t at = 0;
        for (std::size_t end; at < environment.size(); at = end + 1) {
            end = environment.find('\0', at);
            if (end == std::string::npos)
                end = environment.size();
            if (environment.compare(at, end - at, entry) == 0) {
                found.push_back(pid);
                break;
            }
        }
    }
    return found;
}

}  // namespace

NestedDesktop::NestedDesktop(std::string name, std::vector<NestedOutput> outputs)
    : WaylandDesktop(std::move(name)), output_settings_(std::move(outputs)),
      outer_(outer_screen(output_settings_))
{
    outer_seat_ = std::make_unique<XConnection>(outer_.display());
    chmod(runtime_.path().c_str(), 0700);
    env_file_ = runtime_.path() + "/desktop.env";
}

std::optional<std::pair<uid_t, gid_t>> NestedDesktop::unprivileged_user()
{
    if (geteuid() != 0)
        return std::nullopt;
    // getpwnam allocates, so it runs here, before any fork.
    const passwd* user = getpwnam("nobody");
    if (!user)
        throw std::runtime_error("there is no user 'nobody' to run the compositor as (it refuses "
                                 "to run as root); add one, or run the tests as another user");
    return std::pair{user->pw_uid, user->pw_gid};
}

std::string NestedDesktop::env_file_command() const
{
    // Xwayland lets in only its own user unless told otherwise; the harness
    // and the program under test run as the harness's user.
    std::string allow;
    if (run_as_) {
        const passwd* me = getpwuid(geteuid());
        allow = "xhost +si:localuser:" + std::string(me ? me->pw_name : "root") + " >/dev/null && ";
    }
    return allow + "env > '" + env_file_ + ".part' && mv '" + env_file_ + ".part' '" + env_file_ +
           "'";
}

std::optional<std::string> NestedDesktop::display_from_env_file()
{
    std::ifstream file(env_file_);
    std::optional<std::string> display;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("DISPLAY=", 0) == 0)
            display = line.substr(8);
        else if (line.rfind("WAYLAND_DISPLAY=", 0) == 0)
            wayland_display_ = line.substr(16);
    }
    return display;
}

void NestedDesktop::start(SpawnOptions spawn,
                          const std::function<std::optional<std::string>()>& xwayland_display,
                          const std::function<std::string()>& log)
{
    spawn.set_env.insert(spawn.set_env.end(), {{"DISPLAY", outer_.display()},
                                               {"XDG_RUNTIME_DIR", runtime_.path()},
                                               {"HOME", runtime_.path()}});
    spawn.unset_env = {"WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XAUTHORITY", "SWAYSOCK",
                       "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                       "DBUS_SESSION_BUS_ADDRESS"};
    spawn.private_x11_sockets = true;
    spawn.run_as = run_as_;
    if (run_as_ && chown(runtime_.path().c_str(), run_as_->first, run_as_->second) != 0)
        throw std::system_error(errno, std::generic_category(),
                                "handing " + runtime_.path() + " to the compositor's user");
    compositor_ = std::make_unique<ChildProcess>(spawn);
    // Every wait of the start fails at once, saying why, if the compositor ends.
    auto still_running = [&] {
        if (!compositor_->running())
            throw std::runtime_error(name() + " ended at start-up: " +
                                     compositor_->status()->describe() + "; it said:\n" + log());
    };

    wait_until(
        [&] {
            still_running();
            auto display = xwayland_display();
            if (!display || display->size() < 2 || (*display)[0] != ':' ||
                display->find_first_not_of("0123456789", 1) != std::string::npos)
                return false;
            display_ = *display;
            return true;
        },
        start_limit, name() + " to name Xwayland's display", Millis(20));

    // Xwayland's screen spans the outputs, each in logical pixels; on
    // scaled outputs the compositor may give X its own pixels instead, so
    // there any size will do once it has stayed the same for a second.
    std::pair<int, int> expected{0, 0};
    bool scaled = false;
    for (const auto& output : output_settings_) {
        expected.first += output.width;
        expected.second = std::max(expected.second, output.height);
        scaled = scaled || output.scale != 1;
    }
    std::string seen = "it does not answer";
    lay_out_outputs();
    auto size_text = [](std::pair<int, int> size) {
        return std::to_string(size.first) + "x" + std::to_string(size.second);
    };
    std::pair<int, int> last{-1, -1};
    auto last_changed = Clock::now();
    try {
        wait_until(
            [&] {
                still_running();
                auto size = screen_size(display_, xauthority_);
                if (size)
                    seen = "it is " + size_text(*size);
                if (!scaled)
                    return size == expected;
                if (size && *size != last) {
                    last = *size;
                    last_changed = Clock::now();
                }
                return size && Clock::now() - last_changed >= Millis(1000);
            },
            start_limit,
            "Xwayland on " + display_ + " to answer with a screen of " +
                (scaled ? std::string("a lasting size") : size_text(expected)),
            Millis(20));
    } catch (const TimeoutError& e) {
        throw TimeoutError(e.what() + ("; " + seen));
    }
}

void NestedDesktop::lay_out_outputs()
{
    // Without a window manager on the outer Xvfb every output window opens
    // at its top-left corner; they go side by side, in the order they were
    // made, each at its output's size (which some compositors, such as cage,
    // take from the window).
    std::vector<TopLevelWindow> windows;
    wait_until(
        [&] {
            windows = outer_seat_->viewable_windows();
            return windows.size() >= output_settings_.size();
        },
        start_limit, name() + " to open " + std::to_string(output_settings_.size()) +
                         " output window(s) on " + outer_.display(),
        Millis(20));
    std::sort(windows.begin(), windows.end(),
              [](const auto& a, const auto& b) { return a.id < b.id; });
    outputs_.clear();
    int left = 0;
    for (std::size_t i = 0; i < output_settings_.size(); ++i) {
        const NestedOutput& output = output_settings_[i];
        XMoveResizeWindow(outer_seat_->handle(), windows[i].id, left, 0, unsigned(output.width),
                          unsigned(output.height));
        outputs_.push_back(ScreenArea{left, 0, output.width, output.height});
        left += output.width;
    }
    XSync(outer_seat_->handle(), False);
    outer_seat_->check();
}

NestedDesktop::~NestedDesktop()
{
    if (compositor_) {
        // Some compositors end cleanly only when a child of theirs ends.
        bool ended = false;
        if (!end_first_.empty()) {
            std::string pid = std::to_string(compositor_->pid());
            std::ifstream children("/proc/" + pid + "/task/" + pid + "/children");
            for (pid_t child; children >> child;)
                if (read_file("/proc/" + std::to_string(child) + "/comm") == end_first_ + "\n")
                    ::kill(child, SIGTERM);
            ended = compositor_->wait_for(end_limit).has_value();
        }
        if (!ended)
            end_gracefully(*compositor_);
    }
    end_leftovers();
}

void NestedDesktop::end_leftovers()
{
    // What the compositor started carries its runtime folder in its
    // environment; Xwayland usually ends with it, but not at once.
    const std::string mark = "XDG_RUNTIME_DIR=" + runtime_.path();
    try {
        wait_until([&] { return processes_with(mark).empty(); }, Millis(2000),
                   "what " + name() + " started to end with it", Millis(20));
    } catch (const TimeoutError&) {
        for (pid_t pid : processes_with(mark))
            ::kill(pid, SIGTERM);
        try {
            wait_until([&] { return processes_with(mark).empty(); }, end_limit,
                       "what " + name() + " started to end after SIGTERM", Millis(20));
        } catch (const TimeoutError&) {
            for (pid_t pid : processes_with(mark))
                ::kill(pid, SIGKILL);
        }
    }
    // Xwayland's socket went with the private /tmp/.X11-unix; its lock file
    // in /tmp stays behind if it was killed. It names the pid that held it.
    if (display_.empty())
        return;
    const std::string lock = "/tmp/.X" + display_.substr(1) + "-lock";
    std::istringstream holder(read_file(lock));
    pid_t pid = 0;
    if (holder >> pid && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
        unlink(lock.c_str());
}

void NestedDesktop::kill_now() { compositor_->kill_now(); }

std::vector<std::pair<std::string, std::string>> NestedDesktop::x_client_env() const
{
    std::vector<std::pair<std::string, std::string>> env = {{"DISPLAY", display_}};
    if (!xauthority_.empty())
        env.emplace_back("XAUTHORITY", xauthority_);
    return env;
}

SpawnOptions NestedDesktop::wayland_client(std::vector<std::string> argv) const
{
    SpawnOptions spawn;
    spawn.argv = std::move(argv);
    spawn.set_env = {{"XDG_RUNTIME_DIR", runtime_.path()}, {"WAYLAND_DISPLAY", wayland_display_}};
    spawn.unset_env = {"DISPLAY"};
    spawn.quiet = true;
    return spawn;
}

WestonDesktop::WestonDesktop(int scale)
    : NestedDesktop("weston", {NestedOutput{1920, 1080, double(scale)}})
{
    std::string log = runtime().path() + "/weston.log";
    wayland_display_ = "wayland-spotfall";
    SpawnOptions spawn;
    // Its output window is the size given times the scale.
    spawn.argv = {"weston", "--backend=x11-backend.so", "--xwayland", "--socket=" + wayland_display_,
                  "--width=" + std::to_string(1920 / scale),
                  "--height=" + std::to_string(1080 / scale), "--scale=" + std::to_string(scale),
                  "--idle-time=0", "--log=" + log};
    spawn.quiet = true;
    // weston picks a free X display for Xwayland and names it in its log;
    // Xwayland itself starts when the first X client connects.
    const std::string words = "xserver listening on display ";
    start(
        spawn,
        [log, words]() -> std::optional<std::string> {
            std::string text = read_file(log);
            auto at = text.find(words);
            if (at == std::string::npos)
                return std::nullopt;
            at += words.size();
            return text.substr(at, text.find_first_of(" \n", at) - at);
        },
        [log] { return read_file(log); });
}

std::string KwinDesktop::program(const std::string& copy_path)
{
    // In some containers kwin_wayland cannot be run at all (EPERM), as its
    // file capability (cap_sys_resource, for real-time scheduling) is not
    // allowed there; a copy, without it, runs.
    SpawnOptions probe;
    probe.argv = {"kwin_wayland", "--version"};
    probe.quiet = true;
    try {
        ChildProcess(probe).wait(Millis(10000), "kwin_wayland --version to end");
        return "kwin_wayland";
    } catch (const std::system_error& e) {
        if (e.code().value() != EPERM)
            throw;
    }
    std::filesystem::copy_file(resolve_program("kwin_wayland"), copy_path);
    return copy_path;
}

KwinDesktop::KwinDesktop(int outputs, double scale,
                         const std::vector<std::pair<std::string, std::string>>& config)
    : NestedDesktop("KWin", std::vector<NestedOutput>(std::size_t(outputs),
                                                      NestedOutput{1920, 1080, scale}))
{
    std::string log = runtime().path() + "/kwin.log";
    std::filesystem::create_directories(runtime().path() + "/.config");
    for (const auto& [name, text] : config)
        std::ofstream(runtime().path() + "/.config/" + name) << text;
    // Its output windows are the size given times the scale.
    auto logical = [scale](int pixels) { return std::to_string(int(pixels / scale + 0.5)); };
    SpawnOptions spawn;
    spawn.argv = {"sh", "-c", "exec \"$0\" \"$@\" >'" + log + "' 2>&1",
                  program(runtime().path() + "/kwin_wayland"), "--x11-display",
                  outer_display(), "--xwayland", "--socket", "wayland-spotfall", "--width", logical(1920),
                  "--height", logical(1080), "--scale", std::to_string(scale),
                  "--output-count", std::to_string(outputs),
                  "--no-lockscreen", "--no-global-shortcuts", "--no-kactivities",
                  // Run once Xwayland is up, with its DISPLAY.
                  "sh -c \"" + env_file_command() + "\""};
    wayland_display_ = "wayland-spotfall";
    // The outer Xvfb has no GPU: KWin paints with QPainter.
    spawn.set_env = {{"KWIN_COMPOSE", "Q"}};
    spawn.quiet = true;
    start(spawn, [this] { return display_from_env_file(); }, [log] { return read_file(log); });
}

SwayDesktop::SwayDesktop(std::vector<NestedOutput> outputs)
    : NestedDesktop("sway", std::move(outputs))
{
    run_as_ = unprivileged_user();
    std::string log = runtime().path() + "/sway.log";
    std::string config = runtime().path() + "/config";
    {
        std::ofstream text(config);
        // Xwayland starts when the first X client connects, once the outputs
        // are set: started at once, it keeps the sizes they had before.
        text << "xwayland enable\n";
        int left = 0;
        for (std::size_t i = 0; i < output_settings().size(); ++i) {
            const NestedOutput& output = output_settings()[i];
            text << "output X11-" << i + 1 << " mode " << output.width << "x" << output.height
                 << " position " << left << " 0 scale " << output.scale << "\n";
            left += int(output.width / output.scale + 0.5);
        }
        text << "exec sh -c \"" << env_file_command() << "\"\n";
    }
    chmod(config.c_str(), 0644);
    SpawnOptions spawn;
    spawn.argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>'" + log + "'", "sway", "--config", config};
    spawn.set_env = {{"WLR_BACKENDS", "x11"},
                     {"WLR_RENDERER", "pixman"},
                     {"WLR_X11_OUTPUTS", std::to_string(output_settings().size())}};
    spawn.quiet = true;
    start(spawn, [this] { return display_from_env_file(); }, [log] { return read_file(log); });
    std::ifstream file(env_file_);
    for (std::string line; std::getline(file, line);)
        if (line.rfind("SWAYSOCK=", 0) == 0)
            ipc_socket_ = line.substr(9);
}

bool SwayDesktop::command(const std::string& text)
{
    SpawnOptions spawn;
    spawn.argv = {"swaymsg", text};
    spawn.set_env = {{"SWAYSOCK", ipc_socket_}};
    spawn.quiet = true;
    return ChildProcess(spawn).wait(Millis(5000), "swaymsg " + text + " to end").success();
}

CageDesktop::CageDesktop() : NestedDesktop("cage", {NestedOutput{}})
{
    run_as_ = unprivileged_user();
    std::string log = runtime().path() + "/cage.log";
    // cage runs one application and ends when it ends: here a shell that
    // writes the environment down and then waits, ended first to end cage
    // (cage's own SIGTERM handling trips an assertion).
    SpawnOptions spawn;
    spawn.argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>'" + log + "'", "cage", "--", "sh", "-c",
                  env_file_command() + " && exec sleep infinity"};
    end_first_ = "sleep";
    spawn.set_env = {{"WLR_BACKENDS", "x11"}, {"WLR_RENDERER", "pixman"}};
    spawn.quiet = true;
    start(spawn, [this] { return display_from_env_file(); }, [log] { return read_file(log); });
}

LabwcDesktop::LabwcDesktop(std::vector<NestedOutput> outputs)
    : NestedDesktop("labwc", std::move(outputs))
{
    std::string log = runtime().path() + "/labwc.log";
    // An empty folder of its own for its settings, so that its default key
    // bindings (Alt+F4 closes, Alt+Tab moves the focus) and nothing of the
    // machine's apply.
    std::string config = runtime().path() + "/labwc";
    std::filesystem::create_directory(config);
    SpawnOptions spawn;
    spawn.argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>'" + log + "'", "labwc", "--config-dir", config,
                  "--startup", "sh -c \"" + env_file_command() + "\""};
    spawn.set_env = {{"WLR_BACKENDS", "x11"},
                     {"WLR_RENDERER", "pixman"},
                     {"WLR_X11_OUTPUTS", std::to_string(output_settings().size())}};
    spawn.quiet = true;
    start(spawn, [this] { return display_from_env_file(); }, [log] { return read_file(log); });
}

}  // namespace harness

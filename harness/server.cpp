#include "server.hpp"

#include "numbers.hpp"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

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
    // Xlib finds the cookie file through XAUTHORITY.
    const char* saved = std::getenv("XAUTHORITY");
    std::string saved_value = saved ? saved : "";
    if (!xauthority.empty())
        setenv("XAUTHORITY", xauthority.c_str(), 1);
    Display* d = XOpenDisplay(display.c_str());
    if (!xauthority.empty()) {
        if (saved)
            setenv("XAUTHORITY", saved_value.c_str(), 1);
        else
            unsetenv("XAUTHORITY");
    }
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

NestedDesktop::NestedDesktop() : outer_(XvfbOptions{1920, 1080, 24})
{
    chmod(runtime_.path().c_str(), 0700);
}

void NestedDesktop::start(const std::string& name, SpawnOptions spawn,
                          const std::string& display_words,
                          const std::function<std::string()>& output)
{
    spawn.set_env.insert(spawn.set_env.end(),
                         {{"DISPLAY", outer_.display()}, {"XDG_RUNTIME_DIR", runtime_.path()}});
    spawn.unset_env = {"WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XAUTHORITY"};
    compositor_ = std::make_unique<ChildProcess>(spawn);

    wait_until(
        [&] {
            if (!compositor_->running())
                throw std::runtime_error(name + " ended at start-up: " +
                                         compositor_->status()->describe() + "; it said:\n" +
                                         output());
            // The display follows the words, as ":N".
            std::string text = output();
            auto at = text.find(display_words);
            if (at == std::string::npos)
                return false;
            at += display_words.size();
            auto end = text.find_first_not_of("0123456789", at + 1);
            if (text[at] != ':' || end == at + 1 || end == std::string::npos)
                return false;
            display_ = text.substr(at, end - at);
            return true;
        },
        start_limit, name + " to name Xwayland's display", Millis(20));
}

NestedDesktop::~NestedDesktop()
{
    if (!compositor_)
        return;
    // The compositor ends its Xwayland, its helper clients and its sockets
    // when it gets SIGTERM itself, not through a wrapper.
    if (!end_first_.empty()) {
        std::string pid = std::to_string(compositor_->pid());
        std::ifstream children("/proc/" + pid + "/task/" + pid + "/children");
        for (pid_t child; children >> child;)
            if (read_file("/proc/" + std::to_string(child) + "/comm") == end_first_ + "\n")
                ::kill(child, SIGTERM);
        if (compositor_->wait_for(end_limit))
            return;
    }
    end_gracefully(*compositor_);
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
    spawn.set_env = {{"XDG_RUNTIME_DIR", runtime_.path()}, {"WAYLAND_DISPLAY", "wayland-spotfall"}};
    spawn.unset_env = {"DISPLAY"};
    spawn.quiet = true;
    return spawn;
}

WestonDesktop::WestonDesktop()
{
    std::string log = runtime().path() + "/weston.log";
    SpawnOptions spawn;
    spawn.argv = {"weston", "--backend=x11-backend.so", "--xwayland", "--socket=wayland-spotfall",
                  "--width=1920", "--height=1080", "--idle-time=0", "--log=" + log};
    spawn.quiet = true;
    // weston picks a free X display for Xwayland and names it in its log;
    // Xwayland itself starts when the first X client connects.
    start("weston", spawn, "xserver listening on display ", [log] { return read_file(log); });
    wait_until([&] { return answers(display_); }, start_limit,
               "Xwayland on " + display_ + " to accept connections", Millis(20));
}

MutterDesktop::MutterDesktop()
{
    // mutter says everything on stderr, which goes to a file that nobody
    // has to keep reading.
    std::string log = runtime().path() + "/mutter.log";
    SpawnOptions spawn;
    spawn.argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>" + log, "dbus-run-session", "--", "mutter",
                  "--wayland", "--nested", "--wayland-display=wayland-spotfall"};
    // dbus-run-session does not pass SIGTERM on: mutter must get it itself.
    end_first_ = "mutter";
    // Its nested output is 800x600 unless told otherwise.
    spawn.set_env = {{"MUTTER_DEBUG_DUMMY_MODE_SPECS", "1920x1080"}};
    spawn.quiet = true;
    start("mutter", spawn, "Using public X11 display ", [log] { return read_file(log); });
    // mutter starts Xwayland at once, with a cookie file of its own.
    wait_until(
        [&] {
            for (const auto& entry : std::filesystem::directory_iterator(runtime().path()))
                if (entry.path().filename().string().rfind(".mutter-Xwaylandauth.", 0) == 0)
                    xauthority_ = entry.path().string();
            return !xauthority_.empty() && answers(display_, xauthority_);
        },
        start_limit, "mutter's Xwayland on " + display_ + " to accept connections", Millis(20));
}

}  // namespace harness

#include "menu.hpp"

#include <dirent.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

namespace harness {

Subreaper::Subreaper()
{
    prctl(PR_GET_CHILD_SUBREAPER, &before_);
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        throw std::system_error(errno, std::generic_category(), "becoming a subreaper");
}

Subreaper::~Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, before_); }

namespace {

// The children of this process that run `program`.
std::vector<pid_t> children_running(const std::string& program)
{
    std::vector<pid_t> found;
    const std::string self = std::to_string(getpid());
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc)
        throw std::system_error(errno, std::generic_category(), "reading /proc");
    while (dirent* entry = readdir(proc.get())) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end)
            continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        std::ifstream stat(base + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // After "(name) ", the state and then the parent's pid.
        auto close_paren = text.rfind(") ");
        if (close_paren == std::string::npos)
            continue;
        auto ppid_at = text.find(' ', close_paren + 2);
        if (ppid_at == std::string::npos || text.compare(ppid_at + 1, self.size() + 1, self + " ") != 0)
            continue;
        char target[4096];
        ssize_t n = readlink((base + "/exe").c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)) == program)
            found.push_back(pid_t(pid));
        // A program that has already ended (a zombie) has no executable
        // left to read; its name, cut to the kernel's 15 characters, stays.
        const char state = text[close_paren + 2];
        const std::string name = text.substr(text.find('(') + 1, close_paren - text.find('(') - 1);
        if (n <= 0 && state == 'Z' &&
            name == program.substr(program.rfind('/') + 1).substr(0, 15))
            found.push_back(pid_t(pid));
    }
    return found;
}

}  // namespace

std::unique_ptr<ChildProcess> launch_from_menu(const MenuLaunch& launch, Millis limit)
{
    std::string id = launch.desktop_id;
    const std::string suffix = ".desktop";
    if (id.size() > suffix.size() && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0)
        id.erase(id.size() - suffix.size());

    SpawnOptions spawn;
    spawn.argv = {"gtk-launch", id};
    // Only this install's entries (no user's own ones from ~/.local/share),
    // and no D-Bus session bus unless the desktop has one: GLib would
    // otherwise start one of its own for the launch, and leave it running.
    spawn.set_env = {{"XDG_DATA_DIRS", launch.data_dir},
                     {"XDG_DATA_HOME", launch.data_dir + "/no-user-data"},
                     {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + launch.data_dir + "/no-session-bus"}};
    for (const auto& [name, value] : launch.env) {
        bool replaced = false;
        for (auto& [set_name, set_value] : spawn.set_env)
            if (set_name == name) {
                set_value = value;
                replaced = true;
            }
        if (!replaced)
            spawn.set_env.emplace_back(name, value);
    }
    spawn.capture_stderr = true;

    Subreaper subreaper;
    const auto started = Clock::now();
    ChildProcess launcher(spawn);
    ExitStatus status = launcher.wait(limit, "gtk-launch to start " + id);
    if (!status.success())
        throw std::runtime_error("gtk-launch " + id + " failed (" + status.describe() +
                                 "): " + launcher.captured_stderr());
    std::vector<pid_t> found;
    wait_until([&] { return !(found = children_running(launch.program)).empty(); }, limit,
               launch.program + ", started by gtk-launch " + id + ", to run as a child of this process");
    if (found.size() != 1)
        throw std::runtime_error("gtk-launch " + id + " started " + std::to_string(found.size()) +
                                 " copies of " + launch.program);
    return std::make_unique<ChildProcess>(found.front(), started, launcher.release_stderr_pipe());
}

}  // namespace harness

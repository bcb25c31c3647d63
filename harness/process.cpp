#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

extern char** environ;

namespace harness {

bool ExitStatus::exited() const { return WIFEXITED(raw); }
int ExitStatus::code() const { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }
bool ExitStatus::signalled() const { return WIFSIGNALED(raw); }
int ExitStatus::signal() const { return WIFSIGNALED(raw) ? WTERMSIG(raw) : 0; }

std::string ExitStatus::describe() const
{
    if (exited())
        return "exit status " + std::to_string(code());
    if (signalled())
        return "killed by signal " + std::to_string(signal()) + " (" + strsignal(signal()) + ")";
    return "wait status " + std::to_string(raw);
}

namespace {

std::vector<std::string> child_environment(const SpawnOptions& options)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& u : options.unset_env)
            replaced |= (u == name);
        for (const auto& s : options.set_env)
            replaced |= (s.first == name);
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto& s : options.set_env)
        env.push_back(s.first + "=" + s.second);
    return env;
}

[[noreturn]] void system_error(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// A descriptor that is closed when it goes out of scope, so that none leaks
// when spawning fails half-way.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset();
        fd_ = other.release();
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

struct Pipe {
    UniqueFd read_end, write_end;
};

Pipe make_pipe(const char* what)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        system_error(std::string("pipe for ") + what);
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// What a child that could not start tells its parent through a pipe.
enum class ChildStep { descriptors, exec, namespace_, privileges };
struct ChildFailure {
    ChildStep step;
    int error;
};

std::string describe_failure(ChildStep step, const std::string& program)
{
    switch (step) {
    case ChildStep::descriptors:
        return "setting up the descriptors of " + program;
    case ChildStep::namespace_:
        return "giving " + program + " a mount namespace with a private /tmp/.X11-unix "
               "(this needs root, or user namespaces that the kernel allows)";
    case ChildStep::privileges:
        return "running " + program + " as another user";
    case ChildStep::exec:
        break;
    }
    return "cannot run " + program;
}

// Writes a whole text to a file, in the child: open and write only.
bool write_text(const char* path, const char* text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t length = ssize_t(strlen(text));
    bool whole = write(fd, text, size_t(length)) == length;
    close(fd);
    return whole;
}

// Runs in the child between fork and exec, where only async-signal-safe
// calls are sound: a lock that another thread of the parent held at the
// fork stays held in the child for good.
[[noreturn]] void fail_in_child(int report_fd, ChildStep step)
{
    ChildFailure failure{step, errno};
    ssize_t written = write(report_fd, &failure, sizeof failure);
    (void)written;
    _exit(127);
}

}  // namespace

// Found before fork: the search allocates, which a child of a threaded
// process must not do.
std::string resolve_program(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    throw std::runtime_error("cannot run " + name + ": not found in PATH (is it installed?)");
}

std::string timeout_message(Millis limit, const std::string& what)
{
    return "timed out after " + std::to_string(limit.count()) + " ms waiting for " + what;
}

ChildProcess::ChildProcess(const SpawnOptions& options)
{
    if (options.argv.empty())
        throw std::invalid_argument("ChildProcess: no program given");

    // Everything the child needs is prepared before fork.
    const std::string program = resolve_program(options.argv[0]);
    std::vector<std::string> env = child_environment(options);
    std::vector<char*> argv_ptrs, env_ptrs;
    for (const auto& a : options.argv)
        argv_ptrs.push_back(const_cast<char*>(a.c_str()));
    argv_ptrs.push_back(nullptr);
    for (const auto& e : env)
        env_ptrs.push_back(const_cast<char*>(e.c_str()));
    env_ptrs.push_back(nullptr);

    UniqueFd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (null_fd.get() < 0)
        system_error("open /dev/null");
    Pipe stderr_pipe;
    if (options.capture_stderr)
        stderr_pipe = make_pipe("stderr");
    // Closed by a successful exec; otherwise it carries the ChildFailure.
    Pipe report = make_pipe("the child's start-up report");
    const pid_t parent = getpid();

    // A private /tmp/.X11-unix is mounted over the real one, which must be
    // there. Without root, the user namespace maps the caller's own user and
    // group, and those maps are written before fork.
    const bool as_root = geteuid() == 0;
    const std::string uid_map = std::to_string(geteuid()) + " " + std::to_string(geteuid()) + " 1";
    const std::string gid_map = std::to_string(getegid()) + " " + std::to_string(getegid()) + " 1";
    if (options.private_x11_sockets && mkdir("/tmp/.X11-unix", 01777) == 0)
        chmod("/tmp/.X11-unix", 01777);

    spawned_at_ = Clock::now();
    pid_ = fork();
    if (pid_ < 0)
        system_error("fork");
    if (pid_ == 0) {
        const int report_fd = report.write_end.get();
        if (options.private_x11_sockets) {
            bool made = as_root ? unshare(CLONE_NEWNS) == 0
                                : unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
                                      write_text("/proc/self/setgroups", "deny") &&
                                      write_text("/proc/self/uid_map", uid_map.c_str()) &&
                                      write_text("/proc/self/gid_map", gid_map.c_str());
            if (!made || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", "/tmp/.X11-unix", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
                fail_in_child(report_fd, ChildStep::namespace_);
        }
        // Raw system calls: glibc's wrappers would try to change the
        // credentials of threads that do not exist in the child.
        if (options.run_as &&
            (syscall(SYS_setgroups, 0, nullptr) != 0 ||
             syscall(SYS_setresgid, options.run_as->second, options.run_as->second,
                     options.run_as->second) != 0 ||
             syscall(SYS_setresuid, options.run_as->first, options.run_as->first,
                     options.run_as->first) != 0))
            fail_in_child(report_fd, ChildStep::privileges);
        // Never outlive the harness, even when it dies without cleaning up
        // (set after the change of user, which clears it).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        // dup2 leaves the copies open across exec; the originals close there.
        if (dup2(null_fd.get(), 0) < 0 ||
            (options.quiet && dup2(null_fd.get(), 1) < 0) ||
            (options.capture_stderr && dup2(stderr_pipe.write_end.get(), 2) < 0) ||
            (!options.capture_stderr && options.quiet && dup2(null_fd.get(), 2) < 0) ||
            (options.keep_fd >= 0 && fcntl(options.keep_fd, F_SETFD, 0) < 0))
            fail_in_child(report_fd, ChildStep::descriptors);
        execve(program.c_str(), argv_ptrs.data(), env_ptrs.data());
        fail_in_child(report_fd, ChildStep::exec);
    }

    report.write_end.reset();
    ChildFailure failure{};
    ssize_t n;
    while ((n = read(report.read_end.get(), &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    if (n == ssize_t(sizeof failure)) {
        int raw = 0;
        while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
        status_ = ExitStatus{raw};
        throw std::system_error(failure.error, std::generic_category(),
                                describe_failure(failure.step, program));
    }
    if (options.capture_stderr) {
        stderr_fd_ = stderr_pipe.read_end.release();
        fcntl(stderr_fd_, F_SETFL, O_NONBLOCK);
    }
}

ChildProcess::ChildProcess(pid_t adopted, Clock::time_point started, int stderr_fd)
    : pid_(adopted), stderr_fd_(stderr_fd), spawned_at_(started)
{
}

int ChildProcess::release_stderr_pipe() { return std::exchange(stderr_fd_, -1); }

ChildProcess::~ChildProcess()
{
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int raw = 0;
        while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
    }
    if (stderr_fd_ >= 0)
        close(stderr_fd_);
}

bool ChildProcess::poll_exit()
{
    if (status_)
        return true;
    int raw = 0;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
        ended_at_ = Clock::now();
        status_ = ExitStatus{raw};
        return true;
    }
    return false;
}

bool ChildProcess::running() { return !poll_exit(); }

std::optional<ExitStatus> ChildProcess::wait_for(Millis limit)
{
    auto deadline = Clock::now() + limit;
    while (!poll_exit() && Clock::now() < deadline)
        std::this_thread::sleep_for(Millis(1));
    return status_;
}

ExitStatus ChildProcess::wait(Millis limit, const std::string& what)
{
    if (auto s = wait_for(limit))
        return *s;
    throw TimeoutError(timeout_message(limit, what) + " (pid " + std::to_string(pid_) +
                       " still running)");
}

void ChildProcess::send_signal(int signal_number)
{
    if (!poll_exit())
        ::kill(pid_, signal_number);
}

void ChildProcess::kill_now()
{
    send_signal(SIGKILL);
    wait(Millis(5000), "a killed process to be reaped");
}

const std::string& ChildProcess::captured_stderr()
{
    if (stderr_fd_ >= 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(stderr_fd_, buffer, sizeof buffer)) > 0)
            stderr_text_.append(buffer, size_t(n));
    }
    return stderr_text_;
}

MemoryUse memory_use(pid_t pid)
{
    MemoryUse use;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string name;
        long kib = 0;
        fields >> name >> kib;
        if (name == "VmRSS:")
            use.resident_kib = kib;
        else if (name == "VmHWM:")
            use.peak_resident_kib = kib;
    }
    return use;
}

double cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are plain.
    auto close_paren = text.rfind(')');
    if (close_paren == std::string::npos)
        return 0.0;
    std::istringstream fields(text.substr(close_paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace harness

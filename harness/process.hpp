// Child processes for the tests and tools: started with fork/exec, waited
// for with a bound, and killed and reaped when their owner goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace harness {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Raised when a bounded wait runs out; the message says what was awaited.
struct TimeoutError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "timed out after N ms waiting for WHAT": every bounded wait says it this way.
std::string timeout_message(Millis limit, const std::string& what);

// Polls `ready` until it returns true or `limit` has passed.
template <typename Predicate>
void wait_until(Predicate ready, Millis limit, const std::string& what, Millis poll = Millis(5));

// The program's path as execvp would find it on the PATH; throws if it is
// not there.
std::string resolve_program(const std::string& name);

// How a child ended, as waitpid reported it.
struct ExitStatus {
    int raw = 0;
    bool exited() const;
    int code() const;
    bool signalled() const;
    int signal() const;
    bool success() const { return exited() && code() == 0; }
    std::string describe() const;
};

struct SpawnOptions {
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;
    bool capture_stderr = false;  // otherwise stderr is inherited
    bool quiet = false;           // stdout and stderr to /dev/null (unless captured)
    int keep_fd = -1;             // a descriptor the child inherits under its own number
    // Runs the child in a mount namespace of its own, where /tmp/.X11-unix
    // is an empty folder of its own: the X servers it starts put their
    // sockets there, out of sight of everything else on the machine (their
    // abstract sockets, in the network namespace, still answer clients).
    // As root that is a plain mount namespace; otherwise a user namespace
    // that maps only the caller's own user, where the kernel allows it.
    bool private_x11_sockets = false;
    // Runs the child as this user and group (no supplementary groups), for
    // programs that refuse to run as root. Needs root.
    std::optional<std::pair<uid_t, gid_t>> run_as;
};

class ChildProcess {
public:
    explicit ChildProcess(const SpawnOptions& options);
    // A process that is already a child of this one without having been
    // spawned by it: one that a launcher started and left behind, which
    // came to this process as its subreaper. `stderr_fd`, if given, is the
    // read end of a pipe its stderr goes to; the object owns it.
    ChildProcess(pid_t adopted, Clock::time_point started, int stderr_fd = -1);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    Clock::time_point spawned_at() const { return spawned_at_; }
    bool running();
    std::optional<ExitStatus> status() const { return status_; }
    // The exit status, or nothing if the child still runs after `limit`.
    std::optional<ExitStatus> wait_for(Millis limit);
    // Like wait_for, but a child still running after `limit` is an error.
    ExitStatus wait(Millis limit, const std::string& what);
    // When the child was seen to have ended (to within a millisecond).
    Clock::time_point ended_at() const { return ended_at_; }
    void send_signal(int signal_number);
    void kill_now();
    // Everything the child has written to stderr so far (capture_stderr).
    const std::string& captured_stderr();
    // Hands over the read end of the stderr pipe (capture_stderr), with
    // what is still unread in it, for a process that the child started and
    // that writes to the same pipe.
    int release_stderr_pipe();

private:
    bool poll_exit();

    pid_t pid_ = -1;
    int stderr_fd_ = -1;
    std::string stderr_text_;
    std::optional<ExitStatus> status_;
    Clock::time_point spawned_at_;
    Clock::time_point ended_at_;
};

// Resident memory figures from /proc/PID/status, in KiB; 0 where unknown.
struct MemoryUse {
    long resident_kib = 0;
    long peak_resident_kib = 0;
};
MemoryUse memory_use(pid_t pid);
// User plus system CPU time of a process so far, from /proc/PID/stat.
double cpu_seconds(pid_t pid);

template <typename Predicate>
void wait_until(Predicate ready, Millis limit, const std::string& what, Millis poll)
{
    auto deadline = Clock::now() + limit;
    for (;;) {
        if (ready())
            return;
        if (Clock::now() >= deadline)
            throw TimeoutError(timeout_message(limit, what));
        std::this_thread::sleep_for(poll);
    }
}

}  // namespace harness

#include "run.hpp"

#include <unistd.h>

#include <cstdlib>

namespace harness {

std::string spotfall_binary()
{
    if (const char* path = std::getenv("SPOTFALL_BINARY"))
        return path;
    return SPOTFALL_BINARY_PATH;
}

std::string faketime_start(std::time_t second)
{
    std::tm utc{};
    gmtime_r(&second, &utc);
    char text[64];
    std::strftime(text, sizeof text, "@%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

SpotfallRun::SpotfallRun(const DisplayServer& server, Seat& x, RunOptions options)
    : x_(x), fake_start_(options.clock_starts_at)
{
    picture_at_ = options.picture_at.value_or(
        std::pair{(x.screen_width() - 1024) / 2, (x.screen_height() - 768) / 2});
    SpawnOptions spawn;
    spawn.argv = options.wrapper;
    if (options.command.empty())
        spawn.argv.push_back(spotfall_binary());
    else
        spawn.argv.insert(spawn.argv.end(), options.command.begin(), options.command.end());
    spawn.argv.insert(spawn.argv.end(), options.args.begin(), options.args.end());
    spawn.set_env = server.x_client_env();
    spawn.set_env.insert(spawn.set_env.end(), options.env.begin(), options.env.end());
    if (fake_start_) {
        if (std::string(LIBFAKETIME_PATH).empty())
            throw std::runtime_error("a pinned clock needs libfaketime, which this build did not "
                                     "find (Debian: faketime); install it and configure again");
        spawn.set_env.emplace_back("LD_PRELOAD", LIBFAKETIME_PATH);
        spawn.set_env.emplace_back("FAKETIME", faketime_start(*fake_start_));
        spawn.set_env.emplace_back("TZ", "UTC");
        // Only the calendar clock moves; the pauses run on the real one.
        spawn.set_env.emplace_back("FAKETIME_DONT_FAKE_MONOTONIC", "1");
        // In a sanitized build the preloaded clock comes before the
        // sanitizer's runtime, which is harmless here.
        const char* asan = std::getenv("ASAN_OPTIONS");
        spawn.set_env.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") +
                                                       ":verify_asan_link_order=0");
    }
    spawn.capture_stderr = true;
    first_second_ = fake_start_ ? *fake_start_ : std::time(nullptr);
    process_ = options.start ? options.start(spawn) : std::make_unique<ChildProcess>(spawn);
    last_second_ = first_second_;
}

Picture SpotfallRun::grab() { return x_.grab(picture_at_.first, picture_at_.second, 1024, 768); }

SpotfallRun::~SpotfallRun()
{
    pid_t pid = process_->pid();
    std::optional<ExitStatus> status = process_->status();
    bool ended_by_itself = status && status->exited();
    process_.reset();
    // After a normal end the clock has removed its files, and a new process
    // may since have taken the pid and made its own.
    if (fake_start_ && !ended_by_itself)
        for (const std::string& path : clock_files(pid))
            unlink(path.c_str());
}

std::vector<std::string> SpotfallRun::clock_files() const { return clock_files(process_->pid()); }

std::vector<std::string> SpotfallRun::clock_files(pid_t pid)
{
    std::vector<std::string> found;
    for (const char* name : {"faketime_shm_", "sem.faketime_sem_"}) {
        std::string path = std::string("/dev/shm/") + name + std::to_string(pid);
        if (access(path.c_str(), F_OK) == 0)
            found.push_back(path);
    }
    return found;
}

Picture SpotfallRun::await_white(Millis limit)
{
    Picture screen;
    wait_until(
        [&] {
            if (!process_->running())
                throw std::runtime_error("spotfall ended before painting the screen: " +
                                         process_->status()->describe() + "; stderr: " +
                                         process_->captured_stderr());
            // More white than a window of the desktop's or the harness's
            // own (such as a focused window, white) can show: the program's
            // white, which comes after it has taken its seed.
            screen = grab();
            return screen.count(Picture::white) * 4 > screen.pixels.size();
        },
        limit, "spotfall to paint the screen white");
    white_seen_at_ = Clock::now();
    // The seed was taken before the mode was set, so before this moment.
    if (fake_start_)
        last_second_ = *fake_start_ + std::chrono::duration_cast<std::chrono::seconds>(
                                          Clock::now() - spawned_at()).count() + 1;
    else
        last_second_ = std::time(nullptr);
    return screen;
}

Picture SpotfallRun::await_change(const Picture& from, Millis limit, const std::string& what)
{
    Picture screen;
    wait_until(
        [&] {
            screen = grab();
            return screen != from;
        },
        limit, what);
    return screen;
}

Picture SpotfallRun::await_still(Millis still_for, Millis limit)
{
    Picture last = grab();
    auto since = Clock::now();
    wait_until(
        [&] {
            Picture now = grab();
            if (now != last) {
                last = std::move(now);
                since = Clock::now();
            }
            return Clock::now() - since >= still_for;
        },
        limit, "the screen to stay unchanged for " + std::to_string(still_for.count()) + " ms",
        Millis(20));
    return last;
}

ExitStatus SpotfallRun::await_exit(Millis limit) { return process_->wait(limit, "spotfall to end"); }

OracleMatch SpotfallRun::match(const Oracle& oracle, const Picture& screen, int max_discs) const
{
    return oracle.match(screen, first_second_, last_second_, max_discs);
}

Sight SpotfallRun::judge(const Oracle& oracle, Picture screen, Clock::time_point at) const
{
    Sight sight;
    sight.screen = std::move(screen);
    sight.at = at;
    sight.match = match(oracle, sight.screen, disc_bound(sight.at - spawned_at()) * 4 + 100);
    return sight;
}

Sight SpotfallRun::look(const Oracle& oracle) { return judge(oracle, grab()); }

Sight SpotfallRun::await_discs(const Oracle& oracle, int discs, Millis limit)
{
    Sight sight;
    try {
        wait_until(
            [&] {
                sight = look(oracle);
                return sight.match.found && sight.match.count >= discs;
            },
            limit, "an exact picture of at least " + std::to_string(discs) + " discs");
    } catch (const TimeoutError& e) {
        throw TimeoutError(std::string(e.what()) + "; the last screen: " + sight.match.explain());
    }
    return sight;
}

SpaceHold SpotfallRun::hold_space_until_still(Millis still_for, Millis limit, Millis poll)
{
    // SPACE is let go whatever happens: a key left down would reach the next run.
    struct Release {
        Seat& x;
        ~Release()
        {
            try {
                x.release(Key::space);
            } catch (const std::exception&) {
            }
        }
    };
    SpaceHold hold;
    x_.press(Key::space);
    Release release{x_};
    hold.pressed = Clock::now();
    hold.at_press = grab();
    hold.still = hold.at_press;
    hold.last_change = hold.pressed;
    wait_until(
        [&] {
            Picture now = grab();
            auto seen = Clock::now();
            if (now != hold.still) {
                hold.still = std::move(now);
                hold.last_change = seen;
            }
            return seen - hold.pressed >= Millis(150) && seen - hold.last_change >= still_for;
        },
        limit,
        "the screen to stay unchanged for " + std::to_string(still_for.count()) +
            " ms with SPACE held",
        poll);
    return hold;
}

Sight SpotfallRun::freeze(const Oracle& oracle, Millis limit)
{
    const Millis least_still(300);
    SpaceHold hold = hold_space_until_still(least_still, limit);
    Sight sight = judge(oracle, std::move(hold.still));
    if (sight.match.found && sight.match.count > 0) {
        auto drawing = hold.pressed - white_seen_at_.value_or(spawned_at());
        auto still_for = std::chrono::duration_cast<Millis>(drawing * 3 / sight.match.count);
        if (still_for > least_still) {
            Picture later = await_still(still_for, limit);
            if (later != sight.screen)
                sight = judge(oracle, std::move(later));
        }
    }
    sight.at = hold.pressed;
    return sight;
}

int disc_bound(Clock::duration elapsed)
{
    return int(std::chrono::duration_cast<Millis>(elapsed).count() / 50) + 1;
}

}  // namespace harness

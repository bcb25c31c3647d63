#include "run.hpp"

#include <gtest/gtest.h>

using namespace harness;
using namespace std::chrono_literals;

TEST(Smoke, Runs)
{
    XvfbOptions o; if (getenv("DEPTH")) o.depth = atoi(getenv("DEPTH"));
    XvfbServer server(o);
    XConnection x(server.display());
    SpotfallRun run(server, x);
    Picture first = run.await_white();
    std::this_thread::sleep_for(2s);
    Picture p = x.grab();
    Oracle oracle;
    auto elapsed = Clock::now() - run.spawned_at();
    OracleMatch m = run.match(oracle, p);
    std::printf("white %zu black %zu other %zu; %s; bound %d; area %zu\n", p.count(15), p.count(0), p.count(255),
                m.explain().c_str(), disc_bound(elapsed), oracle.disc_area());
    p.save_png("/tmp/smoke.png");
    x.tap(Key::space);
    run.await_still(300ms, 5s);
    x.tap(Key::escape);
    ExitStatus s = run.await_exit(5s);
    EXPECT_TRUE(s.success()) << s.describe();
}

// A long run: ten minutes of drawing (SPOTFALL_LONG_MINUTES), resident
// memory steady from the first minute to the last, and the keys still
// working at the end. Labelled "long"; CI leaves it out.
#include "numbers.hpp"
#include "suite.hpp"

#include <cstdlib>

namespace suite {
namespace {

using LongRun = OnDisplay;

TEST_F(LongRun, MemoryStaysFlatAndKeysStillWork)
{
    const double minutes = decimal_setting("SPOTFALL_LONG_MINUTES", 10.0, 0.1, 24 * 60);
    const auto total = std::chrono::duration<double>(minutes * 60);
    const auto first_sample = total / 10;

    SpotfallRun run(server, x);
    run.await_white();
    pid_t pid = run.process().pid();
    // These sleeps are the spans being measured, not waits for a state.
    std::this_thread::sleep_for(first_sample);
    MemoryUse early = memory_use(pid);
    std::this_thread::sleep_for(total - first_sample);
    MemoryUse late = memory_use(pid);
    std::printf("long run: resident memory %ld KiB after %.1f min, %ld KiB after %.1f min "
                "(peak %ld KiB)\n",
                early.resident_kib, minutes / 10, late.resident_kib, minutes,
                late.peak_resident_kib);
    ASSERT_TRUE(run.process().running()) << run.process().status()->describe();
    EXPECT_LE(std::labs(late.resident_kib - early.resident_kib), 256);

    Sight frozen = run.freeze(oracle());
    expect_frozen_exact(run, frozen);
    std::printf("long run: %d discs, frozen by SPACE\n", frozen.match.count);
    expect_clean_end(run);
}

}  // namespace
}  // namespace suite

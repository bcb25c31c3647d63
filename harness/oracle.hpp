// The exact picture the program must show: white, then the first N discs of
// the sequence its calendar-second seed gives, drawn by Allegro itself on a
// memory bitmap. Matching a screen against it finds the seed and N.
#pragma once

#include "picture.hpp"

#include <cstddef>
#include <ctime>
#include <string>

namespace harness {

// The C library whose rand() the program's discs come from: glibc's on
// Linux; on Windows msvcrt's, a linear congruential generator.
enum class RandomGenerator { glibc, msvcrt };

struct OracleMatch {
    bool found = false;
    unsigned seed = 0;
    int count = -1;      // the fewest discs that give the screen
    int count_max = -1;  // the most (more only where later discs fell on black)

    // Why nothing matched.
    std::size_t other_pixels = 0;
    std::size_t best_mismatch = 0;
    unsigned best_seed = 0;
    int best_count = -1;
    std::string explain() const;
};

class Oracle {
public:
    explicit Oracle(RandomGenerator generator = RandomGenerator::glibc);
    // Tries every seed from first_second to last_second and every count of
    // discs from 0 to max_discs.
    OracleMatch match(const Picture& screen, std::time_t first_second, std::time_t last_second,
                      int max_discs) const;
    // Pixels one disc covers when it lies wholly on the screen.
    std::size_t disc_area() const;

private:
    RandomGenerator generator_;
};

}  // namespace harness

#include "oracle.hpp"

#include <allegro.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace harness {

namespace {

constexpr int screen_w = 1024;
constexpr int screen_h = 768;
constexpr int radius = 40;

struct BitmapDeleter {
    void operator()(BITMAP* b) const { destroy_bitmap(b); }
};
using BitmapPtr = std::unique_ptr<BITMAP, BitmapDeleter>;

BitmapPtr white_bitmap()
{
    BitmapPtr bitmap(create_bitmap_ex(8, screen_w, screen_h));
    if (!bitmap)
        throw std::runtime_error("oracle: cannot create a memory bitmap");
    clear_to_color(bitmap.get(), 15);
    return bitmap;
}

// Pixels in the rectangle [x0, x1) x [y0, y1) where bitmap and screen differ.
std::size_t mismatches(BITMAP* bitmap, const Picture& screen, int x0, int y0, int x1, int y1)
{
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, screen_w);
    y1 = std::min(y1, screen_h);
    std::size_t n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            n += bitmap->line[y][x] != screen.at(x, y);
    return n;
}

// The sequence of rand() after srand(seed) in the program's C library.
class RandomSequence {
public:
    RandomSequence(RandomGenerator generator, unsigned seed) : generator_(generator), state_(seed)
    {
        if (generator_ == RandomGenerator::glibc)
            srand(seed);
    }
    int next()
    {
        if (generator_ == RandomGenerator::glibc)
            return rand();
        // msvcrt: RAND_MAX is 0x7fff.
        state_ = state_ * 214013u + 2531011u;
        return int((state_ >> 16) & 0x7fff);
    }

private:
    RandomGenerator generator_;
    std::uint32_t state_;
};

}  // namespace

std::string OracleMatch::explain() const
{
    if (found)
        return "matches seed " + std::to_string(seed) + " with " + std::to_string(count) +
               (count_max != count ? " to " + std::to_string(count_max) : std::string()) +
               " discs";
    if (other_pixels > 0)
        return std::to_string(other_pixels) + " pixels are neither white nor black";
    if (best_count < 0)
        return "the screen is not 1024x768";
    return "no number of discs from any seed tried gives the screen; the closest was seed " +
           std::to_string(best_seed) + " with " + std::to_string(best_count) + " discs, " +
           std::to_string(best_mismatch) + " pixels off";
}

Oracle::Oracle(RandomGenerator generator) : generator_(generator)
{
    // Allegro without a display: only memory bitmaps and the drawing code.
    static const bool started = install_allegro(SYSTEM_NONE, &errno, atexit) == 0;
    if (!started)
        throw std::runtime_error("oracle: cannot start Allegro without a display");
}

std::size_t Oracle::disc_area() const
{
    BitmapPtr bitmap = white_bitmap();
    circlefill(bitmap.get(), screen_w / 2, screen_h / 2, radius, 0);
    std::size_t n = 0;
    for (int y = 0; y < screen_h; ++y)
        for (int x = 0; x < screen_w; ++x)
            n += bitmap->line[y][x] == 0;
    return n;
}

OracleMatch Oracle::match(const Picture& screen, std::time_t first_second,
                          std::time_t last_second, int max_discs) const
{
    OracleMatch result;
    result.other_pixels = screen.count(Picture::other);
    if (result.other_pixels > 0 || screen.width != screen_w || screen.height != screen_h)
        return result;

    // Each disc changes only its bounding square, so the count of differing
    // pixels is kept up to date by looking at that square before and after.
    const int reach = radius + 2;
    for (std::time_t second = first_second; second <= last_second; ++second) {
        unsigned seed = unsigned(second);
        BitmapPtr bitmap = white_bitmap();
        std::size_t off = mismatches(bitmap.get(), screen, 0, 0, screen_w, screen_h);
        RandomSequence random(generator_, seed);
        for (int n = 0;; ++n) {
            if (off == 0) {
                if (!result.found || result.seed != seed) {
                    result.found = true;
                    result.seed = seed;
                    result.count = n;
                }
                result.count_max = n;
            }
            if (result.best_count < 0 || off < result.best_mismatch) {
                result.best_mismatch = off;
                result.best_seed = seed;
                result.best_count = n;
            }
            if (n == max_discs)
                break;
            int x = random.next() % screen_w;
            int y = random.next() % screen_h;
            std::size_t before =
                mismatches(bitmap.get(), screen, x - reach, y - reach, x + reach + 1, y + reach + 1);
            circlefill(bitmap.get(), x, y, radius, 0);
            std::size_t after =
                mismatches(bitmap.get(), screen, x - reach, y - reach, x + reach + 1, y + reach + 1);
            off = off - before + after;
        }
        if (result.found)
            break;
    }
    return result;
}

}  // namespace harness

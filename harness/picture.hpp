// A screen as the program's palette sees it: one byte per pixel holding the
// palette colour shown there, 15 (white) or 0 (black), or `other`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace harness {

struct Picture {
    static constexpr std::uint8_t white = 15;
    static constexpr std::uint8_t black = 0;
    static constexpr std::uint8_t other = 255;

    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;

    std::uint8_t at(int x, int y) const { return pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)]; }
    std::size_t count(std::uint8_t colour) const;
    bool operator==(const Picture& other_picture) const
    {
        return width == other_picture.width && height == other_picture.height &&
               pixels == other_picture.pixels;
    }
    bool operator!=(const Picture& other_picture) const { return !(*this == other_picture); }
    // Every pixel that is black in `earlier` is black here too.
    bool keeps_black_of(const Picture& earlier) const;
    // Writes a PNG: white and black as they are, any other colour in red.
    void save_png(const std::string& path) const;
    // Reads a PNG, such as a compositor's screenshot, mapping each pixel
    // as colour_of does.
    static Picture read_png(const std::string& path);
    // The palette colour that an RGB value (8 bits a channel) shows: near
    // white or near black, or `other`.
    static std::uint8_t colour_of(unsigned r, unsigned g, unsigned b)
    {
        if (r >= 0xe0 && g >= 0xe0 && b >= 0xe0)
            return white;
        if (r <= 0x1f && g <= 0x1f && b <= 0x1f)
            return black;
        return other;
    }
};

}  // namespace harness

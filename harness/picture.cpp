#include "picture.hpp"

#include <png.h>

#include <algorithm>
#include <stdexcept>

namespace harness {

std::size_t Picture::count(std::uint8_t colour) const
{
    return std::size_t(std::count(pixels.begin(), pixels.end(), colour));
}

bool Picture::keeps_black_of(const Picture& earlier) const
{
    if (earlier.width != width || earlier.height != height)
        return false;
    for (std::size_t i = 0; i < pixels.size(); ++i)
        if (earlier.pixels[i] == black && pixels[i] != black)
            return false;
    return true;
}

void Picture::save_png(const std::string& path) const
{
    std::vector<std::uint8_t> rgb;
    rgb.reserve(pixels.size() * 3);
    for (std::uint8_t p : pixels) {
        std::uint8_t r = p == white || p == other ? 255 : 0;
        std::uint8_t gb = p == white ? 255 : 0;
        rgb.insert(rgb.end(), {r, gb, gb});
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr))
        throw std::runtime_error("cannot write " + path + ": " + image.message);
}

Picture Picture::read_png(const std::string& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error("cannot read " + path + ": " + image.message);
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr))
        throw std::runtime_error("cannot read " + path + ": " + image.message);
    Picture picture;
    picture.width = int(image.width);
    picture.height = int(image.height);
    picture.pixels.reserve(std::size_t(picture.width) * std::size_t(picture.height));
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3)
        picture.pixels.push_back(colour_of(rgb[i], rgb[i + 1], rgb[i + 2]));
    return picture;
}

}  // namespace harness

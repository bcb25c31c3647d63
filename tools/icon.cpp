// spotfall-icon: draws spotfall's menu icon from what the program itself
// draws. It stamps the discs of one fixed seed on a 1024x768 memory bitmap
// with Allegro, exactly as the program does on the screen, and takes a
// 256x256 piece of that picture: the 256 px PNG is those pixels, the
// smaller PNGs are area averages of them, and the SVG is the same discs as
// circles. One seed is the one source, so the sizes cannot drift apart.
//
// usage: spotfall-icon OUT_DIR NAME
// writes OUT_DIR/hicolor/scalable/apps/NAME.svg and
//        OUT_DIR/hicolor/SxS/apps/NAME.png for S in 48, 64, 128, 256
#include <allegro.h>
#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The program's picture: its screen, its disc radius, and how it picks centres.
constexpr int screen_w = 1024;
constexpr int screen_h = 768;
constexpr int radius = 40;

// The picture the icon is cut from: 60 discs (three seconds of drawing)
// of seed 1, and the 256x256 piece of it with its top-left corner here.
// Chosen by eye: about half black, whole discs and cut ones.
constexpr unsigned seed = 1;
constexpr int discs = 60;
constexpr int piece = 256;
constexpr int piece_left = 384;
constexpr int piece_top = 256;

constexpr int png_sizes[] = {48, 64, 128, 256};

struct Disc {
    int x, y;
};

// The centres the program draws for `seed`, in its order: x, then y, each
// from rand(), as the program's get_new_numbers takes them.
std::vector<Disc> disc_centres()
{
    std::srand(seed);
    std::vector<Disc> centres;
    for (int i = 0; i < discs; ++i) {
        int x = std::rand() % screen_w;
        int y = std::rand() % screen_h;
        centres.push_back({x, y});
    }
    return centres;
}

struct BitmapDeleter {
    void operator()(BITMAP* b) const { destroy_bitmap(b); }
};

// The 256x256 piece as grey levels: 255 white, 0 black.
std::vector<unsigned char> draw_piece(const std::vector<Disc>& centres)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        throw std::runtime_error("cannot start Allegro without a display");
    std::unique_ptr<BITMAP, BitmapDeleter> bitmap(create_bitmap_ex(8, screen_w, screen_h));
    if (!bitmap)
        throw std::runtime_error("cannot create a 1024x768 memory bitmap");
    // The program's colours: palette 15 (white) for the screen, 0 (black) for discs.
    clear_to_color(bitmap.get(), 15);
    for (const Disc& d : centres)
        circlefill(bitmap.get(), d.x, d.y, radius, 0);
    std::vector<unsigned char> grey(piece * piece);
    for (int y = 0; y < piece; ++y)
        for (int x = 0; x < piece; ++x)
            grey[y * piece + x] = bitmap->line[piece_top + y][piece_left + x] == 0 ? 0 : 255;
    return grey;
}

// Each pixel of the smaller picture is the mean of the part of the larger
// one that it covers, fractions of pixels counted by their area.
std::vector<unsigned char> shrink(const std::vector<unsigned char>& from, int size)
{
    const double scale = double(piece) / size;
    std::vector<unsigned char> to(size * size);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            double sum = 0, area = 0;
            const double y0 = y * scale, y1 = (y + 1) * scale;
            const double x0 = x * scale, x1 = (x + 1) * scale;
            for (int sy = int(y0); sy < piece && sy < y1; ++sy) {
                double h = std::min<double>(sy + 1, y1) - std::max<double>(sy, y0);
                for (int sx = int(x0); sx < piece && sx < x1; ++sx) {
                    double w = std::min<double>(sx + 1, x1) - std::max<double>(sx, x0);
                    sum += from[sy * piece + sx] * w * h;
                    area += w * h;
                }
            }
            to[y * size + x] = (unsigned char)(sum / area + 0.5);
        }
    return to;
}

void write_png(const std::filesystem::path& path, const std::vector<unsigned char>& grey, int size)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(size);
    image.height = png_uint_32(size);
    image.format = PNG_FORMAT_GRAY;
    if (!png_image_write_to_file(&image, path.c_str(), 0, grey.data(), 0, nullptr))
        throw std::runtime_error("cannot write " + path.string() + ": " + image.message);
}

// The same discs as circles. Allegro fills the pixels whose centres lie in
// the disc, and pixel (x, y) has its centre at (x + 0.5, y + 0.5) here.
void write_svg(const std::filesystem::path& path, const std::vector<Disc>& centres)
{
    std::ofstream out(path);
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << piece << "\" height=\"" << piece
        << "\" viewBox=\"0 0 " << piece << ' ' << piece << "\">\n"
        << "<rect width=\"" << piece << "\" height=\"" << piece << "\" fill=\"#fff\"/>\n"
        << "<g fill=\"#000\">\n";
    for (const Disc& d : centres) {
        int x = d.x - piece_left, y = d.y - piece_top;
        if (x < -radius - 1 || y < -radius - 1 || x > piece + radius || y > piece + radius)
            continue;
        out << "<circle cx=\"" << x + 0.5 << "\" cy=\"" << y + 0.5 << "\" r=\"" << radius << "\"/>\n";
    }
    out << "</g>\n</svg>\n";
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::filesystem::path icon_folder(const std::string& out_dir, const std::string& size)
{
    std::filesystem::path folder = std::filesystem::path(out_dir) / "hicolor" / size / "apps";
    std::filesystem::create_directories(folder);
    return folder;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: spotfall-icon OUT_DIR NAME\n");
        return 2;
    }
    const std::string out_dir = argv[1], name = argv[2];
    try {
        const std::vector<Disc> centres = disc_centres();
        const std::vector<unsigned char> full = draw_piece(centres);
        for (int size : png_sizes) {
            std::string folder = std::to_string(size) + "x" + std::to_string(size);
            write_png(icon_folder(out_dir, folder) / (name + ".png"),
                      size == piece ? full : shrink(full, size), size);
        }
        write_svg(icon_folder(out_dir, "scalable") / (name + ".svg"), centres);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "spotfall-icon: %s\n", e.what());
        return 1;
    }
    return 0;
}

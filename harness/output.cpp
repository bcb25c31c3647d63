#include "output.hpp"

namespace harness {

namespace {

Picture crop(const Picture& from, int left, int top, int width, int height)
{
    Picture part;
    part.width = width;
    part.height = height;
    part.pixels.reserve(std::size_t(width) * std::size_t(height));
    for (int y = top; y < top + height; ++y)
        for (int x = left; x < left + width; ++x)
            part.pixels.push_back(from.at(x, y));
    return part;
}

// Whether a line of pixels across an output shows the picture's `span`
// pixels from `from` on (white, with black discs at most, some white) and
// black on both sides.
bool picture_on_black(const Picture& line, int from, int span)
{
    bool white = false;
    for (int i = 0; i < int(line.pixels.size()); ++i) {
        const auto colour = line.pixels[std::size_t(i)];
        if (i < from || i >= from + span) {
            if (colour != Picture::black)
                return false;
        } else if (colour == Picture::other) {
            return false;
        } else {
            white |= colour == Picture::white;
        }
    }
    return white;
}

// Whether the row and the column through the middle of an output show a
// picture centred on black: two lines of pixels, a cheap first look before
// the whole output is read (a desktop that reads its output out through
// D-Bus takes a tenth of a second or more for the whole of it).
bool centred_on_black_through_middle(Seat& seat, const ScreenArea& output)
{
    const int left = (output.width - 1024) / 2, top = (output.height - 768) / 2;
    return picture_on_black(seat.grab(output.left, output.top + top + 384, output.width, 1),
                            left, 1024) &&
           picture_on_black(seat.grab(output.left + left + 512, output.top, 1, output.height),
                            top, 768);
}

}  // namespace

OutputView view_output(Seat& seat, const ScreenArea& output)
{
    Picture whole = seat.grab(output.left, output.top, output.width, output.height);
    const int left = (output.width - 1024) / 2, top = (output.height - 768) / 2;
    OutputView view;
    for (int y = 0; y < whole.height; ++y)
        for (int x = 0; x < whole.width; ++x) {
            bool inside = x >= left && x < left + 1024 && y >= top && y < top + 768;
            bool pointer = x < 64 && y < 64;
            view.border_not_black += !inside && !pointer && whole.at(x, y) != Picture::black;
        }
    view.middle = crop(whole, left, top, 1024, 768);
    return view;
}

std::pair<int, int> middle_of(const ScreenArea& output)
{
    return {output.left + (output.width - 1024) / 2, output.top + (output.height - 768) / 2};
}

WholePicture await_whole_picture(SpotfallRun& run, Seat& seat,
                                 const std::vector<ScreenArea>& outputs, const Oracle& oracle,
                                 Millis limit, Millis poll)
{
    WholePicture found;
    std::string last_seen = "no picture centred on black across the middle of any output";
    try {
        wait_until(
            [&] {
                if (!run.process().running())
                    throw std::runtime_error("spotfall ended: " +
                                             run.process().status()->describe() + "; stderr: " +
                                             run.process().captured_stderr());
                for (std::size_t i = 0; i < outputs.size(); ++i) {
                    if (!centred_on_black_through_middle(seat, outputs[i]))
                        continue;
                    // Whole from then on, if the whole output agrees.
                    const auto lines_seen_at = Clock::now();
                    OutputView view = view_output(seat, outputs[i]);
                    const auto at = Clock::now();
                    if (view.middle.count(Picture::white) == 0)
                        continue;
                    // The program has taken its seed by now (the run notes
                    // when it sees white, unless the screen has just changed).
                    run.picture_at(middle_of(outputs[i]));
                    try {
                        run.await_white(Millis(0));
                    } catch (const TimeoutError&) {
                        continue;
                    }
                    Sight sight = run.judge(oracle, view.middle, at);
                    last_seen = "output " + std::to_string(i) + ": " +
                                std::to_string(view.border_not_black) +
                                " pixels around the middle not black; middle: " +
                                (sight.match.found ? "exact" : sight.match.explain());
                    if (view.border_not_black == 0 && sight.match.found) {
                        found = {i, lines_seen_at};
                        return true;
                    }
                }
                return false;
            },
            limit, "the picture to show whole and centred on black on one of " +
                       std::to_string(outputs.size()) + " output(s)",
            poll);
    } catch (const TimeoutError& e) {
        throw TimeoutError(e.what() + std::string("; last seen: ") + last_seen);
    }
    run.picture_at(middle_of(outputs[found.output]));
    return found;
}

}  // namespace harness

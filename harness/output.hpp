// The program's picture as a desktop's outputs show it: whole means an
// exact picture of the run in the middle of one output, black all around.
// Shared by the tests and the benchmark, which times exec to that moment.
#pragma once

#include "run.hpp"

#include <cstddef>
#include <vector>

namespace harness {

// One output's picture: the 1024x768 middle, and the pixels around it that
// are not black. Some compositors (weston) draw their pointer into the
// output, at its top-left corner until the pointer first moves (nothing
// here moves it): that corner is left out.
struct OutputView {
    Picture middle;
    std::size_t border_not_black = 0;
};

OutputView view_output(Seat& seat, const ScreenArea& output);

// Where the picture's top-left corner lies when it is centred on `output`.
std::pair<int, int> middle_of(const ScreenArea& output);

struct WholePicture {
    std::size_t output = 0;      // which of the outputs shows it
    // When it was first read back whole: when the lines through the
    // output's middle first showed it centred on black, as the whole
    // output, read straight after, confirmed.
    Clock::time_point seen_at;
};

// Waits until one of `outputs` (rectangles of what `seat` shows) shows the
// run's picture whole, reading them every `poll`; then points the run at
// that output's middle.
WholePicture await_whole_picture(SpotfallRun& run, Seat& seat,
                                 const std::vector<ScreenArea>& outputs, const Oracle& oracle,
                                 Millis limit = Millis(15000), Millis poll = Millis(10));

}  // namespace harness

// The keyboard and the screen of a display as its user meets them: keys
// typed on the display's own keyboard, and pictures read back from its own
// output. On a plain X server both go through an X connection (XTEST and
// the root window); on a Wayland desktop through the compositor's input
// and output, whatever they are.
#pragma once

#include "picture.hpp"
#include "process.hpp"

#include <thread>

namespace harness {

enum class Key { space, escape };

class Seat {
public:
    virtual ~Seat() = default;

    // The whole output, each pixel mapped to the palette colour it shows.
    virtual Picture grab() = 0;
    // A rectangle of it: cheaper, for waits that need a quick answer.
    virtual Picture grab(int left, int top, int width, int height) = 0;
    virtual int screen_width() = 0;
    virtual int screen_height() = 0;
    virtual void press(Key key) = 0;
    virtual void release(Key key) = 0;
    // Holds the key down for `hold` (long enough to be seen by a program that
    // samples it every 50 ms), then lets it go.
    void tap(Key key, Millis hold = Millis(150))
    {
        press(key);
        std::this_thread::sleep_for(hold);
        release(key);
    }
};

}  // namespace harness

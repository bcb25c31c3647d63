// A connection to an X server that reads the screen back and presses keys
// through the XTEST extension.
#pragma once

#include "picture.hpp"
#include "process.hpp"
#include "seat.hpp"

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

struct _XDisplay;

namespace harness {

// A top-level window as the X server sees it, in root coordinates.
struct TopLevelWindow {
    unsigned long id = 0;
    int x = 0, y = 0, width = 0, height = 0;
    bool override_redirect = false;
};

// A point of the root window.
struct ScreenPoint {
    int x = 0, y = 0;
    bool operator==(const ScreenPoint& other) const { return x == other.x && y == other.y; }
};

inline std::ostream& operator<<(std::ostream& out, const ScreenPoint& point)
{
    return out << "(" << point.x << ", " << point.y << ")";
}

// Opens an X display with the cookie file given, if any (Xlib finds it
// through XAUTHORITY, which is put back as it was); null where the display
// does not take the connection.
_XDisplay* open_with_cookie(const std::string& display, const std::string& xauthority);

// Raised by every call on a connection whose X server has gone away.
struct ConnectionLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A client connection. If its server dies, Xlib's default would end the
// whole process with exit(1), skipping every destructor and the test's
// report; instead the loss is printed at once and every later call on the
// connection throws ConnectionLost, which fails the test that made it.
class XConnection : public Seat {
public:
    // `xauthority`: the cookie file the display wants, where it wants one.
    explicit XConnection(const std::string& display, const std::string& xauthority = "");
    ~XConnection() override;
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    const std::string& display_name() const { return name_; }
    // For harness code that talks Xlib itself; call check() after it.
    _XDisplay* handle() { return display_; }
    // Throws ConnectionLost if the server has gone away.
    void check();

    // The whole root window, each pixel mapped to the palette colour it shows.
    Picture grab() override;
    Picture grab(int left, int top, int width, int height) override;
    void press(Key key) override;
    void release(Key key) override;
    // Raw keycodes, for the key storm: every key the server knows but SPACE and ESC.
    std::vector<unsigned> other_keycodes();
    void send_keycode(unsigned keycode, bool down);
    // Top-level windows that are mapped now.
    int mapped_windows();
    std::vector<TopLevelWindow> viewable_windows();
    int screen_width() override;
    int screen_height() override;
    // Whether another client holds the keyboard: tries to grab it from this
    // connection, and lets it go at once if that works.
    bool keyboard_grabbed_elsewhere();
    // Likewise for the pointer.
    bool pointer_grabbed_elsewhere();
    // Where the mouse pointer is on the root window, and a move of it there.
    ScreenPoint pointer_position();
    void move_pointer(ScreenPoint to);
    // The video mode the screen shows now, as "WIDTHxHEIGHT" (XFree86-VidMode).
    std::string video_mode();
    // Whether the server holds the key down now, whoever typed it.
    bool key_down(Key key);
    // The window that has the input focus (None, PointerRoot or a window).
    unsigned long input_focus();

private:
    unsigned keycode(Key key);
    static void on_lost(_XDisplay*, void* connection);
    _XDisplay* display_ = nullptr;
    std::string name_;
    bool lost_ = false;
};

}  // namespace harness

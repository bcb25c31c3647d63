// A private X server (Xvfb) and a connection to it that reads the screen
// back and presses keys through the XTEST extension.
#pragma once

#include "picture.hpp"
#include "process.hpp"

#include <memory>
#include <string>
#include <vector>

struct _XDisplay;

namespace harness {

struct XvfbOptions {
    int width = 1024;
    int height = 768;
    int depth = 24;
};

class XvfbServer {
public:
    explicit XvfbServer(XvfbOptions options = {});
    const std::string& display() const { return display_; }
    // Kills the server at once, as when a display is lost.
    void kill_now() { process_->kill_now(); }

private:
    std::unique_ptr<ChildProcess> process_;
    std::string display_;
};

enum class Key { space, escape };

class XConnection {
public:
    explicit XConnection(const std::string& display);
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    // The whole root window, each pixel mapped to the palette colour it shows.
    Picture grab();
    // A rectangle of it: cheaper, for waits that need a quick answer.
    Picture grab(int left, int top, int width, int height);
    void press(Key key);
    void release(Key key);
    // Holds the key down for `hold` (long enough to be seen by a program that
    // samples it every 50 ms), then lets it go.
    void tap(Key key, Millis hold = Millis(150));
    // Raw keycodes, for the key storm: every key the server knows but SPACE and ESC.
    std::vector<unsigned> other_keycodes();
    void send_keycode(unsigned keycode, bool down);
    // Top-level windows that are mapped now.
    int mapped_windows();

private:
    unsigned keycode(Key key);
    _XDisplay* display_ = nullptr;
};

}  // namespace harness

// A desktop on a private X server: a window manager (openbox), and a plain
// window of the harness's own that holds the keyboard focus and notes the
// keys that reach it, as a user's terminal would.
#pragma once

#include "display.hpp"
#include "process.hpp"

#include <memory>
#include <string>

namespace harness {

class WindowManager {
public:
    // Starts openbox and waits until it manages the screen.
    explicit WindowManager(const std::string& display);
    bool running() { return process_->running(); }

private:
    std::unique_ptr<ChildProcess> process_;
};

class FocusedWindow {
public:
    // Maps a window on its own connection and waits until the window
    // manager has given it the keyboard focus.
    // `xauthority`: the cookie file the display wants, if any.
    explicit FocusedWindow(const std::string& display, const std::string& xauthority = "");
    ~FocusedWindow();
    FocusedWindow(const FocusedWindow&) = delete;
    FocusedWindow& operator=(const FocusedWindow&) = delete;

    unsigned long id() const { return window_; }
    bool has_focus();
    // Key presses that reached the window since the last call.
    int key_presses();

private:
    XConnection connection_;
    unsigned long window_ = 0;
};

}  // namespace harness

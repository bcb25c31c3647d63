// What the mode's set-up (picture_mode.cpp) asks of the screen's checks
// (screen.cpp) on an X display.
#pragma once

#include <X11/Xlib.h>

struct screen_area {
   int x, y, width, height;
};

// Whether the X server is Xwayland, the X server of a Wayland desktop.
bool display_is_xwayland(Display *display);
// The monitor that holds the point, or the nearest; the whole screen where
// the server tells of no monitors.
screen_area monitor_at(Display *display, int x, int y);
// Says on stderr that the monitor is too small for the picture, and why
// that may be so on a Wayland desktop.
void report_small_monitor(const screen_area &monitor, bool xwayland);

#include "desktop.hpp"

#include <X11/Xlib.h>
#include <unistd.h>

namespace harness {

namespace {

const char* const ready_mark = "_SPOTFALL_HARNESS_WM_READY";

// Whether the root window has the property.
bool root_has_property(XConnection& x, const char* name)
{
    Display* display = x.handle();
    Atom property = XInternAtom(display, name, False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    int result = XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 1, False,
                                    AnyPropertyType, &type, &format, &count, &after, &data);
    if (data)
        XFree(data);
    x.check();
    return result == Success && type != None;
}

}  // namespace

WindowManager::WindowManager(const std::string& display)
{
    SpawnOptions spawn;
    // openbox sets its root properties early in its start-up, and a window
    // mapped before the start-up ends may never be managed. What it runs
    // with --startup runs once it has ended, so that command marks the root.
    spawn.argv = {"openbox", "--sm-disable", "--startup",
                  std::string("xprop -root -f ") + ready_mark + " 8s -set " + ready_mark + " 1"};
    // The system's own configuration, not the user's: new windows get the focus.
    if (access("/etc/xdg/openbox/rc.xml", R_OK) == 0)
        spawn.argv.insert(spawn.argv.end(), {"--config-file", "/etc/xdg/openbox/rc.xml"});
    spawn.set_env = {{"DISPLAY", display}};
    spawn.quiet = true;
    process_ = std::make_unique<ChildProcess>(spawn);
    XConnection x(display);
    wait_until(
        [&] {
            if (!process_->running())
                throw std::runtime_error("openbox on " + display + " ended at start-up: " +
                                         process_->status()->describe());
            return root_has_property(x, ready_mark);
        },
        Millis(10000), "openbox to manage " + display, Millis(10));
}

FocusedWindow::FocusedWindow(const std::string& display, const std::string& xauthority)
    : connection_(display, xauthority)
{
    Display* x = connection_.handle();
    int screen = DefaultScreen(x);
    window_ = XCreateSimpleWindow(x, RootWindow(x, screen), 100, 100, 320, 240, 1,
                                  BlackPixel(x, screen), WhitePixel(x, screen));
    XStoreName(x, window_, "spotfall harness: the focused window");
    XSelectInput(x, window_, KeyPressMask | KeyReleaseMask | FocusChangeMask);
    XMapWindow(x, window_);
    XSync(x, False);
    connection_.check();
    wait_until(
        [&] {
            XWindowAttributes attributes;
            bool viewable = XGetWindowAttributes(x, window_, &attributes) &&
                            attributes.map_state == IsViewable;
            connection_.check();
            return viewable;
        },
        Millis(10000), "the window manager to show a new window", Millis(10));
    // A window mapped while the manager still starts up is shown but not
    // focused, so the window asks for the focus as a pager would: the
    // manager gives it (EWMH _NET_ACTIVE_WINDOW). Asked again until it comes.
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = window_;
    request.xclient.message_type = XInternAtom(x, "_NET_ACTIVE_WINDOW", False);
    request.xclient.format = 32;
    request.xclient.data.l[0] = 2;  // from a pager: honoured at once
    request.xclient.data.l[1] = CurrentTime;
    wait_until(
        [&] {
            if (has_focus())
                return true;
            XSendEvent(x, RootWindow(x, screen), False,
                       SubstructureRedirectMask | SubstructureNotifyMask, &request);
            XSync(x, False);
            return false;
        },
        Millis(10000), "the window manager to give the keyboard focus to a new window",
        Millis(50));
}

FocusedWindow::~FocusedWindow()
{
    XDestroyWindow(connection_.handle(), window_);
    XSync(connection_.handle(), False);
}

bool FocusedWindow::has_focus() { return connection_.input_focus() == window_; }

int FocusedWindow::key_presses()
{
    Display* x = connection_.handle();
    XSync(x, False);
    connection_.check();
    int presses = 0;
    while (XPending(x) > 0) {
        XEvent event;
        XNextEvent(x, &event);
        presses += event.type == KeyPress && event.xkey.window == window_;
    }
    return presses;
}

}  // namespace harness

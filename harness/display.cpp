#include "display.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/xf86vmode.h>
#include <X11/keysym.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace harness {

namespace {

// A window may go away between listing it and asking about it; such errors
// are expected here and must not end the harness, as Xlib's default would.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

// Called first when a connection breaks; the per-connection exit handler
// that follows returns, so the process goes on and the test can fail.
int report_lost_connection(Display* display)
{
    std::fprintf(stderr, "%s: lost the connection to X display %s (its server ended or "
                         "closed it); every later call on it fails\n",
                 program_invocation_short_name, DisplayString(display));
    return 0;
}

}  // namespace

Display* open_with_cookie(const std::string& display, const std::string& xauthority)
{
    const char* saved = std::getenv("XAUTHORITY");
    std::string saved_value = saved ? saved : "";
    if (!xauthority.empty())
        setenv("XAUTHORITY", xauthority.c_str(), 1);
    Display* d = XOpenDisplay(display.c_str());
    if (!xauthority.empty()) {
        if (saved)
            setenv("XAUTHORITY", saved_value.c_str(), 1);
        else
            unsetenv("XAUTHORITY");
    }
    return d;
}

void XConnection::on_lost(Display*, void* connection)
{
    static_cast<XConnection*>(connection)->lost_ = true;
}

void XConnection::check()
{
    if (lost_)
        throw ConnectionLost("lost the connection to X display " + name_ +
                             ": its server ended or closed it");
}

XConnection::XConnection(const std::string& display, const std::string& xauthority)
    : name_(display)
{
    XSetErrorHandler(ignore_x_error);
    XSetIOErrorHandler(report_lost_connection);
    display_ = open_with_cookie(display, xauthority);
    if (!display_)
        throw std::runtime_error("cannot open X display " + display);
    XSetIOErrorExitHandler(display_, on_lost, this);
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(display_, &event_base, &error_base, &major, &minor)) {
        XCloseDisplay(display_);
        throw std::runtime_error("X display " + display + " has no XTEST extension");
    }
}

XConnection::~XConnection() { XCloseDisplay(display_); }

int XConnection::screen_width() { return DisplayWidth(display_, DefaultScreen(display_)); }
int XConnection::screen_height() { return DisplayHeight(display_, DefaultScreen(display_)); }

namespace {

unsigned channel(unsigned long pixel, unsigned long mask)
{
    if (mask == 0)
        return 0;
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    unsigned long max = mask >> shift;
    return unsigned(((pixel & mask) >> shift) * 255 / max);
}

}  // namespace

Picture XConnection::grab()
{
    int screen = DefaultScreen(display_);
    return grab(0, 0, DisplayWidth(display_, screen), DisplayHeight(display_, screen));
}

Picture XConnection::grab(int left, int top, int width, int height)
{
    int screen = DefaultScreen(display_);
    Window root = RootWindow(display_, screen);
    Picture picture;
    picture.width = width;
    picture.height = height;
    XImage* image = XGetImage(display_, root, left, top, unsigned(width), unsigned(height),
                              AllPlanes, ZPixmap);
    check();
    if (!image)
        throw std::runtime_error("XGetImage of the root window failed");

    Visual* visual = DefaultVisual(display_, screen);
    bool true_colour = visual->c_class == TrueColor || visual->c_class == DirectColor;
    // An 8-bit display shows the colours of the installed colormap, which
    // the program may have put in place of the default one.
    Colormap colormap = DefaultColormap(display_, screen);
    if (!true_colour) {
        int installed = 0;
        Colormap* maps = XListInstalledColormaps(display_, root, &installed);
        if (maps && installed > 0)
            colormap = maps[0];
        if (maps)
            XFree(maps);
    }

    unsigned long cached_pixel = ~0ul;
    std::uint8_t cached_colour = Picture::other;
    auto classify = [&](unsigned long pixel) {
        if (pixel == cached_pixel)
            return cached_colour;
        if (true_colour) {
            cached_colour = Picture::colour_of(channel(pixel, visual->red_mask),
                                           channel(pixel, visual->green_mask),
                                           channel(pixel, visual->blue_mask));
        } else {
            XColor colour{};
            colour.pixel = pixel;
            XQueryColor(display_, colormap, &colour);
            cached_colour = Picture::colour_of(colour.red >> 8, colour.green >> 8, colour.blue >> 8);
        }
        cached_pixel = pixel;
        return cached_colour;
    };

    picture.pixels.resize(std::size_t(picture.width) * std::size_t(picture.height));
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            picture.pixels[std::size_t(y) * std::size_t(picture.width) + std::size_t(x)] =
                classify(XGetPixel(image, x, y));
    XDestroyImage(image);
    check();
    return picture;
}

unsigned XConnection::keycode(Key key)
{
    return XKeysymToKeycode(display_, key == Key::space ? XK_space : XK_Escape);
}

void XConnection::send_keycode(unsigned code, bool down)
{
    XTestFakeKeyEvent(display_, code, down ? True : False, CurrentTime);
    XSync(display_, False);
    check();
}

void XConnection::press(Key key) { send_keycode(keycode(key), true); }
void XConnection::release(Key key) { send_keycode(keycode(key), false); }

std::vector<unsigned> XConnection::other_keycodes()
{
    int min_code = 0, max_code = 0;
    XDisplayKeycodes(display_, &min_code, &max_code);
    // Ctrl+Alt+End is the library's own emergency exit, so End stays out.
    unsigned excluded[] = {keycode(Key::space), keycode(Key::escape),
                           unsigned(XKeysymToKeycode(display_, XK_End)),
                           unsigned(XKeysymToKeycode(display_, XK_KP_End))};
    std::vector<unsigned> codes;
    for (int code = min_code; code <= max_code; ++code) {
        bool keep = true;
        for (unsigned e : excluded)
            keep &= unsigned(code) != e;
        if (keep)
            codes.push_back(unsigned(code));
    }
    return codes;
}

int XConnection::mapped_windows() { return int(viewable_windows().size()); }

std::vector<TopLevelWindow> XConnection::viewable_windows()
{
    Window root_return, parent_return;
    Window* children = nullptr;
    unsigned count = 0;
    XQueryTree(display_, DefaultRootWindow(display_), &root_return, &parent_return, &children,
               &count);
    std::vector<TopLevelWindow> viewable;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display_, children[i], &attributes) &&
            attributes.map_state == IsViewable)
            viewable.push_back(TopLevelWindow{children[i], attributes.x, attributes.y,
                                              attributes.width, attributes.height,
                                              attributes.override_redirect != False});
    }
    if (children)
        XFree(children);
    check();
    return viewable;
}

bool XConnection::keyboard_grabbed_elsewhere()
{
    int result = XGrabKeyboard(display_, DefaultRootWindow(display_), False, GrabModeAsync,
                               GrabModeAsync, CurrentTime);
    if (result == GrabSuccess) {
        XUngrabKeyboard(display_, CurrentTime);
        XSync(display_, False);
    }
    check();
    if (result != GrabSuccess && result != AlreadyGrabbed)
        throw std::runtime_error("XGrabKeyboard on " + name_ + " answered " +
                                 std::to_string(result) + ", neither success nor AlreadyGrabbed");
    return result == AlreadyGrabbed;
}

bool XConnection::pointer_grabbed_elsewhere()
{
    int result = XGrabPointer(display_, DefaultRootWindow(display_), False, 0, GrabModeAsync,
                              GrabModeAsync, None, None, CurrentTime);
    if (result == GrabSuccess) {
        XUngrabPointer(display_, CurrentTime);
        XSync(display_, False);
    }
    check();
    return result == AlreadyGrabbed;
}

ScreenPoint XConnection::pointer_position()
{
    Window root, child;
    ScreenPoint at;
    int window_x, window_y;
    unsigned int buttons;
    XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &at.x, &at.y, &window_x,
                  &window_y, &buttons);
    check();
    return at;
}

void XConnection::move_pointer(ScreenPoint to)
{
    XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, to.x, to.y);
    XSync(display_, False);
    check();
}

std::string XConnection::video_mode()
{
    int dot_clock = 0;
    XF86VidModeModeLine line{};
    bool known = XF86VidModeGetModeLine(display_, DefaultScreen(display_), &dot_clock, &line);
    check();
    if (!known)
        throw std::runtime_error("X display " + name_ + " does not tell its video mode");
    if (line.privsize > 0)
        XFree(line.c_private);
    return std::to_string(line.hdisplay) + "x" + std::to_string(line.vdisplay);
}

bool XConnection::key_down(Key key)
{
    char keys[32] = {};
    XQueryKeymap(display_, keys);
    check();
    const unsigned code = keycode(key);
    return keys[code / 8] & (1 << (code % 8));
}

unsigned long XConnection::input_focus()
{
    Window focus = None;
    int revert_to = 0;
    XGetInputFocus(display_, &focus, &revert_to);
    check();
    return focus;
}

}  // namespace harness

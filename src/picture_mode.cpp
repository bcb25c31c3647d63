// On a plain X server the picture gets the library's full-screen mode as it
// is: the video mode switched where the server can, the keyboard grabbed.
// On a Wayland desktop X programs run through Xwayland, and the compositor
// gives the keyboard only to windows it manages, never to an
// override-redirect full-screen window like the library's: SPACE and ESC
// would go to whatever window had the focus, and some compositors stretch
// such a window to the monitor's shape. There the picture goes into the
// library's ordinary window instead, which asks the window manager for full
// screen, and sits whole and unscaled in the middle of it, on black. The
// window exists, unmapped, from allegro_init on: it is named and marked full
// screen before the library maps it, so that a window manager that takes
// EWMH's initial state shows it full screen from the first.

#include "platform.h"
#include "screen.h"
#include "signals.h"

#include <allegro.h>
#include <xalleg.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

// The monitor the picture's window landed on, where a window manager
// placed it; none (of no size) on a plain X server.
static screen_area landing_monitor = {0, 0, 0, 0};

// Whether the window holds the picture's window and nothing else; if so,
// whether it is a top-level window.
static bool holds_only_picture(Display *display, Window window, Window picture, bool *top_level)
{
   Window root, parent, *children = NULL;
   unsigned int count = 0;
   if (window == None || picture == None ||
       !XQueryTree(display, window, &root, &parent, &children, &count))
      return false;
   bool found = count == 1 && children[0] == picture;
   XFree(children);
   *top_level = parent == root;
   return found;
}

// The library's window as its X11 driver describes it: checked against the
// server before it is used, so that a library built otherwise is left alone.
static bool library_window_found(Display *display, Window window, Window picture)
{
   bool top_level;
   XWindowAttributes attributes;
   return holds_only_picture(display, window, picture, &top_level) &&
          XGetWindowAttributes(display, picture, &attributes) && attributes.width == SCREEN_W &&
          attributes.height == SCREEN_H;
}

// The library's window before the mode is set: a top-level window, not yet
// mapped, holding the picture's window.
static bool library_window_unmapped(Display *display, Window window, Window picture)
{
   bool top_level = false;
   XWindowAttributes attributes;
   return holds_only_picture(display, window, picture, &top_level) && top_level &&
          XGetWindowAttributes(display, window, &attributes) &&
          attributes.map_state == IsUnmapped;
}

// An unmapped window's _NET_WM_STATE is the state it asks to be mapped in
// (EWMH): full screen.
static void set_initial_full_screen(Display *display, Window window)
{
   Atom full_screen = XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False);
   XChangeProperty(display, window, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM, 32,
                   PropModeReplace, (unsigned char *)&full_screen, 1);
}

// The size hints say what the window may be: the library's fixed 1024x768,
// or anything, so that the window manager can make it full screen (mutter
// will not make a window of fixed size full screen).
static void set_size_hints(Display *display, Window window, bool fixed)
{
   XSizeHints hints;
   hints.flags = fixed ? PMinSize | PMaxSize | PBaseSize : 0;
   hints.min_width = hints.max_width = hints.base_width = SCREEN_W;
   hints.min_height = hints.max_height = hints.base_height = SCREEN_H;
   XSetWMNormalHints(display, window, &hints);
}

// Names the window's program, so that a desktop can show its name and
// icon and end it when it stops answering (_NET_WM_PID needs the host).
static void name_the_window(Display *display, Window window)
{
   char name[] = "spotfall";
   XClassHint class_hint = {name, name};
   XSetClassHint(display, window, &class_hint);
   char host[HOST_NAME_MAX + 1] = "";
   gethostname(host, sizeof host - 1);
   char *hosts[] = {host};
   XTextProperty host_property;
   if (XStringListToTextProperty(hosts, 1, &host_property)) {
      XSetWMClientMachine(display, window, &host_property);
      XFree(host_property.value);
   }
   long pid = getpid();
   XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL,
                   32, PropModeReplace, (unsigned char *)&pid, 1);
}

// Withdraws the window and maps it again as the library first did: of its
// fixed size, asking for full screen as its initial state. The window
// manager hears of the withdrawal by the synthetic UnmapNotify of ICCCM.
static void map_again(Display *display, Window window)
{
   const Window root = DefaultRootWindow(display);
   XUnmapWindow(display, window);
   XEvent event = {};
   event.xunmap.type = UnmapNotify;
   event.xunmap.event = root;
   event.xunmap.window = window;
   XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
   set_size_hints(display, window, true);
   set_initial_full_screen(display, window);
   XMapWindow(display, window);
   XFlush(display);
}

// A mapped window asks the window manager for full screen with a message
// to the root window (EWMH's _NET_WM_STATE, action 1: add; 0: remove).
static void send_full_screen_message(Display *display, Window window, long action)
{
   XEvent event = {};
   event.xclient.type = ClientMessage;
   event.xclient.window = window;
   event.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
   event.xclient.format = 32;
   event.xclient.data.l[0] = action;
   event.xclient.data.l[1] = XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False);
   event.xclient.data.l[3] = 1;
   XSendEvent(display, DefaultRootWindow(display), False,
              SubstructureRedirectMask | SubstructureNotifyMask, &event);
   XFlush(display);
}

static void ask_for_full_screen(Display *display, Window window)
{
   send_full_screen_message(display, window, 1);
}

// Asks again where the window manager holds the window full screen in its
// state, yet left it at its own size (sway 1.10 now and then): a window
// manager takes no request to add a state the window has already, so the
// state is taken away first.
static void ask_again_for_full_screen(Display *display, Window window)
{
   send_full_screen_message(display, window, 0);
   send_full_screen_message(display, window, 1);
}

// The window's place and size on the root window.
static screen_area window_area(Display *display, Window window)
{
   screen_area area = {0, 0, 0, 0};
   XWindowAttributes attributes;
   Window child;
   if (XGetWindowAttributes(display, window, &attributes) &&
       XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &area.x,
                             &area.y, &child)) {
      area.width = attributes.width;
      area.height = attributes.height;
   }
   return area;
}

static bool same_area(const screen_area &a, const screen_area &b)
{
   return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// Where the picture goes in a window of the size given: its middle, or the
// top-left corner of a window smaller than the picture.
static void centre_picture(Display *display, Window picture, int width, int height)
{
   XMoveWindow(display, picture, width > SCREEN_W ? (width - SCREEN_W) / 2 : 0,
               height > SCREEN_H ? (height - SCREEN_H) / 2 : 0);
   XFlush(display);
}

// The window manager may change the window later: take full screen away
// when another window gets the focus (sway), or give it back. The picture
// follows, so that it is never left off the middle of a smaller window.
// The watch has a connection of its own, and is stopped before the library
// takes the window down: a move of the picture after that fails, and Xlib's
// default for a failed request ends the program with status 1, or crashes
// it once Xlib's own clean-up at exit has run.
static struct {
   Display *display;
   Window window, picture;
   int wake_pipe[2];
   pthread_t thread;
} watch = {NULL, None, None, {-1, -1}, pthread_t()};
// Set when the watch must stop, even amid a stream of changes.
static std::atomic<bool> stopping(false);

static void *keep_picture_centred(void *)
{
   struct pollfd waiting[2] = {{ConnectionNumber(watch.display), POLLIN, 0},
                               {watch.wake_pipe[0], POLLIN, 0}};
   while (!stopping) {
      while (!stopping && XPending(watch.display)) {
         XEvent event;
         XNextEvent(watch.display, &event);
         if (event.type == ConfigureNotify && event.xconfigure.window == watch.window)
            centre_picture(watch.display, watch.picture, event.xconfigure.width,
                           event.xconfigure.height);
      }
      if (poll(waiting, 2, -1) < 0 && errno != EINTR)
         break;
   }
   return NULL;
}

// Runs first when the library shuts down, by any way out.
static void stop_watching_window()
{
   stopping = true;
   char wake = 0;
   ssize_t written;
   do
      written = write(watch.wake_pipe[1], &wake, 1);
   while (written < 0 && errno == EINTR);
   // A watch that cannot be woken may still be reading its connection: it
   // is left to the end of the process.
   if (written != 1)
      return;
   pthread_join(watch.thread, NULL);
   XCloseDisplay(watch.display);
   close(watch.wake_pipe[0]);
   close(watch.wake_pipe[1]);
}

static void watch_window(Display *display, Window window, Window picture)
{
   watch.display = display;
   watch.window = window;
   watch.picture = picture;
   if (pipe2(watch.wake_pipe, O_CLOEXEC) == 0) {
      if (start_thread(&watch.thread, keep_picture_centred, NULL)) {
         _add_exit_func(stop_watching_window, "stop_watching_window");
         return;
      }
      close(watch.wake_pipe[0]);
      close(watch.wake_pipe[1]);
   }
   XCloseDisplay(display);
}

// Whether the window fills the monitor it is on; its place, size and that
// monitor in `area` and `monitor`.
static bool window_is_full_screen(Display *display, Window window, screen_area &area,
                                  screen_area &monitor)
{
   area = window_area(display, window);
   monitor = monitor_at(display, area.x + area.width / 2, area.y + area.height / 2);
   return same_area(area, monitor);
}

// The events that tell of the window manager's changes to the window: its
// own size and state, and the place of the frame a window manager may have
// put it in, which moves without a word to the window itself (the frame is
// a child of the root window).
static void select_window_changes(Display *display, Window window)
{
   XSelectInput(display, window, StructureNotifyMask | PropertyChangeMask);
   XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
}

// Waits for the window manager to change the window, or for the time left
// to run out; false then. A caught signal ends the program. The wait is cut
// into short slices, so that a signal taken by another thread is seen too,
// and the window is looked at again now and then all the same, in case a
// change came with no event.
static bool await_window_change(Display *display, Window window,
                                std::chrono::steady_clock::time_point deadline,
                                bool &state_changed, bool &framed)
{
   using namespace std::chrono;
   struct pollfd connection = {ConnectionNumber(display), POLLIN, 0};
   const auto look_again = steady_clock::now() + milliseconds(100);
   while (!XPending(display)) {
      if (caught_signal())
         end_by_signal(caught_signal());
      const auto now = steady_clock::now();
      if (now >= deadline)
         return false;
      if (now >= look_again)
         return true;
      const auto left = duration_cast<milliseconds>(std::min(deadline, look_again) - now).count();
      poll(&connection, 1, (int)std::min<long long>(left + 1, 20));
   }
   const Atom state = XInternAtom(display, "_NET_WM_STATE", False);
   while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == PropertyNotify && event.xproperty.window == window &&
          event.xproperty.atom == state)
         state_changed = true;
      if (event.type == ReparentNotify && event.xreparent.window == window &&
          event.xreparent.parent != DefaultRootWindow(display))
         framed = true;
   }
   return true;
}

// Whether the window manager has set the window's state, as it does once
// it manages the window, without full screen in it.
static bool state_lacks_full_screen(Display *display, Window window)
{
   Atom type;
   int format;
   unsigned long count, after;
   unsigned char *data = NULL;
   bool lacks = false;
   if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_STATE", False), 0, 64,
                          False, XA_ATOM, &type, &format, &count, &after, &data) == Success &&
       type == XA_ATOM && format == 32) {
      const Atom full_screen = XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False);
      lacks = true;
      for (unsigned long i = 0; i < count; i++)
         if (((Atom *)data)[i] == full_screen)
            lacks = false;
   }
   if (data)
      XFree(data);
   return lacks;
}

// The library's window made full screen by the window manager, with the
// picture in its middle. The wait for the window manager is bounded (two
// seconds; it takes tens of milliseconds), woken by its changes to the
// window, and ends on a signal too; where the window does not become full
// screen, the picture stays in a window of its own size, whole. From then
// on the picture follows the window's size.
static int set_picture_window()
{
   Display *display = XOpenDisplay(NULL);
   const Window window = _xwin.wm_window, picture = _xwin.window;
   const bool prepared = display && library_window_unmapped(display, window, picture);
   if (prepared) {
      name_the_window(display, window);
      set_initial_full_screen(display, window);
      // Changes from here on wake the wait below; those of the window's size
      // are kept for the watch that follows them.
      select_window_changes(display, window);
      // At the server before the library's own connection maps the window;
      // the news of the program's own change of state is dropped.
      XSync(display, False);
      while (XPending(display)) {
         XEvent event;
         XNextEvent(display, &event);
      }
   }
   if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 1024, 768, 0, 0) != 0) {
      if (display)
         XCloseDisplay(display);
      return -1;
   }
   if (!display || !library_window_found(display, window, picture)) {
      if (display)
         XCloseDisplay(display);
      return 0;
   }
   if (!prepared) {
      name_the_window(display, window);
      select_window_changes(display, window);
   }
   // The library's window is of a fixed size, which a window manager that
   // takes the initial state shows full screen all the same, and which
   // keeps it floating at that size where full screen is taken away later
   // (sway), rather than tiled smaller than the picture. A window manager
   // that does not take the initial state (it sets a state without full
   // screen, or nothing in a while) is asked with a message, and the size
   // left free, as some will not make a window of fixed size full screen
   // (mutter). So is one that frames the window, at once: it has decided
   // how to manage the window by then, and mutter frames it without
   // saying that it will not make it full screen.
   // sway now and then never shows a window it was told to map (the X
   // window mapped, no view for it, the window as the library made it):
   // a window left so is mapped again, once, as it was first. It also now
   // and then shows the window at its own size, its state full screen: the
   // request is then made again, once.
   using clock = std::chrono::steady_clock;
   const auto mapped_at = clock::now();
   const auto deadline = mapped_at + std::chrono::seconds(2);
   const auto map_again_by = mapped_at + std::chrono::milliseconds(750);
   auto ask_by = mapped_at + std::chrono::milliseconds(250);
   const auto ask_again_by = mapped_at + std::chrono::milliseconds(1250);
   bool asked = false, mapped_again = !prepared, asked_again = false;
   auto ask = [&] {
      set_size_hints(display, window, false);
      ask_for_full_screen(display, window);
      asked = true;
   };
   if (!prepared)
      ask();
   screen_area area, monitor;
   bool full_screen = window_is_full_screen(display, window, area, monitor);
   const screen_area as_mapped = area;
   while (!full_screen) {
      bool state_changed = false, framed = false;
      auto until = deadline;
      if (!asked)
         until = std::min(until, ask_by);
      if (!mapped_again)
         until = std::min(until, map_again_by);
      if (!asked_again)
         until = std::min(until, ask_again_by);
      await_window_change(display, window, until, state_changed, framed);
      const auto now = clock::now();
      if (now >= deadline)
         break;
      if (!mapped_again && now >= map_again_by) {
         mapped_again = true;
         if (same_area(area, as_mapped)) {
            map_again(display, window);
            asked = false;
            ask_by = now + std::chrono::milliseconds(250);
         }
      } else if (!asked && (now >= ask_by || framed ||
                            (state_changed && state_lacks_full_screen(display, window)))) {
         ask();
      } else if (asked && !asked_again && now >= ask_again_by) {
         asked_again = true;
         if (!state_lacks_full_screen(display, window))
            ask_again_for_full_screen(display, window);
      }
      full_screen = window_is_full_screen(display, window, area, monitor);
   }
   // The watch follows the window alone.
   XSelectInput(display, DefaultRootWindow(display), NoEventMask);
   if (full_screen) {
      landing_monitor = monitor;
      centre_picture(display, picture, area.width, area.height);
   } else {
      set_size_hints(display, window, true);
      XResizeWindow(display, window, SCREEN_W, SCREEN_H);
   }
   XSync(display, False);
   watch_window(display, window, picture);
   return 0;
}

int set_picture_mode()
{
   Display *display = XOpenDisplay(NULL);
   const bool xwayland = display && display_is_xwayland(display);
   if (display)
      XCloseDisplay(display);
   if (xwayland)
      return set_picture_window();
   return set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, 1024, 768, 0, 0);
}

bool picture_fits_its_monitor()
{
   if (landing_monitor.width > 0 &&
       (landing_monitor.width < SCREEN_W || landing_monitor.height < SCREEN_H)) {
      report_small_monitor(landing_monitor, true);
      return false;
   }
   return true;
}

// spotfall: paints the screen white, then stamps a black disc at a random
// place every 50 ms until SPACE is pressed; the frozen picture stays up
// until ESC ends the program.

#include <allegro.h>

#ifdef ALLEGRO_WITH_XWINDOWS
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#endif

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <unistd.h>

// The centre of the next disc. The names x1 and y1 also belong to the
// C library's Bessel functions, so the variables live in a scope of their own.
namespace disc {
int x1 = 0;
int y1 = 0;
}

// The signal that asked the program to end, or 0. The handler only records
// it: the library's shutdown talks to the X server, which is not safe inside
// a handler, so both loops end on it and the shutdown runs in main.
volatile sig_atomic_t caught_signal = 0;

// Signals that were ignored when the program started (a shell starts a
// background job with SIGINT and SIGQUIT ignored); they stay ignored.
sigset_t ignored_signals;

void get_new_numbers()
{
   disc::x1 = rand() % SCREEN_W;
   disc::y1 = rand() % SCREEN_H;
}

void record_signal(int number)
{
   caught_signal = number;
}

void note_if_ignored(int number)
{
   struct sigaction current;
   if (sigaction(number, NULL, &current) == 0 && current.sa_handler == SIG_IGN)
      sigaddset(&ignored_signals, number);
}

// allegro_init puts in handlers of its own for SIGINT, SIGTERM and SIGQUIT,
// which shut the library down inside the handler and then let the program
// run on without a screen; and none for SIGHUP, which leaves the display
// switched to 1024x768 when the terminal closes.
void take_over_signal(int number)
{
   struct sigaction action;
   memset(&action, 0, sizeof action);
   action.sa_handler = sigismember(&ignored_signals, number) ? SIG_IGN : record_signal;
   sigemptyset(&action.sa_mask);
   sigaction(number, &action, NULL);
}

// Gives the display back, then ends the process by the signal it was sent,
// so that whoever started the program sees how it ended.
void end_by_signal(int number)
{
   allegro_exit();
   signal(number, SIG_DFL);
   raise(number);
   _exit(128 + number);
}

// One line on stderr and a non-zero status: a report through
// allegro_message would open an X window and wait for a click.
int start_up_failed(const char *what)
{
   fprintf(stderr, "spotfall: %s failed%s%s; spotfall needs a graphical display "
                   "that offers 1024x768 (check that DISPLAY names a running X server)\n",
           what, allegro_error[0] ? ": " : "", allegro_error);
   return 1;
}

// On a Wayland desktop the X server is Xwayland, which names its outputs
// XWAYLAND0, XWAYLAND1 and so on.
bool display_is_xwayland()
{
#ifdef ALLEGRO_WITH_XWINDOWS
   Display *display = XOpenDisplay(NULL);
   if (!display)
      return false;
   bool found = false;
   int event_base, error_base, major = 0, minor = 0;
   if (XRRQueryExtension(display, &event_base, &error_base) &&
       XRRQueryVersion(display, &major, &minor) && (major > 1 || minor >= 3)) {
      XRRScreenResources *resources =
         XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
      for (int i = 0; resources && i < resources->noutput && !found; i++) {
         XRROutputInfo *output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
         found = output && strncmp(output->name, "XWAYLAND", 8) == 0;
         if (output)
            XRRFreeOutputInfo(output);
      }
      if (resources)
         XRRFreeScreenResources(resources);
   }
   XCloseDisplay(display);
   return found;
#else
   return false;
#endif
}

#ifdef ALLEGRO_WITH_XWINDOWS
// Other clients' windows may go away while they are looked at; Xlib's
// default would end the program on the error that follows.
int ignore_x_error(Display *, XErrorEvent *)
{
   return 0;
}

// A window that a root property names, or None.
Window window_named_by(Display *display, Window root, Atom property)
{
   Atom type;
   int format;
   unsigned long items, remaining;
   unsigned char *value = NULL;
   Window window = None;
   if (XGetWindowProperty(display, root, property, 0, 1, False, XA_WINDOW, &type, &format,
                          &items, &remaining, &value) == Success && value) {
      if (items == 1)
         window = *(Window *)value;
      XFree(value);
   }
   return window;
}
#endif

// Whether the window manager is weston's, by the name it gives itself. On
// Xwayland only weston has been seen to take the picture's window below
// safely: GNOME's mutter 43 crashed on it.
bool window_manager_is_weston()
{
#ifdef ALLEGRO_WITH_XWINDOWS
   Display *display = XOpenDisplay(NULL);
   if (!display)
      return false;
   XErrorHandler previous = XSetErrorHandler(ignore_x_error);
   bool weston = false;
   Window check = window_named_by(display, DefaultRootWindow(display),
                                  XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False));
   Atom type;
   int format;
   unsigned long items, remaining;
   unsigned char *name = NULL;
   if (check != None &&
       XGetWindowProperty(display, check, XInternAtom(display, "_NET_WM_NAME", False), 0, 64,
                          False, XInternAtom(display, "UTF8_STRING", False), &type, &format,
                          &items, &remaining, &name) == Success && name) {
      weston = strcmp((const char *)name, "Weston WM") == 0;
      XFree(name);
   }
   XCloseDisplay(display);
   XSetErrorHandler(previous);
   return weston;
#else
   return false;
#endif
}

// On Xwayland the compositor gives the keyboard only to windows it manages,
// never to the library's override-redirect full-screen window, so SPACE and
// ESC would go to the window that had the focus. Under weston, this opens
// an ordinary window that asks for full screen, waits until the window
// manager makes it the active window (the library's keyboard grab then gets the keys), and
// moves the unscaled picture into its middle. The library's own window is
// left override-redirect (weston's window manager does not follow a change
// of that flag) and only unmapped. The connection, kept in
// managed_window_display, stays open for the life of the process: closing
// it would destroy the window the picture now sits in. Returns
// whether the window became active within two seconds.
#ifdef ALLEGRO_WITH_XWINDOWS
Display *managed_window_display = NULL;
#endif

bool move_picture_to_managed_window()
{
#ifdef ALLEGRO_WITH_XWINDOWS
   Display *display = managed_window_display = XOpenDisplay(NULL);
   if (!display)
      return false;
   XErrorHandler previous = XSetErrorHandler(ignore_x_error);
   // The library's window is the topmost override-redirect child of the
   // root holding one window of the picture's size.
   Window root = DefaultRootWindow(display), unused, *children = NULL;
   Window library_window = None, picture = None;
   unsigned int count = 0;
   if (XQueryTree(display, root, &unused, &unused, &children, &count)) {
      for (unsigned int i = count; i-- > 0 && library_window == None;) {
         XWindowAttributes attributes;
         Window *inner = NULL;
         unsigned int inner_count = 0;
         if (XGetWindowAttributes(display, children[i], &attributes) &&
             attributes.override_redirect && attributes.map_state == IsViewable &&
             XQueryTree(display, children[i], &unused, &unused, &inner, &inner_count) &&
             inner_count == 1 && XGetWindowAttributes(display, inner[0], &attributes) &&
             attributes.width == SCREEN_W && attributes.height == SCREEN_H) {
            library_window = children[i];
            picture = inner[0];
         }
         if (inner)
            XFree(inner);
      }
      if (children)
         XFree(children);
   }
   if (library_window == None) {
      XSetErrorHandler(previous);
      return false;
   }
   const int screen = DefaultScreen(display);
   Window managed = XCreateSimpleWindow(display, root, 0, 0, DisplayWidth(display, screen),
                                        DisplayHeight(display, screen), 0,
                                        BlackPixel(display, screen), BlackPixel(display, screen));
   XStoreName(display, managed, "spotfall");
   Atom fullscreen = XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False);
   XChangeProperty(display, managed, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM,
                   32, PropModeReplace, (unsigned char *)&fullscreen, 1);
   // The window manager names the window it activates in this root
   // property; only a change made after the map counts.
   Atom active_window = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
   XSelectInput(display, root, PropertyChangeMask);
   XMapRaised(display, managed);
   bool active = false;
   int width = 0, height = 0;
   for (int waited_ms = 0; waited_ms < 2000; waited_ms += 10) {
      XEvent event;
      while (XCheckTypedWindowEvent(display, root, PropertyNotify, &event))
         if (event.xproperty.atom == active_window)
            active = window_named_by(display, root, active_window) == managed;
      XWindowAttributes attributes;
      if (active && XGetWindowAttributes(display, managed, &attributes) &&
          (attributes.width != width || attributes.height != height)) {
         width = attributes.width;
         height = attributes.height;
         XReparentWindow(display, picture, managed, (width - SCREEN_W) / 2,
                         (height - SCREEN_H) / 2);
         XUnmapWindow(display, library_window);
      }
      if (active && width == DisplayWidth(display, screen) &&
          height == DisplayHeight(display, screen))
         break;
      usleep(10000);
   }
   XSelectInput(display, root, NoEventMask);
   XSync(display, False);
   XSetErrorHandler(previous);
   return active;
#else
   return false;
#endif
}

int main()
{
   sigemptyset(&ignored_signals);
   note_if_ignored(SIGHUP);
   note_if_ignored(SIGINT);
   note_if_ignored(SIGQUIT);
   note_if_ignored(SIGTERM);

   if (allegro_init() != 0)
      return start_up_failed("starting Allegro");
   take_over_signal(SIGHUP);
   take_over_signal(SIGINT);
   take_over_signal(SIGQUIT);
   take_over_signal(SIGTERM);

   if (install_keyboard() != 0)
      return start_up_failed("installing the keyboard");
   // rest() only pauses once the timer module is in.
   if (install_timer() != 0)
      return start_up_failed("installing the timer");

   srand((unsigned int)time(NULL));

   if (display_is_xwayland() && !window_manager_is_weston()) {
      fprintf(stderr, "spotfall: this display is Xwayland (a Wayland desktop), where SPACE "
                      "and ESC cannot reach a full-screen X program; run spotfall in an "
                      "X11 session\n");
      return 1;
   }

   // A smaller screen gets no 1024x768 mode: the library would still set
   // one and show only its middle, or fail to switch and abort. Asked
   // before set_gfx_mode, this is the desktop the user has.
   int desktop_w, desktop_h;
   if (get_desktop_resolution(&desktop_w, &desktop_h) == 0 &&
       (desktop_w < 1024 || desktop_h < 768)) {
      fprintf(stderr, "spotfall: the screen is %dx%d, smaller than the 1024x768 spotfall "
                      "needs; run it on a display of at least 1024x768\n",
              desktop_w, desktop_h);
      return 1;
   }

   if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, 1024, 768, 0, 0) != 0)
      return start_up_failed("setting the 1024x768 full-screen mode");

   if (display_is_xwayland() && !move_picture_to_managed_window()) {
      allegro_exit();
      fprintf(stderr, "spotfall: this display is Xwayland (a Wayland desktop) and the "
                      "compositor did not give spotfall the keyboard, so SPACE and ESC "
                      "cannot reach it; run spotfall in an X11 session\n");
      return 1;
   }

   rectfill(screen, 0, 0, SCREEN_W, SCREEN_H, 15);

   while (!key[KEY_SPACE] && !caught_signal) {
      get_new_numbers();
      circlefill(screen, disc::x1, disc::y1, 40, 0);
      rest(50);
   }

   // Nothing rests any more. Stopping the timer's thread now, rather than
   // in the library's shutdown after ESC, lets the program end at once.
   remove_timer();

   while (!key[KEY_ESC] && !caught_signal) {
   }

   if (caught_signal)
      end_by_signal(caught_signal);
   return 0;
}
END_OF_MAIN()

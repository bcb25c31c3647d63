// On a Wayland desktop X programs run through Xwayland, and the compositor
// gives the keyboard only to windows it manages, never to the library's
// override-redirect full-screen window: SPACE and ESC would go to whatever
// window had the focus. A plain X server gets the library's full-screen
// mode as it is.

#include "platform.h"

#include <allegro.h>

#ifdef ALLEGRO_WITH_XWINDOWS
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#endif

#include <cstdio>
#include <cstring>

#include <unistd.h>

// On a Wayland desktop the X server is Xwayland, which names its outputs
// XWAYLAND0, XWAYLAND1 and so on.
static bool display_is_xwayland()
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
static int ignore_x_error(Display *, XErrorEvent *)
{
   return 0;
}

// A window that a root property names, or None.
static Window window_named_by(Display *display, Window root, Atom property)
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
static bool window_manager_is_weston()
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
static Display *managed_window_display = NULL;
#endif

static bool move_picture_to_managed_window()
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

int set_picture_mode()
{
   const bool xwayland = display_is_xwayland();
   if (xwayland && !window_manager_is_weston()) {
      fprintf(stderr, "spotfall: this display is Xwayland (a Wayland desktop), where SPACE "
                      "and ESC cannot reach a full-screen X program; run spotfall in an "
                      "X11 session\n");
      _exit(1);
   }
   if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, 1024, 768, 0, 0) != 0)
      return -1;
   if (xwayland && !move_picture_to_managed_window()) {
      allegro_exit();
      fprintf(stderr, "spotfall: this display is Xwayland (a Wayland desktop) and the "
                      "compositor did not give spotfall the keyboard, so SPACE and ESC "
                      "cannot reach it; run spotfall in an X11 session\n");
      _exit(1);
   }
   return 0;
}

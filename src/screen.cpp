// A screen smaller than 1024x768 gets no 1024x768 mode: the library would
// still set one and show only its middle, or fail to switch the mode and
// abort. On a plain X server the desktop's resolution, asked before the
// mode is set, is the screen the user has. On a Wayland desktop the X
// screen spans every monitor, and a desktop that scales its monitors shows
// X programs each monitor's size divided by the scale: the picture must fit
// the monitor it lands on, so the monitors are what counts there.

#include "platform.h"
#include "screen.h"

#include <allegro.h>

#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xrandr.h>

#include <cstdio>
#include <cstring>
#include <vector>

bool display_is_xwayland(Display *display)
{
   // Xwayland 23 and later advertise an extension of their own, and name
   // their RandR outputs after the compositor's (Meta-0, X11-1, screen0).
   int opcode, event_base, error_base;
   if (XQueryExtension(display, "XWAYLAND", &opcode, &event_base, &error_base))
      return true;
   // Earlier ones have no such extension and name their outputs XWAYLAND0,
   // XWAYLAND1 and so on.
   int major = 0, minor = 0;
   if (!XRRQueryExtension(display, &event_base, &error_base) ||
       !XRRQueryVersion(display, &major, &minor) || (major == 1 && minor < 3))
      return false;
   bool found = false;
   XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
   for (int i = 0; resources && i < resources->noutput && !found; i++) {
      XRROutputInfo *output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
      found = output && strncmp(output->name, "XWAYLAND", 8) == 0;
      if (output)
         XRRFreeOutputInfo(output);
   }
   if (resources)
      XRRFreeScreenResources(resources);
   return found;
}

// RandR 1.5's monitors; Xinerama's screens where RandR tells of none.
static std::vector<screen_area> list_monitors(Display *display)
{
   std::vector<screen_area> monitors;
   int event_base, error_base, major = 0, minor = 0;
   if (XRRQueryExtension(display, &event_base, &error_base) &&
       XRRQueryVersion(display, &major, &minor) && (major > 1 || minor >= 5)) {
      int count = 0;
      XRRMonitorInfo *info = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
      for (int i = 0; info && i < count; i++)
         monitors.push_back({info[i].x, info[i].y, info[i].width, info[i].height});
      if (info)
         XRRFreeMonitors(info);
   }
   if (monitors.empty() && XineramaQueryExtension(display, &event_base, &error_base) &&
       XineramaIsActive(display)) {
      int count = 0;
      XineramaScreenInfo *info = XineramaQueryScreens(display, &count);
      for (int i = 0; info && i < count; i++)
         monitors.push_back({info[i].x_org, info[i].y_org, info[i].width, info[i].height});
      if (info)
         XFree(info);
   }
   return monitors;
}

screen_area monitor_at(Display *display, int x, int y)
{
   const int screen = DefaultScreen(display);
   screen_area nearest = {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
   long nearest_distance = -1;
   for (const screen_area &m : list_monitors(display)) {
      long dx = x < m.x ? m.x - x : x >= m.x + m.width ? x - (m.x + m.width - 1) : 0;
      long dy = y < m.y ? m.y - y : y >= m.y + m.height ? y - (m.y + m.height - 1) : 0;
      long distance = dx * dx + dy * dy;
      if (nearest_distance < 0 || distance < nearest_distance) {
         nearest = m;
         nearest_distance = distance;
      }
   }
   return nearest;
}

void report_small_monitor(const screen_area &monitor, bool xwayland)
{
   if (xwayland)
      fprintf(stderr, "spotfall: the monitor is %dx%d for X programs, smaller than the "
                      "1024x768 spotfall needs; a Wayland desktop that scales a monitor "
                      "shows X programs its size divided by the scale, so set a lower scale "
                      "for it (or let X programs draw at full resolution, where the desktop "
                      "offers that), or run spotfall on a larger monitor\n",
              monitor.width, monitor.height);
   else
      fprintf(stderr, "spotfall: the screen is %dx%d, smaller than the 1024x768 spotfall "
                      "needs; run it on a display of at least 1024x768\n",
              monitor.width, monitor.height);
}

bool screen_holds_picture()
{
   std::vector<screen_area> monitors;
   if (Display *display = XOpenDisplay(NULL)) {
      if (display_is_xwayland(display))
         monitors = list_monitors(display);
      XCloseDisplay(display);
   }
   // On a Wayland desktop, where no monitor is large enough, say so before
   // a window appears; the monitor the window lands on is checked once it
   // is there.
   if (!monitors.empty()) {
      screen_area largest = monitors[0];
      for (const screen_area &m : monitors) {
         if (m.width >= 1024 && m.height >= 768)
            return true;
         if ((long)m.width * m.height > (long)largest.width * largest.height)
            largest = m;
      }
      report_small_monitor(largest, true);
      return false;
   }
   int width, height;
   if (get_desktop_resolution(&width, &height) == 0 && (width < 1024 || height < 768)) {
      report_small_monitor({0, 0, width, height}, false);
      return false;
   }
   return true;
}

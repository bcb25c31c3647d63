// The library's full-screen mode moves the mouse pointer to the middle of
// the picture and leaves it there when it gives the display back, so the
// user finds it somewhere other than where they left it, and a window
// manager whose focus follows the pointer hands the focus to whatever
// window lies under that point. So the program notes where the pointer is
// before the mode is set, and puts it back there once the library has
// given the display back, on every way out that does so: ESC, the
// desktop's close, a signal, a refusal after the mode is set.
//
// The library runs its exit functions last added, first run, on every way
// out (main's return and end_by_signal both end in allegro_exit). One
// added before the mode is set runs after the mode's own shutdown, which
// lets the pointer go and restores the video mode (a warp before that would
// be held inside the picture), and before the library closes its
// connection. That connection is still open then, so nothing new is opened
// at exit; its input thread shares it, hence the library's lock.
//
// On Xwayland the compositor owns the pointer, and the library's window
// there does not move it: nothing is done. Where there is no X display, or
// the pointer's place cannot be read, nothing is done either.

#include "platform.h"
#include "screen.h"

#include <allegro.h>
#include <xalleg.h>

// Where the pointer was before the mode was set: its screen's root window
// and its place on it.
static Window noted_root = None;
static int noted_x = 0, noted_y = 0;

// Runs in the library's shutdown, after the mode's.
static void put_pointer_back()
{
   XLOCK();
   Display *display = _xwin.display;
   if (display && noted_root != None) {
      Window root = None, child;
      int x, y, window_x, window_y;
      unsigned int buttons;
      // False only says the pointer is on another screen; root, x and y
      // still say where it is. Where it already is, it is not touched.
      XQueryPointer(display, noted_root, &root, &child, &x, &y, &window_x, &window_y, &buttons);
      if (root != noted_root || x != noted_x || y != noted_y) {
         XWarpPointer(display, None, noted_root, 0, 0, 0, 0, noted_x, noted_y);
         // Done before the process ends, whatever ends it next.
         XSync(display, False);
      }
   }
   XUNLOCK();
}

void note_pointer_place()
{
   if (!_xwin.display)
      return;
   XLOCK();
   Display *display = _xwin.display;
   if (!display_is_xwayland(display)) {
      Window root = None, child;
      int x, y, window_x, window_y;
      unsigned int buttons;
      XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &window_x,
                    &window_y, &buttons);
      if (root != None) {
         noted_root = root;
         noted_x = x;
         noted_y = y;
      }
   }
   XUNLOCK();
   if (noted_root != None)
      _add_exit_func(put_pointer_back, "put_pointer_back");
}

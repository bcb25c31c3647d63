// What the program needs besides the library on Windows, where it is a
// GUI program (no console) with the library's DirectX drivers:
// - a failed start is reported in a message box, as a Windows user has no
//   stderr to read, and the advice is about Windows' display settings, not
//   X servers; the line also goes to stderr, for whoever runs it from a
//   console that has one (and for Wine);
// - no POSIX signals end it: without a console there is no Ctrl+C, and a
//   close request (Alt+F4, the close button, Task Manager's "End task")
//   reaches it as WM_CLOSE through the library's close-button callback
//   (endings.cpp);
// - the full-screen driver gives the screen back to the desktop on Alt+Tab,
//   and DirectDraw discards the video memory the picture lives in. The
//   program draws straight to the screen and keeps no copy, and by the time
//   the library hears of the switch the surface is already lost, so no
//   copy can be taken then either. The library's own choice for its
//   full-screen driver stays: the program is paused while it is in the
//   background (no discs land unseen), and coming back restores the mode;
//   a frozen picture is then not shown again;
// - there is no X display to lose or to wait for, and the keyboard comes
//   through DirectInput's own buffer, so the X-only watches and key keeping
//   of display_watch.cpp and key_presses.cpp have nothing to do here.

#include "platform.h"

#include <allegro.h>
#include <winalleg.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// Shows one line of the program's in a message box and on stderr.
static void tell_user(const char *format, ...)
{
   char line[512];
   va_list arguments;
   va_start(arguments, format);
   vsnprintf(line, sizeof line, format, arguments);
   va_end(arguments);
   fprintf(stderr, "%s\n", line);
   fflush(stderr);
   // The library's message box is owned by its window; before the library
   // has started there is none, and allegro_message would print instead.
   if (system_driver && system_driver->message)
      allegro_message("%s", line);
   else
      MessageBoxA(NULL, line, "spotfall", MB_OK | MB_ICONERROR);
}

void prepare_for_signals()
{
}

void take_over_signals()
{
}

int caught_signal()
{
   return 0;
}

void end_by_signal(int number)
{
   allegro_exit();
   exit(128 + number);
}

void watch_display()
{
}

void display_answered()
{
}

int start_keyboard()
{
   return install_keyboard();
}

void keep_key_presses()
{
}

void keep_esc_presses()
{
}

bool screen_holds_picture()
{
   int width, height;
   if (get_desktop_resolution(&width, &height) == 0 && (width < 1024 || height < 768)) {
      tell_user("spotfall: the screen is %dx%d, smaller than the 1024x768 spotfall needs; "
                "set a resolution of at least 1024x768 in Windows' display settings",
                width, height);
      return false;
   }
   return true;
}

// The X11 full-screen mode's move of the pointer is what pointer.cpp
// undoes; here the library's DirectX drivers are left as they are.
void note_pointer_place()
{
}

int set_picture_mode()
{
   return set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, 1024, 768, 0, 0);
}

// The full-screen mode is the monitor's own: DirectDraw set the primary
// monitor to 1024x768, so the picture covers it exactly.
bool picture_fits_its_monitor()
{
   return true;
}

int start_up_failed(const char *what)
{
   tell_user("spotfall: %s failed%s%s; spotfall needs a display that can show 1024x768 "
             "full screen and DirectX (check the display driver and Windows' display "
             "settings)",
             what, allegro_error[0] ? ": " : "", allegro_error);
   return 1;
}

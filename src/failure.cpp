// How a failed start is reported. One line on stderr and a non-zero status:
// a report through allegro_message would open an X window and wait for a
// click. The advice fits what failed: only a display that could not be
// reached sends the user to DISPLAY; memory, a keyboard held by another
// program and a display without the mode are named as what they are. The
// library's own explanation (allegro_error) tells them apart.

#include "platform.h"

#include <allegro.h>

#ifdef ALLEGRO_WITH_XWINDOWS
#include <X11/Xlib.h>
#endif

#include <cstdio>
#include <cstring>

static bool error_says(const char *words)
{
   return strstr(allegro_error, words) != NULL;
}

// Whether the display the program was given takes a connection now.
static bool display_answers()
{
#ifdef ALLEGRO_WITH_XWINDOWS
   Display *display = XOpenDisplay(NULL);
   if (!display)
      return false;
   XCloseDisplay(display);
   return true;
#else
   return false;
#endif
}

int start_up_failed(const char *what)
{
   const char *advice;
   const bool starting = strstr(what, "Allegro") != NULL;
   if (starting && !display_answers())
      advice = "spotfall needs a graphical display that offers 1024x768 (check that "
               "DISPLAY names a running X server)";
   else if (error_says("memory") || error_says("XImage"))
      // The library cannot make its image of the screen when memory runs out.
      advice = "the system is out of memory; free some, or raise the memory limit "
               "(ulimit -v), and start spotfall again";
   else if (error_says("grab keyboard"))
      advice = "another program holds the keyboard; end that program, or its grab, "
               "and start spotfall again";
   else if (error_says("grab mouse"))
      advice = "another program holds the pointer; end that program, or its grab, "
               "and start spotfall again";
   else if (strstr(what, "1024x768"))
      advice = "the display offers no 1024x768 full-screen mode; run spotfall on a "
               "display that does";
   else
      // What is left is the system: the library fails to start its threads
      // or load its parts when memory is short.
      advice = starting ? "the display answers, so the system is short of memory or threads; "
                          "free some, or raise the memory limit (ulimit -v), and start "
                          "spotfall again"
                        : "the system is short of memory or threads; free some, or raise the "
                          "memory limit (ulimit -v), and start spotfall again";
   fprintf(stderr, "spotfall: %s failed%s%s; %s\n", what, allegro_error[0] ? ": " : "",
           allegro_error, advice);
   return 1;
}

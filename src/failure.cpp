// How a failed start is reported. One line on stderr and a non-zero status:
// a report through allegro_message would open an X window and wait for a
// click.

#include "platform.h"

#include <allegro.h>

#include <cstdio>

int start_up_failed(const char *what)
{
   fprintf(stderr, "spotfall: %s failed%s%s; spotfall needs a graphical display "
                   "that offers 1024x768 (check that DISPLAY names a running X server)\n",
           what, allegro_error[0] ? ": " : "", allegro_error);
   return 1;
}

// A screen smaller than 1024x768 gets no 1024x768 mode: the library would
// still set one and show only its middle, or fail to switch the mode and
// abort. Asked before the mode is set, the desktop's resolution is the
// screen the user has.

#include "platform.h"

#include <allegro.h>

#include <cstdio>

bool screen_holds_picture()
{
   int width, height;
   if (get_desktop_resolution(&width, &height) == 0 && (width < 1024 || height < 768)) {
      fprintf(stderr, "spotfall: the screen is %dx%d, smaller than the 1024x768 spotfall "
                      "needs; run it on a display of at least 1024x768\n",
              width, height);
      return false;
   }
   return true;
}

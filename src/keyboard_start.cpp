// Starting the keyboard on X: the library opens an X input method, and
// Xlib's local one reads the locale's whole Compose table for it (6 to 20
// ms under a UTF-8 locale, against under 1 ms with no table), which is most
// of the keyboard's start-up. The program reads only which keys are down;
// composed characters go to the library's text buffer, which it never
// reads. So the input method is opened with an empty table: nothing that
// reaches the program changes, and the picture comes up sooner.

#include "platform.h"

#include <allegro.h>

#include <cstdlib>
#include <string>

int start_keyboard()
{
   // XCOMPOSEFILE names the table Xlib reads in place of the locale's; it
   // is put back as it was once the input method is open.
   const char *given = getenv("XCOMPOSEFILE");
   const bool was_given = given != NULL;
   const std::string previous = was_given ? given : "";
   setenv("XCOMPOSEFILE", "/dev/null", 1);
   const int result = install_keyboard();
   if (was_given)
      setenv("XCOMPOSEFILE", previous.c_str(), 1);
   else
      unsetenv("XCOMPOSEFILE");
   return result;
}

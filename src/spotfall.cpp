// spotfall: paints the screen white, then stamps a black disc at a random
// place every 50 ms until SPACE is pressed; the frozen picture stays up
// until ESC ends the program. What the platform needs besides the library
// is behind the functions of platform.h.

#include <allegro.h>

#include <cstdlib>
#include <ctime>

#include "platform.h"

// The centre of the next disc. The names x1 and y1 also belong to the
// C library's Bessel functions, so the variables live in a scope of their own.
namespace disc {
int x1 = 0;
int y1 = 0;
}

void get_new_numbers()
{
   disc::x1 = rand() % SCREEN_W;
   disc::y1 = rand() % SCREEN_H;
}

int main()
{
   prepare_for_signals();
   watch_display();
   if (allegro_init() != 0)
      return start_up_failed("starting Allegro");
   take_over_signals();

   if (start_keyboard() != 0)
      return start_up_failed("installing the keyboard");
   keep_key_presses();

   srand((unsigned int)time(NULL));

   if (!screen_holds_picture())
      return 1;
   note_pointer_place();
   if (set_picture_mode() != 0)
      return start_up_failed("setting the 1024x768 full-screen mode");
   display_answered();
   // rest() only pauses once the timer module is in. It goes in after the
   // mode: with it in, setting the mode waits about 20 ms for the library's
   // emulated retrace.
   if (install_timer() != 0)
      return start_up_failed("installing the timer");
   if (!picture_fits_its_monitor())
      return 1;
   end_on_close_request();

   rectfill(screen, 0, 0, SCREEN_W, SCREEN_H, 15);

   while (!key[KEY_SPACE] && !told_to_end()) {
      get_new_numbers();
      circlefill(screen, disc::x1, disc::y1, 40, 0);
      rest(50);
   }

   // Nothing rests any more. Stopping the timer's thread now, rather than
   // in the library's shutdown after ESC, lets the program end at once.
   remove_timer();
   keep_esc_presses();

   while (!key[KEY_ESC] && !told_to_end()) {
   }

   if (caught_signal())
      end_by_signal(caught_signal());
   return 0;
}
END_OF_MAIN()

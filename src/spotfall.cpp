// spotfall: paints the screen white, then stamps a black disc at a random
// place every 50 ms until SPACE is pressed; the frozen picture stays up
// until ESC ends the program.

#include <allegro.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

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

// One line on stderr and a non-zero status: a report through
// allegro_message would open an X window and wait for a click.
int start_up_failed(const char *what)
{
   fprintf(stderr, "spotfall: %s failed%s%s; spotfall needs a graphical display "
                   "that offers 1024x768 (check that DISPLAY names a running X server)\n",
           what, allegro_error[0] ? ": " : "", allegro_error);
   return 1;
}

int main()
{
   if (allegro_init() != 0)
      return start_up_failed("starting Allegro");
   if (install_keyboard() != 0)
      return start_up_failed("installing the keyboard");
   // rest() only pauses once the timer module is in.
   if (install_timer() != 0)
      return start_up_failed("installing the timer");

   srand((unsigned int)time(NULL));

   if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, 1024, 768, 0, 0) != 0)
      return start_up_failed("setting the 1024x768 full-screen mode");

   rectfill(screen, 0, 0, SCREEN_W, SCREEN_H, 15);

   while (!key[KEY_SPACE]) {
      get_new_numbers();
      circlefill(screen, disc::x1, disc::y1, 40, 0);
      rest(50);
   }

   // Nothing rests any more. Stopping the timer's thread now, rather than
   // in the library's shutdown after ESC, lets the program end at once.
   remove_timer();

   while (!key[KEY_ESC]) {
   }

   return 0;
}
END_OF_MAIN()

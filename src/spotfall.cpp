// spotfall: paints the screen white, then stamps a black disc at a random
// place every 50 ms until SPACE is pressed; the frozen picture stays up
// until ESC ends the program.

#include <allegro.h>

#ifdef ALLEGRO_WITH_XWINDOWS
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#endif

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <unistd.h>

// The centre of the next disc. The names x1 and y1 also belong to the
// C library's Bessel functions, so the variables live in a scope of their own.
namespace disc {
int x1 = 0;
int y1 = 0;
}

// The signal that asked the program to end, or 0. The handler only records
// it: the library's shutdown talks to the X server, which is not safe inside
// a handler, so both loops end on it and the shutdown runs in main.
volatile sig_atomic_t caught_signal = 0;

// Signals that were ignored when the program started (a shell starts a
// background job with SIGINT and SIGQUIT ignored); they stay ignored.
sigset_t ignored_signals;

void get_new_numbers()
{
   disc::x1 = rand() % SCREEN_W;
   disc::y1 = rand() % SCREEN_H;
}

void record_signal(int number)
{
   caught_signal = number;
}

void note_if_ignored(int number)
{
   struct sigaction current;
   if (sigaction(number, NULL, &current) == 0 && current.sa_handler == SIG_IGN)
      sigaddset(&ignored_signals, number);
}

// allegro_init puts in handlers of its own for SIGINT, SIGTERM and SIGQUIT,
// which shut the library down inside the handler and then let the program
// run on without a screen; and none for SIGHUP, which leaves the display
// switched to 1024x768 when the terminal closes.
void take_over_signal(int number)
{
   struct sigaction action;
   memset(&action, 0, sizeof action);
   action.sa_handler = sigismember(&ignored_signals, number) ? SIG_IGN : record_signal;
   sigemptyset(&action.sa_mask);
   sigaction(number, &action, NULL);
}

// Gives the display back, then ends the process by the signal it was sent,
// so that whoever started the program sees how it ended.
void end_by_signal(int number)
{
   allegro_exit();
   signal(number, SIG_DFL);
   raise(number);
   _exit(128 + number);
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

// On a Wayland desktop the X server is Xwayland, and the compositor gives
// the keyboard only to windows it manages: never to the library's
// full-screen window, whatever X grab the library takes. The picture would
// cover the screen while SPACE and ESC went to a hidden window. Xwayland
// names its outputs XWAYLAND0, XWAYLAND1 and so on.
bool display_is_xwayland()
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

int main()
{
   sigemptyset(&ignored_signals);
   note_if_ignored(SIGHUP);
   note_if_ignored(SIGINT);
   note_if_ignored(SIGQUIT);
   note_if_ignored(SIGTERM);

   if (allegro_init() != 0)
      return start_up_failed("starting Allegro");
   take_over_signal(SIGHUP);
   take_over_signal(SIGINT);
   take_over_signal(SIGQUIT);
   take_over_signal(SIGTERM);

   if (install_keyboard() != 0)
      return start_up_failed("installing the keyboard");
   // rest() only pauses once the timer module is in.
   if (install_timer() != 0)
      return start_up_failed("installing the timer");

   srand((unsigned int)time(NULL));

   if (display_is_xwayland()) {
      fprintf(stderr, "spotfall: this display is Xwayland (a Wayland desktop), where SPACE "
                      "and ESC cannot reach a full-screen X program; run spotfall in an "
                      "X11 session\n");
      return 1;
   }

   // A smaller screen gets no 1024x768 mode: the library would still set
   // one and show only its middle, or fail to switch and abort. Asked
   // before set_gfx_mode, this is the desktop the user has.
   int desktop_w, desktop_h;
   if (get_desktop_resolution(&desktop_w, &desktop_h) == 0 &&
       (desktop_w < 1024 || desktop_h < 768)) {
      fprintf(stderr, "spotfall: the screen is %dx%d, smaller than the 1024x768 spotfall "
                      "needs; run it on a display of at least 1024x768\n",
              desktop_w, desktop_h);
      return 1;
   }

   if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, 1024, 768, 0, 0) != 0)
      return start_up_failed("setting the 1024x768 full-screen mode");

   rectfill(screen, 0, 0, SCREEN_W, SCREEN_H, 15);

   while (!key[KEY_SPACE] && !caught_signal) {
      get_new_numbers();
      circlefill(screen, disc::x1, disc::y1, 40, 0);
      rest(50);
   }

   // Nothing rests any more. Stopping the timer's thread now, rather than
   // in the library's shutdown after ESC, lets the program end at once.
   remove_timer();

   while (!key[KEY_ESC] && !caught_signal) {
   }

   if (caught_signal)
      end_by_signal(caught_signal);
   return 0;
}
END_OF_MAIN()

// The X display can go away under the program, or never answer at all.
//
// Lost: Xlib's default for a broken connection calls exit() on whichever
// thread noticed it, often the library's input thread; the exit handlers
// then shut the library down against the dead server while main still
// draws, and the crash that follows ends in an abort. Instead, the program
// says which display was lost and ends at once with status 1. Xlib's I/O
// error handler is one for the whole process, so it covers every connection
// the program or the library opens.
//
// Silent: a display that takes the connection and never replies (a remote
// display over a stalled link) would keep the start-up waiting forever.
// While the program starts, a watch notices main standing still: if main
// has used no processor time for ten seconds while start-up is not done,
// it is waiting on a display that does not answer, and the program says so
// and ends with status 1. Processor time rather than the clock, so that a
// slow start (under valgrind, on a loaded machine) is not taken for one.

#include "platform.h"
#include "signals.h"

#include <allegro.h>

#ifdef ALLEGRO_WITH_XWINDOWS
#include <X11/Xlib.h>
#endif

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// How long main may stand still while starting, and how little processor
// time counts as standing still.
static const int silent_display_seconds = 10;
static const long standing_still_ns = 20 * 1000 * 1000;

static pthread_mutex_t start_up_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t start_up_done_changed = PTHREAD_COND_INITIALIZER;
static bool start_up_done = false;
static clockid_t main_thread_clock;

// One line on stderr, written at once and without the C library's buffers,
// which another thread may hold.
static void say(const char *text)
{
   ssize_t written = write(STDERR_FILENO, text, strlen(text));
   (void)written;
}

static const char *display_name()
{
   const char *name = getenv("DISPLAY");
   return name && *name ? name : "(none)";
}

#ifdef ALLEGRO_WITH_XWINDOWS
static int end_on_lost_display(Display *display)
{
   char line[512];
   snprintf(line, sizeof line,
            "spotfall: the connection to the X display %s was lost (its server ended or the "
            "link broke); start spotfall again once the display is back\n",
            display ? DisplayString(display) : display_name());
   say(line);
   _exit(1);
   return 0;
}
#endif

// -1 where the clock cannot be read: then nothing is judged.
static long long main_thread_ns()
{
   struct timespec used;
   if (clock_gettime(main_thread_clock, &used) != 0)
      return -1;
   return (long long)used.tv_sec * 1000000000LL + used.tv_nsec;
}

// Once a second, main's processor time; when it has not grown in the last
// ten seconds and start-up is not done, the display is silent.
static void *watch_start_up(void *)
{
   long long used[silent_display_seconds + 1] = {};
   int samples = 0;
   pthread_mutex_lock(&start_up_lock);
   while (!start_up_done) {
      const int window = silent_display_seconds + 1;
      used[samples % window] = main_thread_ns();
      samples++;
      const long long now = used[(samples - 1) % window], then = used[samples % window];
      if (samples > silent_display_seconds && now >= 0 && then >= 0 &&
          now - then < standing_still_ns) {
         char line[512];
         snprintf(line, sizeof line,
                  "spotfall: the X display %s did not answer for %d seconds; check that "
                  "DISPLAY names a running X server and that the link to it works\n",
                  display_name(), silent_display_seconds);
         say(line);
         _exit(1);
      }
      struct timespec next;
      clock_gettime(CLOCK_REALTIME, &next);
      next.tv_sec += 1;
      while (!start_up_done &&
             pthread_cond_timedwait(&start_up_done_changed, &start_up_lock, &next) == 0) {
      }
   }
   pthread_mutex_unlock(&start_up_lock);
   return NULL;
}

void watch_display()
{
#ifdef ALLEGRO_WITH_XWINDOWS
   XSetIOErrorHandler(end_on_lost_display);
#endif
   if (pthread_getcpuclockid(pthread_self(), &main_thread_clock) != 0)
      return;
   pthread_t watch;
   if (start_thread(&watch, watch_start_up, NULL))
      pthread_detach(watch);
}

void display_answered()
{
   pthread_mutex_lock(&start_up_lock);
   start_up_done = true;
   pthread_cond_signal(&start_up_done_changed);
   pthread_mutex_unlock(&start_up_lock);
}

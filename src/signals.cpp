// The signals that end the program: a closed terminal (SIGHUP), Ctrl+C
// (SIGINT), SIGQUIT, SIGTERM and every other catchable signal whose default
// is to end the process must give the display back before the program ends,
// and must end it by that same signal, so that whoever started it sees how
// it ended. allegro_init puts in handlers of its own for SIGINT, SIGTERM and
// SIGQUIT, which shut the library down inside the handler (and abort or
// crash when the signal lands while the library is busy with the X server),
// and none for the others, which would leave the display switched to
// 1024x768. So the ending signals are blocked before allegro_init (the
// library's threads inherit the mask and never take them), the program's
// own handlers go in right after it, and only then are they let through.

#include "platform.h"
#include "signals.h"

#include <allegro.h>

#include <csignal>
#include <cstring>

#include <unistd.h>

// The signal that asked the program to end, or 0. The handler only records
// it: the library's shutdown talks to the X server, which is not safe inside
// a handler, so the loops end on it and the shutdown runs in main.
static volatile sig_atomic_t recorded_signal = 0;

// Signals that were ignored when the program started (a shell starts a
// background job with SIGINT and SIGQUIT ignored); they stay ignored.
static sigset_t ignored_signals;

// The ending signals: held back from before allegro_init until the
// program's handlers are in, and never taken by the program's own threads.
static sigset_t held_signals;

static const int ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE, SIGALRM,
                                     SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

static void record_signal(int number)
{
   recorded_signal = number;
}

void prepare_for_signals()
{
   sigemptyset(&ignored_signals);
   sigemptyset(&held_signals);
   for (int number : ending_signals) {
      sigaddset(&held_signals, number);
      struct sigaction current;
      if (sigaction(number, NULL, &current) == 0 && current.sa_handler == SIG_IGN)
         sigaddset(&ignored_signals, number);
   }
   sigprocmask(SIG_BLOCK, &held_signals, NULL);
}

void take_over_signals()
{
   for (int number : ending_signals) {
      struct sigaction action;
      memset(&action, 0, sizeof action);
      action.sa_handler = sigismember(&ignored_signals, number) ? SIG_IGN : record_signal;
      sigemptyset(&action.sa_mask);
      sigaction(number, &action, NULL);
   }
   // A signal that came while they were held is handled now, by the program.
   sigprocmask(SIG_UNBLOCK, &held_signals, NULL);
}

bool start_thread(pthread_t *thread, void *(*routine)(void *), void *argument)
{
   sigset_t previous;
   pthread_sigmask(SIG_BLOCK, &held_signals, &previous);
   const bool started = pthread_create(thread, NULL, routine, argument) == 0;
   pthread_sigmask(SIG_SETMASK, &previous, NULL);
   return started;
}

int caught_signal()
{
   return recorded_signal;
}

void end_by_signal(int number)
{
   allegro_exit();
   signal(number, SIG_DFL);
   sigset_t just_this;
   sigemptyset(&just_this);
   sigaddset(&just_this, number);
   sigprocmask(SIG_UNBLOCK, &just_this, NULL);
   raise(number);
   _exit(128 + number);
}

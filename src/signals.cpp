// The signals that end the program: a closed terminal (SIGHUP), Ctrl+C
// (SIGINT), SIGQUIT and SIGTERM must give the display back before the
// program ends, and must end it by that same signal, so that whoever
// started it sees how it ended. allegro_init puts in handlers of its own
// for SIGINT, SIGTERM and SIGQUIT, which shut the library down inside the
// handler and then let the program run on without a screen, and none for
// SIGHUP, which would leave the display switched to 1024x768.

#include "platform.h"

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

static const int ending_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

static void record_signal(int number)
{
   recorded_signal = number;
}

void prepare_for_signals()
{
   sigemptyset(&ignored_signals);
   for (int number : ending_signals) {
      struct sigaction current;
      if (sigaction(number, NULL, &current) == 0 && current.sa_handler == SIG_IGN)
         sigaddset(&ignored_signals, number);
   }
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
}

int caught_signal()
{
   return recorded_signal;
}

void end_by_signal(int number)
{
   allegro_exit();
   signal(number, SIG_DFL);
   raise(number);
   _exit(128 + number);
}

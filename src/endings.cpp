// Besides ESC, a program on a desktop can be told to end by the desktop
// itself: its close button, Alt+F4, or a close from the overview send the
// window a close request, which the library passes on to a callback. The
// program ends then at once with status 0, as after ESC. A signal
// (signals.cpp) ends it too, by that signal.

#include "platform.h"

#include <allegro.h>

#include <csignal>

// Set by the library's input thread; the loops only read it.
static volatile sig_atomic_t close_requested = 0;

static void note_close_request()
{
   close_requested = 1;
}

void end_on_close_request()
{
   set_close_button_callback(note_close_request);
}

bool told_to_end()
{
   return close_requested || caught_signal() != 0;
}

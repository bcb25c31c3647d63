// What main needs besides the library, each piece in a file of its own:
// the signals that end the program (signals.cpp), a display that is lost or
// does not answer (display_watch.cpp), key presses read late
// (key_presses.cpp), the desktop's close
// request (endings.cpp), the check that the screen holds the picture
// (screen.cpp), the mode the picture is shown in (picture_mode.cpp), the
// pointer put back where it was (pointer.cpp) and how a failed start is
// reported (failure.cpp).
#pragma once

// Before allegro_init: notes which ending signals were ignored at start,
// and holds the others back until the program's own handlers are in.
void prepare_for_signals();
// After allegro_init: the program's own handlers replace the library's, and
// the signals held back reach them.
void take_over_signals();
// The signal that asked the program to end, or 0.
int caught_signal();
// Gives the display back, then ends the process by the signal it caught.
void end_by_signal(int number);

// Before allegro_init: a lost display ends the program with one line and
// status 1, and so does a display that does not answer while it starts.
void watch_display();
// Once the mode is set: the display has answered.
void display_answered();

// The library's keyboard, installed as install_keyboard does; 0 on success.
int start_keyboard();
// After start_keyboard: a SPACE or ESC press that the library reads late,
// on a loaded machine, is still shown in `key` for as long as it was held,
// and SPACE held for longer than one pause stays down until it is seen.
void keep_key_presses();
// Once the picture is frozen: an ESC press stays down until it is seen.
void keep_esc_presses();

// From the mode on: the desktop's request to close the window ends the
// program as ESC would.
void end_on_close_request();
// Whether a signal or the desktop has asked the program to end.
bool told_to_end();

// Whether the screen holds the whole 1024x768 picture; if not, says why
// on stderr.
bool screen_holds_picture();

// Before the mode is set: notes where the mouse pointer is, and has the
// library's shutdown put it back there once it has given the display back.
void note_pointer_place();

// Sets the 1024x768 mode the picture is drawn in, full screen; 0 on success.
int set_picture_mode();
// Whether the monitor the picture landed on holds it whole; if not, says
// why on stderr.
bool picture_fits_its_monitor();

// Says on stderr what failed and what to do; returns the exit status.
int start_up_failed(const char *what);

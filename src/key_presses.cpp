// The library keeps `key` current from a thread of its own that reads the
// X server's events every 10 ms. On a loaded machine that thread can be
// held up for longer than a key is held: a press and its release then reach
// it together, `key` shows the key down for a few microseconds, and main,
// which looks once per pause while drawing, never sees it. So SPACE or ESC
// held for two pauses could be lost, and ESC on the frozen picture too.
//
// The events carry the X server's own time. Each SPACE and ESC press is
// shown in `key` for as long as it was really held, counted from the moment
// the library read it: a press read late is shown late, never shorter. A
// tap shorter than one pause may still pass unseen while drawing, as on an
// idle machine, and ESC while drawing still shows only as long as it was
// held, so it still does nothing on its own. Main itself may be kept off
// the processor on a loaded machine for longer than a press lasts, so two
// presses are kept until they have done their work: SPACE held for longer
// than one pause stays down until the picture is frozen (SPACE does nothing
// after that), and once the picture is frozen an ESC press stays down (it
// ends the program).
//
// The library hands the reading of events to a handler that a program may
// set (_xwin_input_handler); this one notes the times of the SPACE and ESC
// events waiting, lets the library read them as it always does, and then
// keeps a press that was read late shown for its full length.

#include "platform.h"

#include <allegro.h>

#ifdef ALLEGRO_WITH_XWINDOWS
#include <xalleg.h>
#endif

#include <time.h>

#include <csignal>
#include <cstdint>

#ifdef ALLEGRO_WITH_XWINDOWS

// The keys whose presses must not be lost, and what is known of each.
struct kept_key {
   int scancode;                // in `key`
   unsigned int keycode;        // the X server's
   bool time_known;             // whether press_time is the press's server time
   uint32_t press_time;         // server time of the press, in ms
   long long shown_since_ms;    // when `key` began to show the press
   long long show_until_ms;     // a release read early: keep showing it until then (0: no)
};

static kept_key kept_keys[] = {
   {KEY_SPACE, 0, false, 0, 0, 0},
   {KEY_ESC, 0, false, 0, 0, 0},
};
static kept_key &kept_space = kept_keys[0];
static kept_key &kept_esc = kept_keys[1];

// The pause between looks at SPACE: a press longer than that must be seen.
static const long long pause_ms = 50;
// A show_until_ms that never comes.
static const long long until_seen = 1LL << 62;
// Set once the picture is frozen; read by the library's input thread.
static volatile sig_atomic_t frozen = 0;

// Server times of the SPACE and ESC events waiting in the queue, in order,
// noted before the library reads them.
struct noted_event {
   unsigned int keycode;
   bool pressed;
   uint32_t time;
};
static noted_event noted[256];
static int noted_count = 0, noted_taken = 0;

static long long now_ms()
{
   struct timespec now;
   clock_gettime(CLOCK_MONOTONIC, &now);
   return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static kept_key *kept_key_for(unsigned int keycode)
{
   for (kept_key &kept : kept_keys)
      if (kept.keycode != 0 && kept.keycode == keycode)
         return &kept;
   return NULL;
}

// Called for every event in the queue; takes none of them.
static Bool note_key_event(Display *, XEvent *event, XPointer)
{
   if ((event->type == KeyPress || event->type == KeyRelease) &&
       kept_key_for(event->xkey.keycode) && noted_count < 256) {
      noted[noted_count].keycode = event->xkey.keycode;
      noted[noted_count].pressed = event->type == KeyPress;
      noted[noted_count].time = (uint32_t)event->xkey.time;
      noted_count++;
   }
   return False;
}

// The server time of the event the library reads now, from the notes (the
// library passes over a release that an auto-repeated press follows at
// once, so notes without a match are skipped).
static bool noted_time(unsigned int keycode, bool pressed, uint32_t *time)
{
   while (noted_taken < noted_count) {
      const noted_event &event = noted[noted_taken++];
      if (event.keycode == keycode && event.pressed == pressed) {
         *time = event.time;
         return true;
      }
   }
   return false;
}

// Called by the library for each key event it reads, before `key` changes.
static void on_key_event(int pressed, int keycode)
{
   kept_key *kept = kept_key_for((unsigned int)keycode);
   if (!kept)
      return;
   uint32_t time = 0;
   bool time_known = noted_time((unsigned int)keycode, pressed != 0, &time);
   long long now = now_ms();
   if (pressed) {
      kept->time_known = time_known;
      kept->press_time = time;
      kept->shown_since_ms = now;
      kept->show_until_ms = 0;
   } else if (kept == &kept_esc && frozen) {
      kept->show_until_ms = until_seen;
   } else if (kept->time_known && time_known) {
      long long held_ms = (uint32_t)(time - kept->press_time);
      if (kept == &kept_space && held_ms > pause_ms && !frozen)
         kept->show_until_ms = until_seen;
      else if (now - kept->shown_since_ms < held_ms)
         kept->show_until_ms = kept->shown_since_ms + held_ms;
   } else if (kept == &kept_space && !frozen && now - kept->shown_since_ms <= pause_ms) {
      // The library read these events before they could be noted (they
      // came in between), so how long SPACE was held is not known: rather
      // than lose a long press, it is kept, and a short tap may be seen.
      kept->show_until_ms = until_seen;
   }
   if (!pressed)
      kept->time_known = false;
}

// Runs on the library's input thread, with the library's X lock held.
static void read_input_keeping_presses()
{
   Display *display = _xwin.display;
   if (!display)
      return;
   // Looking through the queue also reads what has arrived on the
   // connection, with no round trip to the server (one every 10 ms would
   // double what drawing costs).
   noted_count = noted_taken = 0;
   XEvent unused;
   XCheckIfEvent(display, &unused, note_key_event, NULL);
   _xwin_private_handle_input();

   long long now = now_ms();
   // SPACE has done its work once the picture is frozen.
   if (frozen && kept_space.show_until_ms == until_seen)
      kept_space.show_until_ms = now;
   for (kept_key &kept : kept_keys) {
      if (!kept.show_until_ms)
         continue;
      if (now < kept.show_until_ms) {
         key[kept.scancode] = -1;
      } else {
         key[kept.scancode] = 0;
         kept.show_until_ms = 0;
      }
   }
}

void keep_key_presses()
{
   if (!system_driver || system_driver->id != SYSTEM_XWINDOWS || !_xwin.display)
      return;
   XLOCK();
   kept_keys[0].keycode = XKeysymToKeycode(_xwin.display, XK_space);
   kept_keys[1].keycode = XKeysymToKeycode(_xwin.display, XK_Escape);
   _xwin_keyboard_callback = on_key_event;
   _xwin_input_handler = read_input_keeping_presses;
   XUNLOCK();
}

void keep_esc_presses()
{
   frozen = 1;
}

#else

void keep_key_presses()
{
}

void keep_esc_presses()
{
}

#endif

// Preloaded into the program by the signal storm: raises the signal named
// by SPOTFALL_RAISE_SIGNAL just before the first XOpenDisplay, the one that
// allegro_init makes, so that the signal lands at that exact moment of the
// start-up rather than wherever a timer happens to hit.
#include <X11/Xlib.h>

#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>

extern "C" Display* XOpenDisplay(const char* name)
{
    using Open = Display* (*)(const char*);
    static std::atomic<bool> raised{false};
    static Open real_open = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "XOpenDisplay"));
    if (!raised.exchange(true))
        if (const char* number = std::getenv("SPOTFALL_RAISE_SIGNAL"))
            raise(std::atoi(number));
    return real_open(name);
}

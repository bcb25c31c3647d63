// Starting an installed program the way a desktop's menu does: by the ID of
// its desktop entry, looked up in XDG_DATA_DIRS, with the entry's Exec line
// run by GLib's launcher, as GNOME Shell and other GLib-based desktops do.
#pragma once

#include "process.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// While it lives, this process is a subreaper: a process that its children
// start and leave behind becomes its child, and can be waited for.
class Subreaper {
public:
    Subreaper();
    ~Subreaper();
    Subreaper(const Subreaper&) = delete;
    Subreaper& operator=(const Subreaper&) = delete;

private:
    int before_ = 0;
};

struct MenuLaunch {
    std::string desktop_id;  // such as "org.example.app.desktop" (".desktop" may be left off)
    std::string data_dir;    // the install's share/ folder, which XDG_DATA_DIRS then names alone
    std::string program;     // the installed program that the entry's Exec line runs
    // The desktop's environment for its programs (DISPLAY and the like).
    std::vector<std::pair<std::string, std::string>> env;
};

// Launches the entry with gtk-launch, waits for gtk-launch to end with
// success, and returns the program it started, which has then become a
// child of this process. The program's stderr is captured (it writes where
// gtk-launch does, as on a desktop it writes where the desktop does: to
// the journal or ~/.xsession-errors).
std::unique_ptr<ChildProcess> launch_from_menu(const MenuLaunch& launch, Millis limit = Millis(15000));

}  // namespace harness

// GNOME Shell as its users meet it on Wayland, run headless on mutter's
// native backend with virtual monitors, as one of the harness's Wayland
// desktops (server.hpp), and its Seat: keys typed through its
// remote-desktop interface (the same path as a real keyboard's events
// inside mutter) and pictures taken through its screenshot interface, both
// on D-Bus.
//
// gnome-shell runs in private mount and PID namespaces: there /run/systemd
// is hidden (gnome-shell 43 insists on logind where /run/systemd/seats
// exists, and there is no logind session for it here), /tmp is its own, so
// its Xwayland's lock and socket files cannot clash with any other X server
// on the machine, and everything it starts (Xwayland, its D-Bus buses and
// the services they activate) ends when it ends. Xwayland still listens on
// its abstract socket, which the namespaces do not hide, and the runtime
// folder (Wayland socket, buses, Xwayland's cookie) is shared with the
// harness.
#pragma once

#include "picture.hpp"
#include "process.hpp"
#include "seat.hpp"
#include "server.hpp"

#include <memory>
#include <string>
#include <vector>

struct sd_bus;

namespace harness {

struct GnomeShellOptions {
    // One virtual monitor per entry, "WIDTHxHEIGHT", laid out left to right.
    std::vector<std::string> monitors = {"1920x1080"};
    // Folders put before the usual data folders (XDG_DATA_DIRS) of the
    // shell and of the programs run in its session, for desktop entries.
    std::vector<std::string> data_dirs;
    // More of its settings, as keyfile groups ("[org/gnome/mutter]\n...").
    std::string settings;
};

// A client connection to a D-Bus bus, closed when it goes away. Every call
// is bounded and throws with what failed.
class BusConnection {
public:
    explicit BusConnection(const std::string& address);
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    sd_bus* handle() { return bus_; }
    // Whether some client owns `name` now.
    bool has_owner(const std::string& name);
    // Owns `name`, or throws if another client holds it.
    void own(const std::string& name);
    void release(const std::string& name);
    // A boolean property of an object.
    bool boolean_property(const std::string& service, const std::string& path,
                          const std::string& interface, const std::string& property);
    void set_boolean_property(const std::string& service, const std::string& path,
                              const std::string& interface, const std::string& property,
                              bool value);

private:
    sd_bus* bus_ = nullptr;
};

class GnomeShellDesktop;

// GNOME Shell's own keyboard and output. Keys go through one
// remote-desktop session kept for the seat's life (mutter ends a session
// with its creator's connection); pictures come from the screenshot
// interface, which answers only callers that own one of a few bus names.
// Which names it trusts changes between releases (GNOME 50 no longer
// trusts the screenshot tool's, which 43 and 48 did): the seat owns each
// candidate in turn until the running shell takes a screenshot for it. One
// seat per desktop, which the desktop keeps.
class GnomeSeat : public Seat {
public:
    explicit GnomeSeat(GnomeShellDesktop& desktop);
    ~GnomeSeat() override;

    Picture grab() override;
    Picture grab(int left, int top, int width, int height) override;
    int screen_width() override;
    int screen_height() override;
    void press(Key key) override;
    void release(Key key) override;

    // Any key by its X keysym (X11/keysym.h).
    void press_keysym(unsigned keysym);
    void release_keysym(unsigned keysym);
    // A key combination, such as Alt+F4: pressed in order, held for
    // `hold`, let go in the reverse order.
    void type(const std::vector<unsigned>& keysyms, Millis hold = Millis(150));
    // The bus name the shell takes screenshots for.
    const std::string& screenshot_caller() const { return caller_; }

private:
    // The whole stage, or the area given as left, top, width, height.
    Picture screenshot(const int* area);
    void notify_keysym(unsigned keysym, bool down);
    void choose_screenshot_caller();

    GnomeShellDesktop& desktop_;
    BusConnection bus_;
    std::string session_path_;
    std::string folder_;  // for the screenshots, in the shared runtime folder
    std::string caller_;
    unsigned shots_ = 0;
};

// GNOME Shell as one of the harness's Wayland desktops: X programs on its
// Xwayland, its seat typing through RemoteDesktop and reading its
// Screenshot interface, its outputs the virtual monitors where the shell
// put them (as its Xwayland's RandR monitors say), left to right.
class GnomeShellDesktop : public WaylandDesktop {
public:
    explicit GnomeShellDesktop(GnomeShellOptions options = {});
    ~GnomeShellDesktop() override;

    // What it needs on the PATH, with the terminal the tests focus first.
    static std::vector<std::string> programs()
    {
        return {"gnome-shell", "Xwayland", "dbus-daemon", "unshare", "mount", "weston-terminal"};
    }

    std::vector<std::pair<std::string, std::string>> x_client_env() const override;
    // Kills gnome-shell at once; everything it started goes with it.
    void kill_now() override;
    bool running() override;
    GnomeSeat& seat() override { return *seat_; }
    std::vector<ScreenArea> outputs() const override { return outputs_; }
    // Options that run a program in the session, as one started from the
    // desktop: a Wayland client, an X client, or a D-Bus client of its
    // session bus, with its data folders (XDG_DATA_DIRS, which a caller
    // may extend before spawning).
    SpawnOptions wayland_client(std::vector<std::string> argv) const override;

    const std::string& session_bus_address() const { return session_bus_; }
    // The runtime folder, shared with the shell: files it must read or
    // write (screenshots) go here, as its /tmp is its own.
    const std::string& runtime_dir() const { return runtime_.path(); }
    // What gnome-shell, Xwayland and the buses have said so far.
    std::string log() const;
    // The whole stage (every monitor), which is also Xwayland's screen.
    int width() const { return width_; }
    int height() const { return height_; }
    // How long the start took, from exec to a desktop ready for keys.
    Millis start_time() const { return start_time_; }
    // The overview (Super shows and hides it).
    bool overview_shown();

private:
    void start(const GnomeShellOptions& options);
    void end();
    pid_t shell_pid();

    TempDir runtime_{"spotfall-gnome"};
    std::string session_bus_;
    std::string xauthority_;
    std::string data_dirs_;
    std::unique_ptr<ChildProcess> namespace_;  // unshare, whose one child is gnome-shell
    std::unique_ptr<BusConnection> bus_;
    std::unique_ptr<GnomeSeat> seat_;
    std::vector<ScreenArea> outputs_;
    int width_ = 0, height_ = 0;
    Millis start_time_{0};
};

}  // namespace harness

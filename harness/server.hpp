// Private display servers for the tests, one shape for every kind: started
// as children of the harness, waited for (with a bound) until they answer,
// and ended with SIGTERM, a bounded wait and then SIGKILL, so that they
// clean up after themselves and nothing is left running.
//
// - XvfbServer: a virtual screen of a fixed size; no mode switching.
// - XorgServer: Xorg with the dummy video driver, which really switches
//   video modes (XFree86-VidMode), as a desktop's X server does.
// - WestonDesktop, KwinDesktop, SwayDesktop, CageDesktop, LabwcDesktop: a Wayland
//   compositor on an Xvfb of its own, running X programs through Xwayland,
//   as a Wayland desktop does.
//
// Nested mutter is not among them: mutter 43.8's nested backend has no
// set_pointer_constraint, so any X client whose pointer grab is confined to
// a window crashes it (a call through a null pointer). GNOME runs on
// mutter's native backend, which has no such hole, so nested mutter is no
// stand-in for GNOME.
#pragma once

#include "display.hpp"
#include "process.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace harness {

class DisplayServer {
public:
    virtual ~DisplayServer() = default;
    DisplayServer(const DisplayServer&) = delete;
    DisplayServer& operator=(const DisplayServer&) = delete;

    // The X display that programs under test connect to.
    const std::string& display() const { return display_; }
    // Environment for an X client of this display (DISPLAY, and XAUTHORITY
    // where the server wants a cookie).
    virtual std::vector<std::pair<std::string, std::string>> x_client_env() const
    {
        return {{"DISPLAY", display_}};
    }
    // The cookie file of x_client_env(), or "" where the server wants none.
    std::string xauthority() const
    {
        for (const auto& [name, value] : x_client_env())
            if (name == "XAUTHORITY")
                return value;
        return "";
    }
    // Ends the server at once, as when a display is lost.
    virtual void kill_now() = 0;

protected:
    DisplayServer() = default;
    std::string display_;
};

// A folder of its own under /tmp, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// An X server run as a child process and found through -displayfd. With
// SPOTFALL_FIRST_DISPLAY=N set, display numbers are tried from N upwards
// (on a shared machine, to keep clear of other users' displays); otherwise
// the server takes the first free one.
class XServerProcess : public DisplayServer {
public:
    ~XServerProcess() override;
    void kill_now() override { process_->kill_now(); }

protected:
    // `name` is for messages; `argv` is the server's command without a
    // display number or -displayfd.
    void start(const std::string& name, const std::vector<std::string>& argv);
    void end();

private:
    bool try_start(const std::string& name, std::vector<std::string> argv, int number);
    std::unique_ptr<ChildProcess> process_;
};

struct XvfbOptions {
    int width = 1024;
    int height = 768;
    int depth = 24;
};

class XvfbServer : public XServerProcess {
public:
    explicit XvfbServer(XvfbOptions options = {});
};

struct XorgOptions {
    // The video modes the server offers; it starts in the first.
    std::vector<std::string> modes = {"1920x1080", "1280x1024", "1024x768", "800x600"};
};

class XorgServer : public XServerProcess {
public:
    explicit XorgServer(XorgOptions options = {});
    ~XorgServer() override;

private:
    TempDir files_{"spotfall-xorg"};
};

// Whether the programs named are on the PATH.
bool installed(const std::vector<std::string>& programs);

// A rectangle of a screen.
struct ScreenArea {
    int left = 0, top = 0, width = 0, height = 0;
};

// A Wayland desktop that runs X programs through Xwayland: the X display
// they connect to (display(), x_client_env()), the keyboard and screen its
// user has (seat()), and native Wayland clients started on it, such as a
// terminal. The harness's nested desktops are one kind; GNOME Shell on its
// own headless backend (gnome.hpp) is another.
class WaylandDesktop : public DisplayServer {
public:
    // Keys typed through the compositor's own input, pictures read from its
    // own output.
    virtual Seat& seat() = 0;
    // Where each of the compositor's outputs shows in seat()'s pictures,
    // left to right.
    virtual std::vector<ScreenArea> outputs() const = 0;
    // Options that run a native Wayland client on it.
    virtual SpawnOptions wayland_client(std::vector<std::string> argv) const = 0;
    // Whether the compositor still runs.
    virtual bool running() = 0;
    const std::string& name() const { return name_; }

protected:
    explicit WaylandDesktop(std::string name) : name_(std::move(name)) {}

private:
    std::string name_;
};

// One output of a nested compositor: its size in pixels on the outer X
// server, and the scale the compositor draws Wayland and X programs at.
// With a scale other than 1, what X programs see is up to the compositor
// (each monitor's size divided by the scale, or its own pixels).
struct NestedOutput {
    int width = 1920;
    int height = 1080;
    double scale = 1;
};

// A Wayland compositor nested on an Xvfb of its own (its X11 backend: each
// output a window there), running X programs through Xwayland. Its keyboard
// is the outer Xvfb's, so keys pressed there take the compositor's real
// path, and pictures of its outputs are read from the outer Xvfb's root
// window, where the harness lays the output windows out side by side.
//
// Each compositor runs in a mount namespace of its own with a private
// /tmp/.X11-unix, so the X displays it makes cannot clash with the
// machine's (it still takes display numbers whose lock files in /tmp and
// abstract sockets are free, and the tests reach Xwayland through the
// abstract socket); its runtime folder is a fresh folder of its own. Ending
// it ends everything it started: the compositor gets SIGTERM, and whatever
// still runs with its runtime folder in its environment (Xwayland, helper
// clients) is ended after it.
class NestedDesktop : public WaylandDesktop {
public:
    ~NestedDesktop() override;
    void kill_now() override;

    // The outer Xvfb: the compositor's windows, keyboard and screen.
    const std::string& outer_display() const { return outer_.display(); }
    Seat& seat() override { return *outer_seat_; }
    std::vector<ScreenArea> outputs() const override { return outputs_; }
    std::vector<std::pair<std::string, std::string>> x_client_env() const override;
    SpawnOptions wayland_client(std::vector<std::string> argv) const override;
    bool running() override { return compositor_ && compositor_->running(); }

protected:
    NestedDesktop(std::string name, std::vector<NestedOutput> outputs);
    // Starts the compositor and waits until `xwayland_display` (which reads
    // what the compositor wrote) names Xwayland's display and that display
    // answers with its screen the size of the outputs. `log` is what the
    // compositor said, for the message when it ends at start-up.
    void start(SpawnOptions spawn, const std::function<std::optional<std::string>()>& xwayland_display,
               const std::function<std::string()>& log);
    // Reads the environment that a start-up command of the compositor wrote
    // to the file `env_file_` ("NAME=value" lines): its DISPLAY, and its
    // WAYLAND_DISPLAY, which it keeps in wayland_display_.
    std::optional<std::string> display_from_env_file();
    // A shell command, run by the compositor at start-up, that writes that
    // file once Xwayland lets the harness's user connect.
    std::string env_file_command() const;
    const TempDir& runtime() const { return runtime_; }
    const std::vector<NestedOutput>& output_settings() const { return output_settings_; }
    // The user that compositors which refuse root run as (nobody), when the
    // harness runs as root; none otherwise.
    static std::optional<std::pair<uid_t, gid_t>> unprivileged_user();

    std::string wayland_display_;
    std::string xauthority_;  // the file Xwayland wants, where it wants one
    std::string end_first_;   // a child of the compositor to end first, which ends it
    std::string env_file_;
    std::optional<std::pair<uid_t, gid_t>> run_as_;

private:
    void lay_out_outputs();
    void end_leftovers();

    std::vector<NestedOutput> output_settings_;
    XvfbServer outer_;
    std::unique_ptr<XConnection> outer_seat_;
    TempDir runtime_{"spotfall-desktop"};
    std::unique_ptr<ChildProcess> compositor_;
    std::vector<ScreenArea> outputs_;
};

// weston with its X11 backend and Xwayland, one 1920x1080 output (drawn
// at a whole-number scale, if given).
class WestonDesktop : public NestedDesktop {
public:
    explicit WestonDesktop(int scale = 1);
    static std::vector<std::string> programs() { return {"weston", "weston-terminal", "Xwayland"}; }
};

// KDE's KWin (kwin_wayland) with its X11 windowed backend and Xwayland.
class KwinDesktop : public NestedDesktop {
public:
    // `outputs` windows of 1920x1080, drawn at `scale`; `config` are files
    // of its configuration folder, by name, with their text (such as kwinrc).
    explicit KwinDesktop(int outputs = 1, double scale = 1,
                         const std::vector<std::pair<std::string, std::string>>& config = {});
    static std::vector<std::string> programs()
    {
        return {"kwin_wayland", "weston-terminal", "Xwayland"};
    }

private:
    static std::string program(const std::string& copy_path);
};

// sway (wlroots) with its X11 backend, its pixman renderer and Xwayland,
// run as an unprivileged user: it refuses to run as root.
class SwayDesktop : public NestedDesktop {
public:
    explicit SwayDesktop(std::vector<NestedOutput> outputs = {NestedOutput{}});
    static std::vector<std::string> programs()
    {
        return {"sway", "swaymsg", "xhost", "weston-terminal", "Xwayland"};
    }
    // Runs a sway command through its IPC socket (swaymsg); true if it
    // succeeded.
    bool command(const std::string& text);

private:
    std::string ipc_socket_;
};

// cage, the kiosk compositor (wlroots), one 1920x1080 output, as sway is run.
class CageDesktop : public NestedDesktop {
public:
    CageDesktop();
    static std::vector<std::string> programs() { return {"cage", "xhost", "weston-terminal", "Xwayland"}; }
};

// labwc (wlroots; Raspberry Pi OS's desktop) with its default key
// bindings, `outputs` side by side, run as cage is.
class LabwcDesktop : public NestedDesktop {
public:
    explicit LabwcDesktop(std::vector<NestedOutput> outputs = {NestedOutput{}});
    static std::vector<std::string> programs() { return {"labwc", "weston-terminal", "Xwayland"}; }
};

}  // namespace harness

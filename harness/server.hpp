// Private display servers for the tests, one shape for every kind: started
// as children of the harness, waited for (with a bound) until they answer,
// and ended with SIGTERM, a bounded wait and then SIGKILL, so that they
// clean up after themselves and nothing is left running.
//
// - XvfbServer: a virtual screen of a fixed size; no mode switching.
// - XorgServer: Xorg with the dummy video driver, which really switches
//   video modes (XFree86-VidMode), as a desktop's X server does.
// - WestonDesktop, MutterDesktop: a Wayland compositor on an Xvfb of its
//   own, running X programs through Xwayland, as a Wayland desktop does.
#pragma once

#include "process.hpp"

#include <functional>
#include <memory>
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

// A Wayland compositor on an Xvfb of its own (1920x1080), running X
// programs through Xwayland. Its keyboard is the outer Xvfb's, so keys
// pressed there take the compositor's real path.
class NestedDesktop : public DisplayServer {
public:
    ~NestedDesktop() override;
    void kill_now() override;

    // The outer Xvfb: the compositor's window, keyboard and screen.
    const std::string& outer_display() const { return outer_.display(); }
    std::vector<std::pair<std::string, std::string>> x_client_env() const override;
    // Options that run a Wayland client (such as weston-terminal) on it.
    SpawnOptions wayland_client(std::vector<std::string> argv) const;

protected:
    NestedDesktop();
    // Starts the compositor and waits until its output (`output()`, which
    // reads its log) names Xwayland's display, as ":N" after `display_words`.
    void start(const std::string& name, SpawnOptions spawn, const std::string& display_words,
               const std::function<std::string()>& output);
    const TempDir& runtime() const { return runtime_; }
    std::string xauthority_;  // the file Xwayland wants, where it wants one
    std::string end_first_;   // a child of the wrapper started, to be ended first

private:
    XvfbServer outer_;
    TempDir runtime_{"spotfall-desktop"};
    std::unique_ptr<ChildProcess> compositor_;
};

// Whether the programs named are on the PATH.
bool installed(const std::vector<std::string>& programs);

// weston with its X11 backend and Xwayland.
class WestonDesktop : public NestedDesktop {
public:
    WestonDesktop();
};

// GNOME's mutter, nested, in a D-Bus session of its own.
class MutterDesktop : public NestedDesktop {
public:
    MutterDesktop();
};

}  // namespace harness

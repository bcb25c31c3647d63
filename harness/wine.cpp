#include "wine.hpp"

#include "process.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace harness {

WinePrefix::WinePrefix(const DisplayServer& server, const std::string& renderer)
    : display_env_(server.x_client_env()), prefix_(folder_.path() + "/prefix")
{
    try {
        // A new prefix takes some seconds; on a busy machine many more.
        run_to_end({"wineboot", "--init"}, "wineboot to make a Wine prefix in " + prefix_);
        if (!renderer.empty())
            run_to_end({"wine", "reg", "add", "HKCU\\Software\\Wine\\Direct3D", "/v",
                        "renderer", "/t", "REG_SZ", "/d", renderer, "/f"},
                       "wine reg to set the Direct3D renderer to " + renderer);
    } catch (...) {
        end();
        throw;
    }
}

void WinePrefix::run_to_end(std::vector<std::string> argv, const std::string& what)
{
    SpawnOptions spawn;
    spawn.argv = std::move(argv);
    spawn.set_env = env();
    spawn.quiet = true;
    ChildProcess child(spawn);
    ExitStatus status = child.wait(Millis(120000), what);
    if (!status.success())
        throw std::runtime_error(what + " failed: " + status.describe());
}

WinePrefix::~WinePrefix() { end(); }

void WinePrefix::end()
{
    SpawnOptions spawn;
    spawn.argv = {"wineserver", "--kill"};
    spawn.set_env = env();
    spawn.quiet = true;
    try {
        ChildProcess kill(spawn);
        kill.wait(Millis(30000), "wineserver -k to end the Wine prefix's processes");
    } catch (const std::exception&) {
        // The prefix's folder still goes; a wineserver that would not end
        // ends by itself once its clients are gone.
    }
}

std::vector<std::pair<std::string, std::string>> WinePrefix::env() const
{
    auto env = display_env_;
    env.emplace_back("WINEPREFIX", prefix_);
    env.emplace_back("WINEDEBUG", "-all");
    env.emplace_back("WINEDLLOVERRIDES", "mscoree=;mshtml=");
    return env;
}

void add_randr_mode(XConnection& x, int width, int height)
{
    Display* display = x.handle();
    Window root = DefaultRootWindow(display);
    XRRScreenResources* resources = XRRGetScreenResources(display, root);
    if (!resources)
        throw std::runtime_error("the X server " + x.display_name() + " has no RandR resources");
    // VESA's 60 Hz timings for 1024x768, stretched to the size asked for:
    // the timings only have to be consistent for the server to take them.
    std::string name = mode_name({width, height});
    XRRModeInfo mode{};
    mode.width = width;
    mode.height = height;
    mode.hSyncStart = width + 24;
    mode.hSyncEnd = width + 160;
    mode.hTotal = width + 320;
    mode.vSyncStart = height + 3;
    mode.vSyncEnd = height + 9;
    mode.vTotal = height + 38;
    mode.dotClock = (unsigned long)mode.hTotal * mode.vTotal * 60;
    mode.name = name.data();
    mode.nameLength = name.size();
    RRMode id = XRRCreateMode(display, root, &mode);
    for (int i = 0; i < resources->noutput; ++i)
        XRRAddOutputMode(display, resources->outputs[i], id);
    XRRFreeScreenResources(resources);
    XSync(display, False);
    x.check();
}

std::pair<int, int> randr_mode(XConnection& x)
{
    Display* display = x.handle();
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    std::pair<int, int> size{0, 0};
    for (int i = 0; resources && i < resources->ncrtc && size.first == 0; ++i) {
        XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[i]);
        if (crtc && crtc->mode != None)
            size = {int(crtc->width), int(crtc->height)};
        if (crtc)
            XRRFreeCrtcInfo(crtc);
    }
    if (resources)
        XRRFreeScreenResources(resources);
    x.check();
    return size;
}

std::string mode_name(std::pair<int, int> size)
{
    return std::to_string(size.first) + "x" + std::to_string(size.second);
}

void type_chord(XConnection& x, const std::vector<unsigned long>& keysyms)
{
    std::vector<unsigned> keycodes;
    for (unsigned long keysym : keysyms) {
        unsigned keycode = XKeysymToKeycode(x.handle(), keysym);
        if (keycode == 0)
            throw std::runtime_error("the X server " + x.display_name() + " has no key for " +
                                     XKeysymToString(keysym));
        keycodes.push_back(keycode);
    }
    for (unsigned keycode : keycodes) {
        x.send_keycode(keycode, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    // Held long enough to be seen by a program that looks every 50 ms.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    for (auto it = keycodes.rbegin(); it != keycodes.rend(); ++it)
        x.send_keycode(*it, false);
}

}  // namespace harness

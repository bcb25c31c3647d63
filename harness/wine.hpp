// Wine, for the tests of the Windows build: a Wine prefix of the test's
// own, and the RandR modes Wine switches between on an X server.
#pragma once

#include "display.hpp"
#include "server.hpp"

#include <string>
#include <utility>
#include <vector>

namespace harness {

// A private Wine prefix in a folder of its own, made (wineboot) on the
// display given, so that Wine sees that display's modes. Ending it ends
// its wineserver and every Wine process on it (wineserver -k), then
// removes the folder: nothing of Wine is left running or on disk.
// `renderer` names the renderer of Wine's DirectDraw ("gl" or "gdi");
// empty leaves Wine's own choice.
class WinePrefix {
public:
    explicit WinePrefix(const DisplayServer& server, const std::string& renderer = "");
    ~WinePrefix();
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    // Environment for a Wine program on this prefix: quiet, no Mono or
    // Gecko installers.
    std::vector<std::pair<std::string, std::string>> env() const;
    // Runs a Windows program's .exe through Wine.
    std::vector<std::string> command(const std::string& exe) const { return {"wine", exe}; }

private:
    void run_to_end(std::vector<std::string> argv, const std::string& what);
    void end();
    std::vector<std::pair<std::string, std::string>> display_env_;
    TempDir folder_{"spotfall-wine"};
    std::string prefix_;
};

// Adds a WIDTHxHEIGHT mode at 60 Hz to every output of the X server
// (RandR), as a monitor's modes would be there.
void add_randr_mode(XConnection& x, int width, int height);
// The size of the mode the screen shows now (RandR's first active CRTC).
std::pair<int, int> randr_mode(XConnection& x);
// "WIDTHxHEIGHT"
std::string mode_name(std::pair<int, int> size);

// Types the keys named by X keysyms together, as a chord (such as Alt+F4):
// each pressed in turn, held, then let go in reverse order.
void type_chord(XConnection& x, const std::vector<unsigned long>& keysyms);

}  // namespace harness

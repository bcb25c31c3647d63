// spotfall-snapshot: runs spotfall on a private X server for a few seconds,
// presses SPACE, saves the frozen picture as a PNG, presses ESC, and checks
// that the program ended with status 0. For machines without a display.
#include "numbers.hpp"
#include "run.hpp"

#include <cstdio>
#include <cstring>
#include <string>

using namespace harness;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: spotfall-snapshot [--seconds N] [--out FILE.png]\n");
    return 2;
}

int bad_value(const char* option, const char* wanted, const char* given)
{
    std::fprintf(stderr, "spotfall-snapshot: %s wants %s, not '%s'\n", option, wanted, given);
    return usage();
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 3.0;
    std::string out = "spotfall.png";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
            auto value = parse_decimal(argv[++i], 0.001, 3600);
            if (!value)
                return bad_value("--seconds", "a number of seconds from 0.001 to 3600", argv[i]);
            seconds = *value;
        } else if (!std::strcmp(argv[i], "--out") && i + 1 < argc)
            out = argv[++i];
        else
            return usage();
    }

    try {
        XvfbServer server;
        XConnection x(server.display());
        Oracle oracle;
        SpotfallRun run(server, x);
        run.await_white();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        Sight frozen = run.freeze(oracle);
        frozen.screen.save_png(out);
        x.tap(Key::escape);
        ExitStatus status = run.await_exit(Millis(5000));
        std::printf("spotfall ran for %.1f s on a private X server (%s): %s, %s\n", seconds,
                    server.display().c_str(), frozen.match.explain().c_str(),
                    status.describe().c_str());
        std::printf("picture: %s\n", out.c_str());
        if (!status.success()) {
            std::fprintf(stderr, "spotfall-snapshot: spotfall ended with %s; stderr: %s\n",
                         status.describe().c_str(), run.process().captured_stderr().c_str());
            return 1;
        }
        if (!frozen.match.found) {
            std::fprintf(stderr, "spotfall-snapshot: the picture is not what spotfall should draw: %s\n",
                         frozen.match.explain().c_str());
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "spotfall-snapshot: %s\n", e.what());
        return 1;
    }
    return 0;
}

// thtape: makes raw DV files (DIF streams) of chosen scenes, for the virtual
// camcorder and the tests. See usageText() for the command line.
#include "tools/thtape/TapeDescription.h"
#include "tools/thtape/TapeWriter.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    thtape::Tape tape;
    try {
        if (thtape::parseArguments(args, tape) == thtape::Action::Help) {
            std::fputs(thtape::usageText().c_str(), stdout);
            return 0;
        }
    } catch (const thtape::UsageError& e) {
        std::fprintf(stderr, "thtape: %s\n\n%s", e.what(), thtape::usageText().c_str());
        return 2;
    }

    const auto started = std::chrono::steady_clock::now();
    std::string error;
    if (!thtape::writeTape(tape, 0, error)) {
        std::fprintf(stderr, "thtape: %s\n", error.c_str());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const bool pal = tape.system == th::dif::System::Pal625_50;
    std::printf("thtape: wrote %s: %lld frames in %zu scene%s (%s, %s) in %.1f s\n", tape.output.c_str(),
                tape.totalFrames(), tape.scenes.size(), tape.scenes.size() == 1 ? "" : "s", pal ? "PAL" : "NTSC",
                tape.audioHz == 48000 ? "48 kHz 16-bit" : "32 kHz 12-bit", seconds);
    return 0;
}

#pragma once
// What tape to make: the settings and scenes that thtape reads from its
// command line and scene files, checked and resolved to frames.

#include "platform/dv/DifFrame.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace thtape {

// A mistake in the arguments or a scene file; thtape answers it with its
// usage text and exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

enum class TimecodeStart { Continue, Restart, At };

struct Scene {
    long long frames = 0;
    th::dif::RecDateTime recorded; // of the scene's first frame
    TimecodeStart timecodeStart = TimecodeStart::Continue;
    th::dif::Timecode timecode;    // the first frame's time code, resolved
    Rgb colour;
    double toneHz = 440.0;
    // The scene's sound: a camcorder records each recording at the setting
    // it was made with (48 kHz 16-bit, or 32 kHz 12-bit).
    int audioHz = 48000;
    th::dif::Quantization quantization = th::dif::Quantization::Linear16;
};

struct Tape {
    th::dif::System system = th::dif::System::Pal625_50;
    int audioHz = 48000;
    th::dif::Quantization quantization = th::dif::Quantization::Linear16;
    std::string output;
    // Blank tape before the first scene: nothing recorded, so a deck shows no
    // signal there (frames of kBlankByte).
    long long leaderFrames = 0;
    std::vector<Scene> scenes;

    // The recorded frames, the leader not included.
    long long totalFrames() const;
};

// The tone's amplitude (-12 dBFS); the right channel runs a quarter period
// ahead of the left one.
inline constexpr double kToneAmplitude = 8192.0;
inline constexpr double kMinToneHz = 20.0;
inline constexpr double kMaxToneHz = 15000.0;
// The bytes of blank tape, as the virtual deck reads them.
inline constexpr unsigned char kBlankByte = 0xFF;

enum class Action { Make, Help };

// Reads the arguments (without the program name). Throws UsageError.
Action parseArguments(const std::vector<std::string>& args, Tape& tape);

// The text of --help.
std::string usageText();

} // namespace thtape

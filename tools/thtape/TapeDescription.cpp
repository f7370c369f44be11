#include "tools/thtape/TapeDescription.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

namespace thtape {

using th::dif::Quantization;
using th::dif::RecDate;
using th::dif::RecDateTime;
using th::dif::RecTime;
using th::dif::System;
using th::dif::Timecode;

namespace {

// The scenes of `thtape --demo`: a few minutes in five scenes; the fourth was
// recorded a day before the third, and the fifth starts its time code anew.
const char* const kDemoScenes[] = {
    "length=35s date=2003-06-15 time=14:22:05 tc=restart colour=red tone=440",
    "length=25s date=2003-06-15 time=14:35:40 colour=green tone=554",
    "length=35s date=2003-06-15 time=16:02:10 colour=blue tone=659",
    "length=30s date=2003-06-14 time=10:15:00 colour=yellow tone=880",
    "length=25s date=2003-07-02 time=09:00:00 tc=restart colour=magenta tone=330",
};

struct NamedColour {
    const char* name;
    Rgb rgb;
};
const NamedColour kColours[] = {
    {"red", {200, 30, 30}},     {"green", {30, 170, 50}},   {"blue", {40, 60, 200}},
    {"yellow", {220, 200, 40}}, {"cyan", {40, 190, 200}},   {"magenta", {190, 40, 170}},
    {"orange", {230, 120, 20}}, {"purple", {110, 40, 160}}, {"brown", {120, 70, 30}},
    {"pink", {240, 150, 170}},  {"grey", {128, 128, 128}},  {"gray", {128, 128, 128}},
    {"white", {235, 235, 235}}, {"black", {20, 20, 20}},
};
// Colours and tones of scenes that name none, by scene number.
const char* const kDefaultColours[] = {"red", "green", "blue", "yellow", "cyan", "magenta", "orange", "purple"};
const double kDefaultTones[] = {440.0, 554.0, 659.0, 880.0, 330.0, 392.0, 494.0, 587.0};

struct RawScene {
    std::string where; // for messages: "--scene 2", "tape.txt:4"
    std::optional<long long> frames;
    std::optional<double> seconds;
    std::optional<RecDate> date;
    std::optional<RecTime> time;
    TimecodeStart timecodeStart = TimecodeStart::Continue;
    Timecode timecode;
    std::optional<Rgb> colour;
    std::optional<double> tone;
    std::optional<std::pair<int, Quantization>> audio;
};

struct Settings {
    std::optional<System> system;
    std::optional<std::pair<int, Quantization>> audio;
    std::optional<std::string> output;
};

[[noreturn]] void fail(const std::string& where, const std::string& what)
{
    throw UsageError(where.empty() ? what : where + ": " + what);
}

bool allDigits(const std::string& s, std::size_t from, std::size_t n)
{
    if (from + n > s.size())
        return false;
    for (std::size_t i = from; i < from + n; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

int number(const std::string& s, std::size_t from, std::size_t n)
{
    return std::atoi(s.substr(from, n).c_str());
}

// A plain decimal number ("440", "2.5"); no signs, exponents or blanks.
std::optional<double> parseDecimal(const std::string& s)
{
    if (s.empty() || s.size() > 12)
        return std::nullopt;
    int dots = 0;
    for (char c : s) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return std::nullopt;
    }
    if (dots > 1 || s.front() == '.' || s.back() == '.')
        return std::nullopt;
    return std::strtod(s.c_str(), nullptr);
}

void parseLength(const std::string& where, const std::string& v, RawScene& scene)
{
    if (!v.empty() && v.back() == 's') {
        const auto sec = parseDecimal(v.substr(0, v.size() - 1));
        if (!sec || *sec <= 0)
            fail(where, "length '" + v + "' is not a number of seconds such as 10s or 2.5s");
        scene.seconds = *sec;
        scene.frames.reset();
        return;
    }
    const std::string digits = !v.empty() && v.back() == 'f' ? v.substr(0, v.size() - 1) : v;
    if (digits.empty() || digits.size() > 9 || !allDigits(digits, 0, digits.size()) || std::atoll(digits.c_str()) <= 0)
        fail(where, "length '" + v + "' is not a number of frames such as 250 or a number of seconds such as 10s");
    scene.frames = std::atoll(digits.c_str());
    scene.seconds.reset();
}

void parseDate(const std::string& where, const std::string& v, RawScene& scene)
{
    if (v.size() != 10 || !allDigits(v, 0, 4) || v[4] != '-' || !allDigits(v, 5, 2) || v[7] != '-'
        || !allDigits(v, 8, 2))
        fail(where, "date '" + v + "' is not of the form YYYY-MM-DD");
    RecDate d{number(v, 0, 4), number(v, 5, 2), number(v, 8, 2)};
    const int earliest = th::dif::earliestRecordingYear(), latest = th::dif::latestRecordingYear();
    if (d.year < earliest || d.year > latest)
        fail(where, "date '" + v + "': the year must be from " + std::to_string(earliest) + " to "
                        + std::to_string(latest) + " (tapes record it with two digits)");
    if (d.day < 1 || d.day > th::dif::daysInMonth(d.year, d.month))
        fail(where, "date '" + v + "' does not exist");
    scene.date = d;
}

void parseTime(const std::string& where, const std::string& v, RawScene& scene)
{
    if (v.size() != 8 || !allDigits(v, 0, 2) || v[2] != ':' || !allDigits(v, 3, 2) || v[5] != ':'
        || !allDigits(v, 6, 2))
        fail(where, "time '" + v + "' is not of the form HH:MM:SS");
    RecTime t{number(v, 0, 2), number(v, 3, 2), number(v, 6, 2)};
    if (t.hour > 23 || t.minute > 59 || t.second > 59)
        fail(where, "time '" + v + "' does not exist");
    scene.time = t;
}

void parseTimecode(const std::string& where, const std::string& v, RawScene& scene)
{
    if (v == "continue") {
        scene.timecodeStart = TimecodeStart::Continue;
        return;
    }
    if (v == "restart") {
        scene.timecodeStart = TimecodeStart::Restart;
        return;
    }
    if (v.size() != 11 || !allDigits(v, 0, 2) || v[2] != ':' || !allDigits(v, 3, 2) || v[5] != ':'
        || !allDigits(v, 6, 2) || (v[8] != ':' && v[8] != ';') || !allDigits(v, 9, 2))
        fail(where, "time code '" + v + "' is not continue, restart or HH:MM:SS:FF");
    scene.timecodeStart = TimecodeStart::At;
    scene.timecode = Timecode{number(v, 0, 2), number(v, 3, 2), number(v, 6, 2), number(v, 9, 2), false};
}

void parseColour(const std::string& where, const std::string& v, RawScene& scene)
{
    if (v.size() == 7 && v[0] == '#') {
        Rgb rgb;
        int* parts[3] = {&rgb.r, &rgb.g, &rgb.b};
        for (int i = 0; i < 3; ++i) {
            const std::string hex = v.substr(1 + 2 * i, 2);
            if (!std::isxdigit(static_cast<unsigned char>(hex[0])) || !std::isxdigit(static_cast<unsigned char>(hex[1])))
                fail(where, "colour '" + v + "' is not of the form #RRGGBB");
            *parts[i] = static_cast<int>(std::strtol(hex.c_str(), nullptr, 16));
        }
        scene.colour = rgb;
        return;
    }
    for (const auto& c : kColours)
        if (v == c.name) {
            scene.colour = c.rgb;
            return;
        }
    fail(where, "unknown colour '" + v + "' (use a name such as red or blue, or #RRGGBB)");
}

void parseTone(const std::string& where, const std::string& v, RawScene& scene)
{
    const auto hz = parseDecimal(v);
    if (!hz || *hz < kMinToneHz || *hz > kMaxToneHz)
        fail(where, "tone '" + v + "' is not a frequency from 20 to 15000 Hz");
    scene.tone = *hz;
}

std::vector<std::string> tokens(const std::string& text)
{
    std::vector<std::string> out;
    std::string current;
    for (char c : text) {
        if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!current.empty())
                out.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        out.push_back(current);
    return out;
}

std::pair<std::string, std::string> keyValue(const std::string& where, const std::string& token)
{
    const auto eq = token.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == token.size())
        fail(where, "'" + token + "' is not of the form key=value");
    return {token.substr(0, eq), token.substr(eq + 1)};
}

std::pair<int, Quantization> parseAudio(const std::string& where, const std::string& v);

RawScene parseScene(const std::string& where, const std::vector<std::string>& parts)
{
    RawScene scene;
    scene.where = where;
    for (const auto& token : parts) {
        const auto [key, value] = keyValue(where, token);
        if (key == "length")
            parseLength(where, value, scene);
        else if (key == "date")
            parseDate(where, value, scene);
        else if (key == "time")
            parseTime(where, value, scene);
        else if (key == "tc")
            parseTimecode(where, value, scene);
        else if (key == "colour" || key == "color")
            parseColour(where, value, scene);
        else if (key == "tone")
            parseTone(where, value, scene);
        else if (key == "audio")
            scene.audio = parseAudio(where, value);
        else
            fail(where, "unknown scene key '" + key + "' (length, date, time, tc, colour, tone, audio)");
    }
    return scene;
}

System parseSystem(const std::string& where, const std::string& v)
{
    if (v == "pal")
        return System::Pal625_50;
    if (v == "ntsc")
        return System::Ntsc525_60;
    fail(where, "system '" + v + "' is not pal or ntsc");
}

std::pair<int, Quantization> parseAudio(const std::string& where, const std::string& v)
{
    if (v == "48k16")
        return {48000, Quantization::Linear16};
    if (v == "32k12")
        return {32000, Quantization::Nonlinear12};
    fail(where, "audio '" + v + "' is not 48k16 or 32k12");
}

void readSceneFile(const std::string& path, Settings& fileSettings, std::vector<RawScene>& scenes)
{
    std::ifstream in(path);
    if (!in)
        fail("", "cannot read the scene file " + path + ": " + std::strerror(errno));
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string where = path + ":" + std::to_string(lineNo);
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        auto parts = tokens(line);
        if (parts.empty())
            continue;
        if (parts.front() == "scene") {
            parts.erase(parts.begin());
            scenes.push_back(parseScene(where, parts));
            continue;
        }
        for (const auto& token : parts) {
            const auto [key, value] = keyValue(where, token);
            if (key == "system")
                fileSettings.system = parseSystem(where, value);
            else if (key == "audio")
                fileSettings.audio = parseAudio(where, value);
            else if (key == "output")
                fileSettings.output = value;
            else
                fail(where, "unknown setting '" + key + "' (system, audio, output; scene lines begin with 'scene')");
        }
    }
    if (in.bad())
        fail("", "cannot read the scene file " + path + ": " + std::strerror(errno));
}

Scene resolve(const RawScene& raw, std::size_t index, const Tape& tape, long long& nextTimecode)
{
    const System system = tape.system;
    Scene scene;
    if (raw.frames) {
        scene.frames = *raw.frames;
    } else if (raw.seconds) {
        const auto rate = th::dif::frameRate(system);
        if (*raw.seconds > 200000.0)
            fail("", "the tape would be longer than 24 hours");
        scene.frames = std::llround(*raw.seconds * rate.num / rate.den);
        if (scene.frames < 1)
            fail(raw.where, "the scene is shorter than one frame");
    } else {
        fail(raw.where, "the scene has no length");
    }
    if (!raw.date || !raw.time)
        fail(raw.where, "the scene needs the date and time of its first frame (date=YYYY-MM-DD time=HH:MM:SS)");
    scene.recorded = RecDateTime{*raw.date, *raw.time};
    // The clock runs on through the scene; a year the tape cannot tell from
    // another century must not be reached either.
    const auto rate = th::dif::frameRate(system);
    const RecDateTime last = th::dif::addSeconds(scene.recorded, (scene.frames - 1) * rate.den / rate.num);
    if (last.date.year > th::dif::latestRecordingYear())
        fail(raw.where, "the scene's recording time would run past the end of "
                            + std::to_string(th::dif::latestRecordingYear())
                            + " (tapes record the year with two digits)");

    scene.timecodeStart = raw.timecodeStart;
    long long start = nextTimecode;
    if (raw.timecodeStart == TimecodeStart::Restart) {
        start = 0;
    } else if (raw.timecodeStart == TimecodeStart::At) {
        Timecode tc = raw.timecode;
        tc.dropFrame = system == System::Ntsc525_60;
        if (!th::dif::isValidTimecode(system, tc))
            fail(raw.where, system == System::Pal625_50
                                ? "the time code must lie from 00:00:00:00 to 23:59:59:24"
                                : "the time code must lie from 00:00:00;00 to 23:59:59;29 and not be a "
                                  "frame that drop-frame counting skips (;00 and ;01 of each minute but the tenth)");
        start = th::dif::frameCountFromTimecode(system, tc);
    }
    scene.timecode = th::dif::timecodeFromFrameCount(system, start);
    nextTimecode = start + scene.frames;

    if (raw.colour) {
        scene.colour = *raw.colour;
    } else {
        const char* name = kDefaultColours[index % std::size(kDefaultColours)];
        for (const auto& c : kColours)
            if (std::strcmp(c.name, name) == 0)
                scene.colour = c.rgb;
    }
    scene.toneHz = raw.tone ? *raw.tone : kDefaultTones[index % std::size(kDefaultTones)];
    scene.audioHz = raw.audio ? raw.audio->first : tape.audioHz;
    scene.quantization = raw.audio ? raw.audio->second : tape.quantization;
    return scene;
}

} // namespace

long long Tape::totalFrames() const
{
    long long total = 0;
    for (const auto& s : scenes)
        total += s.frames;
    return total;
}

Action parseArguments(const std::vector<std::string>& args, Tape& tape)
{
    Settings cmdline;
    Settings fromFiles;
    std::vector<RawScene> scenes;
    bool demo = false;
    std::optional<RawScene> leader;
    int sceneArgs = 0;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            if (const auto eq = arg.find('='); eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.erase(eq);
            }
        }
        auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= args.size())
                fail("", "option " + arg + " needs a value");
            return args[++i];
        };
        auto noValue = [&]() {
            if (inlineValue)
                fail("", "option " + arg + " takes no value");
        };

        if (arg == "-h" || arg == "--help") {
            return Action::Help;
        } else if (arg == "-o" || arg == "--output") {
            if (cmdline.output)
                fail("", "more than one output file");
            cmdline.output = value();
        } else if (arg == "--pal" || arg == "--ntsc") {
            noValue();
            const System s = arg == "--pal" ? System::Pal625_50 : System::Ntsc525_60;
            if (cmdline.system && *cmdline.system != s)
                fail("", "both --pal and --ntsc given");
            cmdline.system = s;
        } else if (arg == "--audio") {
            cmdline.audio = parseAudio("--audio", value());
        } else if (arg == "--scene") {
            ++sceneArgs;
            scenes.push_back(parseScene("--scene " + std::to_string(sceneArgs), tokens(value())));
        } else if (arg == "--leader") {
            RawScene length;
            length.where = "--leader";
            parseLength("--leader", value(), length);
            leader = length;
        } else if (arg == "--scenes") {
            readSceneFile(value(), fromFiles, scenes);
        } else if (arg == "--demo") {
            noValue();
            demo = true;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            fail("", "unknown option " + arg);
        } else {
            if (cmdline.output)
                fail("", "more than one output file ('" + *cmdline.output + "' and '" + arg + "')");
            cmdline.output = arg;
        }
    }

    if (demo) {
        if (!scenes.empty())
            fail("", "--demo makes its own scenes; give no --scene or --scenes with it");
        for (std::size_t k = 0; k < std::size(kDemoScenes); ++k)
            scenes.push_back(parseScene("demo scene " + std::to_string(k + 1), tokens(kDemoScenes[k])));
    }

    tape = Tape{};
    tape.system = cmdline.system.value_or(fromFiles.system.value_or(System::Pal625_50));
    const auto audio = cmdline.audio.value_or(fromFiles.audio.value_or(std::pair{48000, Quantization::Linear16}));
    tape.audioHz = audio.first;
    tape.quantization = audio.second;
    if (cmdline.output)
        tape.output = *cmdline.output;
    else if (fromFiles.output)
        tape.output = *fromFiles.output;
    if (tape.output.empty())
        fail("", "no output file given");
    if (scenes.empty())
        fail("", "no scenes given (use --scene, --scenes or --demo)");

    if (leader) {
        const auto rate = th::dif::frameRate(tape.system);
        if (leader->seconds && *leader->seconds > 200000.0)
            fail("", "the tape would be longer than 24 hours");
        tape.leaderFrames = leader->frames ? *leader->frames : std::llround(*leader->seconds * rate.num / rate.den);
    }
    long long nextTimecode = 0;
    for (std::size_t k = 0; k < scenes.size(); ++k)
        tape.scenes.push_back(resolve(scenes[k], k, tape, nextTimecode));

    const auto rate = th::dif::frameRate(tape.system);
    const long long maxFrames = 24LL * 3600 * rate.num / rate.den;
    if (tape.totalFrames() + tape.leaderFrames > maxFrames)
        fail("", "the tape would be longer than 24 hours");
    return Action::Make;
}

std::string usageText()
{
    std::ostringstream o;
    o << "Usage: thtape [options] [--scene ITEMS]... [--scenes FILE]... OUTPUT.dv\n"
         "       thtape --demo [--ntsc] [--audio 32k12] OUTPUT.dv\n"
         "\n"
         "Writes a raw DV file (a DIF stream, as a camcorder records it) made of scenes.\n"
         "Each scene shows a test pattern in a colour of its own with the scene number,\n"
         "its time code and its recording date and time burned in, and sounds a tone of\n"
         "its own. The recording time advances one second per second of video, as a\n"
         "camcorder's clock does.\n"
         "\n"
         "Options:\n"
         "  -o, --output FILE    the file to write (or give it as the last argument)\n"
         "  --pal                625/50: 25 frames/s, 144000-byte frames (default)\n"
         "  --ntsc               525/60: 29.97 frames/s, 120000-byte frames,\n"
         "                       drop-frame time code\n"
         "  --audio 48k16|32k12  48 kHz 16-bit stereo (default), or 32 kHz 12-bit\n"
         "                       (the tone on the first stereo pair, the second unrecorded)\n"
         "  --leader N|Ns        N frames, or N seconds, of blank tape before the first\n"
         "                       scene (nothing recorded: a deck shows no signal)\n"
         "  --scene ITEMS        add a scene (in the order given)\n"
         "  --scenes FILE        add the scenes of a scene file (and its settings)\n"
         "  --demo               the demo tape: five scenes, 2.5 minutes, the fourth\n"
         "                       recorded before the third\n"
         "  -h, --help           show this text\n"
         "\n"
         "ITEMS is a list of key=value items, separated by commas or blanks:\n"
         "  length=N | Ns        N frames, or N seconds (decimals allowed: 2.5s); required\n"
         "  date=YYYY-MM-DD      recording date of the first frame; required; the year\n"
         "                       one of the hundred up to this one (tapes keep two digits)\n"
         "  time=HH:MM:SS        recording time of the first frame; required\n"
         "  tc=continue          time code continues from the previous scene (default;\n"
         "                       the first scene then starts at 00:00:00:00)\n"
         "  tc=restart           time code starts again at 00:00:00:00\n"
         "  tc=HH:MM:SS:FF       time code of the first frame (';' before FF allowed)\n"
         "  colour=NAME|#RRGGBB  red green blue yellow cyan magenta orange purple\n"
         "                       brown pink grey white black (default: by scene number)\n"
         "  tone=HZ              sine tone from 20 to 15000 Hz at -12 dBFS, the right\n"
         "                       channel a quarter period ahead (default: by scene number)\n"
         "  audio=48k16|32k12    the scene's sound (default: the tape's, --audio)\n"
         "\n"
         "A scene file has one item per line or several: '#' starts a comment, a line\n"
         "'scene ITEMS' adds a scene, and lines of system=pal|ntsc, audio=48k16|32k12\n"
         "and output=FILE give settings; options on the command line win over them.\n"
         "\n"
         "Example:\n"
         "  thtape --scene length=10s,date=2003-06-15,time=14:22:05,colour=red,tone=440 \\\n"
         "         --scene length=250,date=2003-06-15,time=15:00:00,tc=restart tape.dv\n"
         "\n"
         "Exit status: 0 when the tape was written, 1 when it could not be, 2 for bad\n"
         "arguments.\n";
    return o.str();
}

} // namespace thtape

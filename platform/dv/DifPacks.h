#pragma once
// Five-byte packs of a DV stream: a pack header (PC0) naming the pack, then
// four data bytes (PC1-PC4). Time and date fields are binary-coded decimal,
// and bits a pack does not use are 1, so that a pack of all 0xFF bytes means
// "no information". Builders take checked values; parsers take any five bytes
// and give no value for a different header, a digit beyond 9 or a field out
// of its range, so that garbage never reads as a time code or a date.

#include "platform/dv/DifLayout.h"

#include <array>
#include <cstdint>
#include <optional>

namespace th::dif {

using Pack = std::array<std::uint8_t, 5>;

// Pack headers (PC0).
enum PackId : std::uint8_t {
    kPackTimecode = 0x13,          // subcode: time code
    kPackAauxSource = 0x50,        // audio: sampling, channels, samples in the frame
    kPackAauxSourceControl = 0x51, // audio: copy and recording flags
    kPackAauxRecDate = 0x52,
    kPackAauxRecTime = 0x53,
    kPackVauxSource = 0x60,        // video: 525/60 or 625/50, signal type
    kPackVauxSourceControl = 0x61, // video: copy and recording flags, aspect
    kPackVauxRecDate = 0x62,       // recording date (VAUX and subcode)
    kPackVauxRecTime = 0x63,       // recording time (VAUX and subcode)
    kPackNoInfo = 0xFF,
};

inline constexpr Pack kNoInfoPack = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// --- Time code (0x13) --------------------------------------------------------

// Hours 0-23, minutes and seconds 0-59, frames 0-24 (625/50) or 0-29 (525/60).
// 525/60 camcorders count drop-frame time code: frames 00 and 01 do not exist
// at the start of each minute except every tenth.
struct Timecode {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int frames = 0;
    bool dropFrame = false;

    friend bool operator==(const Timecode&, const Timecode&) = default;
};

// The BCD word 0xHHMMSSFF of a time code, as time code readers report it.
std::uint32_t timecodeBcd(const Timecode& tc);
// Whether the time code exists in the counting of the system (ranges, and the
// frames that drop-frame counting skips).
bool isValidTimecode(System system, const Timecode& tc);
// The time code of the frame `count` frames after 00:00:00:00 (drop-frame on
// 525/60), wrapping after 24 hours, and back.
Timecode timecodeFromFrameCount(System system, long long count);
long long frameCountFromTimecode(System system, const Timecode& tc);

// PC1: CF (bit 7), DF (bit 6, drop frame; an arbitrary bit on 625/50), frame
// tens and units; PC2: PC (bit 7), seconds; PC3: BGF (bit 7), minutes; PC4:
// BGF bits (7-6), hours. The flag bits are written 0.
Pack timecodePack(const Timecode& tc);
// DF is reported as dropFrame; on 625/50 tapes it is not a drop-frame flag.
std::optional<Timecode> parseTimecodePack(const std::uint8_t* p);

// --- Recording date and time (0x62/0x63 in VAUX and subcode, 0x52/0x53 in AAUX)

// The year is written with two digits; a two-digit year up to the current
// year's reads as 20YY, any other as 19YY (no DV camcorder recorded before
// 1995), so the hundred years up to the current one survive a round trip.
struct RecDate {
    int year = 2000;
    int month = 1;
    int day = 1;

    friend bool operator==(const RecDate&, const RecDate&) = default;
};
struct RecTime {
    int hour = 0;
    int minute = 0;
    int second = 0;

    friend bool operator==(const RecTime&, const RecTime&) = default;
};
struct RecDateTime {
    RecDate date;
    RecTime time;

    friend bool operator==(const RecDateTime&, const RecDateTime&) = default;
};

int fullYearFromTwoDigits(int yy);
// The years a tape can tell apart: 1995 (the first DV recordings) to 2094.
int latestRecordingYear();
int earliestRecordingYear();
// Days in a month of the Gregorian calendar; 0 for a month outside 1-12.
int daysInMonth(int year, int month);
bool isValidRecDateTime(const RecDateTime& dt);
// The date and time `seconds` later (calendar arithmetic, no time zones).
RecDateTime addSeconds(const RecDateTime& dt, long long seconds);
// 0 = Sunday ... 6 = Saturday.
int dayOfWeek(const RecDate& date);

// Date pack. PC1: DS, TM and time zone (written "no information", 0xFF); PC2:
// reserved 11, day tens (bits 5-4), units; PC3: day of the week (bits 7-5),
// month tens (bit 4), units; PC4: year tens (bits 7-4), units. id is
// kPackVauxRecDate or kPackAauxRecDate.
Pack recDatePack(PackId id, const RecDate& date);
// Time pack. PC1: frames (written "no information", 0xFF); PC2: reserved 1,
// seconds tens (bits 6-4), units; PC3: reserved 1, minutes; PC4: reserved 11,
// hours tens (bits 5-4), units. id is kPackVauxRecTime or kPackAauxRecTime.
Pack recTimePack(PackId id, const RecTime& time);
// Accept either header of their kind (VAUX/subcode or AAUX); no value for a
// blank pack or a date or time that does not exist.
std::optional<RecDate> parseRecDatePack(const std::uint8_t* p);
std::optional<RecTime> parseRecTimePack(const std::uint8_t* p);

// --- VAUX source (0x60) and source control (0x61) ------------------------------

struct VauxSource {
    System system = System::Pal625_50;
    bool colour = true;   // B/W flag: true for a colour picture
    int sourceCode = 3;   // SRC: 0 camera, 1 line, 3 no information
    int signalType = 0;   // STYPE: 0 for 25 Mbit/s SD
};
// PC1: TV channel (no information); PC2: B/W (bit 7), EN (bit 6, 1 = CLF not
// valid), CLF (bits 5-4), TV channel hundreds; PC3: SRC (bits 7-6), 50/60
// (bit 5), STYPE (bits 4-0); PC4: tuner category (no information).
Pack vauxSourcePack(const VauxSource& source);
std::optional<VauxSource> parseVauxSourcePack(const std::uint8_t* p);

struct VauxSourceControl {
    int cgms = 0;                // copy generation management, 0 = copy freely
    bool recordingStart = false; // REC ST: the first frames of a recording
    int recordingMode = 0;       // REC MODE: 0 original, 1 reserved, 2 insert, 3 invalid
    int display = 0;             // DISP: 0 = 4:3 full format, 2 = 16:9
    bool interlaced = true;
};
// PC1: CGMS (bits 7-6), ISR, CMP, SS (no information); PC2: REC ST (bit 7,
// 0 = start of a recording), 1, REC MODE (bits 5-4), 1, DISP (bits 2-0);
// PC3: FF, FS, FC (frame, field 1 first, picture changed), IL (bit 4),
// reserved 11, BCSYS 00; PC4: genre (no information).
Pack vauxSourceControlPack(const VauxSourceControl& control);
std::optional<VauxSourceControl> parseVauxSourceControlPack(const std::uint8_t* p);

// --- AAUX source (0x50) and source control (0x51) ------------------------------

enum class Quantization { Linear16 = 0, Nonlinear12 = 1 };

// Fewest and most audio samples a frame may carry at a sampling frequency
// (48000, 44100 or 32000 Hz); 0 for anything else.
int minSamplesPerFrame(System system, int frequencyHz);
int maxSamplesPerFrame(System system, int frequencyHz);

struct AauxSource {
    System system = System::Pal625_50;
    int frequencyHz = 48000;     // 48000, 44100 or 32000
    Quantization quantization = Quantization::Linear16;
    bool locked = false;         // locked audio (sample count tied to the frame); camcorders record unlocked
    int samples = 1920;          // samples of this frame
    int channelsPerBlock = 1;    // CHN: 1 (one channel of a pair per block) or 2
    bool independentChannels = false; // PA: the channels are not one stereo pair
    int audioMode = 0;           // AUDIO MODE, 0xF for no information
    int signalType = 0;          // STYPE: 0 = two channels per five or six DIF sequences
};
// PC1: LF (bit 7, 1 = unlocked), reserved 1, AF SIZE (samples beyond the
// fewest, bits 5-0); PC2: SM (bit 7), CHN (bits 6-5), PA (bit 4), AUDIO
// MODE (bits 3-0); PC3: reserved 1, ML (bit 6, 1 = one language), 50/60
// (bit 5), STYPE (bits 4-0); PC4: EF (bit 7, 1 = emphasis off), TC (bit 6),
// SMP (bits 5-3: 0 = 48 kHz, 1 = 44.1 kHz, 2 = 32 kHz), QU (bits 2-0:
// 0 = 16-bit linear, 1 = 12-bit nonlinear). No value when the sample count
// does not fit the frequency and system.
std::optional<Pack> aauxSourcePack(const AauxSource& source);
std::optional<AauxSource> parseAauxSourcePack(const std::uint8_t* p);

struct AauxSourceControl {
    int cgms = 0;
    bool recordingStart = false; // REC ST: the first frames of a recording
    bool recordingEnd = false;   // REC END: the last frames of a recording
    int recordingMode = 1;       // REC MODE: 1 original, 7 invalid
    bool forward = true;         // DRF: direction of the tape
    int speed = 0x20;            // SPEED; normalPlaySpeed() for the system
};
// Speed code of normal playback: 0x20 on 625/50, 0x78 on 525/60.
int normalPlaySpeed(System system);
// PC1: CGMS (bits 7-6), ISR, CMP, SS (no information); PC2: REC ST (bit 7,
// 0 = start), REC END (bit 6, 0 = end), REC MODE (bits 5-3), INSERT CH
// (bits 2-0, no information); PC3: DRF (bit 7, 1 = forward), SPEED (bits
// 6-0); PC4: reserved 1, genre (no information).
Pack aauxSourceControlPack(const AauxSourceControl& control);
std::optional<AauxSourceControl> parseAauxSourceControlPack(const std::uint8_t* p);

} // namespace th::dif

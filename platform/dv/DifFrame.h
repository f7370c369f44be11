#pragma once
// Whole DV frames: writing everything a camcorder records beside the picture,
// and reading back what the other parts of the program need from a frame.
//
// Where a camcorder puts its packs, in every DIF sequence:
// - subcode: six sync blocks in each of the two subcode blocks, numbered
//   0-11, each three ID bytes and a pack. In the first half of the sequences
//   every sync block holds the time code; in the second half they hold, in
//   turns, the time code, the recording date and the recording time.
// - VAUX: fifteen packs in each of the three VAUX blocks. The six packs of the
//   main area are packs 9-14 of the third block in even sequences and packs
//   0-5 of the first block in odd ones: source, source control, recording
//   date, recording time, then two without information. In the first
//   sequence that puts the date pack at bytes 458-462 and the time pack at
//   bytes 463-467 of the frame.
// - AAUX: the pack of each audio block; the main area is blocks 3-7 in even
//   sequences and blocks 0-4 in odd ones: source, source control, recording
//   date, recording time, then one without information.
// Every other pack is written without information (all 0xFF).
//
// Readers take any bytes: a short frame, a frame whose first block is not a
// header block, or packs that do not parse give no value; they never read
// beyond `length`.

#include "platform/dv/DifAudio.h"
#include "platform/dv/DifLayout.h"
#include "platform/dv/DifPacks.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace th::dif {

struct AudioFormat {
    int frequencyHz = 48000;
    Quantization quantization = Quantization::Linear16;
    bool locked = false;  // locked audio; camcorders record unlocked
    int samples = 1920;   // samples (per channel) in this frame
    int channels = 2;     // 2, or 4 for 32 kHz 12-bit (two stereo pairs)

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

struct FrameInfo {
    System system = System::Pal625_50;
    Timecode timecode;
    // No value: the date and time packs are written without information.
    std::optional<RecDateTime> recorded;
    AudioFormat audio;        // channels is implied by the format and not read
    bool secondPair = false;  // 12-bit: the second stereo pair holds sound
    bool recordingStart = false; // the first frames of a recording (REC ST)
};

// Writes the header, subcode and VAUX blocks and the IDs and packs of the
// audio blocks of every DIF sequence (writeAudioSamples fills in the samples);
// leaves the video blocks alone. False, with nothing written, when the frame
// is shorter than the system's frame or the audio does not fit it (see
// aauxSourcePack).
bool writeFrameInfo(std::uint8_t* frame, std::size_t length, const FrameInfo& info);

// The system named by the header block of the first DIF sequence (its DSF
// bit); None unless that block's ID is a header block of sequence 0 and the
// frame is at least as long as that system's frame.
System readSystem(const std::uint8_t* frame, std::size_t length);
// The first time code pack found in the subcode of the frame.
std::optional<Timecode> readTimecode(const std::uint8_t* frame, std::size_t length);
// The recording date and time: from the VAUX packs, else from the subcode,
// else from the AAUX packs (date and time from the same place).
std::optional<RecDateTime> readRecordingDateTime(const std::uint8_t* frame, std::size_t length);
// The first AAUX source pack of the frame's own system.
std::optional<AudioFormat> readAudioFormat(const std::uint8_t* frame, std::size_t length);

} // namespace th::dif

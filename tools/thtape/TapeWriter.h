#pragma once
// Makes the frames of a tape and writes them: each frame's picture is encoded
// by libavcodec's DV encoder, then the header, subcode, VAUX and audio blocks
// around its video blocks are laid out as a camcorder records them. Frames are
// made by several workers, each with an encoder of its own, and written in
// order. The file is written under a temporary name beside the output and
// renamed over it when complete, so that a failure never leaves half a tape
// nor destroys an earlier one.

#include "tools/thtape/TapeDescription.h"

#include <string>

namespace thtape {

// Per-frame facts of a tape, the same for the picture, the packs and the
// tests' expectations.
struct FramePlan {
    int scene = 0;              // index into Tape::scenes
    long long frameInScene = 0;
    th::dif::Timecode timecode;
    th::dif::RecDateTime recorded;
    long long firstSample = 0;  // index on the tape's audio clock of the frame's first sample
    int samples = 0;
    long long sceneFirstSample = 0;
};
// The audio sample clock at `hz`: samples before frame `frame` of the tape.
long long samplesBeforeFrame(const Tape& tape, long long frame, int hz);
FramePlan planFrame(const Tape& tape, long long frame);

// Writes tape.output; `threads` 0 takes one worker per processor. False with
// a message (naming the file and the system's reason) when it fails.
bool writeTape(const Tape& tape, int threads, std::string& error);

} // namespace thtape

#pragma once
// A raw DV file as the virtual camcorder's tape: the frames one after the other,
// as a camcorder writes them to its DV output. The file is read a frame at a
// time (tapes of an hour are 13 GB), never loaded whole. Readers may share one
// tape across threads: reads do not move a file position. No Qt.
//
// As a deck's head does, each frame is found by its DIF header: a file whose
// length is not a whole number of frames (a frame cut short, bytes lost or
// added) is indexed once at open, so that a damaged stretch is one lost frame
// and the frames after it keep their own bytes. Blank tape is a frame's
// length of bytes that are all ones (kBlankByte), where nothing was recorded:
// a deck shows it as no signal and delivers nothing.

#include "platform/dshow/MediaTypes.h"
#include "platform/dv/DifLayout.h"
#include "platform/dv/DvSource.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#ifndef TH_DV_API
#define TH_DV_API __attribute__((visibility("default")))
#endif

namespace th::dv {

// The signal of a tape as the deck reports it: SD, or SDL (the long-play
// signal, marked by the VAUX source pack of the first frame).
enum class Signal { None = 0, Sd525_60, Sdl525_60, Sd625_50, Sdl625_50 };

class TH_DV_API DvTape {
public:
    // Opens a tape. Null, with *error telling which file and what is wrong, when
    // the file cannot be opened or read, or its first frame is not a DV frame.
    // Bytes after the last whole frame are not part of the tape.
    static std::shared_ptr<DvTape> open(const std::string& path, std::string* error);
    ~DvTape();
    DvTape(const DvTape&) = delete;
    DvTape& operator=(const DvTape&) = delete;

    const std::string& path() const { return path_; }
    dif::System system() const { return system_; }
    Signal signal() const { return signal_; }
    std::size_t frameSize() const { return frameSize_; }
    // Frames on the tape: whole frames, damaged stretches (one each per frame
    // length, at least one) and blank frames.
    std::int64_t frameCount() const { return frameCount_; }
    // The stream's description taken from the first frame (its AAUX and VAUX
    // source and source-control packs).
    const DVINFO& dvInfo() const { return dvInfo_; }

    // Reads frame `index` into `buffer` (frameSize() bytes). Damaged when the
    // index lies outside the recording, the read fails (a file cut short since
    // it was opened) or the bytes are not a DV frame (a dropout, which a deck
    // does not pass on); Blank for blank tape; OtherStandard for a DV frame of
    // the other television system; None for a frame of the tape's system.
    DropReason readFrame(std::int64_t index, std::uint8_t* buffer) const;

    static constexpr std::uint8_t kBlankByte = 0xFF;

private:
    DvTape() = default;
    // Where each frame starts, for a file whose frames are not all in their
    // places (kLost for a damaged stretch).
    void index(std::int64_t size);
    // The first frame start in [from, to), or -1.
    std::int64_t findFrameStart(std::int64_t from, std::int64_t to, std::int64_t size) const;
    bool startsFrame(std::int64_t at, std::int64_t size) const;
    bool startsFrameAt(const std::uint8_t* p) const;
    static constexpr std::int64_t kLost = -1;
    std::vector<std::int64_t> offsets_; // empty: frame N starts at N × frameSize

    std::string path_;
    int fd_ = -1;
    dif::System system_ = dif::System::None;
    Signal signal_ = Signal::None;
    std::size_t frameSize_ = 0;
    std::int64_t frameCount_ = 0;
    DVINFO dvInfo_{};
};

// The DVINFO of a frame: for each of the first and second halves of the DIF
// sequences, the AAUX source and source-control packs, and the VAUX source and
// source-control packs of the first sequence; a missing pack reads as all ones.
TH_DV_API DVINFO dvInfoOfFrame(const std::uint8_t* frame, std::size_t length);

} // namespace th::dv

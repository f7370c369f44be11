#pragma once
// The file the AVI Mux writes: an AVI 1.0 'RIFF AVI ' with an 'idx1' index,
// continued past its size limit (1 GiB) in 'RIFF AVIX' pieces, with OpenDML
// super indexes ('indx', in the headers) and one standard index ('ix##') per
// stream and piece, plus the 'odml' header list.
//
//   RIFF 'AVI '
//     LIST 'hdrl'  avih, LIST 'strl' (strh, strf, indx) per stream, LIST 'odml' (dmlh)
//     LIST 'movi'  ##dc / ##db / ##wb chunks ..., ix## per stream
//     idx1
//   RIFF 'AVIX'
//     LIST 'movi'  chunks ..., ix## per stream
//   ...
//
// The headers are written at Begin with provisional counts and rewritten in
// place (same size) at End. A dropped frame is an empty chunk, indexed with
// size 0. After a failed write nothing more is written into the movie lists:
// End closes the file after the last chunk that was written whole, so that its
// headers and indexes describe exactly the chunks that are there; a write
// that failed behind the writer's queue takes back the chunks after it. No Qt.

#include "platform/dshow/Interfaces.h"
#include "platform/riff/Riff.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace th::media {

// Where the layout's bytes go. Every call either succeeds or fails as a whole,
// as a riff::Sink does, with these additions.
class AviSink : public riff::Sink {
public:
    // One movie chunk: header, data and a pad byte after odd data, written in
    // one go where it fits.
    virtual DWORD AppendChunk(std::uint32_t id, const void* data, std::size_t n) = 0;
    // Appends go to `pos` from now on (the end of the last good chunk after a
    // failed write).
    virtual void Rewind(std::int64_t pos) = 0;
    // The file ends at `pos`: whatever a failed write left behind it goes.
    virtual DWORD SetEnd(std::int64_t pos) = 0;
    // The HRESULT behind the last failed call (S_OK when it was a plain Win32 code).
    virtual HRESULT LastFailure() const = 0;
    // Waits until what was written is on the disk: 0, or the failure of a
    // write behind. *end is where the file's good data ends (Position() when
    // nothing failed).
    virtual DWORD Flush(std::int64_t* end) = 0;
};

enum class AviStreamKind { None, Interleaved, Video, Audio };

// One stream of the file, as its headers describe it.
struct AviStreamInfo {
    AviStreamKind kind = AviStreamKind::None;
    std::uint32_t handler = 0;  // strh fccHandler ('dvsd', the video compression, 0 for audio)
    std::uint16_t suffix = 0;   // the chunk id's last two characters ("dc", "db", "wb")
    std::vector<std::uint8_t> format; // strf
    REFERENCE_TIME frameDuration = 0; // video and interleaved
    std::uint32_t rate = 0, scale = 1; // strh dwRate / dwScale
    std::uint32_t blockAlign = 0;      // audio: bytes per sample frame
    std::uint32_t samplesPerSec = 0;   // audio
    std::uint32_t avgBytesPerSec = 0;  // audio
    std::int32_t width = 0, height = 0;
    // True while the frame rate is a guess to be settled by the first frame's size.
    bool rateFromFrameSize = false;
};

// The stream that a connection of this type gives; false when the mux does
// not take the type. Interleaved and video 'dvsd' DV, other video with a
// VIDEOINFOHEADER, and PCM audio are taken.
bool DescribeStream(const AM_MEDIA_TYPE& type, AviStreamInfo* info);

// Sets an interleaved DV stream's frame rate from a frame's size (120000 bytes:
// 525/60, otherwise 625/50).
void SetDvRateFromFrameSize(AviStreamInfo& info, std::size_t frameBytes);

class AviFileLayout {
public:
    static constexpr std::int64_t kDefaultRiffLimit = std::int64_t(1) << 30;
    // Standard indexes per stream that the super index holds: one per RIFF piece.
    static constexpr std::uint32_t kSuperIndexEntries = 256;

    struct Options {
        bool oldIndex = true;                    // write 'idx1' for the first RIFF
        std::int64_t riffLimit = kDefaultRiffLimit; // largest RIFF piece, in bytes
    };

    explicit AviFileLayout(AviSink& sink);
    AviFileLayout(const AviFileLayout&) = delete;
    AviFileLayout& operator=(const AviFileLayout&) = delete;

    // Starts a file at the sink's position 0: headers and the first movie list.
    // Index space for a full RIFF piece of DV is reserved here.
    HRESULT Begin(const std::vector<AviStreamInfo>& streams, const Options& options);
    // Lets an interleaved stream's rate be settled before its first chunk.
    AviStreamInfo& Stream(int s) { return streams_[static_cast<std::size_t>(s)].info; }

    // One chunk of stream s; no data is a dropped frame.
    HRESULT WriteChunk(int s, const void* data, std::size_t n);
    // `frames` dropped frames of a video or interleaved stream.
    HRESULT WriteDropped(int s, std::int64_t frames);
    // `samples` sample frames of silence for an audio stream, in pieces of the
    // preallocated silence buffer.
    HRESULT WriteSilence(int s, std::int64_t samples);
    // Takes back the last chunks of stream s until it has `chunks` again, as
    // far as they are the last ones of the file's current piece: what filled
    // a gap before a chunk that failed would stand after the file's end.
    void TakeBack(int s, std::int64_t chunks);
    // Indexes, final headers, end of file. The first error of the whole file,
    // or S_OK.
    HRESULT End();

    bool IsOpen() const { return open_; }
    bool Failed() const { return FAILED(firstError_); }
    HRESULT FirstError() const { return firstError_; }
    int StreamCount() const { return static_cast<int>(streams_.size()); }
    AviStreamKind Kind(int s) const { return streams_.at(static_cast<std::size_t>(s)).info.kind; }
    // Chunks (frames) or audio sample frames of stream s written so far.
    std::int64_t Length(int s) const;
    std::int64_t Chunks(int s) const { return streams_.at(static_cast<std::size_t>(s)).chunks; }
    int RiffCount() const { return riffCount_; }

private:
    struct StdEntry {
        std::uint32_t offset; // of the data, from the piece's base
        std::uint32_t size;   // bit 31: not a key frame
    };
    struct SuperEntry {
        std::uint64_t pos;
        std::uint32_t size;
        std::uint32_t duration;
    };
    struct StreamState {
        AviStreamInfo info;
        std::uint32_t chunkId = 0;
        std::uint32_t indexId = 0;
        std::int64_t chunks = 0;        // whole file
        std::int64_t bytes = 0;         // whole file
        std::int64_t chunksFirstRiff = 0;
        std::uint32_t maxChunk = 0;
        std::vector<StdEntry> entries;  // this piece
        std::int64_t pieceDuration = 0; // this piece, in stream units
        std::vector<SuperEntry> super;
    };

    HRESULT fail(DWORD code);
    HRESULT putChunk(int s, const void* data, std::size_t n, bool key);
    HRESULT beginPiece(bool first);
    void endPiece();
    // The standard indexes and 'idx1' of the piece; false (nothing of them
    // written) when they do not fit.
    bool writeIndexes();
    // The entries of the open piece, as the shared take-back rules see them.
    class HeldChunks;
    // A write behind failed: the file's good data ends at `end`, and the
    // chunks after it are taken back.
    void takeBackAfter(std::int64_t end);
    std::int64_t pendingIndexBytes(int s) const;
    std::vector<std::uint8_t> buildHeaders() const;
    std::vector<std::uint8_t> buildStandardIndex(const StreamState& st, std::int64_t base) const;

    AviSink& sink_;
    std::optional<riff::ChunkWriter> piece_; // the RIFF and movie lists of the open piece
    Options options_;
    std::vector<StreamState> streams_;
    bool open_ = false;
    HRESULT firstError_ = S_OK;
    bool failed_ = false; // a write failed: nothing more goes into the movie lists

    std::int64_t hdrlPos_ = 0;
    std::size_t hdrlSize_ = 0;
    std::int64_t riffPos_ = 0;
    std::int64_t moviPos_ = 0;
    std::int64_t moviEnd_ = 0;
    bool firstPiece_ = true;
    bool pieceOpen_ = false;
    bool pieceHasChunks_ = false;
    int riffCount_ = 0;
    bool hasOldIndex_ = false;
    std::vector<std::uint8_t> idx1_; // 16-byte idx1 entries of the first piece
    std::vector<std::uint8_t> silence_;
};

} // namespace th::media

#pragma once
// The tests' independent reader of the AVI files the writers make (the AVI Mux
// and thmux): it walks every RIFF, list and chunk (pad bytes after odd chunks
// allowed), checks that each size fits its parent, reads the headers, and
// follows the idx1 index and each stream's super index to its standard
// indexes and on to the chunks, checking every entry against the chunk it
// points at. Each problem found is one line of `errors`. libavformat's view
// of the same files is AvRead.h.
#include <cstdint>
#include <string>
#include <vector>

namespace avioracle {

struct Chunk {
    std::uint32_t id = 0;
    std::uint32_t type = 0; // list type; 0 for a plain chunk
    std::int64_t pos = 0;   // of its header
    std::uint32_t size = 0;
    std::vector<Chunk> children;
};

struct Stream {
    // strh
    std::uint32_t fccType = 0, fccHandler = 0, scale = 0, rate = 0, length = 0, sampleSize = 0;
    std::vector<std::uint8_t> format; // strf
    // The super index and the standard indexes it leads to.
    struct Entry {
        std::int64_t dataPos = 0; // file offset of the chunk's data
        std::uint32_t size = 0;
        bool key = false;
        bool dropped = false; // an entry of no chunk (offset 0, size 0x80000000)
    };
    std::uint32_t chunkId = 0;            // from the super index header
    std::vector<std::int64_t> indexPos;   // file offsets of its standard index chunks
    std::vector<std::uint32_t> durations; // super index dwDuration per entry
    std::vector<std::uint64_t> bases;     // qwBaseOffset per standard index
    std::vector<Entry> entries;
};

struct Idx1Entry {
    std::uint32_t id, flags, offset, size;
};

struct AviFile {
    std::uint64_t fileSize = 0;
    std::vector<Chunk> riffs;
    std::uint32_t avihFlags = 0, avihTotalFrames = 0, avihStreams = 0, dmlhTotalFrames = 0;
    std::vector<Stream> streams; // one per strl list, in order
    bool hasIdx1 = false;
    std::vector<Idx1Entry> idx1;
    std::vector<std::string> errors; // empty when the file is sound

    bool ok() const { return errors.empty(); }
    std::string errorText() const;
    // Movie chunks in file order, over every RIFF: those of the given id, or
    // without one every chunk but the standard indexes.
    std::vector<const Chunk*> movieChunks(std::uint32_t id = 0) const;
    // Every chunk of the movie lists, the standard indexes included.
    std::vector<const Chunk*> allMovieChunks() const;
};

AviFile Walk(const std::string& path);

// dwLength of the header of stream `n` (frames, or audio samples); 0 when it
// has none.
std::uint32_t HeaderLength(const std::string& path, const AviFile& file, int n);

// Reads bytes of a file at an offset (empty when they are not all there).
std::vector<std::uint8_t> ReadAt(const std::string& path, std::int64_t pos, std::size_t n);

std::string FourCCText(std::uint32_t code);

} // namespace avioracle

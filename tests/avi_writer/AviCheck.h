#pragma once
// An independent reader of the AVI files the writer makes, for the tests: it
// walks every RIFF, list and chunk, checks that each size fits its parent, and
// follows each stream's super index to its standard indexes and from there to
// the chunks, checking every entry against the chunk it points at.
#include <cstdint>
#include <string>
#include <vector>

namespace avicheck {

struct Chunk {
    std::uint32_t id = 0;
    std::uint32_t type = 0; // list type; 0 for a plain chunk
    std::int64_t pos = 0;   // of its header
    std::uint32_t size = 0;
    std::vector<Chunk> children;
};

struct IndexEntry {
    std::int64_t dataPos = 0; // file offset of the chunk's data
    std::uint32_t size = 0;
    bool dropped = false;
};

struct StreamIndex {
    std::uint32_t chunkId = 0;            // from the super index header
    std::vector<std::int64_t> indexPos;   // file offsets of its standard index chunks
    std::vector<std::uint32_t> durations; // super index dwDuration per entry
    std::vector<std::uint64_t> bases;     // qwBaseOffset per standard index
    std::vector<IndexEntry> entries;
};

struct AviFile {
    std::uint64_t fileSize = 0;
    std::vector<Chunk> riffs;
    std::vector<StreamIndex> streams; // one per strl list, in order
    std::vector<std::string> errors;  // empty when the file is sound

    bool ok() const { return errors.empty(); }
    std::string errorText() const;
    // Movie chunks (of the given id, or all) in file order, over every RIFF.
    std::vector<const Chunk*> movieChunks(std::uint32_t id = 0) const;
};

AviFile Walk(const std::string& path);

// dwLength of the header of stream `n` (frames, or audio samples); 0 when it
// has none.
std::uint32_t HeaderLength(const std::string& path, const AviFile& file, int n);

// Reads bytes of a file at an offset.
std::vector<std::uint8_t> ReadAt(const std::string& path, std::int64_t pos, std::size_t n);

} // namespace avicheck

#pragma once
// The OpenDML (AVI 2.0) index layout that both AVI writers write: the super
// index ('indx' in a stream's header list) that points at standard indexes,
// and the standard indexes ('ix##' among the movie data) that point at the
// chunks of one RIFF piece. Each function fills the fields of one structure
// at `p`, the start of its chunk's data. No Qt.

#include <cstdint>

namespace th::riff::odml {

inline constexpr std::uint8_t kIndexOfIndexes = 0x00; // bIndexType AVI_INDEX_OF_INDEXES
inline constexpr std::uint8_t kIndexOfChunks = 0x01;  // bIndexType AVI_INDEX_OF_CHUNKS
inline constexpr std::uint32_t kSuperIndexHeaderBytes = 24;
inline constexpr std::uint32_t kSuperIndexEntryBytes = 16;
inline constexpr std::uint32_t kStandardIndexHeaderBytes = 24;
inline constexpr std::uint32_t kStandardIndexEntryBytes = 8;
// Standard index dwSize bit 31: not a key frame; with size 0 a dropped frame
// that has no chunk.
inline constexpr std::uint32_t kNotKeyFrame = 0x80000000u;

// AVISUPERINDEX: wLongsPerEntry 4, bIndexSubType 0, bIndexType, dwChunkId,
// dwReserved[3]. nEntriesInUse (p + 4) is left as it is: SetEntriesInUse.
void PutSuperIndexHeader(std::uint8_t* p, std::uint32_t chunkId);
// Entry i: qwOffset of the standard index chunk, dwSize (its header
// included), dwDuration (frames, or audio samples, it covers).
void PutSuperIndexEntry(std::uint8_t* p, std::uint32_t i, std::uint64_t offset, std::uint32_t size,
                        std::uint32_t duration);

// AVISTDINDEX: wLongsPerEntry 2, bIndexSubType 0, bIndexType, nEntriesInUse,
// dwChunkId, qwBaseOffset (from which the entries' offsets count), dwReserved3.
void PutStandardIndexHeader(std::uint8_t* p, std::uint32_t chunkId, std::uint32_t entries, std::uint64_t base);
// Entry i: dwOffset of the chunk's data from the base, dwSize.
void PutStandardIndexEntry(std::uint8_t* p, std::uint32_t i, std::uint32_t offset, std::uint32_t size);

// nEntriesInUse of either index.
std::uint32_t EntriesInUse(const std::uint8_t* p);
void SetEntriesInUse(std::uint8_t* p, std::uint32_t n);

} // namespace th::riff::odml

#include "platform/riff/OpenDmlIndex.h"

#include "platform/riff/Riff.h"

#include <cstring>

namespace th::riff::odml {

void PutSuperIndexHeader(std::uint8_t* p, std::uint32_t chunkId)
{
    Put16(p + 0, 4);          // wLongsPerEntry
    p[2] = 0;                 // bIndexSubType
    p[3] = kIndexOfIndexes;   // bIndexType
    Put32(p + 8, chunkId);    // dwChunkId
    std::memset(p + 12, 0, 12); // dwReserved[3]
}

void PutSuperIndexEntry(std::uint8_t* p, std::uint32_t i, std::uint64_t offset, std::uint32_t size,
                        std::uint32_t duration)
{
    std::uint8_t* e = p + kSuperIndexHeaderBytes + i * kSuperIndexEntryBytes;
    Put64(e, offset);       // qwOffset
    Put32(e + 8, size);     // dwSize
    Put32(e + 12, duration); // dwDuration
}

void PutStandardIndexHeader(std::uint8_t* p, std::uint32_t chunkId, std::uint32_t entries, std::uint64_t base)
{
    Put16(p + 0, 2);         // wLongsPerEntry
    p[2] = 0;                // bIndexSubType
    p[3] = kIndexOfChunks;   // bIndexType
    Put32(p + 4, entries);   // nEntriesInUse
    Put32(p + 8, chunkId);   // dwChunkId
    Put64(p + 12, base);     // qwBaseOffset
    Put32(p + 20, 0);        // dwReserved3
}

void PutStandardIndexEntry(std::uint8_t* p, std::uint32_t i, std::uint32_t offset, std::uint32_t size)
{
    std::uint8_t* e = p + kStandardIndexHeaderBytes + i * kStandardIndexEntryBytes;
    Put32(e, offset);   // dwOffset
    Put32(e + 4, size); // dwSize
}

std::uint32_t EntriesInUse(const std::uint8_t* p) { return Get32(p + 4); }
void SetEntriesInUse(std::uint8_t* p, std::uint32_t n) { Put32(p + 4, n); }

} // namespace th::riff::odml

#pragma once
// Taking chunks back from the end of an OpenDML file that both AVI writers
// share: the cut-back that makes room for the indexes after a failed write,
// the take-back of what a write behind lost, and the take-back of the gap
// fillers written before a chunk that failed. Each writer keeps the standard
// index entries of its current piece its own way; HeldEntries is the view of
// them these rules need. No Qt.

#include <cstdint>
#include <functional>
#include <optional>

namespace th::riff::odml {

// The standard index entries a writer still holds in memory, per stream, in
// the order their chunks were written.
class HeldEntries {
public:
    virtual std::size_t streams() const = 0;
    virtual std::uint32_t entryCount(std::size_t s) const = 0;
    // File offset of the chunk header of entry i; -1 for an entry that has no
    // chunk (a dropped frame counted by its index entry alone).
    virtual std::int64_t chunkPos(std::size_t s, std::uint32_t i) const = 0;
    // Where that chunk ends in the file.
    virtual std::int64_t chunkEnd(std::size_t s, std::uint32_t i) const = 0;
    // A frame without picture (a dropped frame), which the file need not end on.
    virtual bool isLostFrame(std::size_t s, std::uint32_t i) const = 0;
    // Takes the stream's last entry back, with the frames or samples it counts.
    virtual void dropLast(std::size_t s) = 0;

protected:
    ~HeldEntries() = default;
};

// Makes the file end at `pos`, the header of the chunk taken back; false when
// it cannot, and then nothing is taken back.
using CutFile = std::function<bool(std::int64_t pos)>;

struct ChunkRef {
    std::size_t stream = 0;
    std::uint32_t entry = 0;
    std::int64_t pos = 0;
};

// The file's last chunk that an entry held points at.
std::optional<ChunkRef> lastChunk(const HeldEntries& held);

// Cuts the file's last held chunk off; its entry goes, and with it the
// entries without a chunk behind it. False when there is none or it cannot be cut.
bool cutLastChunk(HeldEntries& held, const CutFile& cut);

// After a failed write the disk may have no room for the indexes: the last
// chunks give theirs up, one by one, until `writeIndexes` succeeds, so that
// every chunk the file keeps is indexed. Whether the indexes went out.
bool cutUntilIndexesFit(HeldEntries& held, const std::function<bool()>& writeIndexes, const CutFile& cut);

// A write behind failed and the file's good data ends at `end`: the chunks
// ending after it go, and the lost frames then at the file's end with them,
// so that the file ends on its last frame. `cut` (when given) is told of each
// chunk taken back.
void takeBackAfter(HeldEntries& held, std::int64_t end, const CutFile& cut);

// Takes back up to `count` last entries of stream s, which filled a gap
// before a chunk that failed: entries without a chunk freely, a chunk only
// as the file's last and with `cut` given. How many were taken back.
std::int64_t takeBackLast(HeldEntries& held, std::size_t s, std::int64_t count, const CutFile& cut);

} // namespace th::riff::odml

#include "platform/riff/OpenDmlTakeBack.h"

namespace th::riff::odml {

namespace {

// Entries without a chunk have no place in the file: at a stream's end they
// stand after its last chunk.
void dropTrailingUnplaced(HeldEntries& held, std::size_t s)
{
    while (held.entryCount(s) > 0 && held.chunkPos(s, held.entryCount(s) - 1) < 0)
        held.dropLast(s);
}

void dropDownTo(HeldEntries& held, const ChunkRef& ref)
{
    while (held.entryCount(ref.stream) > ref.entry)
        held.dropLast(ref.stream);
}

} // namespace

std::optional<ChunkRef> lastChunk(const HeldEntries& held)
{
    // Chunks go out in order: each stream's last placed entry, the one furthest in wins.
    std::optional<ChunkRef> best;
    for (std::size_t s = 0; s < held.streams(); ++s) {
        for (std::uint32_t i = held.entryCount(s); i-- > 0;) {
            const std::int64_t pos = held.chunkPos(s, i);
            if (pos < 0)
                continue;
            if (!best || pos > best->pos)
                best = ChunkRef{s, i, pos};
            break;
        }
    }
    return best;
}

bool cutLastChunk(HeldEntries& held, const CutFile& cut)
{
    const std::optional<ChunkRef> last = lastChunk(held);
    if (!last || !cut(last->pos))
        return false;
    dropDownTo(held, *last);
    return true;
}

bool cutUntilIndexesFit(HeldEntries& held, const std::function<bool()>& writeIndexes, const CutFile& cut)
{
    bool indexed = writeIndexes();
    while (!indexed && cutLastChunk(held, cut))
        indexed = writeIndexes();
    return indexed;
}

void takeBackAfter(HeldEntries& held, std::int64_t end, const CutFile& cut)
{
    for (;;) {
        for (std::size_t s = 0; s < held.streams(); ++s)
            dropTrailingUnplaced(held, s);
        const std::optional<ChunkRef> last = lastChunk(held);
        if (!last)
            return;
        if (held.chunkEnd(last->stream, last->entry) <= end && !held.isLostFrame(last->stream, last->entry))
            return;
        if (cut && !cut(last->pos))
            return;
        dropDownTo(held, *last);
    }
}

std::int64_t takeBackLast(HeldEntries& held, std::size_t s, std::int64_t count, const CutFile& cut)
{
    std::int64_t taken = 0;
    while (taken < count && held.entryCount(s) > 0) {
        const std::uint32_t i = held.entryCount(s) - 1;
        const std::int64_t pos = held.chunkPos(s, i);
        if (pos >= 0) {
            const std::optional<ChunkRef> last = lastChunk(held);
            if (!cut || !last || last->stream != s || !cut(pos))
                break;
        }
        held.dropLast(s);
        ++taken;
    }
    return taken;
}

} // namespace th::riff::odml

#include "platform/riff/Riff.h"

#include "platform/riff/RiffFile.h"

#include <algorithm>
#include <limits>

namespace th::riff {

namespace {
constexpr std::uint8_t kZeros[4096] = {};
}

std::string FourCCText(std::uint32_t code)
{
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(code >> (8 * i));
        s[i] = (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return s;
}

DWORD Sink::AppendZeros(std::size_t n)
{
    while (n > 0) {
        const std::size_t step = std::min(n, sizeof kZeros);
        if (const DWORD r = Append(kZeros, step))
            return r;
        n -= step;
    }
    return 0;
}

DWORD MemorySink::Append(const void* data, std::size_t n)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
    return 0;
}

DWORD MemorySink::AppendZeros(std::size_t n)
{
    bytes_.resize(bytes_.size() + n, 0);
    return 0;
}

DWORD MemorySink::Patch(std::int64_t pos, const void* data, std::size_t n)
{
    if (pos < 0 || static_cast<std::uint64_t>(pos) + n > bytes_.size())
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    std::memcpy(bytes_.data() + pos, data, n);
    return 0;
}

ChunkWriter::ChunkWriter(Sink& sink, Padding padding) : sink_(sink), padding_(padding) {}

std::int64_t ChunkWriter::BeginChunk(std::uint32_t id)
{
    const std::int64_t pos = sink_.Position();
    std::uint8_t head[8];
    riff::Put32(head, id);
    riff::Put32(head + 4, 0); // size, patched by EndChunk
    note(sink_.Append(head, sizeof head));
    open_.push_back(pos);
    return pos;
}

std::int64_t ChunkWriter::BeginList(std::uint32_t id, std::uint32_t type)
{
    const std::int64_t pos = BeginChunk(id);
    Put32(type);
    return pos;
}

std::uint32_t ChunkWriter::EndChunk()
{
    if (open_.empty())
        return 0;
    const std::int64_t start = open_.back();
    open_.pop_back();
    const std::int64_t bytes = sink_.Position() - start - 8;
    std::uint32_t size = 0;
    if (bytes < 0 || bytes > std::numeric_limits<std::uint32_t>::max())
        note(kErrorFileTooLarge);
    else
        size = static_cast<std::uint32_t>(bytes);
    std::uint8_t field[4];
    riff::Put32(field, size);
    note(sink_.Patch(start + 4, field, sizeof field));
    if (padding_ == Padding::Even && (bytes & 1))
        Put8(0);
    return size;
}

void ChunkWriter::WriteChunk(std::uint32_t id, const void* data, std::size_t n)
{
    BeginChunk(id);
    PutBytes(data, n);
    EndChunk();
}

void ChunkWriter::Put16(std::uint16_t v)
{
    std::uint8_t b[2];
    riff::Put16(b, v);
    PutBytes(b, sizeof b);
}

void ChunkWriter::Put32(std::uint32_t v)
{
    std::uint8_t b[4];
    riff::Put32(b, v);
    PutBytes(b, sizeof b);
}

void ChunkWriter::Put64(std::uint64_t v)
{
    std::uint8_t b[8];
    riff::Put64(b, v);
    PutBytes(b, sizeof b);
}

void ChunkWriter::PutBytes(const void* data, std::size_t n)
{
    note(sink_.Append(data, n));
}

void ChunkWriter::PutZeros(std::size_t n)
{
    note(sink_.AppendZeros(n));
}

} // namespace th::riff

#pragma once
// RIFF building blocks shared by the AVI writers: FourCC codes, little-endian
// stores, and a chunk writer that opens chunks and lists, back-patches their
// sizes when they are closed and pads them to even length where the format
// wants it. The chunk writer works on any Sink: a memory block (a header that
// is assembled first and written in one go) or a File (RiffFile.h). No Qt.

#include "platform/base/WinTypes.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace th::riff {

// Four ASCII characters as a little-endian 32-bit value, the first character
// in the lowest byte ('vids' is 0x73646976).
constexpr std::uint32_t FourCC(char a, char b, char c, char d)
{
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(a))
         | static_cast<std::uint32_t>(static_cast<std::uint8_t>(b)) << 8
         | static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 16
         | static_cast<std::uint32_t>(static_cast<std::uint8_t>(d)) << 24;
}
constexpr std::uint32_t FourCC(const char (&text)[5]) { return FourCC(text[0], text[1], text[2], text[3]); }
// The text of a FourCC, for messages and tests.
std::string FourCCText(std::uint32_t code);

// Little-endian stores and loads at an address.
inline void Put16(void* p, std::uint16_t v)
{
    auto* b = static_cast<std::uint8_t*>(p);
    b[0] = static_cast<std::uint8_t>(v);
    b[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(void* p, std::uint32_t v)
{
    auto* b = static_cast<std::uint8_t*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put64(void* p, std::uint64_t v)
{
    auto* b = static_cast<std::uint8_t*>(p);
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t Get16(const void* p)
{
    const auto* b = static_cast<const std::uint8_t*>(p);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}
inline std::uint32_t Get32(const void* p)
{
    const auto* b = static_cast<const std::uint8_t*>(p);
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | b[i];
    return v;
}
inline std::uint64_t Get64(const void* p)
{
    const auto* b = static_cast<const std::uint8_t*>(p);
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | b[i];
    return v;
}

// Where chunk bytes go. Results are 0 or a Win32 error code.
class Sink {
public:
    virtual ~Sink() = default;
    // Offset of the next appended byte.
    virtual std::int64_t Position() const = 0;
    virtual DWORD Append(const void* data, std::size_t n) = 0;
    virtual DWORD AppendZeros(std::size_t n);
    // Overwrites bytes already appended; the position does not move.
    virtual DWORD Patch(std::int64_t pos, const void* data, std::size_t n) = 0;
};

// A growing block of memory.
class MemorySink final : public Sink {
public:
    std::int64_t Position() const override { return static_cast<std::int64_t>(bytes_.size()); }
    DWORD Append(const void* data, std::size_t n) override;
    DWORD AppendZeros(std::size_t n) override;
    // ERROR_INVALID_PARAMETER for a range beyond what was appended.
    DWORD Patch(std::int64_t pos, const void* data, std::size_t n) override;

    std::vector<std::uint8_t>& Bytes() { return bytes_; }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
    std::vector<std::uint8_t> Take() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
};

enum class Padding {
    Even, // a pad byte follows odd-sized data; the size field leaves it out (plain RIFF)
    None, // chunks follow each other without pad bytes
};

// Writes nested chunks. Every write goes straight to the sink; the first
// failure is kept (FirstError) and later writes still go on, so that a writer
// can finish its headers after an error and report the first cause.
class ChunkWriter {
public:
    explicit ChunkWriter(Sink& sink, Padding padding = Padding::Even);
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;

    // Opens a chunk: its id and a provisional size of 0. Returns the chunk's
    // position (that of its id).
    std::int64_t BeginChunk(std::uint32_t id);
    // Opens a list ('LIST' or 'RIFF'): id, provisional size, list type.
    // Returns the list's position. Its size counts from the list type on.
    std::int64_t BeginList(std::uint32_t id, std::uint32_t type);
    // Closes the innermost open chunk or list: its size field receives the
    // bytes written since its 8-byte header; a pad byte follows when padding
    // is Even and that size is odd. Returns the size written into the field.
    // A chunk of 4 GiB or more cannot be described: ERROR_FILE_TOO_LARGE.
    std::uint32_t EndChunk();
    // A whole chunk in one go.
    void WriteChunk(std::uint32_t id, const void* data, std::size_t n);

    void Put8(std::uint8_t v) { PutBytes(&v, 1); }
    void Put16(std::uint16_t v);
    void Put32(std::uint32_t v);
    void Put64(std::uint64_t v);
    void PutFourCC(std::uint32_t code) { Put32(code); }
    void PutBytes(const void* data, std::size_t n);
    void PutZeros(std::size_t n);

    std::int64_t Position() const { return sink_.Position(); }
    std::size_t OpenChunks() const { return open_.size(); }
    DWORD FirstError() const { return firstError_; }

private:
    void note(DWORD r)
    {
        if (r != 0 && firstError_ == 0)
            firstError_ = r;
    }

    Sink& sink_;
    Padding padding_;
    std::vector<std::int64_t> open_;
    DWORD firstError_ = 0;
};

} // namespace th::riff

#include "AviCheck.h"

#include "platform/riff/Riff.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using th::riff::FourCC;
using th::riff::FourCCText;
using th::riff::Get16;
using th::riff::Get32;
using th::riff::Get64;

namespace avicheck {

namespace {

class Reader {
public:
    explicit Reader(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        struct stat st {};
        if (fd_ >= 0 && ::fstat(fd_, &st) == 0)
            size_ = static_cast<std::uint64_t>(st.st_size);
    }
    ~Reader()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    std::uint64_t size() const { return size_; }
    bool read(std::int64_t pos, void* out, std::size_t n) const
    {
        return pos >= 0 && static_cast<std::uint64_t>(pos) + n <= size_
            && ::pread(fd_, out, n, pos) == static_cast<ssize_t>(n);
    }

private:
    int fd_;
    std::uint64_t size_ = 0;
};

std::string at(std::int64_t pos)
{
    char b[48];
    std::snprintf(b, sizeof b, " at %lld", static_cast<long long>(pos));
    return b;
}

// Reads the chunks between begin and end (no pad bytes between them).
void walkChunks(const Reader& r, std::int64_t begin, std::int64_t end, std::vector<Chunk>& out,
                std::vector<std::string>& errors, int depth)
{
    std::int64_t pos = begin;
    while (pos < end) {
        std::uint8_t h[12];
        if (end - pos < 8 || !r.read(pos, h, 8)) {
            errors.push_back("truncated chunk header" + at(pos));
            return;
        }
        Chunk c;
        c.id = Get32(h);
        c.size = Get32(h + 4);
        c.pos = pos;
        const std::int64_t dataEnd = pos + 8 + static_cast<std::int64_t>(c.size);
        if (dataEnd > end) {
            errors.push_back("chunk '" + FourCCText(c.id) + "'" + at(pos) + " runs past its parent");
            return;
        }
        if (c.id == FourCC("LIST") || c.id == FourCC("RIFF")) {
            if (c.size < 4 || !r.read(pos + 8, h + 8, 4)) {
                errors.push_back("list without a type" + at(pos));
                return;
            }
            c.type = Get32(h + 8);
            if (depth < 8)
                walkChunks(r, pos + 12, dataEnd, c.children, errors, depth + 1);
        }
        out.push_back(std::move(c));
        pos = dataEnd;
    }
}

const Chunk* find(const std::vector<Chunk>& list, std::uint32_t id, std::uint32_t type = 0)
{
    for (const Chunk& c : list)
        if (c.id == id && (type == 0 || c.type == type))
            return &c;
    return nullptr;
}

void collect(const std::vector<Chunk>& list, std::uint32_t id, std::vector<const Chunk*>& out)
{
    for (const Chunk& c : list)
        if (id == 0 || c.id == id)
            out.push_back(&c);
}

} // namespace

std::string AviFile::errorText() const
{
    std::string s;
    for (const auto& e : errors)
        s += e + "\n";
    return s;
}

std::vector<const Chunk*> AviFile::movieChunks(std::uint32_t id) const
{
    std::vector<const Chunk*> out;
    for (const Chunk& riff : riffs)
        if (const Chunk* movi = find(riff.children, FourCC("LIST"), FourCC("movi")))
            collect(movi->children, id, out);
    return out;
}

std::vector<std::uint8_t> ReadAt(const std::string& path, std::int64_t pos, std::size_t n)
{
    Reader r(path);
    std::vector<std::uint8_t> b(n);
    if (!r.read(pos, b.data(), n))
        b.clear();
    return b;
}

AviFile Walk(const std::string& path)
{
    AviFile f;
    Reader r(path);
    if (!r.ok()) {
        f.errors.push_back("cannot open " + path);
        return f;
    }
    f.fileSize = r.size();
    std::vector<Chunk> top;
    walkChunks(r, 0, static_cast<std::int64_t>(r.size()), top, f.errors, 0);
    for (std::size_t i = 0; i < top.size(); ++i) {
        const Chunk& c = top[i];
        const std::uint32_t want = i == 0 ? FourCC("AVI ") : FourCC("AVIX");
        if (c.id != FourCC("RIFF") || c.type != want)
            f.errors.push_back("top-level chunk " + std::to_string(i) + " is '" + FourCCText(c.id) + "' '"
                               + FourCCText(c.type) + "'");
        if (!find(c.children, FourCC("LIST"), FourCC("movi")))
            f.errors.push_back("RIFF " + std::to_string(i) + " has no movi list");
    }
    f.riffs = std::move(top);
    if (f.riffs.empty())
        return f;

    // Every chunk the indexes may point at, by position.
    std::vector<const Chunk*> movie = f.movieChunks();
    auto chunkAt = [&](std::int64_t pos) -> const Chunk* {
        std::size_t lo = 0, hi = movie.size();
        while (lo < hi) {
            const std::size_t mid = (lo + hi) / 2;
            if (movie[mid]->pos < pos)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo < movie.size() && movie[lo]->pos == pos ? movie[lo] : nullptr;
    };

    const Chunk* hdrl = find(f.riffs[0].children, FourCC("LIST"), FourCC("hdrl"));
    if (!hdrl) {
        f.errors.push_back("no hdrl list");
        return f;
    }
    for (const Chunk& strl : hdrl->children) {
        if (strl.id != FourCC("LIST") || strl.type != FourCC("strl"))
            continue;
        StreamIndex s;
        const Chunk* indx = find(strl.children, FourCC("indx"));
        if (!indx) {
            f.errors.push_back("stream without indx");
            f.streams.push_back(s);
            continue;
        }
        std::vector<std::uint8_t> d(indx->size);
        r.read(indx->pos + 8, d.data(), d.size());
        if (d.size() < 24 || Get16(&d[0]) != 4 || d[2] != 0 || d[3] != 0)
            f.errors.push_back("bad super index header" + at(indx->pos));
        const std::uint32_t used = d.size() >= 24 ? Get32(&d[4]) : 0;
        s.chunkId = d.size() >= 24 ? Get32(&d[8]) : 0;
        if (24 + static_cast<std::uint64_t>(used) * 16 > d.size()) {
            f.errors.push_back("super index uses more entries than it holds");
            f.streams.push_back(s);
            continue;
        }
        for (std::uint32_t k = 0; k < used; ++k) {
            const std::uint8_t* e = &d[24 + 16 * k];
            const auto ixPos = static_cast<std::int64_t>(Get64(e));
            const std::uint32_t ixSize = Get32(e + 8);
            s.indexPos.push_back(ixPos);
            s.durations.push_back(Get32(e + 12));
            const Chunk* ix = chunkAt(ixPos);
            if (!ix || ix->size + 8 != ixSize) {
                f.errors.push_back("super index entry " + std::to_string(k) + " points at no index chunk" + at(ixPos));
                continue;
            }
            std::vector<std::uint8_t> b(ix->size + 8);
            r.read(ixPos, b.data(), b.size());
            if (Get16(&b[8]) != 2 || b[10] != 0 || b[11] != 1 || Get32(&b[16]) != s.chunkId)
                f.errors.push_back("bad standard index header" + at(ixPos));
            const std::uint32_t n = Get32(&b[12]);
            const std::uint64_t base = Get64(&b[20]);
            s.bases.push_back(base);
            if (32 + static_cast<std::uint64_t>(n) * 8 > b.size()) {
                f.errors.push_back("standard index uses more entries than it holds" + at(ixPos));
                continue;
            }
            for (std::uint32_t j = 0; j < n; ++j) {
                const std::uint32_t off = Get32(&b[32 + 8 * j]);
                const std::uint32_t size = Get32(&b[36 + 8 * j]);
                IndexEntry ie;
                if (off == 0 && size == 0x80000000u) {
                    ie.dropped = true;
                    s.entries.push_back(ie);
                    continue;
                }
                ie.dataPos = static_cast<std::int64_t>(base + off);
                ie.size = size & 0x7FFFFFFFu;
                const Chunk* target = chunkAt(ie.dataPos - 8);
                if (!target || target->id != s.chunkId || target->size != ie.size)
                    f.errors.push_back("index entry " + std::to_string(s.entries.size()) + " of '"
                                       + FourCCText(s.chunkId) + "' points at no matching chunk" + at(ie.dataPos));
                s.entries.push_back(ie);
            }
        }
        f.streams.push_back(std::move(s));
    }
    return f;
}

std::uint32_t HeaderLength(const std::string& path, const AviFile& file, int n)
{
    if (file.riffs.empty())
        return 0;
    const Chunk* hdrl = find(file.riffs.front().children, FourCC("LIST"), FourCC("hdrl"));
    if (!hdrl)
        return 0;
    int k = 0;
    for (const Chunk& c : hdrl->children) {
        if (c.id != FourCC("LIST") || c.type != FourCC("strl") || k++ != n)
            continue;
        const Chunk* strh = find(c.children, FourCC("strh"));
        if (!strh || strh->size < 36)
            return 0;
        const auto bytes = ReadAt(path, strh->pos + 8 + 32, 4); // dwLength
        return bytes.size() == 4 ? Get32(bytes.data()) : 0;
    }
    return 0;
}

} // namespace avicheck

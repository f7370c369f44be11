#include "AviOracle.h"

#include "platform/riff/Riff.h"

#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using th::riff::FourCC;
using th::riff::Get16;
using th::riff::Get32;
using th::riff::Get64;

namespace avioracle {

std::string FourCCText(std::uint32_t code)
{
    return th::riff::FourCCText(code);
}

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
    std::vector<std::uint8_t> read(std::int64_t pos, std::size_t n) const
    {
        std::vector<std::uint8_t> b(n);
        if (pos < 0 || static_cast<std::uint64_t>(pos) + n > size_ ||
            ::pread(fd_, b.data(), n, pos) != static_cast<ssize_t>(n))
            b.clear();
        return b;
    }

private:
    int fd_;
    std::uint64_t size_ = 0;
};

std::string at(std::int64_t pos)
{
    return " at " + std::to_string(pos);
}

void walkChunks(const Reader& r, std::int64_t begin, std::int64_t end, std::vector<Chunk>& out,
                std::vector<std::string>& errors, int depth)
{
    std::int64_t pos = begin;
    while (pos < end) {
        if (end - pos < 8) {
            errors.push_back("truncated chunk header" + at(pos));
            return;
        }
        const std::vector<std::uint8_t> h = r.read(pos, 12);
        if (h.size() < 8) {
            errors.push_back("unreadable chunk header" + at(pos));
            return;
        }
        Chunk c;
        c.id = Get32(&h[0]);
        c.size = Get32(&h[4]);
        c.pos = pos;
        const std::int64_t dataEnd = pos + 8 + static_cast<std::int64_t>(c.size);
        if (dataEnd > end) {
            errors.push_back("chunk '" + FourCCText(c.id) + "'" + at(pos) + " runs past its parent");
            return;
        }
        if (c.id == FourCC("LIST") || c.id == FourCC("RIFF")) {
            if (c.size < 4) {
                errors.push_back("list without a type" + at(pos));
                return;
            }
            c.type = Get32(&h[8]);
            if (depth < 8)
                walkChunks(r, pos + 12, dataEnd, c.children, errors, depth + 1);
        }
        out.push_back(std::move(c));
        pos = dataEnd + (c.size & 1);
    }
}

const Chunk* find(const std::vector<Chunk>& list, std::uint32_t id, std::uint32_t type = 0)
{
    for (const Chunk& c : list)
        if (c.id == id && (type == 0 || c.type == type))
            return &c;
    return nullptr;
}

bool isIndexChunk(std::uint32_t id)
{
    return (id & 0xFFFF) == (FourCC("ix00") & 0xFFFF);
}

} // namespace

std::string AviFile::errorText() const
{
    std::string s;
    for (const std::string& e : errors)
        s += e + "\n";
    return s;
}

std::vector<const Chunk*> AviFile::movieChunks(std::uint32_t id) const
{
    std::vector<const Chunk*> out;
    for (const Chunk& riff : riffs)
        if (const Chunk* movi = find(riff.children, FourCC("LIST"), FourCC("movi")))
            for (const Chunk& c : movi->children)
                if (id != 0 ? c.id == id : !isIndexChunk(c.id))
                    out.push_back(&c);
    return out;
}

std::vector<const Chunk*> AviFile::allMovieChunks() const
{
    std::vector<const Chunk*> out;
    for (const Chunk& riff : riffs)
        if (const Chunk* movi = find(riff.children, FourCC("LIST"), FourCC("movi")))
            for (const Chunk& c : movi->children)
                out.push_back(&c);
    return out;
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
    walkChunks(r, 0, static_cast<std::int64_t>(r.size()), f.riffs, f.errors, 0);
    if (f.riffs.empty()) {
        f.errors.push_back("no RIFF");
        return f;
    }
    std::map<std::int64_t, const Chunk*> inMovie; // every chunk of the movie lists by position
    std::vector<const Chunk*> movis;
    for (std::size_t i = 0; i < f.riffs.size(); ++i) {
        const Chunk& c = f.riffs[i];
        if (c.id != FourCC("RIFF") || c.type != (i == 0 ? FourCC("AVI ") : FourCC("AVIX")))
            f.errors.push_back("top-level chunk " + std::to_string(i) + " is '" + FourCCText(c.id) + "' '" +
                               FourCCText(c.type) + "'");
        const Chunk* movi = find(c.children, FourCC("LIST"), FourCC("movi"));
        if (!movi) {
            f.errors.push_back("RIFF " + std::to_string(i) + " without movi");
            continue;
        }
        movis.push_back(movi);
        for (const Chunk& m : movi->children)
            inMovie[m.pos] = &m;
    }
    const Chunk* hdrl = find(f.riffs[0].children, FourCC("LIST"), FourCC("hdrl"));
    if (!hdrl) {
        f.errors.push_back("no hdrl");
        return f;
    }
    if (const Chunk* avih = find(hdrl->children, FourCC("avih"))) {
        const std::vector<std::uint8_t> d = r.read(avih->pos + 8, avih->size);
        if (d.size() >= 56) {
            f.avihFlags = Get32(&d[12]);
            f.avihTotalFrames = Get32(&d[16]);
            f.avihStreams = Get32(&d[24]);
        } else {
            f.errors.push_back("short avih");
        }
    } else {
        f.errors.push_back("no avih");
    }
    if (const Chunk* odml = find(hdrl->children, FourCC("LIST"), FourCC("odml")))
        if (const Chunk* dmlh = find(odml->children, FourCC("dmlh"))) {
            const std::vector<std::uint8_t> d = r.read(dmlh->pos + 8, 4);
            if (d.size() == 4)
                f.dmlhTotalFrames = Get32(d.data());
        }

    for (const Chunk& strl : hdrl->children) {
        if (strl.id != FourCC("LIST") || strl.type != FourCC("strl"))
            continue;
        Stream s;
        if (const Chunk* strh = find(strl.children, FourCC("strh"))) {
            const std::vector<std::uint8_t> d = r.read(strh->pos + 8, strh->size);
            if (d.size() >= 48) {
                s.fccType = Get32(&d[0]);
                s.fccHandler = Get32(&d[4]);
                s.scale = Get32(&d[20]);
                s.rate = Get32(&d[24]);
                s.length = Get32(&d[32]);
                s.sampleSize = Get32(&d[44]);
            }
        } else {
            f.errors.push_back("stream without strh");
        }
        if (const Chunk* strf = find(strl.children, FourCC("strf")))
            s.format = r.read(strf->pos + 8, strf->size);
        const Chunk* indx = find(strl.children, FourCC("indx"));
        if (!indx) {
            f.errors.push_back("stream without indx");
            f.streams.push_back(s);
            continue;
        }
        const std::vector<std::uint8_t> d = r.read(indx->pos + 8, indx->size);
        if (d.size() < 24) {
            f.errors.push_back("bad super index" + at(indx->pos));
            f.streams.push_back(s);
            continue;
        }
        if (Get16(&d[0]) != 4 || d[2] != 0 || d[3] != 0)
            f.errors.push_back("bad super index header" + at(indx->pos));
        const std::uint32_t used = Get32(&d[4]);
        s.chunkId = Get32(&d[8]);
        if (24 + std::uint64_t(used) * 16 > d.size()) {
            f.errors.push_back("super index uses more entries than it holds");
        }
        for (std::uint32_t k = 0; k < used && 24 + std::uint64_t(k + 1) * 16 <= d.size(); ++k) {
            const std::uint8_t* e = &d[24 + 16 * k];
            const auto ixPos = static_cast<std::int64_t>(Get64(e));
            const std::uint32_t ixSize = Get32(e + 8);
            s.indexPos.push_back(ixPos);
            s.durations.push_back(Get32(e + 12));
            auto it = inMovie.find(ixPos);
            if (it == inMovie.end() || it->second->size + 8 != ixSize || !isIndexChunk(it->second->id)) {
                f.errors.push_back("super index entry " + std::to_string(k) + " leads to no index chunk" + at(ixPos));
                continue;
            }
            const std::vector<std::uint8_t> b = r.read(ixPos + 8, it->second->size);
            if (b.size() < 24 || Get16(&b[0]) != 2 || b[2] != 0 || b[3] != 1 || Get32(&b[8]) != s.chunkId) {
                f.errors.push_back("bad standard index" + at(ixPos));
                continue;
            }
            const std::uint32_t n = Get32(&b[4]);
            const std::uint64_t base = Get64(&b[12]);
            s.bases.push_back(base);
            if (24 + std::uint64_t(n) * 8 > b.size()) {
                f.errors.push_back("standard index uses more entries than it holds" + at(ixPos));
                continue;
            }
            std::uint64_t duration = 0;
            for (std::uint32_t j = 0; j < n; ++j) {
                const std::uint32_t off = Get32(&b[24 + 8 * j]);
                const std::uint32_t size = Get32(&b[28 + 8 * j]);
                Stream::Entry entry;
                if (off == 0 && size == 0x80000000u) {
                    entry.dropped = true;
                    s.entries.push_back(entry);
                    duration += s.fccType == FourCC("auds") && s.sampleSize ? 0 : 1;
                    continue;
                }
                entry.dataPos = static_cast<std::int64_t>(base + off);
                entry.size = size & 0x7FFFFFFFu;
                entry.key = (size & 0x80000000u) == 0;
                auto target = inMovie.find(entry.dataPos - 8);
                if (target == inMovie.end() || target->second->id != s.chunkId || target->second->size != entry.size)
                    f.errors.push_back("standard index entry leads to no matching chunk" + at(entry.dataPos));
                s.entries.push_back(entry);
                duration += s.fccType == FourCC("auds") && s.sampleSize ? entry.size / s.sampleSize : 1;
            }
            if (duration != s.durations.back())
                f.errors.push_back("super index duration " + std::to_string(s.durations.back()) +
                                   " differs from its standard index (" + std::to_string(duration) + ")");
        }
        f.streams.push_back(std::move(s));
    }

    if (const Chunk* idx1 = find(f.riffs[0].children, FourCC("idx1"))) {
        f.hasIdx1 = true;
        const std::vector<std::uint8_t> d = r.read(idx1->pos + 8, idx1->size);
        const std::int64_t base = movis.empty() ? 0 : movis[0]->pos + 8;
        for (std::size_t k = 0; k + 16 <= d.size(); k += 16) {
            Idx1Entry e{Get32(&d[k]), Get32(&d[k + 4]), Get32(&d[k + 8]), Get32(&d[k + 12])};
            auto target = inMovie.find(base + e.offset);
            if (target == inMovie.end() || target->second->id != e.id || target->second->size != e.size)
                f.errors.push_back("idx1 entry " + std::to_string(k / 16) + " leads to no matching chunk");
            f.idx1.push_back(e);
        }
    }
    if (((f.avihFlags & 0x10) != 0) != f.hasIdx1)
        f.errors.push_back("AVIF_HASINDEX does not tell whether idx1 is there");
    return f;
}

std::vector<std::uint8_t> ReadAt(const std::string& path, std::int64_t pos, std::size_t n)
{
    return Reader(path).read(pos, n);
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

} // namespace avioracle

#include "platform/riff/AviRepair.h"

#include "platform/riff/Riff.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace th::riff {

namespace {

constexpr std::uint32_t kAviHasIndex = 0x10;  // AVIF_HASINDEX
constexpr std::uint32_t kIdx1KeyFrame = 0x10; // AVIIF_KEYFRAME
constexpr std::uint32_t kNotKeyFrame = 0x80000000u;

class Fd {
public:
    explicit Fd(const std::string& path, bool write) : fd_(::open(path.c_str(), write ? O_RDWR : O_RDONLY)) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    bool ok() const { return fd_ >= 0; }
    std::int64_t size() const
    {
        struct stat st {};
        return ::fstat(fd_, &st) == 0 ? std::int64_t(st.st_size) : -1;
    }
    bool read(std::int64_t pos, void* data, std::size_t n) const
    {
        return ::pread(fd_, data, n, pos) == ssize_t(n);
    }
    bool write(std::int64_t pos, const void* data, std::size_t n) const
    {
        return ::pwrite(fd_, data, n, pos) == ssize_t(n);
    }
    bool put32(std::int64_t pos, std::uint32_t v) const
    {
        std::uint8_t b[4];
        Put32(b, v);
        return write(pos, b, 4);
    }
    bool truncate(std::int64_t pos) const { return ::ftruncate(fd_, pos) == 0; }
    bool sync() const { return ::fsync(fd_) == 0; }

private:
    int fd_;
};

struct Header {
    std::uint32_t id = 0, size = 0;
};

bool ReadHeader(const Fd& f, std::int64_t pos, Header& h, std::uint32_t* type = nullptr)
{
    std::uint8_t b[12];
    if (!f.read(pos, b, type ? 12 : 8))
        return false;
    h.id = Get32(b);
    h.size = Get32(b + 4);
    if (type)
        *type = Get32(b + 8);
    return true;
}

struct Stream {
    std::int64_t strh = -1, strf = -1, indx = -1; // data positions
    std::uint32_t strfSize = 0, indxSize = 0;
    std::uint32_t type = 0; // strh fccType
};

struct Layout {
    std::int64_t avih = -1, dmlh = -1;
    std::vector<Stream> streams;
    std::int64_t firstMovi = -1; // position of the first 'LIST' 'movi'
};

bool StreamChunk(std::uint32_t id, int& stream)
{
    const auto c = [&](int i) { return char((id >> (8 * i)) & 0xFF); };
    if (c(0) < '0' || c(0) > '9' || c(1) < '0' || c(1) > '9')
        return false;
    const std::string kind{c(2), c(3)};
    if (kind != "dc" && kind != "db" && kind != "wb" && kind != "pc")
        return false;
    stream = (c(0) - '0') * 10 + (c(1) - '0');
    return true;
}

bool ReadLayout(const Fd& f, std::int64_t fileSize, Layout& out)
{
    Header riff;
    std::uint32_t type = 0;
    if (!ReadHeader(f, 0, riff, &type) || riff.id != FourCC("RIFF") || type != FourCC("AVI "))
        return false;
    std::int64_t pos = 12;
    while (pos + 12 <= fileSize && out.firstMovi < 0) {
        Header h;
        std::uint32_t listType = 0;
        if (!ReadHeader(f, pos, h, &listType))
            return false;
        if (h.id == FourCC("LIST") && listType == FourCC("movi")) {
            out.firstMovi = pos;
            break;
        }
        if (h.id == FourCC("LIST") && listType == FourCC("hdrl")) {
            const std::int64_t end = pos + 8 + h.size;
            std::int64_t p = pos + 12;
            while (p + 8 <= end) {
                Header c;
                std::uint32_t sub = 0;
                if (!ReadHeader(f, p, c, &sub))
                    return false;
                if (c.id == FourCC("avih")) {
                    out.avih = p + 8;
                } else if (c.id == FourCC("LIST") && (sub == FourCC("strl") || sub == FourCC("odml"))) {
                    Stream s;
                    const std::int64_t listEnd = p + 8 + c.size;
                    for (std::int64_t q = p + 12; q + 8 <= listEnd;) {
                        Header d;
                        if (!ReadHeader(f, q, d))
                            return false;
                        if (d.id == FourCC("strh")) {
                            s.strh = q + 8;
                            std::uint8_t b[4];
                            if (f.read(q + 8, b, 4))
                                s.type = Get32(b);
                        } else if (d.id == FourCC("strf")) {
                            s.strf = q + 8;
                            s.strfSize = d.size;
                        } else if (d.id == FourCC("indx")) {
                            s.indx = q + 8;
                            s.indxSize = d.size;
                        } else if (d.id == FourCC("dmlh")) {
                            out.dmlh = q + 8;
                        }
                        q += 8 + d.size + (d.size & 1);
                    }
                    if (sub == FourCC("strl"))
                        out.streams.push_back(s);
                }
                p += 8 + c.size + (c.size & 1);
            }
        }
        if (h.size > std::uint32_t(fileSize))
            return false;
        pos += 8 + h.size + (h.size & 1);
    }
    return out.avih >= 0 && !out.streams.empty() && out.firstMovi > 0;
}

struct Entry {
    std::int64_t pos; // of the chunk header
    std::uint32_t id, size;
};

struct Piece {
    std::int64_t riff = 0, movi = 0, moviEnd = 0, idx1 = -1, end = 0;
    std::map<int, std::vector<Entry>> chunks;
};

} // namespace

bool AviIsUnfinished(const std::string& path)
{
    const Fd f(path, false);
    if (!f.ok())
        return false;
    const std::int64_t fileSize = f.size();
    Layout layout;
    if (fileSize < 12 || !ReadLayout(f, fileSize, layout))
        return false;
    for (std::int64_t pos = 0; pos < fileSize;) {
        Header h;
        std::uint32_t type = 0;
        if (!ReadHeader(f, pos, h, &type) || h.id != FourCC("RIFF"))
            return true;
        if (h.size < 4 || pos + 8 + std::int64_t(h.size) > fileSize)
            return true;
        pos += 8 + std::int64_t(h.size) + (h.size & 1);
    }
    // Whole pieces, yet nothing says where the frames are.
    const Stream& video = layout.streams.front();
    std::uint8_t b[8] = {};
    const bool superIndex = video.indx >= 0 && video.indxSize >= 24 && f.read(video.indx, b, 8) && Get32(b + 4) > 0;
    if (superIndex)
        return false;
    Header movi;
    if (!ReadHeader(f, layout.firstMovi, movi))
        return true;
    Header after;
    const std::int64_t idx1 = layout.firstMovi + 8 + movi.size;
    return !(ReadHeader(f, idx1, after) && after.id == FourCC("idx1"));
}

AviRepair RepairAvi(const std::string& path)
{
    AviRepair result;
    const Fd f(path, true);
    if (!f.ok()) {
        result.error = "the file cannot be opened for writing";
        return result;
    }
    const std::int64_t fileSize = f.size();
    Layout layout;
    if (fileSize < 12 || !ReadLayout(f, fileSize, layout)) {
        result.error = "its headers are damaged";
        return result;
    }

    // Every whole chunk, piece by piece, from the first movie list on.
    std::vector<Piece> pieces(1);
    pieces[0].riff = 0;
    pieces[0].movi = layout.firstMovi;
    std::int64_t pos = layout.firstMovi + 12;
    std::int64_t goodEnd = pos;
    while (pos + 8 <= fileSize) {
        Header h;
        std::uint32_t type = 0;
        if (!ReadHeader(f, pos, h, &type))
            break;
        if (h.id == FourCC("RIFF")) {
            Header movi;
            std::uint32_t moviType = 0;
            if (type != FourCC("AVIX") || !ReadHeader(f, pos + 12, movi, &moviType) || movi.id != FourCC("LIST")
                || moviType != FourCC("movi"))
                break;
            Piece& last = pieces.back();
            if (last.moviEnd == 0)
                last.moviEnd = pos;
            last.end = pos;
            Piece next;
            next.riff = pos;
            next.movi = pos + 12;
            pieces.push_back(next);
            pos += 24;
            goodEnd = pos;
            continue;
        }
        if (h.id == FourCC("LIST") && type == FourCC("rec ")) {
            pos += 12;
            continue;
        }
        const std::int64_t next = pos + 8 + std::int64_t(h.size) + (h.size & 1);
        if (pos + 8 + std::int64_t(h.size) > fileSize)
            break; // cut short when the writer stopped
        int stream = -1;
        if (StreamChunk(h.id, stream)) {
            if (stream >= int(layout.streams.size()))
                break;
            pieces.back().chunks[stream].push_back({pos, h.id, h.size});
        } else if (h.id == FourCC("idx1")) {
            Piece& last = pieces.back();
            last.idx1 = pos;
            last.moviEnd = pos;
        } else if (h.id != FourCC("JUNK") && (h.id & 0xFFFF) != (FourCC("ix00") & 0xFFFF)) {
            break; // not a chunk: what follows is no movie data
        }
        pos = next;
        goodEnd = pos;
    }
    // A last piece without a frame is no piece.
    while (pieces.size() > 1 && pieces.back().chunks.empty()) {
        goodEnd = pieces.back().riff;
        pieces.pop_back();
        pieces.back().moviEnd = 0;
        pieces.back().end = 0;
    }
    Piece& last = pieces.back();
    // An old 'idx1' of a file of one piece is written anew after the indexes.
    if (last.idx1 >= 0 && pieces.size() == 1)
        goodEnd = last.idx1;
    last.idx1 = -1;
    last.moviEnd = 0;
    if (!f.truncate(goodEnd)) {
        result.error = "the file cannot be cut back to its last whole chunk";
        return result;
    }

    // A standard index per stream and piece, at the end of the last movie list.
    std::int64_t at = goodEnd;
    struct SuperEntry {
        std::int64_t offset;
        std::uint32_t size, duration;
    };
    std::vector<std::vector<SuperEntry>> super(layout.streams.size());
    std::vector<std::uint32_t> chunkIds(layout.streams.size(), 0);
    std::vector<std::int64_t> totals(layout.streams.size(), 0); // frames, or audio bytes
    for (const Piece& piece : pieces) {
        for (const auto& [stream, entries] : piece.chunks) {
            const std::uint32_t id = entries.front().id;
            chunkIds[std::size_t(stream)] = id;
            const std::uint32_t ixId = FourCC('i', 'x', char(id & 0xFF), char((id >> 8) & 0xFF));
            std::vector<std::uint8_t> ix(32 + 8 * entries.size());
            Put32(ix.data(), ixId);
            Put32(ix.data() + 4, std::uint32_t(ix.size() - 8));
            Put16(ix.data() + 8, 2);
            ix[10] = 0;
            ix[11] = 1; // index of chunks
            Put32(ix.data() + 12, std::uint32_t(entries.size()));
            Put32(ix.data() + 16, id);
            Put64(ix.data() + 20, std::uint64_t(piece.riff));
            const bool audio = layout.streams[std::size_t(stream)].type == FourCC("auds");
            std::int64_t bytes = 0;
            for (std::size_t i = 0; i < entries.size(); ++i) {
                Put32(ix.data() + 32 + 8 * i, std::uint32_t(entries[i].pos + 8 - piece.riff));
                Put32(ix.data() + 36 + 8 * i, entries[i].size & ~kNotKeyFrame);
                bytes += entries[i].size;
            }
            if (!f.write(at, ix.data(), ix.size())) {
                result.error = "the indexes cannot be written";
                return result;
            }
            std::uint32_t duration = std::uint32_t(entries.size());
            if (audio) {
                const Stream& s = layout.streams[std::size_t(stream)];
                std::uint8_t fmt[14] = {};
                const std::uint16_t align = s.strfSize >= 14 && f.read(s.strf, fmt, 14) ? Get16(fmt + 12) : 0;
                duration = align ? std::uint32_t(bytes / align) : std::uint32_t(bytes);
                totals[std::size_t(stream)] += duration;
            } else {
                totals[std::size_t(stream)] += std::int64_t(entries.size());
            }
            super[std::size_t(stream)].push_back({at, std::uint32_t(ix.size()), duration});
            at += std::int64_t(ix.size());
        }
    }
    last.moviEnd = at;

    // 'idx1' for the players that read AVI 1.0: possible while the file is one piece.
    if (pieces.size() == 1) {
        std::vector<Entry> all;
        for (const auto& [stream, entries] : last.chunks)
            all.insert(all.end(), entries.begin(), entries.end());
        std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) { return a.pos < b.pos; });
        std::vector<std::uint8_t> idx1(8 + 16 * all.size());
        Put32(idx1.data(), FourCC("idx1"));
        Put32(idx1.data() + 4, std::uint32_t(16 * all.size()));
        for (std::size_t i = 0; i < all.size(); ++i) {
            std::uint8_t* e = idx1.data() + 8 + 16 * i;
            Put32(e, all[i].id);
            Put32(e + 4, kIdx1KeyFrame);
            Put32(e + 8, std::uint32_t(all[i].pos - (last.movi + 8)));
            Put32(e + 12, all[i].size);
        }
        if (!f.write(at, idx1.data(), idx1.size())) {
            result.error = "the indexes cannot be written";
            return result;
        }
        at += std::int64_t(idx1.size());
    }
    last.end = at;

    // Sizes of the pieces and their movie lists.
    bool patched = true;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        const std::int64_t end = i + 1 < pieces.size() ? pieces[i + 1].riff : at;
        const std::int64_t moviEnd = p.moviEnd > 0 ? p.moviEnd : end;
        patched = patched && f.put32(p.riff + 4, std::uint32_t(end - p.riff - 8))
                  && f.put32(p.movi + 4, std::uint32_t(moviEnd - p.movi - 8));
    }
    // Super indexes.
    for (std::size_t s = 0; s < layout.streams.size(); ++s) {
        const Stream& stream = layout.streams[s];
        if (stream.indx < 0 || super[s].empty())
            continue;
        if (stream.indxSize < 24 + 16 * super[s].size()) {
            result.error = "its headers have no room for the indexes of so many pieces";
            return result;
        }
        std::vector<std::uint8_t> indx(24 + 16 * super[s].size());
        Put16(indx.data(), 4);
        indx[2] = 0;
        indx[3] = 0; // index of indexes
        Put32(indx.data() + 4, std::uint32_t(super[s].size()));
        Put32(indx.data() + 8, chunkIds[s]);
        for (std::size_t i = 0; i < super[s].size(); ++i) {
            std::uint8_t* e = indx.data() + 24 + 16 * i;
            Put64(e, std::uint64_t(super[s][i].offset));
            Put32(e + 8, super[s][i].size);
            Put32(e + 12, super[s][i].duration);
        }
        patched = patched && f.write(stream.indx, indx.data(), indx.size());
        if (stream.strh >= 0)
            patched = patched && f.put32(stream.strh + 32, std::uint32_t(totals[s]));
    }
    // Frame counts: the first piece's in the main header, all in the OpenDML header.
    const std::int64_t frames = totals.front();
    std::int64_t firstFrames = 0;
    if (const auto it = pieces.front().chunks.find(0); it != pieces.front().chunks.end())
        firstFrames = std::int64_t(it->second.size());
    std::uint8_t flags[4] = {};
    if (pieces.size() == 1 && f.read(layout.avih + 12, flags, 4))
        patched = patched && f.put32(layout.avih + 12, Get32(flags) | kAviHasIndex);
    patched = patched && f.put32(layout.avih + 16, std::uint32_t(firstFrames));
    if (layout.dmlh >= 0)
        patched = patched && f.put32(layout.dmlh, std::uint32_t(frames));
    if (!patched || !f.sync()) {
        result.error = "its headers cannot be written";
        return result;
    }
    result.ok = true;
    result.frames = frames;
    return result;
}

} // namespace th::riff

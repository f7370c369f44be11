#include "platform/media/AviMuxFile.h"

#include "platform/riff/DvFormat.h"
#include "platform/riff/OpenDmlIndex.h"
#include "platform/riff/OpenDmlTakeBack.h"
#include "platform/riff/RiffFile.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <numeric>

namespace th::media {

using riff::FourCC;

namespace {

constexpr std::uint32_t AVIF_HASINDEX = 0x00000010;
constexpr std::uint32_t AVIF_ISINTERLEAVED = 0x00000100;
constexpr std::uint32_t AVIIF_KEYFRAME = 0x00000010;
constexpr std::uint32_t kNotKeyFrame = riff::odml::kNotKeyFrame;

constexpr REFERENCE_TIME kPalFrame = riff::dv::kPalFramePeriod;
constexpr REFERENCE_TIME kNtscFrame = riff::dv::kNtscFramePeriod;
constexpr std::size_t kNtscFrameBytes = riff::dv::kNtscFrameBytes;

void setFrameDuration(AviStreamInfo& info, REFERENCE_TIME d)
{
    if (d <= 0)
        d = kPalFrame;
    info.frameDuration = d;
    if (std::llabs(d - kNtscFrame) <= 1) {
        info.rate = 30000;
        info.scale = 1001;
        return;
    }
    const REFERENCE_TIME g = std::gcd(UNITS, d);
    info.rate = static_cast<std::uint32_t>(UNITS / g);
    info.scale = static_cast<std::uint32_t>(d / g);
}

void setDvSystem(AviStreamInfo& info, bool ntsc)
{
    setFrameDuration(info, ntsc ? kNtscFrame : kPalFrame);
    info.width = 720;
    info.height = ntsc ? 480 : 576;
}

std::uint32_t chunkId(std::size_t stream, std::uint16_t suffix)
{
    return FourCC(static_cast<char>('0' + stream / 10 % 10), static_cast<char>('0' + stream % 10),
                  static_cast<char>(suffix & 0xFF), static_cast<char>(suffix >> 8));
}

constexpr std::uint16_t Suffix(char a, char b)
{
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b) << 8);
}

} // namespace

bool DescribeStream(const AM_MEDIA_TYPE& mt, AviStreamInfo* info)
{
    AviStreamInfo s;
    if (mt.majortype == MEDIATYPE_Interleaved) {
        if (!(mt.subtype == MEDIASUBTYPE_dvsd) || !(mt.formattype == FORMAT_DvInfo) || !mt.pbFormat ||
            mt.cbFormat < sizeof(DVINFO))
            return false;
        s.kind = AviStreamKind::Interleaved;
        s.handler = FourCC("dvsd");
        s.suffix = Suffix('d', 'c');
        s.format.assign(mt.pbFormat, mt.pbFormat + sizeof(DVINFO));
        DVINFO dv;
        std::memcpy(&dv, mt.pbFormat, sizeof dv);
        if (mt.lSampleSize == kNtscFrameBytes || mt.lSampleSize == riff::dv::kPalFrameBytes) {
            setDvSystem(s, mt.lSampleSize == kNtscFrameBytes);
        } else if (dv.dwDVVAuxSrc != 0 && dv.dwDVVAuxSrc != 0xFFFFFFFFu) {
            // VAUX source pack, PC3 bit 5: 1 for the 625/50 system.
            setDvSystem(s, ((dv.dwDVVAuxSrc >> 16) & 0x20) == 0);
        } else {
            setDvSystem(s, false);
            s.rateFromFrameSize = true;
        }
    } else if (mt.majortype == MEDIATYPE_Video) {
        if (!(mt.formattype == FORMAT_VideoInfo) || !mt.pbFormat || mt.cbFormat < sizeof(VIDEOINFOHEADER))
            return false;
        VIDEOINFOHEADER vih;
        std::memcpy(&vih, mt.pbFormat, sizeof vih);
        const BITMAPINFOHEADER& bmi = vih.bmiHeader;
        if (bmi.biSize < sizeof(BITMAPINFOHEADER) || bmi.biWidth <= 0 || bmi.biHeight == 0)
            return false;
        s.kind = AviStreamKind::Video;
        s.width = bmi.biWidth;
        s.height = bmi.biHeight < 0 ? -bmi.biHeight : bmi.biHeight;
        if (mt.subtype == MEDIASUBTYPE_dvsd && bmi.biCompression != FourCC("dvsd"))
            return false;
        s.handler = bmi.biCompression;
        s.suffix = bmi.biCompression == BI_RGB ? Suffix('d', 'b') : Suffix('d', 'c');
        // The BITMAPINFOHEADER and whatever follows it (a palette, codec data).
        const BYTE* bmiStart = mt.pbFormat + offsetof(VIDEOINFOHEADER, bmiHeader);
        s.format.assign(bmiStart, static_cast<const BYTE*>(mt.pbFormat + mt.cbFormat));
        if (vih.AvgTimePerFrame > 0)
            setFrameDuration(s, vih.AvgTimePerFrame);
        else
            setFrameDuration(s, s.height == 480 ? kNtscFrame : kPalFrame);
    } else if (mt.majortype == MEDIATYPE_Audio) {
        if (!(mt.subtype == MEDIASUBTYPE_PCM) || !(mt.formattype == FORMAT_WaveFormatEx) || !mt.pbFormat ||
            mt.cbFormat < 16)
            return false;
        WAVEFORMATEX wf{};
        std::memcpy(&wf, mt.pbFormat, std::min<std::size_t>(mt.cbFormat, sizeof wf));
        if (mt.cbFormat < sizeof wf)
            wf.cbSize = 0;
        if (wf.wFormatTag != WAVE_FORMAT_PCM || wf.nChannels == 0 || wf.nSamplesPerSec == 0 ||
            wf.nBlockAlign == 0 || wf.wBitsPerSample == 0)
            return false;
        s.kind = AviStreamKind::Audio;
        s.suffix = Suffix('w', 'b');
        const std::size_t n = std::min<std::size_t>(mt.cbFormat, sizeof wf + wf.cbSize);
        s.format.assign(mt.pbFormat, mt.pbFormat + n);
        s.blockAlign = wf.nBlockAlign;
        s.samplesPerSec = wf.nSamplesPerSec;
        s.avgBytesPerSec = wf.nSamplesPerSec * wf.nBlockAlign;
        s.scale = wf.nBlockAlign;
        s.rate = s.avgBytesPerSec;
    } else {
        return false;
    }
    if (info)
        *info = std::move(s);
    return true;
}

void SetDvRateFromFrameSize(AviStreamInfo& info, std::size_t frameBytes)
{
    if (!info.rateFromFrameSize || frameBytes == 0)
        return;
    setDvSystem(info, frameBytes == kNtscFrameBytes);
    info.rateFromFrameSize = false;
}

// --- The layout -------------------------------------------------------------------------

AviFileLayout::AviFileLayout(AviSink& sink) : sink_(sink) {}


std::int64_t AviFileLayout::Length(int s) const
{
    const StreamState& st = streams_.at(static_cast<std::size_t>(s));
    if (st.info.kind == AviStreamKind::Audio)
        return st.bytes / st.info.blockAlign;
    return st.chunks;
}

HRESULT AviFileLayout::fail(DWORD code)
{
    if (!failed_) {
        failed_ = true;
        const HRESULT hr = sink_.LastFailure();
        firstError_ = hr != S_OK ? hr : HRESULT_FROM_WIN32(code ? code : static_cast<DWORD>(ERROR_WRITE_FAULT));
    }
    return firstError_;
}

HRESULT AviFileLayout::Begin(const std::vector<AviStreamInfo>& streams, const Options& options)
{
    if (open_)
        return VFW_E_WRONG_STATE;
    if (streams.empty() || streams.size() > 99)
        return E_INVALIDARG;
    options_ = options;
    // Each piece holds its headers and at least one chunk; a standard index
    // addresses its chunks with 32-bit offsets.
    options_.riffLimit = std::clamp<std::int64_t>(options_.riffLimit, 4096, std::int64_t(1) << 31);
    streams_.clear();
    streams_.resize(streams.size());
    const std::size_t perPiece =
        static_cast<std::size_t>(std::min<std::int64_t>(options_.riffLimit / 100000 + 64, 1 << 16));
    std::size_t silenceBytes = 0;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        StreamState& st = streams_[i];
        st.info = streams[i];
        st.chunkId = chunkId(i, st.info.suffix);
        st.indexId = FourCC('i', 'x', static_cast<char>('0' + i / 10 % 10), static_cast<char>('0' + i % 10));
        st.entries.reserve(perPiece);
        st.super.reserve(kSuperIndexEntries);
        if (st.info.kind == AviStreamKind::Audio) {
            // A tenth of a second per silence chunk.
            const std::size_t tenth = (st.info.samplesPerSec / 10 + 1) * st.info.blockAlign;
            silenceBytes = std::max(silenceBytes, tenth);
        }
    }
    silence_.assign(silenceBytes, 0);
    idx1_.clear();
    if (options_.oldIndex)
        idx1_.reserve(perPiece * streams.size() * 16);
    open_ = true;
    failed_ = false;
    firstError_ = S_OK;
    firstPiece_ = true;
    riffCount_ = 0;
    hasOldIndex_ = false;
    pieceOpen_ = false;
    pieceHasChunks_ = false;
    return beginPiece(true);
}

HRESULT AviFileLayout::beginPiece(bool first)
{
    const std::int64_t mark = sink_.Position();
    piece_.emplace(sink_);
    riffPos_ = piece_->BeginList(FourCC("RIFF"), first ? FourCC("AVI ") : FourCC("AVIX"));
    if (first) {
        hdrlPos_ = sink_.Position();
        const std::vector<std::uint8_t> headers = buildHeaders();
        hdrlSize_ = headers.size();
        piece_->PutBytes(headers.data(), headers.size());
    }
    moviPos_ = piece_->BeginList(FourCC("LIST"), FourCC("movi"));
    if (const DWORD r = piece_->FirstError()) {
        // A piece that could not be started is not there: the file ends before it.
        piece_.reset();
        sink_.Rewind(mark);
        return fail(r);
    }
    pieceOpen_ = true;
    pieceHasChunks_ = false;
    ++riffCount_;
    return S_OK;
}

std::int64_t AviFileLayout::pendingIndexBytes(int s) const
{
    std::int64_t bytes = 0;
    for (std::size_t k = 0; k < streams_.size(); ++k) {
        const std::size_t n = streams_[k].entries.size() + (static_cast<int>(k) == s ? 1 : 0);
        if (n > 0)
            bytes += 32 + 8 * static_cast<std::int64_t>(n);
    }
    if (firstPiece_ && options_.oldIndex)
        bytes += 8 + 16 * static_cast<std::int64_t>(idx1_.size() / 16 + 1);
    return bytes;
}

HRESULT AviFileLayout::putChunk(int s, const void* data, std::size_t n, bool key)
{
    if (!open_)
        return VFW_E_WRONG_STATE;
    if (failed_)
        return firstError_;
    if (s < 0 || static_cast<std::size_t>(s) >= streams_.size() || n > 0x7FFFFFF0u)
        return E_INVALIDARG;
    if (!pieceOpen_)
        return firstError_;
    const std::int64_t chunkBytes = 8 + static_cast<std::int64_t>(n) + static_cast<std::int64_t>(n & 1);
    if (pieceHasChunks_ &&
        sink_.Position() - riffPos_ + chunkBytes + pendingIndexBytes(s) > options_.riffLimit) {
        for (const StreamState& st : streams_)
            if (st.super.size() + 1 > kSuperIndexEntries)
                return fail(riff::kErrorFileTooLarge);
        endPiece();
        if (failed_)
            return firstError_;
        if (FAILED(beginPiece(false)))
            return firstError_;
    }
    StreamState& st = streams_[static_cast<std::size_t>(s)];
    const std::int64_t pos = sink_.Position();
    if (const DWORD r = sink_.AppendChunk(st.chunkId, data, n)) {
        std::int64_t end = pos;
        sink_.Flush(&end);
        sink_.Rewind(pos);
        takeBackAfter(end);
        return fail(r);
    }
    const std::uint32_t size = static_cast<std::uint32_t>(n);
    st.entries.push_back({static_cast<std::uint32_t>(pos + 8 - moviPos_), key ? size : size | kNotKeyFrame});
    if (firstPiece_ && options_.oldIndex) {
        // idx1: id, flags, offset of the chunk from the 'movi' list type, size.
        std::uint8_t e[16];
        riff::Put32(e, st.chunkId);
        riff::Put32(e + 4, key ? AVIIF_KEYFRAME : 0);
        riff::Put32(e + 8, static_cast<std::uint32_t>(pos - (moviPos_ + 8)));
        riff::Put32(e + 12, size);
        idx1_.insert(idx1_.end(), e, e + 16);
    }
    ++st.chunks;
    st.bytes += static_cast<std::int64_t>(n);
    st.maxChunk = std::max(st.maxChunk, size);
    st.pieceDuration += st.info.kind == AviStreamKind::Audio ? static_cast<std::int64_t>(n / st.info.blockAlign) : 1;
    if (firstPiece_)
        ++st.chunksFirstRiff;
    pieceHasChunks_ = true;
    return S_OK;
}

HRESULT AviFileLayout::WriteChunk(int s, const void* data, std::size_t n)
{
    if (n > 0 && !data)
        return E_POINTER;
    return putChunk(s, data, n, true);
}

HRESULT AviFileLayout::WriteDropped(int s, std::int64_t frames)
{
    if (s < 0 || static_cast<std::size_t>(s) >= streams_.size() ||
        streams_[static_cast<std::size_t>(s)].info.kind == AviStreamKind::Audio)
        return E_INVALIDARG;
    for (std::int64_t i = 0; i < frames; ++i)
        if (const HRESULT hr = putChunk(s, nullptr, 0, false); FAILED(hr))
            return hr;
    return S_OK;
}

HRESULT AviFileLayout::WriteSilence(int s, std::int64_t samples)
{
    if (s < 0 || static_cast<std::size_t>(s) >= streams_.size() ||
        streams_[static_cast<std::size_t>(s)].info.kind != AviStreamKind::Audio)
        return E_INVALIDARG;
    const std::uint32_t align = streams_[static_cast<std::size_t>(s)].info.blockAlign;
    const std::int64_t perChunk = static_cast<std::int64_t>(silence_.size() / align);
    while (samples > 0) {
        const std::int64_t piece = std::min(samples, perChunk);
        if (const HRESULT hr = putChunk(s, silence_.data(), static_cast<std::size_t>(piece) * align, true);
            FAILED(hr))
            return hr;
        samples -= piece;
    }
    return S_OK;
}

std::vector<std::uint8_t> AviFileLayout::buildStandardIndex(const StreamState& st, std::int64_t base) const
{
    // Exactly as long as its entries.
    const auto n = static_cast<std::uint32_t>(st.entries.size());
    std::vector<std::uint8_t> b(riff::odml::kStandardIndexHeaderBytes + riff::odml::kStandardIndexEntryBytes * n);
    riff::odml::PutStandardIndexHeader(b.data(), st.chunkId, n, static_cast<std::uint64_t>(base));
    for (std::uint32_t i = 0; i < n; ++i)
        riff::odml::PutStandardIndexEntry(b.data(), i, st.entries[i].offset, st.entries[i].size);
    return b;
}

bool AviFileLayout::writeIndexes()
{
    const std::int64_t start = sink_.Position();
    std::vector<std::size_t> supers;
    for (const StreamState& st : streams_)
        supers.push_back(st.super.size());
    bool ok = true;
    // The standard indexes close the movie list, one per stream with chunks here.
    for (StreamState& st : streams_) {
        if (st.entries.empty())
            continue;
        const std::vector<std::uint8_t> ix = buildStandardIndex(st, moviPos_);
        const std::int64_t pos = sink_.Position();
        if (const DWORD r = sink_.AppendChunk(st.indexId, ix.data(), ix.size())) {
            fail(r);
            ok = false;
            break;
        }
        st.super.push_back({static_cast<std::uint64_t>(pos), static_cast<std::uint32_t>(ix.size() + 8),
                            static_cast<std::uint32_t>(st.pieceDuration)});
    }
    if (ok && firstPiece_ && options_.oldIndex) {
        // The movie list ends before 'idx1'.
        moviEnd_ = sink_.Position();
        if (const DWORD r = sink_.AppendChunk(FourCC("idx1"), idx1_.data(), idx1_.size())) {
            fail(r);
            ok = false;
        }
    } else {
        moviEnd_ = sink_.Position();
    }
    if (ok)
        return true;
    sink_.Rewind(start);
    moviEnd_ = start;
    for (std::size_t k = 0; k < streams_.size(); ++k)
        streams_[k].super.resize(supers[k]);
    return false;
}

class AviFileLayout::HeldChunks final : public riff::odml::HeldEntries {
public:
    explicit HeldChunks(AviFileLayout& layout) : layout_(layout) {}

    std::size_t streams() const override { return layout_.streams_.size(); }
    std::uint32_t entryCount(std::size_t s) const override
    {
        return static_cast<std::uint32_t>(layout_.streams_[s].entries.size());
    }
    // Every entry has its chunk here, a dropped frame an empty one.
    std::int64_t chunkPos(std::size_t s, std::uint32_t i) const override
    {
        return layout_.moviPos_ + layout_.streams_[s].entries[i].offset - 8;
    }
    std::int64_t chunkEnd(std::size_t s, std::uint32_t i) const override
    {
        const std::uint32_t size = dataSize(s, i);
        return layout_.moviPos_ + layout_.streams_[s].entries[i].offset + size + (size & 1);
    }
    bool isLostFrame(std::size_t s, std::uint32_t i) const override
    {
        return dataSize(s, i) == 0 && layout_.streams_[s].info.kind != AviStreamKind::Audio;
    }
    void dropLast(std::size_t s) override
    {
        StreamState& st = layout_.streams_[s];
        const std::uint32_t size = st.entries.back().size & ~kNotKeyFrame;
        st.entries.pop_back();
        --st.chunks;
        st.bytes -= size;
        st.pieceDuration -= st.info.kind == AviStreamKind::Audio ? size / st.info.blockAlign : 1;
        if (layout_.firstPiece_) {
            --st.chunksFirstRiff;
            if (layout_.options_.oldIndex && layout_.idx1_.size() >= 16)
                layout_.idx1_.resize(layout_.idx1_.size() - 16);
        }
    }
    // Appends go on from the chunk taken back.
    riff::odml::CutFile rewindSink()
    {
        return [this](std::int64_t pos) {
            layout_.sink_.Rewind(pos);
            return true;
        };
    }

private:
    std::uint32_t dataSize(std::size_t s, std::uint32_t i) const
    {
        return layout_.streams_[s].entries[i].size & ~kNotKeyFrame;
    }

    AviFileLayout& layout_;
};

void AviFileLayout::takeBackAfter(std::int64_t end)
{
    HeldChunks held(*this);
    riff::odml::takeBackAfter(held, end, held.rewindSink());
}

void AviFileLayout::TakeBack(int s, std::int64_t chunks)
{
    HeldChunks held(*this);
    const StreamState& st = streams_.at(static_cast<std::size_t>(s));
    if (st.chunks > chunks)
        riff::odml::takeBackLast(held, static_cast<std::size_t>(s), st.chunks - chunks, held.rewindSink());
}

void AviFileLayout::endPiece()
{
    if (!pieceOpen_)
        return;
    // After a failed write the disk may have no room for the indexes: the
    // chunks they would cover last give way, one by one, until they fit, so
    // that the file indexes every chunk it keeps.
    HeldChunks held(*this);
    const bool indexed = riff::odml::cutUntilIndexesFit(held, [this] { return writeIndexes(); }, held.rewindSink());
    for (StreamState& st : streams_) {
        st.entries.clear();
        st.pieceDuration = 0;
    }
    // The movi list's size: up to the indexes, without 'idx1'.
    const std::int64_t end = sink_.Position();
    sink_.Rewind(moviEnd_);
    piece_->EndChunk(); // movi
    sink_.Rewind(end);
    if (indexed && firstPiece_ && options_.oldIndex)
        hasOldIndex_ = true;
    piece_->EndChunk(); // RIFF
    if (const DWORD r = piece_->FirstError())
        fail(r);
    piece_.reset();
    pieceOpen_ = false;
    firstPiece_ = false;
}

std::vector<std::uint8_t> AviFileLayout::buildHeaders() const
{
    riff::MemorySink m;
    riff::ChunkWriter w(m);

    const StreamState* main = nullptr;
    for (const StreamState& st : streams_)
        if (st.info.kind != AviStreamKind::Audio) {
            main = &st;
            break;
        }
    std::uint64_t maxBytesPerSec = 0;
    std::uint32_t suggested = 0;
    for (const StreamState& st : streams_) {
        if (st.info.kind == AviStreamKind::Audio)
            maxBytesPerSec += st.info.avgBytesPerSec;
        else if (st.info.scale)
            maxBytesPerSec += static_cast<std::uint64_t>(st.maxChunk) * st.info.rate / st.info.scale;
        suggested = std::max(suggested, st.maxChunk ? st.maxChunk + 8 : 0);
    }

    w.BeginList(FourCC("LIST"), FourCC("hdrl"));
    // avih: dwMicroSecPerFrame, dwMaxBytesPerSec, dwPaddingGranularity, dwFlags,
    // dwTotalFrames (of the first RIFF), dwInitialFrames, dwStreams,
    // dwSuggestedBufferSize, dwWidth, dwHeight, dwReserved[4].
    w.BeginChunk(FourCC("avih"));
    w.Put32(main ? static_cast<std::uint32_t>(main->info.frameDuration / 10) : 0);
    w.Put32(static_cast<std::uint32_t>(std::min<std::uint64_t>(maxBytesPerSec, 0xFFFFFFFFu)));
    w.Put32(0);
    w.Put32((hasOldIndex_ ? AVIF_HASINDEX : 0) | AVIF_ISINTERLEAVED);
    w.Put32(main ? static_cast<std::uint32_t>(main->chunksFirstRiff) : 0);
    w.Put32(0);
    w.Put32(static_cast<std::uint32_t>(streams_.size()));
    w.Put32(suggested);
    w.Put32(main ? static_cast<std::uint32_t>(main->info.width) : 0);
    w.Put32(main ? static_cast<std::uint32_t>(main->info.height) : 0);
    w.PutZeros(16);
    w.EndChunk();

    for (std::size_t i = 0; i < streams_.size(); ++i) {
        const StreamState& st = streams_[i];
        const AviStreamInfo& in = st.info;
        w.BeginList(FourCC("LIST"), FourCC("strl"));
        // strh: fccType, fccHandler, dwFlags, wPriority, wLanguage,
        // dwInitialFrames, dwScale, dwRate, dwStart, dwLength (whole file),
        // dwSuggestedBufferSize, dwQuality, dwSampleSize, rcFrame.
        w.BeginChunk(FourCC("strh"));
        w.PutFourCC(in.kind == AviStreamKind::Interleaved ? FourCC("iavs")
                    : in.kind == AviStreamKind::Video     ? FourCC("vids")
                                                          : FourCC("auds"));
        w.PutFourCC(in.handler);
        w.Put32(0);
        w.Put16(0);
        w.Put16(0);
        w.Put32(0);
        w.Put32(in.scale);
        w.Put32(in.rate);
        w.Put32(0);
        w.Put32(static_cast<std::uint32_t>(Length(static_cast<int>(i))));
        w.Put32(st.maxChunk);
        w.Put32(0xFFFFFFFFu);
        w.Put32(in.kind == AviStreamKind::Audio ? in.blockAlign : 0);
        w.Put16(0);
        w.Put16(0);
        w.Put16(static_cast<std::uint16_t>(in.width));
        w.Put16(static_cast<std::uint16_t>(in.height));
        w.EndChunk();
        w.WriteChunk(FourCC("strf"), in.format.data(), in.format.size());
        // indx, with room for kSuperIndexEntries standard indexes.
        std::vector<std::uint8_t> indx(riff::odml::kSuperIndexHeaderBytes +
                                       riff::odml::kSuperIndexEntryBytes * kSuperIndexEntries);
        riff::odml::PutSuperIndexHeader(indx.data(), st.chunkId);
        riff::odml::SetEntriesInUse(indx.data(), static_cast<std::uint32_t>(st.super.size()));
        for (std::uint32_t i = 0; i < st.super.size(); ++i)
            riff::odml::PutSuperIndexEntry(indx.data(), i, st.super[i].pos, st.super[i].size, st.super[i].duration);
        w.WriteChunk(FourCC("indx"), indx.data(), indx.size());
        w.EndChunk();
    }

    // odml / dmlh: dwTotalFrames of the whole file, then reserved space.
    w.BeginList(FourCC("LIST"), FourCC("odml"));
    w.BeginChunk(FourCC("dmlh"));
    w.Put32(main ? static_cast<std::uint32_t>(main->chunks) : 0);
    w.PutZeros(244);
    w.EndChunk();
    w.EndChunk();
    w.EndChunk();
    return m.Take();
}

HRESULT AviFileLayout::End()
{
    if (!open_)
        return firstError_;
    // What is still queued reaches the disk first.
    std::int64_t end = sink_.Position();
    if (const DWORD r = sink_.Flush(&end)) {
        if (end < sink_.Position()) {
            takeBackAfter(end);
            sink_.Rewind(std::min(end, sink_.Position()));
        }
        fail(r);
    }
    endPiece();
    if (riffCount_ > 0) {
        // The same size as at Begin: only counts and index entries differ.
        const std::vector<std::uint8_t> headers = buildHeaders();
        if (headers.size() == hdrlSize_) {
            if (const DWORD r = sink_.Patch(hdrlPos_, headers.data(), headers.size()))
                fail(r);
        }
    }
    if (const DWORD r = sink_.SetEnd(sink_.Position()))
        fail(r);
    // A finished file is whole on the disk, for whoever reads it next.
    std::int64_t written = 0;
    if (const DWORD r = sink_.Flush(&written))
        fail(r);
    open_ = false;
    return firstError_;
}

} // namespace th::media

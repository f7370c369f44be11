#include "AviTestSupport.h"

#include "support/TestUtil.h"
#include "platform/media/AviMux.h"
#include "platform/riff/Riff.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
}

using th::riff::FourCC;
using th::riff::Get16;
using th::riff::Get32;
using th::riff::Get64;

namespace avitest {

// --- Media types ---------------------------------------------------------------------------

CMediaType InterleavedDvType(bool withSampleSize)
{
    CMediaType mt(MEDIATYPE_Interleaved);
    mt.subtype = MEDIASUBTYPE_dvsd;
    mt.formattype = FORMAT_DvInfo;
    mt.bFixedSizeSamples = withSampleSize ? TRUE : FALSE;
    mt.lSampleSize = withSampleSize ? kPalFrameBytes : 0;
    DVINFO dv{};
    dv.dwDVVAuxSrc = 0xFF20FFFFu; // 625/50
    mt.SetFormat(reinterpret_cast<const BYTE*>(&dv), sizeof dv);
    return mt;
}

CMediaType DvVideoType()
{
    CMediaType mt(MEDIATYPE_Video);
    mt.subtype = MEDIASUBTYPE_dvsd;
    mt.formattype = FORMAT_VideoInfo;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = kPalFrameBytes;
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = kPalFrame;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 720;
    vih.bmiHeader.biHeight = 576;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 24;
    vih.bmiHeader.biCompression = FourCC("dvsd");
    vih.bmiHeader.biSizeImage = kPalFrameBytes;
    mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof vih);
    return mt;
}

CMediaType PcmType(DWORD rate, WORD channels)
{
    CMediaType mt(MEDIATYPE_Audio);
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = 2u * channels;
    WAVEFORMATEX wf{};
    wf.wFormatTag = WAVE_FORMAT_PCM;
    wf.nChannels = channels;
    wf.nSamplesPerSec = rate;
    wf.wBitsPerSample = 16;
    wf.nBlockAlign = static_cast<WORD>(2 * channels);
    wf.nAvgBytesPerSec = rate * wf.nBlockAlign;
    mt.SetFormat(reinterpret_cast<const BYTE*>(&wf), sizeof wf);
    return mt;
}

CMediaType Rgb32VideoType(LONG width, LONG height)
{
    CMediaType mt(MEDIATYPE_Video);
    mt.subtype = MEDIASUBTYPE_RGB32;
    mt.formattype = FORMAT_VideoInfo;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = static_cast<ULONG>(width * height * 4);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = kPalFrame;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    vih.bmiHeader.biCompression = BI_RGB;
    vih.bmiHeader.biSizeImage = mt.lSampleSize;
    mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof vih);
    return mt;
}

Times FrameTimes(std::int64_t i, bool media)
{
    Times t;
    t.start = i * kPalFrame;
    t.stop = t.start + kPalFrame;
    t.hasMedia = media;
    t.mediaStart = i;
    t.mediaStop = i + 1;
    return t;
}

Times AudioTimes(std::int64_t first, std::int64_t count, DWORD rate, bool media)
{
    Times t;
    t.start = first * UNITS / rate;
    t.stop = (first + count) * UNITS / rate;
    t.hasMedia = media;
    t.mediaStart = first;
    t.mediaStop = first + count;
    return t;
}

// --- PushSource ------------------------------------------------------------------------------

PushSourcePin::PushSourcePin(PushSource* source, CCritSec* lock, HRESULT* hr)
    : CBaseOutputPin("push source output", source, lock, hr, u"Out"), m_source(source)
{
}

HRESULT PushSourcePin::CheckMediaType(const CMediaType* type)
{
    return type && type->majortype == m_source->m_type.majortype && type->subtype == m_source->m_type.subtype
        ? S_OK
        : S_FALSE;
}

HRESULT PushSourcePin::GetMediaType(int position, CMediaType* type)
{
    if (position != 0)
        return VFW_S_NO_MORE_ITEMS;
    *type = m_source->m_type;
    return S_OK;
}

HRESULT PushSourcePin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props)
{
    ALLOCATOR_PROPERTIES want = *props;
    want.cBuffers = std::max<LONG>(want.cBuffers, 4);
    want.cbBuffer = std::max(want.cbBuffer, m_source->m_bufferBytes);
    want.cbAlign = 1;
    ALLOCATOR_PROPERTIES actual{};
    return allocator->SetProperties(&want, &actual);
}

PushSource::PushSource(const CMediaType& type, LONG bufferBytes, HRESULT* hr)
    : CBaseFilter("push source", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock, hr), m_type(type),
      m_bufferBytes(bufferBytes)
{
}

ComPtr<IBaseFilter> PushSource::Make(const CMediaType& type, LONG bufferBytes, PushSource** self)
{
    HRESULT hr = S_OK;
    auto* source = new PushSource(type, bufferBytes, &hr);
    ComPtr<IBaseFilter> filter;
    source->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(filter.ReleaseAndGetAddressOf()));
    if (self)
        *self = source;
    return filter;
}

HRESULT PushSource::Push(const void* data, std::size_t n, const Times& times)
{
    IMediaSample* sample = nullptr;
    HRESULT hr = m_pin.GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    if (n > static_cast<std::size_t>(sample->GetSize())) {
        sample->Release();
        return E_INVALIDARG;
    }
    if (n)
        std::memcpy(p, data, n);
    sample->SetActualDataLength(static_cast<LONG>(n));
    REFERENCE_TIME t0 = times.start, t1 = times.stop;
    if (times.hasTime)
        sample->SetTime(&t0, &t1);
    LONGLONG m0 = times.mediaStart, m1 = times.mediaStop;
    if (times.hasMedia)
        sample->SetMediaTime(&m0, &m1);
    sample->SetDiscontinuity(times.discontinuity ? TRUE : FALSE);
    hr = m_pin.Deliver(sample);
    sample->Release();
    return hr;
}

bool PushSource::StartStreaming(std::function<bool()> step)
{
    return m_thread.Start("push source", [this, step = std::move(step)] {
        while (!m_thread.StopRequested() && step()) {
        }
    });
}

HRESULT PushSource::Stop()
{
    m_thread.Stop();
    return CBaseFilter::Stop();
}

// --- Graphs --------------------------------------------------------------------------------

Graph::Graph()
{
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(graph.ReleaseAndGetAddressOf())),
              S_OK);
    EXPECT_EQ(graph->QueryInterface(IID_PPV_ARGS(control.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(graph->QueryInterface(IID_PPV_ARGS(events.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(builder.ReleaseAndGetAddressOf())),
              S_OK);
    EXPECT_EQ(builder->SetFiltergraph(graph.Get()), S_OK);
}

void Graph::Add(IBaseFilter* filter, const char16_t* name)
{
    EXPECT_TRUE(SUCCEEDED(graph->AddFilter(filter, name)));
}

std::vector<std::pair<LONG, LONG_PTR>> Graph::Events()
{
    std::vector<std::pair<LONG, LONG_PTR>> out;
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
        out.emplace_back(code, p1);
        events->FreeEventParams(code, p1, p2);
    }
    return out;
}

MuxGraph::MuxGraph(const std::string& path, const std::vector<CMediaType>& types, std::int64_t riffLimit)
{
    const std::u16string name = th::com::Utf8ToUtf16(path);
    EXPECT_EQ(builder->SetOutputFileName(&MEDIASUBTYPE_Avi, name.c_str(), mux.ReleaseAndGetAddressOf(),
                                         sink.ReleaseAndGetAddressOf()),
              S_OK);
    if (!mux)
        return;
    if (riffLimit > 0)
        static_cast<th::media::CAviMux*>(static_cast<CBaseFilter*>(mux.Get()))->SetRiffLimit(riffLimit);
    for (std::size_t i = 0; i < types.size(); ++i) {
        PushSource* source = nullptr;
        const LONG bytes = types[i].majortype == MEDIATYPE_Audio ? 65536 : static_cast<LONG>(kPalFrameBytes);
        ComPtr<IBaseFilter> filter = PushSource::Make(types[i], bytes, &source);
        const std::u16string sourceName = u"Source " + th::com::Utf8ToUtf16(std::to_string(i));
        Add(filter.Get(), sourceName.c_str());
        EXPECT_EQ(builder->RenderStream(nullptr, &types[i].majortype, filter.Get(), nullptr, mux.Get()), S_OK);
        sources.push_back(source);
        sourceFilters.push_back(filter);
    }
}

// --- DV frames ------------------------------------------------------------------------------

std::vector<std::vector<std::uint8_t>> MakeDvFrames(const std::string& folder, int frames)
{
    const std::string tape = folder + "/frames.dv";
    std::string out;
    const int rc = th::test::runProgram(th::test::binDir() + "/thtape",
                                        {"--scene", "length=" + std::to_string(frames) + ",date=2003-06-15,time=14:22:05",
                                         tape},
                                        &out);
    EXPECT_EQ(rc, 0) << out;
    std::ifstream in(tape, std::ios::binary);
    std::vector<std::uint8_t> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<std::uint8_t>> result;
    for (std::size_t pos = 0; pos + kPalFrameBytes <= all.size(); pos += kPalFrameBytes)
        result.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(pos),
                            all.begin() + static_cast<std::ptrdiff_t>(pos + kPalFrameBytes));
    EXPECT_EQ(result.size(), static_cast<std::size_t>(frames));
    return result;
}

// --- RIFF walker ------------------------------------------------------------------------------

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
            if (depth < 6)
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

std::vector<const Chunk*> AviFile::movieChunks() const
{
    std::vector<const Chunk*> out;
    for (const Chunk& riff : riffs)
        if (const Chunk* movi = find(riff.children, FourCC("LIST"), FourCC("movi")))
            for (const Chunk& c : movi->children)
                if (!isIndexChunk(c.id))
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
        StreamHeaders s;
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
        if (d.size() < 24 || Get16(&d[0]) != 4 || d[3] != 0) {
            f.errors.push_back("bad super index" + at(indx->pos));
            f.streams.push_back(s);
            continue;
        }
        const std::uint32_t used = Get32(&d[4]);
        s.chunkId = Get32(&d[8]);
        if (24 + std::uint64_t(used) * 16 > d.size()) {
            f.errors.push_back("super index uses more entries than it holds");
        }
        for (std::uint32_t k = 0; k < used && 24 + std::uint64_t(k + 1) * 16 <= d.size(); ++k) {
            const std::uint8_t* e = &d[24 + 16 * k];
            const auto ixPos = static_cast<std::int64_t>(Get64(e));
            const std::uint32_t ixSize = Get32(e + 8);
            s.durations.push_back(Get32(e + 12));
            auto it = inMovie.find(ixPos);
            if (it == inMovie.end() || it->second->size + 8 != ixSize || !isIndexChunk(it->second->id)) {
                f.errors.push_back("super index entry " + std::to_string(k) + " leads to no index chunk" + at(ixPos));
                continue;
            }
            const std::vector<std::uint8_t> b = r.read(ixPos + 8, it->second->size);
            if (b.size() < 24 || Get16(&b[0]) != 2 || b[3] != 1 || Get32(&b[8]) != s.chunkId) {
                f.errors.push_back("bad standard index" + at(ixPos));
                continue;
            }
            const std::uint32_t n = Get32(&b[4]);
            const std::uint64_t base = Get64(&b[12]);
            if (24 + std::uint64_t(n) * 8 > b.size()) {
                f.errors.push_back("standard index uses more entries than it holds" + at(ixPos));
                continue;
            }
            std::uint64_t duration = 0;
            for (std::uint32_t j = 0; j < n; ++j) {
                const std::uint32_t off = Get32(&b[24 + 8 * j]);
                const std::uint32_t size = Get32(&b[28 + 8 * j]);
                StreamHeaders::Entry entry{static_cast<std::int64_t>(base + off), size & 0x7FFFFFFFu,
                                           (size & 0x80000000u) == 0};
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
    if (f.avihStreams != f.streams.size())
        f.errors.push_back("avih counts " + std::to_string(f.avihStreams) + " streams, hdrl has " +
                           std::to_string(f.streams.size()));

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

// --- libavformat ------------------------------------------------------------------------------

AvFile AvRead(const std::string& path)
{
    AvFile out;
    AVFormatContext* ctx = nullptr;
    if (int rc = avformat_open_input(&ctx, path.c_str(), nullptr, nullptr); rc < 0) {
        char buf[128];
        av_strerror(rc, buf, sizeof buf);
        out.error = buf;
        return out;
    }
    out.opened = true;
    avformat_find_stream_info(ctx, nullptr);
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        AvStream s;
        s.type = av_get_media_type_string(st->codecpar->codec_type) ? av_get_media_type_string(st->codecpar->codec_type) : "";
        s.codec = avcodec_get_name(st->codecpar->codec_id);
        s.headerFrames = st->nb_frames;
        s.sampleRate = st->codecpar->sample_rate;
        s.channels = st->codecpar->ch_layout.nb_channels;
        s.width = st->codecpar->width;
        s.height = st->codecpar->height;
        out.streams.push_back(s);
    }
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        if (pkt->stream_index >= 0 && static_cast<std::size_t>(pkt->stream_index) < out.streams.size()) {
            AvStream& s = out.streams[static_cast<std::size_t>(pkt->stream_index)];
            ++s.packets;
            if (pkt->size == 0)
                ++s.emptyPackets;
            s.bytes += pkt->size;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return out;
}

} // namespace avitest

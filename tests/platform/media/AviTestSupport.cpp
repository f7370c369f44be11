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

using th::riff::FourCC;

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

// --- Reading the files back ----------------------------------------------------------------

AviFile Walk(const std::string& path)
{
    AviFile f = avioracle::Walk(path);
    if (!f.riffs.empty() && f.avihStreams != f.streams.size())
        f.errors.push_back("avih counts " + std::to_string(f.avihStreams) + " streams, hdrl has " +
                           std::to_string(f.streams.size()));
    return f;
}

} // namespace avitest

#include "platform/media/DVSplitter.h"

#include "platform/dv/DifAudio.h"
#include "platform/dv/DifLayout.h"
#include "platform/dv/DifPacks.h"
#include "platform/riff/DvFormat.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace th::media {

using th::dif::Quantization;
using th::dif::System;

static_assert(th::dif::kFrameSizePal == th::riff::dv::kPalFrameBytes &&
              th::dif::kFrameSizeNtsc == th::riff::dv::kNtscFrameBytes);

namespace {

// Byte offsets in the frame of every audio sample slot, per half of the DIF
// sequences (the two channels of 16-bit audio; for 12-bit, half 0 holds the
// first stereo pair, both channels in one triplet). Built once per system and
// quantization, so that decoding a frame is only reads.
struct SlotTable {
    int slots = 0;
    std::array<std::array<std::int32_t, kMaxDvAudioSamples>, 2> offset{};
};

SlotTable buildSlots(System system, Quantization q)
{
    SlotTable t;
    for (int n = 0; n < kMaxDvAudioSamples; ++n) {
        const auto a = th::dif::audioSlot(system, q, 0, n);
        const auto b = th::dif::audioSlot(system, q, 1, n);
        if (!a || !b)
            break;
        t.offset[0][static_cast<std::size_t>(n)] = static_cast<std::int32_t>(
            th::dif::blockOffset(system, a->sequence, th::dif::Section::Audio, a->block) + a->offset);
        t.offset[1][static_cast<std::size_t>(n)] = static_cast<std::int32_t>(
            th::dif::blockOffset(system, b->sequence, th::dif::Section::Audio, b->block) + b->offset);
        t.slots = n + 1;
    }
    return t;
}

const SlotTable& slotTable(System system, Quantization q)
{
    static const SlotTable tables[4] = {
        buildSlots(System::Ntsc525_60, Quantization::Linear16),
        buildSlots(System::Ntsc525_60, Quantization::Nonlinear12),
        buildSlots(System::Pal625_50, Quantization::Linear16),
        buildSlots(System::Pal625_50, Quantization::Nonlinear12),
    };
    return tables[(system == System::Pal625_50 ? 2 : 0) + (q == Quantization::Nonlinear12 ? 1 : 0)];
}

constexpr DWORD kFourccDvsd = 0x64737664; // 'dvsd'
constexpr LONG kAudioBufferBytes = kMaxDvAudioSamples * 4;

// Audio that the packs must describe for a frame to be decoded: a frequency
// and a count that the frame's slots can hold.
bool audioFits(const DvFrameFacts& facts)
{
    if (!facts.audioValid || facts.system == System::None)
        return false;
    const SlotTable& t = slotTable(facts.system, facts.audio.quantization);
    return facts.audio.samples > 0 && facts.audio.samples <= t.slots;
}

} // namespace

// --- Frame parsing ---------------------------------------------------------------------------

HRESULT ReadDvFrame(const std::uint8_t* frame, std::size_t length, DvFrameFacts* facts)
{
    if (!facts)
        return E_POINTER;
    *facts = DvFrameFacts{};
    if (!frame)
        return kFrameRejected;
    const System system = th::dif::readSystem(frame, length);
    if (system == System::None)
        return kFrameRejected;
    facts->system = system;
    if (const auto audio = th::dif::readAudioFormat(frame, length)) {
        facts->audio = *audio;
        facts->audioValid = true;
    }
    return S_OK;
}

HRESULT DecodeDvAudio(const std::uint8_t* frame, std::size_t length, const DvFrameFacts& facts, std::int16_t* pcm,
                      int capacityPairs)
{
    if (!frame || !pcm)
        return E_POINTER;
    if (!audioFits(facts) || length < th::dif::frameSize(facts.system))
        return kFrameRejected;
    const int samples = facts.audio.samples;
    if (capacityPairs < samples)
        return E_INVALIDARG;
    const SlotTable& t = slotTable(facts.system, facts.audio.quantization);
    if (facts.audio.quantization == Quantization::Linear16) {
        for (int ch = 0; ch < 2; ++ch) {
            const auto& offsets = t.offset[static_cast<std::size_t>(ch)];
            for (int n = 0; n < samples; ++n) {
                const std::uint8_t* p = frame + offsets[static_cast<std::size_t>(n)];
                const auto v = static_cast<std::uint16_t>(p[0] << 8 | p[1]);
                pcm[2 * n + ch] = v == th::dif::kNoSample16 ? 0 : static_cast<std::int16_t>(v);
            }
        }
    } else {
        const auto& offsets = t.offset[0];
        for (int n = 0; n < samples; ++n) {
            // Triplet: the upper eight bits of left and right, then both lower nibbles.
            const std::uint8_t* p = frame + offsets[static_cast<std::size_t>(n)];
            const auto left = static_cast<std::uint16_t>(p[0] << 4 | p[2] >> 4);
            const auto right = static_cast<std::uint16_t>(p[1] << 4 | (p[2] & 0x0F));
            pcm[2 * n] = th::dif::decode12(left);
            pcm[2 * n + 1] = th::dif::decode12(right);
        }
    }
    return S_OK;
}

// --- Media types -------------------------------------------------------------------------------

void MakeDvVideoType(System system, CMediaType* type)
{
    const bool pal = system != System::Ntsc525_60;
    const LONG height = pal ? 576 : 480;
    const auto frameBytes = static_cast<DWORD>(pal ? riff::dv::kPalFrameBytes : riff::dv::kNtscFrameBytes);
    type->InitMediaType();
    type->majortype = MEDIATYPE_Video;
    type->subtype = MEDIASUBTYPE_dvsd;
    type->formattype = FORMAT_VideoInfo;
    type->bFixedSizeSamples = TRUE;
    type->bTemporalCompression = FALSE;
    type->lSampleSize = frameBytes;
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(type->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (!vih)
        return;
    vih->rcSource = {0, 0, 720, height};
    vih->rcTarget = {0, 0, 720, height};
    vih->AvgTimePerFrame = th::riff::dv::FramePeriod(!pal);
    vih->dwBitRate = static_cast<DWORD>(static_cast<LONGLONG>(frameBytes) * 8 * UNITS / vih->AvgTimePerFrame);
    vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih->bmiHeader.biWidth = 720;
    vih->bmiHeader.biHeight = height;
    vih->bmiHeader.biPlanes = 1;
    vih->bmiHeader.biBitCount = 24;
    vih->bmiHeader.biCompression = kFourccDvsd;
    vih->bmiHeader.biSizeImage = frameBytes;
}

void MakePcmAudioType(int frequencyHz, CMediaType* type)
{
    type->InitMediaType();
    type->majortype = MEDIATYPE_Audio;
    type->subtype = MEDIASUBTYPE_PCM;
    type->formattype = FORMAT_WaveFormatEx;
    type->bFixedSizeSamples = TRUE;
    type->bTemporalCompression = FALSE;
    type->lSampleSize = 4;
    auto* wfx = reinterpret_cast<WAVEFORMATEX*>(type->AllocFormatBuffer(sizeof(WAVEFORMATEX)));
    if (!wfx)
        return;
    wfx->wFormatTag = WAVE_FORMAT_PCM;
    wfx->nChannels = 2;
    wfx->nSamplesPerSec = static_cast<DWORD>(frequencyHz);
    wfx->nAvgBytesPerSec = static_cast<DWORD>(frequencyHz) * 4;
    wfx->nBlockAlign = 4;
    wfx->wBitsPerSample = 16;
    wfx->cbSize = 0;
}

void ReadDvInfo(const DVINFO& info, System* system, int* frequencyHz)
{
    // Each DWORD holds the pack's four data bytes PC1-PC4, PC1 lowest.
    auto pack = [](std::uint8_t id, DWORD v) {
        return th::dif::Pack{id, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                             static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    };
    *system = System::Pal625_50;
    *frequencyHz = 48000;
    const auto vaux = pack(th::dif::kPackVauxSource, info.dwDVVAuxSrc);
    if (const auto v = th::dif::parseVauxSourcePack(vaux.data()))
        *system = v->system;
    const auto aaux = pack(th::dif::kPackAauxSource, info.dwDVAAuxSrc);
    if (const auto a = th::dif::parseAauxSourcePack(aaux.data()))
        *frequencyHz = a->frequencyHz;
}

// --- Input pin -------------------------------------------------------------------------------

CDVSplitterInputPin::CDVSplitterInputPin(CDVSplitter* filter, CCritSec* lock, HRESULT* hr)
    : CPassThroughInputPin("DV Splitter input", filter, lock, hr, u"Input", {&filter->m_video, &filter->m_audio}),
      m_splitter(filter)
{
}

HRESULT CDVSplitterInputPin::CheckMediaType(const CMediaType* type)
{
    if (!(type->majortype == MEDIATYPE_Interleaved) || !(type->subtype == MEDIASUBTYPE_dvsd))
        return S_FALSE;
    if (type->formattype == FORMAT_DvInfo)
        return type->cbFormat >= sizeof(DVINFO) && type->pbFormat ? S_OK : S_FALSE;
    return type->formattype == GUID_NULL || type->formattype == FORMAT_None ? S_OK : S_FALSE;
}

HRESULT CDVSplitterInputPin::SetMediaType(const CMediaType* type)
{
    const HRESULT hr = CBaseInputPin::SetMediaType(type);
    if (FAILED(hr))
        return hr;
    System system = System::Pal625_50;
    int hz = 48000;
    if (type->formattype == FORMAT_DvInfo && type->cbFormat >= sizeof(DVINFO)) {
        DVINFO info;
        std::memcpy(&info, type->pbFormat, sizeof info);
        ReadDvInfo(info, &system, &hz);
    }
    std::lock_guard<std::mutex> guard(m_splitter->m_formatMutex);
    m_splitter->m_videoSystem = system;
    m_splitter->m_audioHz = hz;
    return S_OK;
}

HRESULT CDVSplitterInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    return m_splitter->receive(sample);
}

// --- Output pins -------------------------------------------------------------------------------

CDVSplitterOutputPin::CDVSplitterOutputPin(CDVSplitter* filter, CCritSec* lock, HRESULT* hr, LPCWSTR name,
                                           bool video)
    : CBaseOutputPin(video ? "DV Splitter video output" : "DV Splitter audio output", filter, lock, hr, name),
      m_splitter(filter), m_video(video)
{
}

HRESULT CDVSplitterOutputPin::GetMediaType(int position, CMediaType* type)
{
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0 || !m_splitter->m_input.IsConnected())
        return VFW_S_NO_MORE_ITEMS;
    std::lock_guard<std::mutex> guard(m_splitter->m_formatMutex);
    if (m_video)
        MakeDvVideoType(m_splitter->m_videoSystem, type);
    else
        MakePcmAudioType(m_splitter->m_audioHz, type);
    return type->pbFormat ? S_OK : E_OUTOFMEMORY;
}

HRESULT CDVSplitterOutputPin::CheckMediaType(const CMediaType* type)
{
    if (!m_splitter->m_input.IsConnected())
        return VFW_E_NOT_CONNECTED;
    CMediaType mine;
    if (GetMediaType(0, &mine) != S_OK)
        return S_FALSE;
    return th::dshow::SameMediaType(*type, mine) ? S_OK : S_FALSE;
}

HRESULT CDVSplitterOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props)
{
    ALLOCATOR_PROPERTIES want = *props;
    // Enough frames in flight for a tee and a renderer downstream.
    want.cBuffers = std::max<LONG>(want.cBuffers, m_video ? 4 : 8);
    want.cbBuffer = std::max<LONG>(want.cbBuffer, m_video ? static_cast<LONG>(th::dif::kFrameSizePal) : kAudioBufferBytes);
    want.cbAlign = std::max<LONG>(want.cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(&want, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer >= want.cbBuffer && actual.cBuffers >= 1 ? S_OK : E_FAIL;
}

void CDVSplitterOutputPin::ChangeConnectionType(const CMediaType& type)
{
    CAutoLock lock(m_pLock);
    m_mt = type;
}

// --- Filter ---------------------------------------------------------------------------------------

CUnknown* CDVSplitter::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    auto* f = new (std::nothrow) CDVSplitter(outer, hr);
    if (!f && hr)
        *hr = E_OUTOFMEMORY;
    return f;
}

CDVSplitter::CDVSplitter(IUnknown* outer, HRESULT* hr)
    : CBaseFilter("DV Splitter", outer, &m_lock, CLSID_DVSplitter), m_input(this, &m_lock, hr),
      m_video(this, &m_lock, hr, u"DVVidOut0", true), m_audio(this, &m_lock, hr, u"AudOut00", false)
{
}

CDVSplitter::~CDVSplitter() = default;

HRESULT CDVSplitter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IDVSplitter)
        return GetInterface(static_cast<IDVSplitter*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

CBasePin* CDVSplitter::GetPin(int n)
{
    switch (n) {
    case 0: return &m_input;
    case 1: return &m_video;
    case 2: return &m_audio;
    default: return nullptr;
    }
}

HRESULT CDVSplitter::Pause()
{
    {
        CAutoLock lock(&m_lock);
        if (IsStopped()) {
            // A new run: the alternate-frame count and the silence length start afresh.
            m_frameCount = 0;
            m_lastAudioSamples = 0;
            m_nextFrameMedia = 0;
            m_audioMedia = 0;
        }
    }
    return CBaseFilter::Pause();
}

HRESULT CDVSplitter::DiscardAlternateVideoFrames(int discard)
{
    m_discardAlternate = discard != 0;
    return S_OK;
}

HRESULT CDVSplitter::receive(IMediaSample* sample)
{
    BYTE* frame = nullptr;
    if (FAILED(sample->GetPointer(&frame)) || !frame)
        return E_POINTER;
    const LONG length = sample->GetActualDataLength();
    if (length <= 0)
        return kFrameRejected;
    DvFrameFacts facts;
    const HRESULT parsed = ReadDvFrame(frame, static_cast<std::size_t>(length), &facts);
    if (FAILED(parsed))
        return parsed;

    const std::uint64_t index = m_frameCount++;
    HRESULT hr = S_OK;
    if (m_video.IsConnected() && !(m_discardAlternate && (index & 1) != 0))
        hr = deliverVideo(sample, frame, static_cast<std::size_t>(length), facts);
    if (m_audio.IsConnected()) {
        const HRESULT ha = deliverAudio(sample, frame, static_cast<std::size_t>(length), facts);
        if (hr == S_OK)
            hr = ha;
    }
    return hr;
}

namespace {

// Gives the output sample the input's stream and media times and flags.
void copyTimes(IMediaSample* in, IMediaSample* out)
{
    REFERENCE_TIME start = 0, stop = 0;
    const HRESULT ht = in->GetTime(&start, &stop);
    if (ht == VFW_S_NO_STOP_TIME)
        out->SetTime(&start, nullptr);
    else if (SUCCEEDED(ht))
        out->SetTime(&start, &stop);
    LONGLONG mstart = 0, mstop = 0;
    if (SUCCEEDED(in->GetMediaTime(&mstart, &mstop)))
        out->SetMediaTime(&mstart, &mstop);
    out->SetSyncPoint(TRUE);
    out->SetDiscontinuity(in->IsDiscontinuity() == S_OK ? TRUE : FALSE);
    out->SetPreroll(in->IsPreroll() == S_OK ? TRUE : FALSE);
}

} // namespace

HRESULT CDVSplitter::deliverVideo(IMediaSample* in, const std::uint8_t* frame, std::size_t length,
                                  const DvFrameFacts& facts)
{
    const std::size_t bytes = th::dif::frameSize(facts.system);
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(m_formatMutex);
        changed = m_videoSystem != facts.system;
    }
    IMediaSample* out = nullptr;
    HRESULT hr = m_video.GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    BYTE* data = nullptr;
    out->GetPointer(&data);
    if (!data || out->GetSize() < static_cast<LONG>(bytes)) {
        out->Release();
        return VFW_E_BUFFER_OVERFLOW;
    }
    std::memcpy(data, frame, std::min(bytes, length));
    out->SetActualDataLength(static_cast<LONG>(bytes));
    copyTimes(in, out);
    if (changed) {
        CMediaType type;
        MakeDvVideoType(facts.system, &type);
        out->SetMediaType(&type);
        m_video.ChangeConnectionType(type);
        std::lock_guard<std::mutex> guard(m_formatMutex);
        m_videoSystem = facts.system;
    }
    hr = m_video.Deliver(out);
    out->Release();
    return hr;
}

HRESULT CDVSplitter::deliverAudio(IMediaSample* in, const std::uint8_t* frame, std::size_t length,
                                  const DvFrameFacts& facts)
{
    int samples = 0;
    int hz = 0;
    if (audioFits(facts) && SUCCEEDED(DecodeDvAudio(frame, length, facts, m_pcm.data(), kMaxDvAudioSamples))) {
        samples = facts.audio.samples;
        hz = facts.audio.frequencyHz;
        m_lastAudioSamples = samples;
    } else {
        // A dropout: silence as long as the last good frame's audio, or the
        // frame's share of a second at the current frequency.
        {
            std::lock_guard<std::mutex> guard(m_formatMutex);
            hz = m_audioHz;
        }
        samples = m_lastAudioSamples;
        if (samples == 0) {
            const auto rate = th::dif::frameRate(facts.system);
            samples = static_cast<int>(static_cast<long long>(hz) * rate.den / rate.num);
        }
        samples = std::min(samples, kMaxDvAudioSamples);
        std::fill_n(m_pcm.begin(), 2 * samples, std::int16_t{0});
    }

    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(m_formatMutex);
        changed = m_audioHz != hz;
    }
    IMediaSample* out = nullptr;
    HRESULT hr = m_audio.GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr))
        return hr;
    BYTE* data = nullptr;
    out->GetPointer(&data);
    const LONG bytes = samples * 4;
    if (!data || out->GetSize() < bytes) {
        out->Release();
        return VFW_E_BUFFER_OVERFLOW;
    }
    // 16-bit little-endian PCM, as WAVEFORMATEX describes it.
    for (int i = 0; i < 2 * samples; ++i) {
        const auto v = static_cast<std::uint16_t>(m_pcm[static_cast<std::size_t>(i)]);
        data[2 * i] = static_cast<BYTE>(v);
        data[2 * i + 1] = static_cast<BYTE>(v >> 8);
    }
    out->SetActualDataLength(bytes);
    copyTimes(in, out);
    LONGLONG m0 = 0, m1 = 0;
    if (in->GetMediaTime(&m0, &m1) == S_OK) {
        // Audio media times count samples since the run began: frames lost
        // upstream count with the samples they would have carried.
        if (m0 > m_nextFrameMedia) {
            const auto rate = th::dif::frameRate(facts.system);
            const auto at = [&](std::int64_t frame) {
                return rate.num > 0 ? frame * hz * static_cast<std::int64_t>(rate.den) / rate.num : 0;
            };
            m_audioMedia += at(m0) - at(m_nextFrameMedia);
        }
        m_nextFrameMedia = std::max<std::int64_t>(m_nextFrameMedia, m1 > m0 ? m1 : m0 + 1);
        LONGLONG a0 = m_audioMedia;
        LONGLONG a1 = m_audioMedia + samples;
        out->SetMediaTime(&a0, &a1);
        m_audioMedia = a1;
    }
    if (changed) {
        CMediaType type;
        MakePcmAudioType(hz, &type);
        out->SetMediaType(&type);
        m_audio.ChangeConnectionType(type);
        std::lock_guard<std::mutex> guard(m_formatMutex);
        m_audioHz = hz;
    }
    hr = m_audio.Deliver(out);
    out->Release();
    return hr;
}

} // namespace th::media

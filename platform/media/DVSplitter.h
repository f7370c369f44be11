#pragma once
// The DV Splitter (CLSID_DVSplitter): one interleaved DV input ("Input",
// MEDIATYPE_Interleaved, dvsd, FORMAT_DvInfo or no format), a video output
// ("DVVidOut0": MEDIATYPE_Video, dvsd, FORMAT_VideoInfo, each sample one whole
// DV frame) and an audio output ("AudOut00": MEDIATYPE_Audio, PCM, 16-bit
// stereo at the frame's 48000, 44100 or 32000 Hz; of 32 kHz 12-bit audio the
// first stereo pair, expanded to 16 bits). Both outputs' samples carry the
// input frame's stream times; the video keeps its media times (frames since
// the run began), the audio's media times count samples since the run began,
// a frame lost upstream (a gap in the input's media times) counting with the
// samples its share of a second holds. IDVSplitter::DiscardAlternateVideoFrames
// drops every second video frame (the audio keeps every frame).
//
// The audio is decoded as libavformat's dv demuxer decodes it: the sample
// count of each frame is the one its AAUX source pack states (locked or
// unlocked alike), and "no sample" codes read as 0.
//
// Types. The outputs offer their types once the input is connected: the
// television system and the audio frequency come from the DVINFO block (the
// VAUX and AAUX source packs), PAL and 48 kHz when it has none. When a frame
// then brings another system or frequency, the output sample that first
// carries it has the new type attached (IMediaSample::SetMediaType), and the
// pin's connection type follows.
//
// Bad frames. A sample that is not a whole DV frame (too short, no header
// block) is refused with kFrameRejected and nothing is delivered; the stream
// goes on with the next frame. A whole frame whose audio packs cannot be read
// (a dropout) still passes its video, and the audio output gets silence of
// the last good frame's sample count, so that the audio keeps its place.
//
// Streaming. Receive runs on the upstream's thread, takes no lock while it
// delivers, and copies each frame into buffers of the pins' own allocators
// (committed at Pause; nothing is allocated per frame). A stop decommits the
// allocators, which wakes a delivery waiting for a buffer.

#include "platform/dshow/BaseClasses.h"
#include "platform/dv/DifFrame.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace th::media {

// The answer for a sample that is not a whole DV frame (VFW_E_SAMPLE_REJECTED).
inline constexpr HRESULT kFrameRejected = MakeHResult(0x8004022Bu);

// What the splitter reads from one frame.
struct DvFrameFacts {
    th::dif::System system = th::dif::System::None;
    bool audioValid = false;      // the AAUX source pack was read
    th::dif::AudioFormat audio;   // when audioValid
};

// S_OK for a whole DV frame; kFrameRejected for anything else (facts then
// say System::None). Reads nothing beyond `length`.
HRESULT ReadDvFrame(const std::uint8_t* frame, std::size_t length, DvFrameFacts* facts);

// The most audio samples (per channel) one frame can carry.
inline constexpr int kMaxDvAudioSamples = 1944;

// Decodes the first stereo pair of the frame's audio into `pcm` as
// interleaved 16-bit samples (left, right), facts.audio.samples pairs.
// kFrameRejected when the facts hold no audio or do not fit the frame,
// E_INVALIDARG when `capacityPairs` is too small.
HRESULT DecodeDvAudio(const std::uint8_t* frame, std::size_t length, const DvFrameFacts& facts, std::int16_t* pcm,
                      int capacityPairs);

// The media types of the outputs.
void MakeDvVideoType(th::dif::System system, CMediaType* type);
void MakePcmAudioType(int frequencyHz, CMediaType* type);
// The system and audio frequency that a DVINFO block describes (PAL and 48 kHz
// for what it does not say).
void ReadDvInfo(const DVINFO& info, th::dif::System* system, int* frequencyHz);

class CDVSplitter;

class CDVSplitterInputPin : public CPassThroughInputPin {
public:
    CDVSplitterInputPin(CDVSplitter* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;

private:
    CDVSplitter* m_splitter;
};

class CDVSplitterOutputPin : public CBaseOutputPin {
public:
    CDVSplitterOutputPin(CDVSplitter* filter, CCritSec* lock, HRESULT* hr, LPCWSTR name, bool video);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
    // Takes a connection type that the stream changed to (see above).
    void ChangeConnectionType(const CMediaType& type);

private:
    CDVSplitter* m_splitter;
    bool m_video;
};

class CDVSplitter : public CBaseFilter, public IDVSplitter {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    ~CDVSplitter() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int GetPinCount() override { return 3; }
    CBasePin* GetPin(int n) override;
    HRESULT Pause() override;

    // IDVSplitter
    HRESULT DiscardAlternateVideoFrames(int discard) override;

private:
    friend class CDVSplitterInputPin;
    friend class CDVSplitterOutputPin;
    CDVSplitter(IUnknown* outer, HRESULT* hr);

    HRESULT receive(IMediaSample* sample);
    HRESULT deliverVideo(IMediaSample* in, const std::uint8_t* frame, std::size_t length,
                         const DvFrameFacts& facts);
    HRESULT deliverAudio(IMediaSample* in, const std::uint8_t* frame, std::size_t length,
                         const DvFrameFacts& facts);

    CCritSec m_lock;
    CDVSplitterInputPin m_input;
    CDVSplitterOutputPin m_video;
    CDVSplitterOutputPin m_audio;

    // What the outputs' types describe; guarded by m_formatMutex.
    std::mutex m_formatMutex;
    th::dif::System m_videoSystem = th::dif::System::Pal625_50;
    int m_audioHz = 48000;

    // Streaming state, touched only by the thread that delivers.
    std::atomic<bool> m_discardAlternate{false};
    std::uint64_t m_frameCount = 0;
    int m_lastAudioSamples = 0;
    std::int64_t m_nextFrameMedia = 0; // the input media time expected next (frames)
    std::int64_t m_audioMedia = 0;     // audio samples of the run so far, lost ones included
    std::array<std::int16_t, 2 * kMaxDvAudioSamples> m_pcm{};
};

} // namespace th::media

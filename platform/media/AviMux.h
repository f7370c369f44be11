#pragma once
// The AVI Mux (CLSID_AviDest): input pins "Input 01", "Input 02", ... (one
// more appears each time one is connected, so there is always a free one)
// and the output pin "AVI Out", which carries the file as MEDIATYPE_Stream
// samples whose start and stop times are byte positions in the file. Its
// downstream (the File Writer) writes each sample at its position; a sample
// of no bytes marks where the file ends.
//
// The file (see AviMuxFile.h) is begun when the mux leaves the stopped state
// and finished when every connected input has ended its stream or the mux
// stops, whichever comes first; each run from stopped writes a new file.
// Streams are numbered by the connected inputs in pin order: a type-1 DV
// capture is one interleaved stream, a type-2 one a video and an audio stream.
//
// Timing. Each stream keeps the place of what its source lost (the rule of
// riff/SampleGap.h: by media times, frames for video and samples for audio,
// counted from the start of the run; else by stream times): an empty chunk
// for each missing frame and silence for missing samples, whatever flags the
// sample carries. A DV frame that is not 120000 or 144000 bytes long is
// refused (E_INVALIDARG); the next frame then keeps its place.
//
// Interfaces: IConfigAviMux (SetOutputCompatibilityIndex: TRUE, the default,
// writes the AVI 1.0 'idx1' index besides the OpenDML ones; takes effect at
// the next file) and IConfigInterleaving (the modes are stored; chunks are
// written in the order their samples arrive in every mode, which for the DV
// sources here is already interleaved).
//
// Threads. Receive runs on the upstream streaming threads and writes the
// chunk synchronously through the output pin; one lock serialises the file
// between the inputs and the state changes, and no sample is delivered while
// the filter lock is held (Pause and Stop begin and finish the file under the
// file lock alone). A write error is kept
// (the first one), later samples are refused with it, and the file is still
// closed with headers and indexes for the chunks written before the error;
// where the indexes find no room, the last chunks give way to them.
// IFileWriteStatus tells that error and the video frames in the file.

#include "platform/dshow/BaseClasses.h"
#include "platform/media/AviMuxFile.h"
#include "platform/riff/PcmRate.h"
#include "platform/riff/SampleGap.h"

#include <memory>
#include <mutex>
#include <vector>

namespace th::media {

class CAviMux;
class CAviMuxOutputPin;

class CAviMuxInputPin final : public CBaseInputPin {
public:
    CAviMuxInputPin(CAviMux* mux, CCritSec* lock, HRESULT* hr, LPCWSTR name);

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT CompleteConnect(IPin* pin) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;

private:
    friend class CAviMux;
    // Timing of the stream in the current file; guarded by the mux's file lock.
    void resetTiming(int stream);
    HRESULT fillGap(IMediaSample* sample, std::size_t bytes);
    // Sound arriving at another rate than the file's: the file keeps the rate
    // of its first sound and gets the rest converted to it.
    HRESULT writeAudio(IMediaSample* sample, const BYTE* data, std::size_t bytes);

    CAviMux* m_mux;
    int m_stream = -1; // in the current file, -1 when not part of it
    bool m_ended = false;
    bool m_havePrev = false;
    th::riff::SampleGap m_gap;
    th::riff::PcmRateConverter m_rate;
    std::vector<std::int16_t> m_converted;
};

// The file as positioned samples through the output pin.
class CAviMuxSink final : public AviSink {
public:
    explicit CAviMuxSink(CAviMuxOutputPin* pin) : m_pin(pin) {}
    void Reset();

    std::int64_t Position() const override { return m_pos; }
    DWORD Append(const void* data, std::size_t n) override;
    DWORD Patch(std::int64_t pos, const void* data, std::size_t n) override;
    DWORD AppendChunk(std::uint32_t id, const void* data, std::size_t n) override;
    void Rewind(std::int64_t pos) override { m_pos = pos; }
    DWORD SetEnd(std::int64_t pos) override;
    HRESULT LastFailure() const override { return m_lastFailure; }
    DWORD Flush(std::int64_t* end) override;

private:
    DWORD deliver(std::int64_t pos, const void* head, std::size_t headBytes, const void* data, std::size_t n,
                  std::size_t pad);
    DWORD failed(HRESULT hr);

    CAviMuxOutputPin* m_pin;
    std::int64_t m_pos = 0;
    HRESULT m_lastFailure = S_OK;
};

class CAviMuxOutputPin final : public CBaseOutputPin {
public:
    // Buffers of the output: a whole DV frame chunk fits in one.
    static constexpr LONG kBufferBytes = 512 * 1024;
    static constexpr LONG kBuffers = 4;

    CAviMuxOutputPin(CAviMux* mux, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
};

class CAviMux final : public CBaseFilter, public IConfigAviMux, public IConfigInterleaving, public IFileWriteStatus {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    ~CAviMux() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;

    // IConfigAviMux
    HRESULT SetOutputCompatibilityIndex(BOOL oldIndex) override;
    HRESULT GetOutputCompatibilityIndex(BOOL* oldIndex) override;
    // IConfigInterleaving
    HRESULT put_Mode(InterleavingMode mode) override;
    HRESULT get_Mode(InterleavingMode* mode) override;
    // IFileWriteStatus: the file's first failure (its text is the writer's
    // downstream, which wrote the bytes) and the video frames in the file.
    HRESULT GetWriteError(HRESULT* error, LPOLESTR* text) override;
    HRESULT GetFramesWritten(LONGLONG* frames) override;

    // The largest RIFF piece of the files begun from now on (1 GiB unless set):
    // lets tests cross the OpenDML boundary with small files.
    void SetRiffLimit(std::int64_t bytes);

private:
    friend class CAviMuxInputPin;
    CAviMux(IUnknown* outer, HRESULT* hr);
    void addInputPin();
    // The next file as the inputs and the output are connected now.
    struct PlannedStream {
        CAviMuxInputPin* pin;
        bool makesStream;
        AviStreamInfo info;
    };
    struct FilePlan {
        std::vector<PlannedStream> inputs;
        bool outputConnected = false;
        AviFileLayout::Options options;
    };
    // Pause with m_stateChange held.
    HRESULT pauseLocked();
    // With the filter lock held.
    FilePlan planFile();
    // Begins the file under the file lock alone: it delivers the headers.
    void startFile(const FilePlan& plan);
    // With the file lock held.
    void finishFile();
    std::int64_t videoFrames() const;

    std::mutex m_stateChange; // serialises Stop, Pause and Run, which deliver without m_lock
    CCritSec m_lock;
    std::vector<std::unique_ptr<CAviMuxInputPin>> m_inputs;
    CAviMuxOutputPin m_output;
    bool m_oldIndex = true;
    InterleavingMode m_mode = INTERLEAVE_NONE;
    std::int64_t m_riffLimit = AviFileLayout::kDefaultRiffLimit;

    std::mutex m_fileLock; // the file: layout, sink, the inputs' timing
    CAviMuxSink m_sink;
    AviFileLayout m_layout;
    std::int64_t m_framesWritten = 0; // of the last file finished
};

} // namespace th::media

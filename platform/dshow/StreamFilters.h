#pragma once
// The platform's stream filters: Sample Grabber, Smart Tee and Null Renderer.
// They are created by class identifier (CLSID_SampleGrabber, CLSID_SmartTee,
// CLSID_NullRenderer) from th_dshow's built-in classes; this header is for
// th_dshow itself. No Qt.
//
// Sample Grabber ("Input" and "Output" pins). Passes every sample through
// unchanged, in place, on the upstream's streaming thread, after calling the
// callback (SampleCB or BufferCB) with it. The output offers exactly the
// input's connection type, so the input is connected first. With a media type
// set (SetMediaType), the input accepts only types that match it.
//
// The grabber's stop and its callback. A callback may wait for a lock that the
// thread stopping the graph holds (the capture component holds its capture lock
// while it pauses and stops the graph, and its frame callback takes that lock).
// So:
//   1. The grabber calls the callback holding none of its own locks, and marks
//      the streaming thread as parked for the call (StreamingThread::Parked).
//   2. Stopping a source (or a Smart Tee's preview) does not wait for a parked
//      thread; the graph's Stop and Pause therefore return while a callback is
//      still waiting for the caller's lock.
//   3. When such a callback returns, the grabber sees that the thread's run was
//      asked to stop (or that the grabber was stopped since the sample came in)
//      and delivers nothing; the thread then leaves. The grabber holds a
//      reference to itself and to the callback object for the whole call, so
//      nothing it touches goes away under it.
// The rule for callers: a grabber callback may block on any lock, including
// one held by whoever stops the graph; it must not call back into the graph
// (state changes, connections) from the streaming thread.
//
// Smart Tee ("Input", then "Capture" and "Preview"; categories
// PIN_CATEGORY_CAPTURE and PIN_CATEGORY_PREVIEW). The capture output gets every
// sample on the streaming thread that brought it. The preview output gets the
// same sample objects (stream and media times as they came) through a queue of
// kPreviewQueueDepth samples served by a thread of its own: when the queue is
// full the oldest queued sample is dropped, so a late preview branch never holds
// up the capture. The preview pin's IAMDroppedFrames counts the samples dropped
// and delivered since the tee last left the stopped state. The tee keeps up to
// kPreviewQueueDepth + 1 upstream samples referenced; its input asks upstream
// allocators for at least kTeeMinimumBuffers buffers.
//
// Null Renderer ("In"). Accepts every type, discards every sample, and raises
// EC_COMPLETE at the end of the stream (once, while running).

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/StreamingThread.h"

#include <deque>

namespace th::dshow {

inline constexpr std::size_t kPreviewQueueDepth = 2;
inline constexpr LONG kTeeMinimumBuffers = 6;

// --- Sample Grabber -------------------------------------------------------------------------

class CSampleGrabber;

class CGrabberInputPin : public CBaseInputPin {
public:
    CGrabberInputPin(CSampleGrabber* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;

private:
    CSampleGrabber* m_grabber;
};

// A pass-through output: it hands on the upstream's samples, so it has no
// allocator of its own; downstream is told the upstream's (read-only).
class CPassThroughOutputPin : public CBaseOutputPin {
public:
    CPassThroughOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr, LPCWSTR name,
                          CBaseInputPin* input);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override;
    HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) override;
    HRESULT Active() override { return S_OK; }
    HRESULT Inactive() override { return S_OK; }

protected:
    CBaseInputPin* m_input;
};

class CSampleGrabber : public CBaseFilter, public ISampleGrabber {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    ~CSampleGrabber() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;
    HRESULT Stop() override;
    HRESULT Pause() override;

    // ISampleGrabber
    HRESULT SetOneShot(BOOL oneShot) override;
    HRESULT SetMediaType(const AM_MEDIA_TYPE* type) override;
    HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT SetBufferSamples(BOOL buffer) override;
    HRESULT GetCurrentBuffer(LONG* size, LONG* buffer) override;
    HRESULT GetCurrentSample(IMediaSample** sample) override;
    HRESULT SetCallback(ISampleGrabberCB* callback, LONG which) override;

private:
    friend class CGrabberInputPin;
    CSampleGrabber(IUnknown* outer, HRESULT* hr);
    HRESULT receive(IMediaSample* sample);
    bool acceptsType(const CMediaType& type);

    CCritSec m_lock;
    CGrabberInputPin m_input;
    CPassThroughOutputPin m_output;
    CMediaType m_wanted;
    bool m_hasWanted = false;
    bool m_oneShot = false;
    bool m_oneShotDone = false;
    bool m_bufferSamples = false;
    ComPtr<ISampleGrabberCB> m_callback;
    LONG m_callbackWhich = 0;
    LONG m_generation = 0; // changes at every stop; a sample of an older run is dropped
    std::mutex m_bufferMutex;
    std::vector<BYTE> m_buffer;
    bool m_bufferValid = false;
};

// --- Smart Tee --------------------------------------------------------------------------------

class CSmartTee;

class CTeeInputPin : public CBaseInputPin {
public:
    CTeeInputPin(CSmartTee* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    HRESULT BreakConnect() override;

private:
    CSmartTee* m_tee;
};

class CTeePreviewPin : public CPassThroughOutputPin, public IAMDroppedFrames {
public:
    CTeePreviewPin(CSmartTee* filter, CCritSec* lock, HRESULT* hr, CBaseInputPin* input);
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT GetNumDropped(LONG* dropped) override;
    HRESULT GetNumNotDropped(LONG* notDropped) override;
    HRESULT GetDroppedInfo(LONG size, LONG* frames, LONG* copied) override;
    HRESULT GetAverageFrameSize(LONG* averageSize) override;

private:
    CSmartTee* m_tee;
};

class CSmartTee : public CBaseFilter {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    ~CSmartTee() override;

    int GetPinCount() override { return 3; }
    CBasePin* GetPin(int n) override;
    HRESULT Stop() override;
    HRESULT Pause() override;

private:
    friend class CTeeInputPin;
    friend class CTeePreviewPin;
    CSmartTee(IUnknown* outer, HRESULT* hr);

    // One entry of the preview queue: a sample, or an end of stream or a new
    // segment, which keep their place among the samples.
    struct Item {
        enum Kind { Sample, EndOfStream, NewSegment } kind;
        IMediaSample* sample; // counted
        REFERENCE_TIME start, stop;
        double rate;
    };
    void enqueue(const Item& item);
    void clearQueue();
    void previewLoop();

    CCritSec m_lock;
    CTeeInputPin m_input;
    CPassThroughOutputPin m_capture;
    CTeePreviewPin m_preview;

    StreamingThread m_previewThread;
    std::mutex m_queueMutex;
    std::condition_variable m_queueChanged;
    std::deque<Item> m_queue;
    bool m_previewStopping = false;
    bool m_previewWaiting = false;
    std::atomic<LONG> m_dropped{0};
    std::atomic<LONG> m_delivered{0};
    std::atomic<LONGLONG> m_deliveredBytes{0};
};

// --- Null Renderer ------------------------------------------------------------------------------

class CNullRendererPin : public CRenderedInputPin {
public:
    CNullRendererPin(CBaseFilter* filter, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;
};

class CNullRenderer : public CBaseFilter {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_input : nullptr; }

private:
    CNullRenderer(IUnknown* outer, HRESULT* hr);
    CCritSec m_lock;
    CNullRendererPin m_input;
};

} // namespace th::dshow

#pragma once
// The AVI writer filter TTlmAVIWriter and its two input pins: DV video (or the
// interleaved DV stream) on pin 0 and, for type-2 DV, PCM audio on pin 1,
// written into OpenDML AVI files (AviWriterCore, OpenDmlFileWriter). Besides
// IFileSinkFilter, through which it is named, it offers ITlmFileSinkFilter,
// through which its user switches files from a given stream time, and
// IFileWriteStatus, which tells the first failure to write of a run. No Qt.

#include "avi_writer/AviWriterCore.h"
#include "platform/dshow/TlmFileSink.h"

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Registration.h"

#include <memory>

class TTlmAVIWriter;

class TTlmAVIWriterInputPin : public CRenderedInputPin {
public:
    TTlmAVIWriterInputPin(const char* objectName, TTlmAVIWriter* owner, CCritSec* filterLock, HRESULT* hr,
                          LPCWSTR pinName);

    // The base end of stream (EC_COMPLETE once, while running), under the
    // filter lock; the file stays open.
    HRESULT EndOfStream() override;
    // Nothing is recorded.
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    HRESULT Inactive() override;

protected:
    TTlmAVIWriter* FOwner;
    CCritSec* FFilterLock;
};

class TVidAVIWriterInputPin final : public TTlmAVIWriterInputPin {
public:
    TVidAVIWriterInputPin(TTlmAVIWriter* owner, CCritSec* filterLock, HRESULT* hr);
    // MEDIATYPE_Video or MEDIATYPE_Interleaved, whatever the subtype and format;
    // an accepted type's format is recorded.
    HRESULT CheckMediaType(const CMediaType* mt) override;
    HRESULT Receive(IMediaSample* sample) override;

    AviPinState FTimes;
};

class TAudAVIWriterInputPin final : public TTlmAVIWriterInputPin {
public:
    TAudAVIWriterInputPin(TTlmAVIWriter* owner, CCritSec* filterLock, HRESULT* hr);
    // MEDIATYPE_Audio with MEDIASUBTYPE_PCM.
    HRESULT CheckMediaType(const CMediaType* mt) override;
    HRESULT Receive(IMediaSample* sample) override;

    AviAudioPinState FTimes; // with FReceiveLock and FNominalSamples
};

// The filter lock and its adapter for the writer exist before the base filter
// that is handed the lock and go after it.
struct TTlmAVIWriterLock {
    class Adapter final : public WriterLock {
    public:
        explicit Adapter(CCritSec& c) : FCrit(c) {}
        void lock() override { FCrit.Lock(); }
        void unlock() override { FCrit.Unlock(); }

    private:
        CCritSec& FCrit;
    };
    CCritSec FFilterLock;
    Adapter FWriterLock{FFilterLock};
};

class TTlmAVIWriter final : private TTlmAVIWriterLock,
                            public CBaseFilter,
                            public IFileSinkFilter,
                            public ITlmFileSinkFilter,
                            public IFileWriteStatus {
public:
    static constexpr const char* kName = "Tolmar THMux";

    // What the class factory calls (CreateFromFactory).
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    ~TTlmAVIWriter() override; // Destroy

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;
    // 2 once a MEDIATYPE_Video type has been recorded, else 1.
    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    const th::dshow::FilterSetup* GetSetupData() override;

    // IFileSinkFilter
    HRESULT SetFileName(LPCOLESTR fileName, const AM_MEDIA_TYPE* type) override;
    HRESULT GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type) override;
    // ITlmFileSinkFilter
    HRESULT ChangeFileName(LPCWSTR Name, std::int64_t SampleTime) override;
    // IFileWriteStatus
    HRESULT GetWriteError(HRESULT* error, LPOLESTR* text) override;
    HRESULT GetFramesWritten(LONGLONG* frames) override;

    // A sample that could not be written: the graph hears of it once a run
    // (EC_ERRORABORT with the write status), and the capture stops there.
    void ReportWriteError(HRESULT hr);

    AviWriterCore& Core() { return FCore; }

    // The registration record: class, name, merit and the two pin templates.
    static const th::dshow::FilterSetup& Setup();

private:
    explicit TTlmAVIWriter(IUnknown* outer);
    // Leaving the stopped state begins a run with a clean write status.
    void StartRun();

    AviWriterCore FCore;
    std::unique_ptr<TVidAVIWriterInputPin> FVideoPin;
    std::unique_ptr<TAudAVIWriterInputPin> FAudioPin;
    bool FErrorReported = false; // under the filter lock

    friend class TVidAVIWriterInputPin;
    friend class TAudAVIWriterInputPin;
};

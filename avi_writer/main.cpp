#include "avi_writer/main.h"

namespace {

const REGPINTYPES kVideoPinTypes[] = {{&MEDIATYPE_Video, &GUID_NULL}};
const REGPINTYPES kAudioPinTypes[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM}};

const REGFILTERPINS kPins[] = {
    {u"Input", FALSE, FALSE, FALSE, FALSE, &GUID_NULL, u"Output", 1, kVideoPinTypes},
    {u"Input", FALSE, FALSE, FALSE, FALSE, &GUID_NULL, u"Output", 1, kAudioPinTypes},
};

const th::dshow::FilterSetup kSetup{&CLSID_TlmAVIWriter, u"Tolmar THMux", MERIT_DO_NOT_USE, 2, kPins,
                                    &CLSID_LegacyAmFilterCategory, "Both"};

constexpr const char* kPinObjectName = "THMux In Pin";

} // namespace

// --- Pins --------------------------------------------------------------------------------------

TTlmAVIWriterInputPin::TTlmAVIWriterInputPin(const char* objectName, TTlmAVIWriter* owner, CCritSec* filterLock,
                                             HRESULT* hr, LPCWSTR pinName)
    : CRenderedInputPin(objectName, owner, filterLock, hr, pinName), FOwner(owner), FFilterLock(filterLock)
{
}

HRESULT TTlmAVIWriterInputPin::EndOfStream()
{
    CAutoLock lock(FFilterLock);
    return CRenderedInputPin::EndOfStream();
}

HRESULT TTlmAVIWriterInputPin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double)
{
    return S_OK;
}

HRESULT TTlmAVIWriterInputPin::Inactive()
{
    return CRenderedInputPin::Inactive();
}

TVidAVIWriterInputPin::TVidAVIWriterInputPin(TTlmAVIWriter* owner, CCritSec* filterLock, HRESULT* hr)
    : TTlmAVIWriterInputPin(kPinObjectName, owner, filterLock, hr, u"Input")
{
}

HRESULT TVidAVIWriterInputPin::CheckMediaType(const CMediaType* mt)
{
    if (!mt || !(mt->majortype == MEDIATYPE_Video || mt->majortype == MEDIATYPE_Interleaved))
        return S_FALSE;
    FOwner->FCore.RecordMediaFormat(*mt);
    return S_OK;
}

HRESULT TVidAVIWriterInputPin::Receive(IMediaSample* sample)
{
    // No base receive checks: samples that arrive while stopped are dropped by
    // the writer itself, since it is then neither armed nor open.
    const HRESULT hr = FOwner->FCore.ReceiveVideo(FTimes, sample);
    if (FAILED(hr))
        FOwner->ReportWriteError(hr);
    return hr;
}

TAudAVIWriterInputPin::TAudAVIWriterInputPin(TTlmAVIWriter* owner, CCritSec* filterLock, HRESULT* hr)
    : TTlmAVIWriterInputPin(kPinObjectName, owner, filterLock, hr, u"Input")
{
}

HRESULT TAudAVIWriterInputPin::CheckMediaType(const CMediaType* mt)
{
    if (!mt || !(mt->majortype == MEDIATYPE_Audio) || !(mt->subtype == MEDIASUBTYPE_PCM))
        return S_FALSE;
    FOwner->FCore.RecordMediaFormat(*mt);
    return S_OK;
}

HRESULT TAudAVIWriterInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = FOwner->FCore.ReceiveAudio(FTimes, sample);
    if (FAILED(hr))
        FOwner->ReportWriteError(hr);
    return hr;
}

// --- The filter ------------------------------------------------------------------------------------

CUnknown* TTlmAVIWriter::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    auto* writer = new (std::nothrow) TTlmAVIWriter(outer);
    if (!writer && hr)
        *hr = E_OUTOFMEMORY;
    return writer;
}

TTlmAVIWriter::TTlmAVIWriter(IUnknown* outer)
    : CBaseFilter(kName, outer, &FFilterLock, CLSID_TlmAVIWriter), FCore(FWriterLock)
{
}

TTlmAVIWriter::~TTlmAVIWriter()
{
    FCore.CloseFile();
    FVideoPin.reset();
    FAudioPin.reset();
}

HRESULT TTlmAVIWriter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IFileSinkFilter)
        return GetInterface(static_cast<IFileSinkFilter*>(this), ppv);
    if (riid == IID_ITlmFileSinkFilter)
        return GetInterface(static_cast<ITlmFileSinkFilter*>(this), ppv);
    if (riid == IID_IFileWriteStatus)
        return GetInterface(static_cast<IFileWriteStatus*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT TTlmAVIWriter::Run(REFERENCE_TIME start)
{
    if (IsStopped())
        FCore.BeginRun(FVideoPin ? &FVideoPin->FTimes : nullptr, FAudioPin ? &FAudioPin->FTimes : nullptr);
    CAutoLock lock(&FFilterLock);
    if (m_State == State_Stopped)
        StartRun();
    FCore.Arm(true);
    if (FCore.OpenFile() != 0)
        ReportWriteError(FCore.WriteError());
    return CBaseFilter::Run(start);
}

HRESULT TTlmAVIWriter::Pause()
{
    // Before the filter lock, which the audio pin takes after its own.
    if (IsStopped())
        FCore.BeginRun(FVideoPin ? &FVideoPin->FTimes : nullptr, FAudioPin ? &FAudioPin->FTimes : nullptr);
    CAutoLock lock(&FFilterLock);
    if (m_State == State_Stopped)
        StartRun();
    FCore.Arm(true);
    if (FCore.OpenFile() != 0)
        ReportWriteError(FCore.WriteError());
    return CBaseFilter::Pause();
}

void TTlmAVIWriter::StartRun()
{
    FCore.ResetWriteStatus();
    FErrorReported = false;
}

void TTlmAVIWriter::ReportWriteError(HRESULT hr)
{
    CAutoLock lock(&FFilterLock);
    if (FErrorReported || SUCCEEDED(hr))
        return;
    FErrorReported = true;
    NotifyEvent(EC_ERRORABORT, hr, 0);
}

HRESULT TTlmAVIWriter::GetFramesWritten(LONGLONG* frames)
{
    if (!frames)
        return E_POINTER;
    CAutoLock lock(&FFilterLock);
    *frames = FCore.FramesWritten();
    return S_OK;
}

HRESULT TTlmAVIWriter::GetWriteError(HRESULT* error, LPOLESTR* text)
{
    if (!error || !text)
        return E_POINTER;
    std::string message;
    {
        CAutoLock lock(&FFilterLock);
        *error = FCore.WriteError();
        message = FCore.WriteErrorText();
    }
    *text = message.empty() ? nullptr : th::com::CoTaskStrDup(th::com::Utf8ToUtf16(message));
    return message.empty() || *text ? S_OK : E_OUTOFMEMORY;
}

HRESULT TTlmAVIWriter::Stop()
{
    CAutoLock lock(&FFilterLock);
    FCore.Arm(false);
    const HRESULT hr = CBaseFilter::Stop();
    FCore.CloseFile();
    return hr;
}

int TTlmAVIWriter::GetPinCount()
{
    // The type byte changes on the graph's thread while others enumerate.
    CAutoLock lock(&FFilterLock);
    return FCore.DVType() == 2 ? 2 : 1;
}

CBasePin* TTlmAVIWriter::GetPin(int n)
{
    if (n < 0 || n > GetPinCount() - 1)
        return nullptr;
    CAutoLock lock(&FFilterLock);
    HRESULT hr = S_OK;
    if (n == 0) {
        if (!FVideoPin)
            FVideoPin.reset(new (std::nothrow) TVidAVIWriterInputPin(this, &FFilterLock, &hr));
        return FVideoPin.get();
    }
    if (n == 1) {
        if (!FAudioPin)
            FAudioPin.reset(new (std::nothrow) TAudAVIWriterInputPin(this, &FFilterLock, &hr));
        return FAudioPin.get();
    }
    return nullptr;
}

const th::dshow::FilterSetup& TTlmAVIWriter::Setup()
{
    return kSetup;
}

const th::dshow::FilterSetup* TTlmAVIWriter::GetSetupData()
{
    return &kSetup;
}

HRESULT TTlmAVIWriter::SetFileName(LPCOLESTR fileName, const AM_MEDIA_TYPE*)
{
    return FCore.SetFileName(fileName);
}

HRESULT TTlmAVIWriter::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type)
{
    return FCore.GetCurFile(fileName, type);
}

HRESULT TTlmAVIWriter::ChangeFileName(LPCWSTR Name, std::int64_t SampleTime)
{
    return FCore.ChangeFileName(Name, SampleTime);
}

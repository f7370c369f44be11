#pragma once
// Test doubles for the capture engine's unit tests: a media sample, a sample
// grabber that reports a connected type, a media control, frame counts, a file
// writer with the switching interface, and a DV device's transport, external
// device and time-code reader. Each records what it was asked.
#include "capture/TlmDVCap.h"

#include <QString>

#include <atomic>
#include <cstring>
#include <functional>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace fakes {

using th::com::ComObject;
using th::com::MakeCom;

class Sample : public ComObject<IMediaSample> {
public:
    Sample(BYTE* data, LONG len, REFERENCE_TIME start, REFERENCE_TIME stop = 0)
        : data_(data), len_(len), start_(start), stop_(stop)
    {
    }
    HRESULT GetPointer(BYTE** buffer) override
    {
        *buffer = data_;
        return S_OK;
    }
    LONG GetSize() override { return len_; }
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override
    {
        *start = start_;
        *stop = stop_;
        return S_OK;
    }
    HRESULT SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT IsSyncPoint() override { return S_OK; }
    HRESULT SetSyncPoint(BOOL) override { return S_OK; }
    HRESULT IsPreroll() override { return S_FALSE; }
    HRESULT SetPreroll(BOOL) override { return S_OK; }
    LONG GetActualDataLength() override { return len_; }
    HRESULT SetActualDataLength(LONG length) override
    {
        len_ = length;
        return S_OK;
    }
    HRESULT GetMediaType(AM_MEDIA_TYPE** type) override
    {
        *type = nullptr;
        return S_FALSE;
    }
    HRESULT SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT IsDiscontinuity() override { return S_FALSE; }
    HRESULT SetDiscontinuity(BOOL) override { return S_OK; }
    HRESULT GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
    HRESULT SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }

    void setStart(REFERENCE_TIME start) { start_ = start; }

private:
    BYTE* data_;
    LONG len_;
    REFERENCE_TIME start_, stop_;
};

// Reports a connected video type with a bitmap header at the place the
// format type puts it.
class Grabber : public ComObject<ISampleGrabber> {
public:
    GUID major = MEDIATYPE_Video;
    GUID format = FORMAT_VideoInfo;
    BITMAPINFOHEADER header{40, 4, 2, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    HRESULT connected = S_OK;
    std::atomic<int> typeReads{0};

    HRESULT SetOneShot(BOOL) override { return S_OK; }
    HRESULT SetMediaType(const AM_MEDIA_TYPE*) override { return S_OK; }
    HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* type) override
    {
        ++typeReads;
        if (connected != S_OK)
            return connected;
        std::memset(type, 0, sizeof *type);
        type->majortype = major;
        type->subtype = MEDIASUBTYPE_RGB24;
        type->formattype = format;
        const std::size_t offset = format == FORMAT_VideoInfo2 ? 72 : 48;
        const std::size_t size = format == FORMAT_VideoInfo2 ? sizeof(VIDEOINFOHEADER2) : sizeof(VIDEOINFOHEADER);
        type->cbFormat = ULONG(size);
        type->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(size));
        std::memset(type->pbFormat, 0, size);
        std::memcpy(type->pbFormat + offset, &header, sizeof header);
        return S_OK;
    }
    HRESULT SetBufferSamples(BOOL) override { return S_OK; }
    HRESULT GetCurrentBuffer(LONG*, LONG*) override { return E_NOTIMPL; }
    HRESULT GetCurrentSample(IMediaSample**) override { return E_NOTIMPL; }
    HRESULT SetCallback(ISampleGrabberCB*, LONG) override { return S_OK; }
};

class MediaControl : public ComObject<IMediaControl> {
public:
    std::vector<std::string> calls;
    std::function<void()> onPause;
    HRESULT pauseResult = S_OK;
    HRESULT Run() override
    {
        calls.push_back("Run");
        return S_OK;
    }
    HRESULT Pause() override
    {
        calls.push_back("Pause");
        if (onPause)
            onPause();
        return pauseResult;
    }
    HRESULT Stop() override
    {
        calls.push_back("Stop");
        return S_OK;
    }
    HRESULT GetState(LONG, OAFilterState* state) override
    {
        *state = State_Stopped;
        return S_OK;
    }
};

class DroppedFrames : public ComObject<IAMDroppedFrames> {
public:
    std::atomic<LONG> dropped{0};
    std::atomic<LONG> notDropped{0};
    std::atomic<HRESULT> result{S_OK};
    HRESULT GetNumDropped(LONG* v) override
    {
        *v = dropped;
        return result;
    }
    HRESULT GetNumNotDropped(LONG* v) override
    {
        *v = notDropped;
        return result;
    }
    HRESULT GetDroppedInfo(LONG, LONG*, LONG*) override { return E_NOTIMPL; }
    HRESULT GetAverageFrameSize(LONG*) override { return E_NOTIMPL; }
};

// A file writer that switches at once when asked (the frame before the
// switch has always reached it by then).
// Names files as the writers do, and creates them, as they do when they open
// them (where that can be done), so that they exist to be reported.
class FileSink : public ComObject<IFileSinkFilter, ITlmFileSinkFilter> {
public:
    std::mutex lock;
    std::u16string current;
    std::vector<std::string> calls; // "SetFileName <name>" / "ChangeFileName <name> <time>"

    static void Touch(const std::u16string& name)
    {
        if (std::FILE* f = std::fopen(th::com::Utf16ToUtf8(name).c_str(), "ab"))
            std::fclose(f);
    }
    HRESULT SetFileName(LPCOLESTR name, const AM_MEDIA_TYPE*) override
    {
        std::lock_guard<std::mutex> g(lock);
        current = name;
        Touch(current);
        calls.push_back("SetFileName " + th::com::Utf16ToUtf8(current));
        return S_OK;
    }
    HRESULT GetCurFile(LPOLESTR* name, AM_MEDIA_TYPE*) override
    {
        std::lock_guard<std::mutex> g(lock);
        *name = th::com::CoTaskStrDup(current);
        return S_OK;
    }
    HRESULT ChangeFileName(LPCWSTR name, std::int64_t time) override
    {
        std::lock_guard<std::mutex> g(lock);
        current = name;
        Touch(current);
        calls.push_back("ChangeFileName " + th::com::Utf16ToUtf8(current) + " " + std::to_string(time));
        return S_OK;
    }
};

// The DV device's control interfaces.
class Device : public ComObject<IAMExtTransport, IAMExtDevice, IAMTimecodeReader> {
public:
    LONG deviceType = ED_DEVTYPE_VCR;
    LONG signal = ED_TRANSBASIC_SIGNAL_625_50_SD;
    HRESULT signalResult = S_OK;
    LONG mode = ED_MODE_STOP;
    HRESULT putModeResult = S_OK;
    HRESULT getModeResult = S_OK;
    HRESULT rawResult = S_OK;
    std::vector<LONG> modes;                    // every put_Mode
    std::vector<std::vector<BYTE>> rawCommands; // every raw command
    // Answers of GetTimecode, in order; the last one repeats.
    std::vector<std::pair<HRESULT, DWORD>> timecodes{{S_OK, 0}};
    std::size_t timecodeReads = 0;
    std::vector<std::string> log; // the order of put_Mode, raw commands and reads

    HRESULT put_Mode(LONG m) override
    {
        modes.push_back(m);
        log.push_back("mode " + std::to_string(m));
        if (putModeResult == S_OK)
            mode = m;
        return putModeResult;
    }
    HRESULT get_Mode(LONG* m) override
    {
        *m = mode;
        return getModeResult;
    }
    HRESULT GetTransportBasicParameters(LONG param, LONG* value, LPOLESTR* data) override
    {
        if (param == ED_TRANSBASIC_INPUT_SIGNAL) {
            *value = signal;
            return signalResult;
        }
        if (param == ED_RAW_EXT_DEV_CMD) {
            const BYTE* bytes = reinterpret_cast<const BYTE*>(data);
            rawCommands.emplace_back(bytes, bytes + *value);
            log.push_back("raw");
            return rawResult;
        }
        return E_NOTIMPL;
    }
    HRESULT GetCapability(LONG capability, LONG* value, double*) override
    {
        if (capability != ED_DEVCAP_DEVICE_TYPE)
            return E_NOTIMPL;
        *value = deviceType;
        return S_OK;
    }
    HRESULT GetTimecode(TIMECODE_SAMPLE* sample) override
    {
        const auto& answer = timecodes[std::min(timecodeReads, timecodes.size() - 1)];
        ++timecodeReads;
        log.push_back("read");
        if (answer.first == S_OK)
            sample->timecode.dwFrames = answer.second;
        return answer.first;
    }
};

} // namespace fakes

// Puts a component into the states its graphs would, with the doubles above
// in place of the device and the graph.
struct TlmDVCaptureTestAccess {
    static void SetActive(TTlmDVCapture& c, bool active, TCaptureState state = csStopped)
    {
        c.FActive = active;
        c.FCaptureState = state;
    }
    static void SetMode(TTlmDVCapture& c, TCaptureMode mode, TSceneDetectionMethod detection)
    {
        c.FCaptureMode = mode;
        c.FSceneDetection = detection;
    }
    static void SetGraph(TTlmDVCapture& c, IMediaControl* control, IAMDroppedFrames* counts)
    {
        c.FMediaControl = control;
        c.FDroppedFrames = counts;
    }
    static void SetFileSink(TTlmDVCapture& c, fakes::FileSink* sink, bool switcher)
    {
        c.FFileSink = sink;
        c.FFileSwitcher = switcher ? static_cast<ITlmFileSinkFilter*>(sink) : nullptr;
    }
    static void SetDevice(TTlmDVCapture& c, fakes::Device* device)
    {
        c.FTransport = device;
        c.FExtDevice = device;
        c.FTimecodeReader = device;
    }
    static void SetSignalFormat(TTlmDVCapture& c, TDVSignalFormat f) { c.FSignalFormat = f; }
    static void SetAudio(TTlmDVCapture& c, IBasicAudio* audio) { c.FAudio = audio; }
    // What a graph build does with the two callback objects.
    static void InstallCallbacks(TTlmDVCapture& c, fakes::Grabber* picture)
    {
        c.FFrameCB->OnSample = [&c](BYTE* b, LONG l, LONGLONG s, LONGLONG e) { c.DVFrameReceived(b, l, s, e); };
        c.FPictureCB->Install(picture, c.OnNewScene);
    }
    static TSampleGrabberCB& FrameCB(TTlmDVCapture& c) { return *c.FFrameCB; }
    static TPictureGrabberCB& PictureCB(TTlmDVCapture& c) { return *c.FPictureCB; }
    static void Frame(TTlmDVCapture& c, BYTE* buffer, LONG len, LONGLONG start)
    {
        c.DVFrameReceived(buffer, len, start, start + 400000);
    }
    static TDateTime LastRecordTime(TTlmDVCapture& c) { return c.FLastRecordTime; }
    static void DeviceChanged(TTlmDVCapture& c, LONG_PTR available) { c.DeviceChanged(available); }
    static IGraphBuilder* Graph(TTlmDVCapture& c) { return c.FGraph.Get(); }
    static bool HasFileSwitcher(TTlmDVCapture& c) { return bool(c.FFileSwitcher); }
    static bool HasFileSink(TTlmDVCapture& c) { return bool(c.FFileSink); }
    static bool HasAudio(TTlmDVCapture& c) { return bool(c.FAudio); }
    static void ReleaseAll(TTlmDVCapture& c)
    {
        c.FActive = false;
        c.FMediaControl.Reset();
        c.FDroppedFrames.Reset();
        c.FFileSink.Reset();
        c.FFileSwitcher.Reset();
        c.FTransport.Reset();
        c.FExtDevice.Reset();
        c.FTimecodeReader.Reset();
        c.FAudio.Reset();
    }
};

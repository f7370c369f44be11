// The capture component's life: construction, activation (the graph and the
// DV device), deactivation, the hidden window with its graph events and device
// arrivals, and the setters that rebuild the graph.
#include "capture/TlmDVCap.h"

#include "capture/TlmVWin.h"

#include "platform/start/PlatformStart.h"
#include "platform/win/MessageWindow.h"

#include <cstddef>

namespace {

constexpr UINT WM_GRAPHNOTIFY = WM_APP + 1;
constexpr const char* kDeviceName = "Microsoft DV Camera and VCR";

// How long the destructor waits for the streaming threads to let go of the
// callback objects before it leaves them allocated rather than free them
// under a thread.
constexpr std::chrono::seconds kCallbackReleaseWait{10};

QString VariantToString(const VARIANT& v)
{
    if (v.vt == VT_BSTR && v.bstrVal)
        return QString::fromUtf16(v.bstrVal, qsizetype(SysStringLen(v.bstrVal)));
    if (v.vt == VT_I4)
        return QString::number(v.lVal);
    return {};
}

} // namespace

TTlmDVCapture::TTlmDVCapture(QObject* AOwner) : QObject(AOwner)
{
    CoInitialize(nullptr);
    th::platform::Start();
    FHandle = AllocateHWnd([this](TMessage& Message) { WndProc(Message); });
    FCaptureMode = cmPreview;
    FFrameCB = std::make_unique<TSampleGrabberCB>(FCaptureLock);
    FPictureCB = std::make_unique<TPictureGrabberCB>();
    FLastRecordTime = 0;
    FSceneDetection = sdSingleFile;
    FCaptureState = csConstructed;
    FDVResolution = dvrFull;
    FDVFrameRate = frFull;
    FAutoStart = true;
    FFileName = "capture.avi";
    FBaseName = "capture";
    FFileExt = ".avi";
    FVolumeCache = 0;
    FMuted = false;
    FSignalFormat = sfPAL;

    DEV_BROADCAST_DEVICEINTERFACE filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = KSCATEGORY_CAPTURE;
    FDeviceNotification = RegisterDeviceNotification(FHandle, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

TTlmDVCapture::~TTlmDVCapture()
{
    try {
        SetActive(false);
    } catch (...) {
        // Nothing may leave a destructor; what is left is released below.
    }
    if (FDeviceNotification)
        UnregisterDeviceNotification(FDeviceNotification);
    DeallocateHWnd(FHandle);
    FHandle = nullptr;

    FSceneDocument.reset();
    FScenesNode = {};
    FCurrentScene = {};
    // Grabbers that outlive the component (a partial graph that someone else
    // still holds) let go of the callback objects now.
    if (FFrameGrabber)
        FFrameGrabber->SetCallback(nullptr, 0);
    if (FPictureGrabber)
        FPictureGrabber->SetCallback(nullptr, 0);
    FPictureCB->Install(nullptr, {});
    FFrameGrabber.Reset();
    FPictureGrabber.Reset();
    FFileSink.Reset();
    FMuxStatus.Reset();
    FFileSwitcher.Reset();
    FAudio.Reset();
    FDroppedFrames.Reset();
    FMediaControl.Reset();
    FCaptureBuilder.Reset();
    FEvent.Reset();
    FTransport.Reset();
    FExtDevice.Reset();
    FTimecodeReader.Reset();
    FDeviceFilter.Reset();
    FGraph.Reset();

    // A streaming thread that was parked in a callback when the graph stopped
    // may still hold a callback object for a moment.
    if (!FFrameCB->WaitUnused(kCallbackReleaseWait))
        (void)FFrameCB.release();
    if (!FPictureCB->WaitUnused(kCallbackReleaseWait))
        (void)FPictureCB.release();
    FFrameCB.reset();
    FPictureCB.reset();
    CoUninitialize();
}

// --- Graph and activation ------------------------------------------------------------------

void TTlmDVCapture::CreateGraph()
{
    CheckHResult(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                  IID_IGraphBuilder, FGraph.ReleaseAndGetVoidAddressOf()));
    CheckHResult(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                  IID_ICaptureGraphBuilder2, FCaptureBuilder.ReleaseAndGetVoidAddressOf()));
    CheckHResult(FCaptureBuilder->SetFiltergraph(FGraph.Get()));
    CheckHResult(FGraph.As(&FMediaControl));
    CheckHResult(FGraph.As(&FEvent));
    CheckHResult(FEvent->SetNotifyFlags(0));
    CheckHResult(FEvent->SetNotifyWindow(reinterpret_cast<OAHWND>(FHandle), LONG(WM_GRAPHNOTIFY), 0));
}

void TTlmDVCapture::ReleaseGraph()
{
    FCaptureBuilder.Reset();
    FGraph.Reset();
    FMediaControl.Reset();
    FFileSink.Reset();
    FMuxStatus.Reset();
    FFileSwitcher.Reset();
}

void TTlmDVCapture::SetCaptureState(TCaptureState State)
{
    FCaptureState.store(State, std::memory_order_release);
    if (OnChangeCaptureState)
        OnChangeCaptureState(this, State);
}

TCaptureState TTlmDVCapture::GetCaptureState() const
{
    return Active() ? FCaptureState.load(std::memory_order_acquire) : csConstructed;
}

void TTlmDVCapture::SetActive(bool Value)
{
    if (Value == Active())
        return;
    if (Value) {
        CreateGraph();
        ComPtr<ICreateDevEnum> devEnum;
        CheckHResult(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                      devEnum.ReleaseAndGetVoidAddressOf()));
        ComPtr<IEnumMoniker> monikers;
        CheckHResult(devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.ReleaseAndGetAddressOf(), 0));
        bool found = false;
        if (monikers) {
            monikers->Reset();
            for (;;) {
                ComPtr<IMoniker> moniker;
                ULONG fetched = 0;
                const HRESULT hr = monikers->Next(1, moniker.ReleaseAndGetAddressOf(), &fetched);
                if (FAILED(hr) || fetched != 1 || !moniker)
                    break;
                ComPtr<IPropertyBag> bag;
                CheckHResult(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReleaseAndGetVoidAddressOf()));
                VARIANT name;
                VariantInit(&name);
                const HRESULT read = bag->Read(u"FriendlyName", &name, nullptr);
                const QString friendlyName = VariantToString(name);
                VariantClear(&name);
                CheckHResult(read);
                if (friendlyName.compare(QLatin1String(kDeviceName), Qt::CaseInsensitive) == 0) {
                    CheckHResult(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                       FDeviceFilter.ReleaseAndGetVoidAddressOf()));
                    CheckHResult(FGraph->AddFilter(FDeviceFilter.Get(), u"Device Filter"));
                    found = true;
                    break;
                }
            }
        }
        if (!found) {
            ReleaseGraph();
            return;
        }
        CheckHResult(FDeviceFilter.As(&FTimecodeReader));
        CheckHResult(FDeviceFilter.As(&FTransport));
        CheckHResult(FDeviceFilter.As(&FExtDevice));
        if (FPreviewWindow)
            FPreviewWindow->SetGraph(FGraph);
        FActive.store(true, std::memory_order_release);
        SetCaptureState(csStopped);
        BuildGraph();
        FLastRecordTime = 0;
    } else {
        try {
            Stop();
        } catch (...) {
            FCaptureState = csStopped;
        }
        SetCaptureState(csConstructed);
        FActive.store(false, std::memory_order_release);
        RemoveDownstream(FDeviceFilter.Get(), true);
        ReleaseGraph();
    }
}

void TTlmDVCapture::RemoveDownstream(IBaseFilter* Filter, bool Remove)
{
    if (!Filter)
        return;
    if (FPreviewWindow)
        FPreviewWindow->DetachVideo();
    ComPtr<IEnumPins> pins;
    CheckHResult(Filter->EnumPins(pins.ReleaseAndGetAddressOf()));
    CheckHResult(pins->Reset());
    for (;;) {
        ComPtr<IPin> pin;
        ULONG fetched = 0;
        if (pins->Next(1, pin.ReleaseAndGetAddressOf(), &fetched) != S_OK || !pin)
            break;
        ComPtr<IPin> peer;
        if (FAILED(pin->ConnectedTo(peer.ReleaseAndGetAddressOf())) || !peer)
            continue;
        PIN_INFO info{};
        CheckHResult(peer->QueryPinInfo(&info));
        ComPtr<IBaseFilter> peerFilter;
        peerFilter.Attach(info.pFilter);
        if (info.dir == PINDIR_INPUT && Remove) {
            RemoveDownstream(peerFilter.Get(), Remove);
            CheckHResult(FGraph->Disconnect(peer.Get()));
            CheckHResult(FGraph->Disconnect(pin.Get()));
            if (peerFilter.Get() != FDeviceFilter.Get())
                CheckHResult(FGraph->RemoveFilter(peerFilter.Get()));
        }
    }
}

// --- The hidden window ----------------------------------------------------------------------

void TTlmDVCapture::WndProc(TMessage& Message)
{
    switch (Message.Msg) {
    case WM_DEVICECHANGE:
        WMDeviceChange(Message);
        break;
    case WM_GRAPHNOTIFY:
        HandleGraphEvents();
        break;
    default:
        Message.Result = DefWindowProc(FHandle, Message.Msg, Message.WParam, Message.LParam);
        break;
    }
}

void TTlmDVCapture::WMDeviceChange(TMessage& Message)
{
    if (Message.WParam != DBT_DEVICEARRIVAL || Message.LParam == 0)
        return;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(Message.LParam);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE, dbcc_classguid) + sizeof(GUID))
        return;
    const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE*>(Message.LParam);
    if (SameGUID(record->dbcc_classguid, KSCATEGORY_CAPTURE))
        DeviceChanged(1);
}

void TTlmDVCapture::HandleGraphEvents()
{
    for (;;) {
        // Fetched anew each pass: handling an event may replace the graph.
        const ComPtr<IMediaEventEx> events = FEvent;
        if (!events)
            return;
        LONG code = 0;
        LONG_PTR param1 = 0, param2 = 0;
        if (FAILED(events->GetEvent(&code, &param1, &param2, 0)))
            return;
        events->FreeEventParams(code, param1, param2);
        HandleGraphEvent(code, param1, param2);
    }
}

void TTlmDVCapture::HandleGraphEvent(LONG Code, LONG_PTR, LONG_PTR Param2)
{
    if (Code == EC_DEVICE_LOST)
        DeviceChanged(Param2);
    else if (Code == EC_ERRORABORT)
        WriteFailed();
}

void TTlmDVCapture::DeviceChanged(LONG_PTR Available)
{
    TDeviceMode mode;
    if (Available == 0) {
        mode = dmRemoved;
        SetActive(false);
    } else {
        mode = dmAvailable;
        if (FAutoStart) {
            try {
                SetActive(true);
                Start();
            } catch (...) {
                try {
                    SetActive(false);
                } catch (...) {
                }
                mode = dmRemoved;
            }
        }
    }
    if (OnDeviceLost)
        OnDeviceLost(this, mode);
}

// --- Setters that rebuild -----------------------------------------------------------------------

void TTlmDVCapture::SetCaptureMode(TCaptureMode Value)
{
    if (Value == CaptureMode())
        return;
    FCaptureMode.store(Value, std::memory_order_release);
    if (Active()) {
        const bool wasRunning = GetCaptureState() == csRunned;
        Stop();
        BuildGraph();
        if (wasRunning)
            Start();
    }
    if (OnChangeCaptureMode)
        OnChangeCaptureMode(this, Value);
}

void TTlmDVCapture::SetSceneDetection(TSceneDetectionMethod Value)
{
    if (Value == SceneDetection())
        return;
    SetActive(false);
    FSceneDetection.store(Value, std::memory_order_release);
    SetActive(true);
}

void TTlmDVCapture::SetPreviewWindow(TTlmVideoWindow* Value)
{
    if (!Value) {
        if (FPreviewWindow)
            FPreviewWindow->DetachVideo();
        FPreviewWindow = nullptr;
    } else if (Value != FPreviewWindow.data()) {
        FPreviewWindow = Value;
        FPreviewWindow->AttachVideo();
    }
}

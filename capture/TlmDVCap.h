#pragma once
// TTlmDVCapture: the non-visual component through which the program talks to
// the DV camcorder. It finds the device "Microsoft DV Camera and VCR", builds
// the filter graph of the chosen capture mode (a preview, or a type-1 or
// type-2 DV capture into AVI with or without a preview), runs and stops it,
// detects scenes by the recording date and time of the frames, writes the
// scene file of a one-file capture or switches files per scene, drives the
// tape and reads its time code, and shapes the live preview.
//
// Threads. The component lives on the main thread: construction, every
// setter, Start and Stop, the transport and the hidden window's messages. The
// per-frame callback runs on the streaming thread of the frame grabber while
// it holds CaptureLock, and raises OnCaptureProgress there (and, with one file
// per scene, OnNewCaptureFile); OnNewScene comes on the scene branch's
// streaming thread. Handlers on those threads must hand their work to the
// main thread without waiting for it: Stop, on the main thread, holds
// CaptureLock while it stops the graph. Once Stop has returned, no event comes
// from a streaming thread until the next Start.
//
// Failures of the platform calls are raised as EExternalException ("External
// exception 80004005"); the transport commands report failure as False. A
// file that cannot be created or written is raised in words (which file,
// why): by Start, by Stop after the graph has stopped and every file is
// finished and reported, and, when the writer fails during a capture, by the
// stop that follows: OnDeviceLost(dmRemoved) tells the owner, whose handler
// is to stop the capture (the component stays active); without one the
// component stops it itself and raises from its message window.

#include "capture/TlmDVCapTypes.h"
#include "capture/TlmUtil.h"
#include "capture/TlmVWin.h"

#include "platform/dshow/DShow.h"
#include "platform/rtl/DateUtils.h"
#include "platform/win/Windows.h"

#include <QDomDocument>
#include <QDomElement>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

// The interface class of capture devices, whose arrivals the component watches.
inline constexpr GUID KSCATEGORY_CAPTURE = MakeGuid("65E8773D-8F56-11D0-A3B9-00A0C9223196");

class TTlmDVCapture : public QObject {
public:
    explicit TTlmDVCapture(QObject* AOwner = nullptr);
    ~TTlmDVCapture() override;
    TTlmDVCapture(const TTlmDVCapture&) = delete;
    TTlmDVCapture& operator=(const TTlmDVCapture&) = delete;

    // --- Settings ----------------------------------------------------------------------

    // True while a graph with the DV device exists. Setting True without a
    // device leaves it False, silently.
    bool Active() const { return FActive.load(std::memory_order_acquire); }
    void SetActive(bool Value);
    // On the arrival of a device: activate and start.
    bool AutoStart() const { return FAutoStart; }
    void SetAutoStart(bool Value) { FAutoStart = Value; }
    // The capture file; also the base of the scene file (".thf"), the
    // temporary file (".tmp") and the per-scene names.
    QString FileName() const { return FFileName; }
    void SetFileName(const QString& Value);
    TCaptureMode CaptureMode() const { return FCaptureMode.load(std::memory_order_acquire); }
    void SetCaptureMode(TCaptureMode Value);
    TTlmVideoWindow* PreviewWindow() const { return FPreviewWindow.data(); }
    void SetPreviewWindow(TTlmVideoWindow* Value);
    TSceneDetectionMethod SceneDetection() const { return FSceneDetection.load(std::memory_order_acquire); }
    void SetSceneDetection(TSceneDetectionMethod Value);
    TDVResolution DVResolution() const { return FDVResolution; }
    void SetDVResolution(TDVResolution Value);
    TDVFrameRate DVFrameRate() const { return FDVFrameRate; }
    void SetDVFrameRate(TDVFrameRate Value);
    // Hundredths of a decibel, -10000 (silence) to 0.
    int Volume() { return GetVolume(); }
    int GetVolume();
    void SetVolume(int Value);
    void Mute();
    void Unmute();

    // --- Events (plain stores; called only when assigned) --------------------------------

    TOnCaptureProgress OnCaptureProgress;
    TOnChangeCaptureMode OnChangeCaptureMode;
    TOnChangeCaptureState OnChangeCaptureState;
    TOnDeviceLost OnDeviceLost;
    TOnNewScene OnNewScene;
    TOnNewCaptureFile OnNewCaptureFile;

    // --- Capture run ---------------------------------------------------------------------

    // csConstructed while inactive, else the stored state.
    TCaptureState GetCaptureState() const;
    void Start();
    void Stop();
    // The capture pin's counts; left as the caller set them unless running.
    void GetFrameCounts(int& Dropped, int& NotDropped);
    // The counts of the last capture run, read by Stop once the device had
    // stopped sending: they agree with the files and the scene file. 0 before
    // the first run.
    void LastFrameCounts(int& Dropped, int& NotDropped) const;
    // The video frames in the files of the last capture, dropped ones
    // included, as the writer counted them once the graph had stopped; -1
    // when unknown. After a write error they are fewer than passed the device.
    std::int64_t FramesWritten() const { return FFramesWritten; }
    // The recording date and time of a DV frame (all 0 for a frame shorter than 12000 bytes).
    static void DecodeRecordingDateTime(const BYTE* Buffer, int Len, BYTE& Day, BYTE& Month, BYTE& Hour, BYTE& Min,
                                        BYTE& Sec, int& Year);

    // --- Transport and time code --------------------------------------------------------

    // put_Mode's result, or S_FALSE without a transport.
    HRESULT SetTransportMode(LONG Mode);
    bool TransportPlay();
    bool TransportStop();
    bool TransportPause();
    bool TransportStillNext();
    bool TransportStillPrev();
    bool TransportPlayRew();
    bool TransportPlayFwd();
    bool TransportRew();
    bool TransportFForw();
    HRESULT GetTransportMode(LONG& Mode);
    TTransportState GetTransportState();
    TDVDeviceType GetDeviceType();
    // Why no DV device can be used, in words the user can act on (no FireWire
    // driver, no port, no camcorder, no permission); empty while one is there.
    QString NoDeviceExplanation() const;
    // Read from the device.
    TDVSignalFormat GetSignalFormat();
    // The signal of the tape input found at the last graph build (sfPAL before the first).
    TDVSignalFormat SignalFormat() const { return FSignalFormat; }
    // 30 for an NTSC signal at the last graph build, else 25.
    int FrameRate() const;
    bool ReadTimecode(TTimecode& TC);
    // Nudges a transport that reports no time code (a step forward and back, then a pause).
    bool GetTimecode(TTimecode& TC);
    // Seeks a video recorder to the frame after TC by its absolute track
    // number; False for a camera or an inactive component. Raises Exception
    // for a frame, hour, minute or second out of range, for a time code whose
    // track number does not fit 24 bits, and for an aborted request.
    bool SeekATN(TTimecode TC);

    // The absolute track number of the frame after TC (TC's frame plus one)
    // for a signal format; no range checks.
    static std::int64_t TrackNumber(TTimecode TC, TDVSignalFormat Format);

private:
    friend struct TlmDVCaptureTestAccess;

    void CreateGraph();
    void ReleaseGraph();
    void RemoveDownstream(IBaseFilter* Filter, bool Remove);
    void WndProc(TMessage& Message);
    void WMDeviceChange(TMessage& Message);
    void HandleGraphEvents();
    void HandleGraphEvent(LONG Code, LONG_PTR Param1, LONG_PTR Param2);
    void DeviceChanged(LONG_PTR Available);
    void SetCaptureState(TCaptureState State);

    // Graphs.
    void BuildGraph();
    void BuildPreviewGraph();
    void BuildDVType1Graph();
    void BuildDVType2Graph();
    void BuildDVType1wPreviewGraph();
    void BuildDVType2wPreviewGraph();
    void ConfigureAviMux(IBaseFilter* Mux, LONG Mode);
    ComPtr<IBaseFilter> AddNewFilter(const CLSID& Clsid, const char16_t* Name);
    void SetupFrameGrabber(IBaseFilter* Grabber);
    void SetupPictureGrabber(IBaseFilter* Grabber);
    void SetSceneDecoderSize(IBaseFilter* Decoder);
    ComPtr<IBaseFilter> AddFileOutput();
    void Render(const GUID& Type, IUnknown* Source, IBaseFilter* Intermediate, IBaseFilter* Sink);
    void ApplyPreviewSettings(bool AttachFirst);
    void GraphTail();

    // Capture run.
    void DVFrameReceived(BYTE* Buffer, LONG Len, LONGLONG Start, LONGLONG Stop);
    void SwitchCaptureFile(const QString& Name, std::int64_t Time);
    QString SceneFileName(BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year) const;
    // The file of the frames before the first dated one: "<base> undated<ext>".
    QString UndatedFileName() const;
    QString CurrentSinkFile();
    void SaveSceneDocument();
    // The file writer's first failure of the run in words (which file, why),
    // empty when it has none; Shown, when given, is the file named.
    QString WriteFailure(const QString& Shown = {});
    // The writer's count of the video frames in its files; -1 when unknown.
    void EndScenesAtFileEnd();
    std::int64_t CountFramesWritten();
    // Raises a failed result of naming the writer's file Name in words.
    void CheckFileResult(HRESULT Result, const QString& Name, const QString& Shown = {});
    // The writer could not write: the capture stops as on a device removal.
    void WriteFailed();

    HWND FHandle = nullptr;
    HDEVNOTIFY FDeviceNotification = nullptr;
    std::atomic<bool> FActive{false};
    bool FAutoStart = true;
    QString FFileName;
    QString FBaseName;
    QString FFileExt;
    TCriticalSection FCaptureLock;
    int FSceneStart = 0;
    std::atomic<TCaptureState> FCaptureState{csConstructed};
    TDVResolution FDVResolution = dvrFull;
    TDVFrameRate FDVFrameRate = frFull;
    std::atomic<TCaptureMode> FCaptureMode{cmPreview};
    TDateTime FLastRecordTime = 0;
    bool FUndatedScene = false; // the frames before the first dated one have their scene
    int FLastDropped = 0;
    int FLastNotDropped = 0;
    std::atomic<TSceneDetectionMethod> FSceneDetection{sdSingleFile};
    std::unique_ptr<QDomDocument> FSceneDocument;
    QDomElement FScenesNode;
    QDomElement FCurrentScene;
    ComPtr<IFileSinkFilter> FFileSink;
    ComPtr<ITlmFileSinkFilter> FFileSwitcher;
    ComPtr<IFileWriteStatus> FMuxStatus; // the AVI Mux of a one-file graph
    std::atomic<std::int64_t> FFramesWritten{-1};
    ComPtr<ICaptureGraphBuilder2> FCaptureBuilder;
    std::unique_ptr<TSampleGrabberCB> FFrameCB;
    std::unique_ptr<TPictureGrabberCB> FPictureCB;
    ComPtr<ISampleGrabber> FFrameGrabber;
    ComPtr<ISampleGrabber> FPictureGrabber;
    ComPtr<IGraphBuilder> FGraph;
    int FVolumeCache = 0;
    bool FMuted = false;
    std::atomic<std::int64_t> FDroppedCache{0};
    std::atomic<std::int64_t> FNotDroppedCache{0};
    TDVSignalFormat FSignalFormat = sfPAL;
    ComPtr<IMediaControl> FMediaControl;
    ComPtr<IBaseFilter> FDeviceFilter;
    QPointer<TTlmVideoWindow> FPreviewWindow;
    ComPtr<IAMExtTransport> FTransport;
    ComPtr<IAMExtDevice> FExtDevice;
    ComPtr<IAMTimecodeReader> FTimecodeReader;
    ComPtr<IAMDroppedFrames> FDroppedFrames;
    ComPtr<IMediaEventEx> FEvent;
    ComPtr<IBasicAudio> FAudio;
};

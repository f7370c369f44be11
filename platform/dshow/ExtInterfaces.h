#pragma once
// The interfaces of particular filters and services: the DV device's transport,
// time code and frame counts; the Sample Grabber; the preview's window, sound,
// decoder and splitter settings; the AVI mux settings; the media detector; the
// device enumerator and its monikers and property bags; the filter mapper; and
// the class identifiers of the platform's classes. Declarations only; classes
// of a later layer (DV, AVI, renderers, the media detector) implement some of
// them. No Qt.

#include "platform/dshow/Interfaces.h"
#include "platform/dshow/OleTypes.h"

// --- Classes ------------------------------------------------------------------------------

inline constexpr CLSID CLSID_FilterGraph = MakeGuid("E436EBB3-524F-11CE-9F53-0020AF0BA770");
inline constexpr CLSID CLSID_CaptureGraphBuilder2 = MakeGuid("BF87B6E1-8C27-11D0-B3F0-00AA003761C5");
inline constexpr CLSID CLSID_SampleGrabber = MakeGuid("C1F400A0-3F08-11D3-9F0B-006008039E37");
inline constexpr CLSID CLSID_NullRenderer = MakeGuid("C1F400A4-3F08-11D3-9F0B-006008039E37");
inline constexpr CLSID CLSID_SmartTee = MakeGuid("CC58E280-8AA1-11D1-B3F1-00AA003761C5");
inline constexpr CLSID CLSID_FilterMapper2 = MakeGuid("CDA42200-BD88-11D0-BD4E-00A0C911CE86");
inline constexpr CLSID CLSID_FilterMapper = MakeGuid("E436EBB2-524F-11CE-9F53-0020AF0BA770");
inline constexpr CLSID CLSID_SystemDeviceEnum = MakeGuid("62BE5D10-60EB-11D0-BD3B-00A0C911CE86");
// Classes of the DV and AVI layer, created by class identifier.
inline constexpr CLSID CLSID_AviDest = MakeGuid("E2510970-F137-11CE-8B67-00AA00A3F1A6");
inline constexpr CLSID CLSID_FileWriter = MakeGuid("8596E5F0-0DA5-11D0-BD21-00A0C911CE86");
inline constexpr CLSID CLSID_VideoRenderer = MakeGuid("70E102B0-5556-11CE-97C0-00AA0055595A");
inline constexpr CLSID CLSID_DSoundRender = MakeGuid("79376820-07D0-11CF-A24D-0020AFD79767");
inline constexpr CLSID CLSID_DVSplitter = MakeGuid("4EB31670-9FC6-11CF-AF6E-00AA00B67A42");
inline constexpr CLSID CLSID_DVVideoCodec = MakeGuid("B1B77C00-C3E4-11CF-AF79-00AA00B67A42");
inline constexpr CLSID CLSID_MediaDet = MakeGuid("65BD0711-24D2-4FF7-9324-ED2E5D3ABAFA");

// Filter categories of the device enumerator and the filter mapper.
inline constexpr CLSID CLSID_VideoInputDeviceCategory = MakeGuid("860BB310-5D01-11D0-BD3B-00A0C911CE86");
inline constexpr CLSID CLSID_LegacyAmFilterCategory = MakeGuid("083863F1-70DE-11D0-BD40-00A0C911CE86");

// --- The DV device -------------------------------------------------------------------------

// Frame counts of a capture pin since the stream started.
struct IAMDroppedFrames : IUnknown {
    virtual HRESULT GetNumDropped(LONG* dropped) = 0;
    virtual HRESULT GetNumNotDropped(LONG* notDropped) = 0;
    virtual HRESULT GetDroppedInfo(LONG size, LONG* frames, LONG* copied) = 0;
    virtual HRESULT GetAverageFrameSize(LONG* averageSize) = 0;

protected:
    ~IAMDroppedFrames() = default;
};
TH_DECLARE_IID(IAMDroppedFrames, "C6E13344-30AC-11D0-A18C-00A0C9118956");

inline constexpr LONG ED_DEVCAP_DEVICE_TYPE = 4103;
inline constexpr LONG ED_DEVTYPE_VCR = 4104;
inline constexpr LONG ED_DEVCAP_TIMECODE_READ = 4121;
inline constexpr LONG ED_DEVTYPE_CAMERA = 4996;

struct IAMExtDevice : IUnknown {
    virtual HRESULT GetCapability(LONG capability, LONG* value, double* doubleValue) = 0;

protected:
    ~IAMExtDevice() = default;
};
TH_DECLARE_IID(IAMExtDevice, "B5730A90-1A2C-11CF-8C23-00AA006B6814");

inline constexpr LONG ED_MODE_PLAY = 4296;
inline constexpr LONG ED_MODE_STOP = 4297;
inline constexpr LONG ED_MODE_FREEZE = 4298;
inline constexpr LONG ED_MODE_THAW = 4299;
inline constexpr LONG ED_MODE_FF = 4300;
inline constexpr LONG ED_MODE_REW = 4301;
inline constexpr LONG ED_MODE_RECORD = 4302;
inline constexpr LONG ED_MODE_RECORD_STROBE = 4303;
inline constexpr LONG ED_MODE_STEP_FWD = 4304;
inline constexpr LONG ED_MODE_RECORD_FREEZE = 4904;
inline constexpr LONG ED_MODE_STEP_REV = 4905;
inline constexpr LONG ED_MODE_PLAY_FASTEST_FWD = 5029;
inline constexpr LONG ED_MODE_PLAY_SLOWEST_FWD = 5030;
inline constexpr LONG ED_MODE_PLAY_FASTEST_REV = 5031;
inline constexpr LONG ED_MODE_PLAY_SLOWEST_REV = 5032;
inline constexpr LONG ED_MODE_WIND = 5033;
inline constexpr LONG ED_MODE_REW_FASTEST = 5034;
inline constexpr LONG ED_MODE_REV_PLAY = 5035;

inline constexpr LONG ED_RAW_EXT_DEV_CMD = 5016;
inline constexpr LONG ED_TRANSBASIC_INPUT_SIGNAL = 5036;
inline constexpr LONG ED_TRANSBASIC_SIGNAL_525_60_SD = 5038;
inline constexpr LONG ED_TRANSBASIC_SIGNAL_525_60_SDL = 5039;
inline constexpr LONG ED_TRANSBASIC_SIGNAL_625_50_SD = 5040;
inline constexpr LONG ED_TRANSBASIC_SIGNAL_625_50_SDL = 5041;

// GetTransportBasicParameters(ED_RAW_EXT_DEV_CMD, &length, (LPOLESTR*)command)
// sends a raw AV/C command of `length` bytes; the device answers in the same
// buffer. For ED_TRANSBASIC_INPUT_SIGNAL the value is one of the signal constants.
struct IAMExtTransport : IUnknown {
    virtual HRESULT put_Mode(LONG mode) = 0;
    virtual HRESULT get_Mode(LONG* mode) = 0;
    virtual HRESULT GetTransportBasicParameters(LONG param, LONG* value, LPOLESTR* data) = 0;

protected:
    ~IAMExtTransport() = default;
};
TH_DECLARE_IID(IAMExtTransport, "A03CD5F0-3045-11CF-8C44-00AA006B6814");

struct TIMECODE {
    WORD wFrameRate;
    WORD wFrameFract;
    DWORD dwFrames; // binary-coded decimal 0xHHMMSSFF
};

struct TIMECODE_SAMPLE {
    LONGLONG qwTick;
    TIMECODE timecode;
    DWORD dwUser;
    DWORD dwFlags; // ED_DEVCAP_TIMECODE_READ
};

struct IAMTimecodeReader : IUnknown {
    virtual HRESULT GetTimecode(TIMECODE_SAMPLE* timecode) = 0;

protected:
    ~IAMTimecodeReader() = default;
};
TH_DECLARE_IID(IAMTimecodeReader, "9B496CE1-811B-11CF-8C77-00AA006B6814");

// --- The Sample Grabber ---------------------------------------------------------------------

// Called on the streaming thread of the grabber for every sample that passes
// it (see SampleGrabber.h for the locking rule). SampleTime is the sample's
// start time in seconds. BufferCB's buffer is the sample's own memory, valid
// only during the call.
struct ISampleGrabberCB : IUnknown {
    virtual HRESULT SampleCB(double sampleTime, IMediaSample* sample) = 0;
    virtual HRESULT BufferCB(double sampleTime, BYTE* buffer, LONG length) = 0;

protected:
    ~ISampleGrabberCB() = default;
};
TH_DECLARE_IID(ISampleGrabberCB, "0579154A-2B53-4994-B0D0-E773148EFF85");

struct ISampleGrabber : IUnknown {
    // TRUE: the first sample ends the stream (the grabber passes it, then sends
    // end-of-stream downstream and refuses the rest until the next run).
    virtual HRESULT SetOneShot(BOOL oneShot) = 0;
    // The type the input accepts from now on: the major, sub and format types
    // that are not GUID_NULL must match. Null accepts every type again.
    virtual HRESULT SetMediaType(const AM_MEDIA_TYPE* type) = 0;
    // A deep copy of the input's connection type (format block in task memory);
    // VFW_E_NOT_CONNECTED while unconnected.
    virtual HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* type) = 0;
    // TRUE: the grabber keeps a copy of the latest sample for GetCurrentBuffer.
    virtual HRESULT SetBufferSamples(BOOL buffer) = 0;
    // With buffer null: the size of the copy; else copies up to *size bytes.
    // E_INVALIDARG when buffering is off, VFW_E_WRONG_STATE when nothing came yet.
    virtual HRESULT GetCurrentBuffer(LONG* size, LONG* buffer) = 0;
    virtual HRESULT GetCurrentSample(IMediaSample** sample) = 0;
    // which: 0 SampleCB, 1 BufferCB. The grabber holds a counted reference.
    virtual HRESULT SetCallback(ISampleGrabberCB* callback, LONG which) = 0;

protected:
    ~ISampleGrabber() = default;
};
TH_DECLARE_IID(ISampleGrabber, "6B652FFF-11FE-4FCE-92AD-0266B5D7C78F");

// --- Preview ---------------------------------------------------------------------------------

inline constexpr LONG OATRUE = -1;
inline constexpr LONG OAFALSE = 0;

// The video renderer's window. The graph answers it for its video renderer.
struct IVideoWindow : IUnknown {
    virtual HRESULT put_Owner(OAHWND owner) = 0;
    virtual HRESULT put_WindowStyle(LONG style) = 0;
    virtual HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) = 0;
    virtual HRESULT put_Visible(LONG visible) = 0;

protected:
    ~IVideoWindow() = default;
};
TH_DECLARE_IID(IVideoWindow, "56A868B4-0AD4-11CE-B03A-0020AF0BA770");

// Volume in hundredths of a decibel, -10000 (silence) to 0; E_INVALIDARG outside.
struct IBasicAudio : IUnknown {
    virtual HRESULT put_Volume(LONG volume) = 0;
    virtual HRESULT get_Volume(LONG* volume) = 0;

protected:
    ~IBasicAudio() = default;
};
TH_DECLARE_IID(IBasicAudio, "56A868B3-0AD4-11CE-B03A-0020AF0BA770");

inline constexpr int DVRESOLUTION_FULL = 1000;
inline constexpr int DVRESOLUTION_HALF = 1001;
inline constexpr int DVRESOLUTION_QUARTER = 1002;
inline constexpr int DVRESOLUTION_DC = 1003;

// The DV video decoder's picture size.
struct IIPDVDec : IUnknown {
    virtual HRESULT get_IPDisplay(int* displayPix) = 0;
    virtual HRESULT put_IPDisplay(int displayPix) = 0;

protected:
    ~IIPDVDec() = default;
};
TH_DECLARE_IID(IIPDVDec, "B8E8BD60-0BFE-11D0-AF91-00AA00B67A42");

struct IDVSplitter : IUnknown {
    // Non-zero: every second video frame is dropped.
    virtual HRESULT DiscardAlternateVideoFrames(int discard) = 0;

protected:
    ~IDVSplitter() = default;
};
TH_DECLARE_IID(IDVSplitter, "92A3A302-DA7C-4A1F-BA7E-1802BB5D2D02");

// --- The AVI mux ------------------------------------------------------------------------------

struct IConfigAviMux : IUnknown {
    // TRUE: an AVI 1.0 index is written besides the OpenDML index.
    virtual HRESULT SetOutputCompatibilityIndex(BOOL oldIndex) = 0;
    virtual HRESULT GetOutputCompatibilityIndex(BOOL* oldIndex) = 0;

protected:
    ~IConfigAviMux() = default;
};
TH_DECLARE_IID(IConfigAviMux, "5ACD6AA0-F482-11CE-8B67-00AA00A3F1A6");

enum InterleavingMode : std::int32_t {
    INTERLEAVE_NONE = 0,
    INTERLEAVE_CAPTURE = 1,
    INTERLEAVE_FULL = 2,
    INTERLEAVE_NONE_BUFFERED = 3,
};

struct IConfigInterleaving : IUnknown {
    virtual HRESULT put_Mode(InterleavingMode mode) = 0;
    virtual HRESULT get_Mode(InterleavingMode* mode) = 0;

protected:
    ~IConfigInterleaving() = default;
};
TH_DECLARE_IID(IConfigInterleaving, "BEE3D220-157B-11D0-BD23-00A0C911CE86");

// --- The media detector ---------------------------------------------------------------------

// Opens a media file and hands out frames of a stream as 24-bit bitmaps.
// GetBitmapBits(time, &size, null, w, h) reports the size of the buffer;
// GetBitmapBits(time, null, buffer, w, h) fills it with a BITMAPINFOHEADER
// followed by the pixels of the frame at `time` seconds scaled to w × h.
struct IMediaDet : IUnknown {
    virtual HRESULT get_Filename(BSTR* fileName) = 0;
    virtual HRESULT put_Filename(BSTR fileName) = 0;
    virtual HRESULT get_OutputStreams(LONG* count) = 0;
    virtual HRESULT get_CurrentStream(LONG* index) = 0;
    virtual HRESULT put_CurrentStream(LONG index) = 0;
    virtual HRESULT get_StreamType(GUID* majorType) = 0;
    virtual HRESULT get_FrameRate(double* framesPerSecond) = 0;
    virtual HRESULT GetBitmapBits(double streamTime, LONG* bufferSize, char* buffer, LONG width, LONG height) = 0;

protected:
    ~IMediaDet() = default;
};
TH_DECLARE_IID(IMediaDet, "65BD0710-24D2-4FF7-9324-ED2E5D3ABAFA");

// --- Device enumeration ------------------------------------------------------------------------

struct IBindCtx;
struct IErrorLog;

// Values of a device or registered filter: "FriendlyName" and "CLSID" as
// VT_BSTR. A value that does not exist: HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
struct IPropertyBag : IUnknown {
    virtual HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) = 0;
    virtual HRESULT Write(LPCOLESTR name, VARIANT* value) = 0;

protected:
    ~IPropertyBag() = default;
};
TH_DECLARE_IID(IPropertyBag, "55272A00-42CB-11CE-8135-00AA004BB851");

// A device or filter of a category. BindToObject creates its filter (a new one
// at every call); BindToStorage(IID_IPropertyBag) gives its values.
struct IMoniker : IUnknown {
    virtual HRESULT BindToObject(IBindCtx* context, IMoniker* left, REFIID riid, void** ppv) = 0;
    virtual HRESULT BindToStorage(IBindCtx* context, IMoniker* left, REFIID riid, void** ppv) = 0;

protected:
    ~IMoniker() = default;
};
TH_DECLARE_IID(IMoniker, "0000000F-0000-0000-C000-000000000046");

struct IEnumMoniker : IUnknown {
    virtual HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumMoniker** clone) = 0;

protected:
    ~IEnumMoniker() = default;
};
TH_DECLARE_IID(IEnumMoniker, "00000102-0000-0000-C000-000000000046");

// CreateClassEnumerator answers S_FALSE and a null enumerator for a category
// without members. The enumerator lists a snapshot taken when it was made.
struct ICreateDevEnum : IUnknown {
    virtual HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** enumerator, DWORD flags) = 0;

protected:
    ~ICreateDevEnum() = default;
};
TH_DECLARE_IID(ICreateDevEnum, "29840822-5B84-11D0-BD3B-00A0C911CE86");

// --- The filter mapper ----------------------------------------------------------------------------

inline constexpr DWORD MERIT_PREFERRED = 0x800000;
inline constexpr DWORD MERIT_NORMAL = 0x600000;
inline constexpr DWORD MERIT_UNLIKELY = 0x400000;
inline constexpr DWORD MERIT_DO_NOT_USE = 0x200000;

struct REGPINTYPES {
    const CLSID* clsMajorType;
    const CLSID* clsMinorType;
};

struct REGFILTERPINS {
    const WCHAR* strName;
    BOOL bRendered;
    BOOL bOutput;
    BOOL bZero;
    BOOL bMany;
    const CLSID* clsConnectsToFilter;
    const WCHAR* strConnectsToPin;
    UINT nMediaTypes;
    const REGPINTYPES* lpMediaType;
};

// Version 1 of the registration record (the only one taken here).
struct REGFILTER2 {
    DWORD dwVersion;
    DWORD dwMerit;
    ULONG cPins;
    const REGFILTERPINS* rgPins;
};

// Filters are registered per category under
// HKEY_CLASSES_ROOT\CLSID\{category}\Instance\{instance or filter clsid}, with
// "FriendlyName" and "CLSID" (REG_SZ) and "FilterData" (REG_BINARY: merit and
// pin templates, see FilterMapper.cpp). The device enumerator lists them.
struct IFilterMapper2 : IUnknown {
    virtual HRESULT UnregisterFilter(const CLSID* category, LPCOLESTR instance, REFCLSID filter) = 0;
    virtual HRESULT RegisterFilter(REFCLSID filter, LPCWSTR name, IMoniker** moniker, const CLSID* category,
                                   LPCOLESTR instance, const REGFILTER2* data) = 0;

protected:
    ~IFilterMapper2() = default;
};
TH_DECLARE_IID(IFilterMapper2, "B79BB0B0-33C1-11D1-ABE1-00A0C905F375");

// The older mapper: HKEY_CLASSES_ROOT\Filter\{clsid} (the name) and, under
// CLSID\{clsid}, "Merit" and the "Pins" subtree.
struct IFilterMapper : IUnknown {
    virtual HRESULT RegisterFilter(CLSID filter, LPCWSTR name, DWORD merit) = 0;
    virtual HRESULT RegisterPin(CLSID filter, LPCWSTR name, BOOL rendered, BOOL output, BOOL zero, BOOL many,
                                CLSID connectsToFilter, LPCWSTR connectsToPin) = 0;
    virtual HRESULT RegisterPinType(CLSID filter, LPCWSTR pinName, CLSID majorType, CLSID subType) = 0;
    virtual HRESULT UnregisterFilter(CLSID filter) = 0;

protected:
    ~IFilterMapper() = default;
};
TH_DECLARE_IID(IFilterMapper, "56A868A3-0AD4-11CE-B03A-0020AF0BA770");

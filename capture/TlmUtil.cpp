#include "capture/TlmUtil.h"

#include "platform/win/Shutdown.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <vector>

TTimecode MakeTimecode(BYTE Hours, BYTE Minutes, BYTE Seconds, BYTE Frames)
{
    return TTimecode{Hours, Minutes, Seconds, Frames};
}

std::int64_t TimecodeToFrames(TTimecode Timecode, BYTE FrameRate)
{
    // At most 238,056,780 with byte fields: the 32-bit sum cannot overflow.
    const std::uint32_t seconds = Timecode.Hours * 3600u + Timecode.Minutes * 60u + Timecode.Seconds;
    return static_cast<std::int64_t>(seconds * FrameRate + Timecode.Frames);
}

std::int64_t TimecodeDiff(TTimecode A, TTimecode B, BYTE FrameRate)
{
    return TimecodeToFrames(A, FrameRate) - TimecodeToFrames(B, FrameRate);
}

QString FormatBytes(const QString& Prefix, bool ShowZero, std::int64_t Size)
{
    if (Size == 0)
        return ShowZero ? Prefix + "0 bytes" : QString();
    constexpr std::int64_t KB = 1024, MB = KB * 1024, GB = MB * 1024, TB = GB * 1024;
    double value;
    const char* unit;
    if (Size < KB) {
        value = static_cast<double>(Size);
        unit = "bytes";
    } else if (Size < MB) {
        value = static_cast<double>(Size) / KB;
        unit = "KB";
    } else if (Size < GB) {
        value = static_cast<double>(Size) / MB;
        unit = "MB";
    } else if (Size < TB) {
        value = static_cast<double>(Size) / GB;
        unit = "GB";
    } else {
        value = static_cast<double>(Size) / TB;
        unit = "TB";
    }
    return Prefix + FormatFloat("#,##0.00", value) + " " + QString::fromLatin1(unit);
}

QString FormatDuration(BYTE Detail, std::int64_t Seconds)
{
    if (Seconds < 60)
        return QString::number(Seconds) + " sec.";
    if (Seconds < 3600) {
        const std::int64_t m = Seconds / 60, s = Seconds % 60;
        QString text = QString::number(m) + " min.";
        if (s > 0 && Detail == 0)
            text += " " + QString::number(s) + " sec.";
        return text;
    }
    const std::int64_t h = Seconds / 3600, m = (Seconds % 3600) / 60, s = Seconds % 60;
    QString text = QString::number(h) + " h.";
    if (m > 0 && Detail < 2)
        text += " " + QString::number(m) + " min.";
    if (s > 0 && Detail == 0)
        text += " " + QString::number(s) + " sec.";
    return text;
}

bool EnablePrivilege(const QString& Name, bool Enable)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    bool result = false;
    TOKEN_PRIVILEGES tp{};
    if (LookupPrivilegeValueA(nullptr, Name.toUtf8().constData(), &tp.Privileges[0].Luid)) {
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = Enable ? SE_PRIVILEGE_ENABLED : 0;
        TOKEN_PRIVILEGES previous{}; // 16 bytes: room for the one entry that may change
        DWORD returned = 0;
        result = AdjustTokenPrivileges(token, FALSE, &tp, sizeof previous, &previous, &returned) != FALSE;
    }
    CloseHandle(token);
    return result;
}

bool ShutdownWindows(DWORD Flags)
{
    if (EnablePrivilege(SE_SHUTDOWN_NAME, true)) {
        ExitWindowsEx(Flags, 0);
        EnablePrivilege(SE_SHUTDOWN_NAME, false);
    }
    return true;
}

void CheckHResult(HRESULT hr)
{
    if (FAILED(hr))
        throw EExternalException(hr);
}

QString FreeFileName(const QString& Name, const QStringList& alsoFree)
{
    const auto taken = [&](const QString& candidate) {
        if (FileExists(candidate))
            return true;
        for (const QString& ext : alsoFree)
            if (FileExists(ChangeFileExt(candidate, ext)))
                return true;
        return false;
    };
    if (!taken(Name))
        return Name;
    const QString ext = ExtractFileExt(Name);
    const QString base = Name.left(Name.size() - ext.size());
    for (int n = 2;; ++n) {
        const QString candidate = base + QStringLiteral(" (%1)").arg(n) + ext;
        if (!taken(candidate))
            return candidate;
    }
}

bool SameGUID(const GUID& A, const GUID& B)
{
    return std::memcmp(A.Data4, B.Data4, sizeof A.Data4) == 0 && A.Data1 == B.Data1 && A.Data2 == B.Data2 &&
           A.Data3 == B.Data3;
}

void FreeMediaType(AM_MEDIA_TYPE& mt)
{
    if (mt.cbFormat != 0) {
        CoTaskMemFree(mt.pbFormat);
        mt.cbFormat = 0;
        mt.pbFormat = nullptr;
    }
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

// --- Sample grabber callbacks ----------------------------------------------------------

TSampleGrabberCB::TSampleGrabberCB(TCriticalSection& Lock) : FLock(Lock) {}

TSampleGrabberCB::~TSampleGrabberCB() = default;

void TSampleGrabberCB::SetEnabled(bool Value)
{
    if (Value == Enabled())
        return;
    if (Value)
        FRun.fetch_add(1, std::memory_order_acq_rel);
    FEnabled.store(Value, std::memory_order_release);
}

HRESULT TSampleGrabberCB::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (SameGUID(riid, IID_ISampleGrabberCB) || SameGUID(riid, IID_IUnknown)) {
        *ppv = static_cast<ISampleGrabberCB*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG TSampleGrabberCB::AddRef()
{
    std::lock_guard<std::mutex> guard(FRefsMutex);
    ++FRefs;
    return 2;
}

ULONG TSampleGrabberCB::Release()
{
    std::lock_guard<std::mutex> guard(FRefsMutex);
    if (FRefs > 0 && --FRefs == 0)
        FRefsChanged.notify_all();
    return 1;
}

bool TSampleGrabberCB::WaitUnused(std::chrono::milliseconds Timeout)
{
    std::unique_lock<std::mutex> guard(FRefsMutex);
    return FRefsChanged.wait_for(guard, Timeout, [this] { return FRefs == 0; });
}

HRESULT TSampleGrabberCB::SampleCB(double, IMediaSample* Sample)
{
    if (!Enabled() || !OnSample || !Sample)
        return S_OK;
    const unsigned run = FRun.load(std::memory_order_acquire);
    GatePassed();
    std::lock_guard<TCriticalSection> guard(FLock);
    // The owner may have closed the gate (and opened it for a new run) while
    // this sample waited for the lock.
    if (!Enabled() || FRun.load(std::memory_order_acquire) != run)
        return S_OK;
    const LONG len = Sample->GetActualDataLength();
    BYTE* buffer = nullptr;
    Sample->GetPointer(&buffer);
    REFERENCE_TIME start = 0, stop = 0;
    Sample->GetTime(&start, &stop);
    if (buffer) {
        try {
            OnSample(buffer, len, start, stop);
        } catch (...) {
            // A handler's failure must not unwind the streaming thread.
        }
    }
    return S_OK;
}

HRESULT TSampleGrabberCB::BufferCB(double SampleTime, BYTE* Buffer, LONG Len)
{
    if (!Enabled() || !OnBuffer)
        return S_OK;
    const unsigned run = FRun.load(std::memory_order_acquire);
    std::lock_guard<TCriticalSection> guard(FLock);
    if (!Enabled() || FRun.load(std::memory_order_acquire) != run)
        return S_OK;
    try {
        // The handler gets a copy that lives for the call only.
        std::vector<BYTE> copy;
        if (Buffer && Len > 0)
            copy.assign(Buffer, Buffer + Len);
        OnBuffer(copy.data(), Len, SampleTime);
    } catch (...) {
    }
    return S_OK;
}

TPictureGrabberCB::TPictureGrabberCB() : TSampleGrabberCB(FPictureLock) {}

TPictureGrabberCB::~TPictureGrabberCB() = default;

std::int64_t TPictureGrabberCB::TargetTime() const
{
    std::lock_guard<TCriticalSection> guard(const_cast<TCriticalSection&>(FPictureLock));
    return FTargetTime;
}

void TPictureGrabberCB::Disarm()
{
    std::lock_guard<TCriticalSection> guard(FPictureLock);
    FTargetTime = -1;
}

void TPictureGrabberCB::Install(const ComPtr<ISampleGrabber>& Grabber, const TOnNewScene& Handler)
{
    std::lock_guard<TCriticalSection> guard(FPictureLock);
    SampleGrabber = Grabber;
    OnPicture = Handler;
}

void TPictureGrabberCB::Arm(BYTE Day, BYTE Month, std::int64_t Time, BYTE Hour, BYTE Min, BYTE Sec, int Year)
{
    std::lock_guard<TCriticalSection> guard(FPictureLock);
    if (Time == FTargetTime)
        return;
    FTargetTime = Time;
    FDay = Day;
    FMonth = Month;
    FHour = Hour;
    FMin = Min;
    FSec = Sec;
    FYear = Year;
}

void TPictureGrabberCB::take(const BYTE* Buffer, LONG Len, std::int64_t Start)
{
    std::lock_guard<TCriticalSection> guard(FPictureLock);
    if (FTargetTime >= 0 && FTargetTime <= Start) {
        try {
            Snapshot(Buffer, Len, FDay, FMonth, FHour, FMin, FSec, FYear);
        } catch (...) {
            // The handler's failure stays here; the picture counts as delivered.
        }
    }
}

HRESULT TPictureGrabberCB::SampleCB(double, IMediaSample* Sample)
{
    if (!Sample)
        return S_OK;
    BYTE* buffer = nullptr;
    Sample->GetPointer(&buffer);
    const LONG len = Sample->GetActualDataLength();
    REFERENCE_TIME start = 0, stop = 0;
    Sample->GetTime(&start, &stop);
    take(buffer, len, start);
    return S_OK;
}

HRESULT TPictureGrabberCB::BufferCB(double SampleTime, BYTE* Buffer, LONG Len)
{
    take(Buffer, Len, static_cast<std::int64_t>(SampleTime * 10000000.0));
    return S_OK;
}

QImage PictureFromSample(const BITMAPINFOHEADER& Header, const BYTE* Buffer, LONG Len)
{
    // Far beyond any DV picture; keeps a damaged header from asking for gigabytes.
    constexpr LONG kMaxSide = 8192;
    const LONG width = Header.biWidth;
    const LONG height = Header.biHeight < 0 ? -Header.biHeight : Header.biHeight;
    if (!Buffer || Len <= 0 || Header.biCompression != BI_RGB || width <= 0 || width > kMaxSide || height <= 0 ||
        height > kMaxSide)
        return {};
    QImage::Format format;
    if (Header.biBitCount == 24)
        format = QImage::Format_BGR888; // the bytes of a row are blue, green, red
    else if (Header.biBitCount == 32)
        format = QImage::Format_RGB32; // blue, green, red, unused
    else
        return {};
    QImage image(int(width), int(height), format);
    if (image.isNull())
        return {};
    // A row of the bitmap's pixel memory: width x bits / 8, rounded up to 4 bytes.
    const std::size_t stride = ((std::size_t(width) * Header.biBitCount + 31) / 32) * 4;
    const std::size_t pixelBytes = stride * std::size_t(height);
    const std::size_t copy = std::min(pixelBytes, std::size_t(Len));
    if (copy < pixelBytes)
        image.fill(Qt::black);
    const bool bottomUp = Header.biHeight > 0;
    const std::size_t rowBytes = std::min<std::size_t>(stride, std::size_t(image.bytesPerLine()));
    for (LONG row = 0; row < height; ++row) {
        const std::size_t offset = std::size_t(row) * stride;
        if (offset >= copy)
            break;
        const int line = bottomUp ? int(height - 1 - row) : int(row);
        std::memcpy(image.scanLine(line), Buffer + offset, std::min(rowBytes, copy - offset));
    }
    return image;
}

void TPictureGrabberCB::Snapshot(const BYTE* Buffer, LONG Len, BYTE Day, BYTE Month, BYTE Hour, BYTE Min,
                                 BYTE Sec, int Year)
{
    if (!SampleGrabber)
        return;
    AM_MEDIA_TYPE mt{};
    if (SampleGrabber->GetConnectedMediaType(&mt) != S_OK)
        return;
    struct TypeGuard {
        AM_MEDIA_TYPE& mt;
        ~TypeGuard() { FreeMediaType(mt); }
    } typeGuard{mt};
    if (!Buffer || Len <= 0 || !SameGUID(mt.majortype, MEDIATYPE_Video))
        return;
    // The two video formats are told apart by the first field of the GUID.
    std::size_t headerOffset;
    if (mt.formattype.Data1 == 0xF72A76A0u)
        headerOffset = 72; // VIDEOINFOHEADER2.bmiHeader
    else if (mt.formattype.Data1 == 0x05589F80u)
        headerOffset = 48; // VIDEOINFOHEADER.bmiHeader
    else
        return;
    if (!mt.pbFormat || mt.cbFormat < headerOffset + sizeof(BITMAPINFOHEADER))
        return;
    BITMAPINFOHEADER header;
    std::memcpy(&header, mt.pbFormat + headerOffset, sizeof header);
    const QImage bitmap = PictureFromSample(header, Buffer, Len);
    if (bitmap.isNull())
        return;
    FTargetTime = -1;
    if (OnPicture)
        OnPicture(bitmap, Day, Month, Hour, Min, Sec, Year);
}

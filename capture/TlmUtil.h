#pragma once
// What the capture engine, the project model and the wizard share: tape time
// codes, the texts for byte counts and durations, the shutdown after the work,
// the HRESULT check, two COM helpers, ETlmTHInfo and the scene event. All of it
// is stateless and may be called on any thread.

#include "platform/dshow/TlmFileSink.h" // ITlmFileSinkFilter, declared once for the plugin and its users
#include "capture/TlmDVCapTypes.h"
#include "platform/com/Com.h"
#include "platform/dshow/ExtInterfaces.h"
#include "platform/dshow/MediaTypes.h"
#include "platform/rtl/SysUtils.h"

#include <QImage>
#include <QString>
#include <QStringList>

#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

// A tape time code. As one 32-bit value the hours are the lowest byte and the
// frames the highest, which is also the order of the bytes in memory. Nothing
// here checks the ranges of the fields.
struct TTimecode {
    BYTE Hours = 0;
    BYTE Minutes = 0;
    BYTE Seconds = 0;
    BYTE Frames = 0;

    constexpr std::uint32_t Value() const
    {
        return std::uint32_t(Hours) | std::uint32_t(Minutes) << 8 | std::uint32_t(Seconds) << 16 |
               std::uint32_t(Frames) << 24;
    }
    static constexpr TTimecode FromValue(std::uint32_t v)
    {
        return TTimecode{BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
    }
    friend constexpr bool operator==(const TTimecode&, const TTimecode&) = default;
};
static_assert(sizeof(TTimecode) == 4);
static_assert(std::endian::native == std::endian::little, "the time code's byte order is its value's");

// Marks a message that the application shows as information, not as an error.
class ETlmTHInfo : public Exception {
public:
    using Exception::Exception;
};

// The first decoded picture of a new scene with the scene's recording date and
// time. The picture belongs to the caller and is gone when the handler
// returns; a handler that keeps it keeps a copy (QImage copies share cheaply).
using TOnNewScene =
    std::function<void(const QImage& Bitmap, BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year)>;

TTimecode MakeTimecode(BYTE Hours, BYTE Minutes, BYTE Seconds, BYTE Frames);
// (hours * 3600 + minutes * 60 + seconds) * frame rate + frames.
std::int64_t TimecodeToFrames(TTimecode Timecode, BYTE FrameRate);
// Frames of A minus frames of B; negative when A lies before B.
std::int64_t TimecodeDiff(TTimecode A, TTimecode B, BYTE FrameRate);

// "Free: 1.50 KB": the value with two decimals and the locale's separators, in
// bytes, KB, MB, GB or TB; a zero size reads "0 bytes" with ShowZero, else "".
QString FormatBytes(const QString& Prefix, bool ShowZero, std::int64_t Size);
// "1 h. 2 min. 5 sec."; Detail 1 leaves out the seconds of longer durations,
// Detail 2 also the minutes of durations of an hour or more. Nothing is rounded.
QString FormatDuration(BYTE Detail, std::int64_t Seconds);

// Enables or disables a privilege of the process token; False when the name is
// unknown, the token cannot be opened or the adjustment is refused.
bool EnablePrivilege(const QString& Name, bool Enable);
// Switches the machine off (ExitWindowsEx with Flags) when the shutdown
// privilege can be enabled; always True.
bool ShutdownWindows(DWORD Flags);

// Raises EExternalException ("External exception 80004005") for a failed
// HRESULT; success codes, S_FALSE included, pass.
void CheckHResult(HRESULT hr);
// Name itself when no file of that name exists (nor one of the names with the
// extensions `alsoFree`), else the first free "<name without extension> (n)<ext>",
// n from 2: a new capture file never takes the place of an earlier one.
QString FreeFileName(const QString& Name, const QStringList& alsoFree = {});
bool SameGUID(const GUID& A, const GUID& B);
// Frees what the record owns (the format block, the object reference), not the record.
void FreeMediaType(AM_MEDIA_TYPE& mt);

// --- Sample grabber callbacks ----------------------------------------------------------

// The lock type of the callbacks (re-entrant, as a critical section is).
using TCriticalSection = std::recursive_mutex;

using TBufferEvent = std::function<void(BYTE* Buffer, LONG Len, double SampleTime)>;
using TSampleEvent = std::function<void(BYTE* Buffer, LONG Len, LONGLONG Start, LONGLONG Stop)>;

// Turns every sample that passes a grabber into a call of OnSample (SampleCB)
// or OnBuffer (BufferCB), while Enabled, under the lock the owner lends.
//
// The owner keeps the object for its whole life: AddRef answers 2 and Release
// 1, and COM never frees it. The references the grabbers take are still
// counted privately, so that the owner can wait (WaitUnused) until no grabber
// and no streaming thread can touch the object any more before freeing it.
//
// Enabled is tested before the lock is taken and again once it is held: the
// owner closes the gate while holding the lock, and a sample that was waiting
// for the lock then does nothing, so no event follows the owner's stop.
// Exceptions of the handlers never reach the streaming thread.
class TSampleGrabberCB : public ISampleGrabberCB {
public:
    explicit TSampleGrabberCB(TCriticalSection& Lock);
    virtual ~TSampleGrabberCB();
    TSampleGrabberCB(const TSampleGrabberCB&) = delete;
    TSampleGrabberCB& operator=(const TSampleGrabberCB&) = delete;

    bool Enabled() const { return FEnabled.load(std::memory_order_acquire); }
    // Opening the gate starts a new run: a sample of an earlier run that was
    // still waiting for the lock is not handed on.
    void SetEnabled(bool Value);

    TBufferEvent OnBuffer;
    TSampleEvent OnSample;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT SampleCB(double SampleTime, IMediaSample* Sample) override;
    HRESULT BufferCB(double SampleTime, BYTE* Buffer, LONG Len) override;

    // Waits until every reference handed out has been released, up to the
    // time-out; false when some are still held then.
    bool WaitUnused(std::chrono::milliseconds Timeout);

protected:
    TCriticalSection& Lock() { return FLock; }
    // Called on the streaming thread once a sample has passed the gate, just
    // before it waits for the lock; lets a test know the sample is on its way.
    virtual void GatePassed() {}

private:
    TCriticalSection& FLock;
    std::atomic<bool> FEnabled{false};
    std::atomic<unsigned> FRun{0};
    std::mutex FRefsMutex;
    std::condition_variable FRefsChanged;
    long FRefs = 0;
};

// Takes one still picture on request: Arm names a stream time and a recording
// date and time, and the first decoded RGB sample that starts at or after that
// time is delivered once through OnPicture, as a picture the handler may copy
// but not keep. A sample that cannot be made into a picture (no video type, no
// known format, a bitmap that cannot be made) leaves the request pending.
// Ignores Enabled and OnSample.
class TPictureGrabberCB : public TSampleGrabberCB {
public:
    TPictureGrabberCB();
    ~TPictureGrabberCB() override;

    // A new Time replaces the pending request; the Time already armed changes nothing.
    void Arm(BYTE Day, BYTE Month, std::int64_t Time, BYTE Hour, BYTE Min, BYTE Sec, int Year);

    HRESULT SampleCB(double SampleTime, IMediaSample* Sample) override;
    HRESULT BufferCB(double SampleTime, BYTE* Buffer, LONG Len) override;

    // -1 while nothing is pending.
    std::int64_t TargetTime() const;
    // Drops a pending request (a new run starts its stream times again).
    void Disarm();
    // Serves a grabber with a handler, under the picture lock, since a
    // picture of the previous graph may still be on its way.
    void Install(const ComPtr<ISampleGrabber>& Grabber, const TOnNewScene& Handler);

    TOnNewScene OnPicture;
    // The grabber served; its connected type describes the samples.
    ComPtr<ISampleGrabber> SampleGrabber;

private:
    void Snapshot(const BYTE* Buffer, LONG Len, BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year);
    void take(const BYTE* Buffer, LONG Len, std::int64_t Start);

    TCriticalSection FPictureLock;
    std::int64_t FTargetTime = -1;
    BYTE FDay = 0, FMonth = 0, FHour = 0, FMin = 0, FSec = 0;
    int FYear = 0;
};

// The picture a decoded RGB sample shows, as the bitmap header describes it
// (bottom-up for a positive height, 24 or 32 bits, uncompressed); a null
// image for any other header. Copies at most the bitmap's pixel memory.
QImage PictureFromSample(const BITMAPINFOHEADER& Header, const BYTE* Buffer, LONG Len);

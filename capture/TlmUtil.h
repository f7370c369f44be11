#pragma once
// What the capture engine, the project model and the wizard share: tape time
// codes, the texts for byte counts and durations, the shutdown after the work,
// the HRESULT check, two COM helpers, ETlmTHInfo and the scene event. All of it
// is stateless and may be called on any thread.

#include "avi_writer/TlmFileSink.h" // ITlmFileSinkFilter, declared once for the plugin and its users
#include "capture/TlmDVCapTypes.h"
#include "platform/com/Com.h"
#include "platform/dshow/MediaTypes.h"
#include "platform/rtl/SysUtils.h"

#include <QImage>
#include <QString>

#include <bit>
#include <cstdint>
#include <functional>

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
bool SameGUID(const GUID& A, const GUID& B);
// Frees what the record owns (the format block, the object reference), not the record.
void FreeMediaType(AM_MEDIA_TYPE& mt);

#include "capture/TlmUtil.h"

#include "platform/win/Shutdown.h"

#include <cstring>

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

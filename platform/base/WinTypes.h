#pragma once
// The scalar types, GUIDs, HRESULT and Win32 error codes that Windows code is
// written in, for the code that is written against them here. The lowest layer:
// every part of the platform may include it, and it includes nothing of ours.
// Header only; no Qt.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORDLONG = std::uint64_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HRESULT = std::int32_t;
using WCHAR = char16_t; // UTF-16 on every platform, as COM expects
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPVOID = void*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// --- HRESULT -----------------------------------------------------------------

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
inline constexpr HRESULT MakeHResult(std::uint32_t code) { return static_cast<HRESULT>(code); }
inline constexpr HRESULT HRESULT_FROM_WIN32(DWORD err)
{
    return err == 0 ? 0 : static_cast<HRESULT>((err & 0xFFFFu) | 0x80070000u);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHResult(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeHResult(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeHResult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005u);
inline constexpr HRESULT E_HANDLE = MakeHResult(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154u);
inline constexpr HRESULT REGDB_E_READREGDB = MakeHResult(0x80040150u);
inline constexpr HRESULT REGDB_E_WRITEREGDB = MakeHResult(0x80040151u);
inline constexpr HRESULT CO_E_ERRORINDLL = MakeHResult(0x800401F9u);
inline constexpr HRESULT CO_E_DLLNOTFOUND = MakeHResult(0x800401F8u);
inline constexpr HRESULT SELFREG_E_CLASS = MakeHResult(0x80040201u);

// --- Win32 error codes ---------------------------------------------------------

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_PATH_NOT_FOUND = 3;
inline constexpr LONG ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LONG ERROR_WRITE_PROTECT = 19;
inline constexpr LONG ERROR_WRITE_FAULT = 29;
inline constexpr LONG ERROR_READ_FAULT = 30;
inline constexpr LONG ERROR_GEN_FAILURE = 31;
inline constexpr LONG ERROR_HANDLE_DISK_FULL = 39;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_DISK_FULL = 112;
inline constexpr LONG ERROR_INVALID_NAME = 123;
inline constexpr LONG ERROR_MOD_NOT_FOUND = 126;
inline constexpr LONG ERROR_PROC_NOT_FOUND = 127;
inline constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr LONG ERROR_FILE_TOO_LARGE = 223;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_BADKEY = 1010;
inline constexpr LONG ERROR_CANTOPEN = 1011;
inline constexpr LONG ERROR_CANTREAD = 1012;
inline constexpr LONG ERROR_CANTWRITE = 1013;
inline constexpr LONG ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr LONG ERROR_KEY_DELETED = 1018;
inline constexpr LONG ERROR_KEY_HAS_CHILDREN = 1020;
inline constexpr LONG ERROR_TIMEOUT = 1460;

// --- GUID ----------------------------------------------------------------------

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b)
    {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return false;
        return true;
    }
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr GUID GUID_NULL{};

namespace th::wintypes::detail {
constexpr int hexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : -1;
}
// Reads `n` hex digits at text[pos]; -1 in *ok on a bad digit.
constexpr std::uint64_t hexRun(std::string_view text, std::size_t pos, int n, bool& ok)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
        if (pos + i >= text.size()) {
            ok = false;
            return 0;
        }
        const int d = hexDigit(text[pos + i]);
        if (d < 0)
            ok = false;
        v = (v << 4) | static_cast<std::uint64_t>(d < 0 ? 0 : d);
    }
    return v;
}
} // namespace th::wintypes::detail

// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", with or without braces.
// Returns false (and leaves *out alone) on anything else.
constexpr bool GuidFromText(std::string_view text, GUID* out)
{
    using th::wintypes::detail::hexRun;
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}')
            return false;
        text = text.substr(1, 36);
    }
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return false;
    bool ok = true;
    GUID g{};
    g.Data1 = static_cast<std::uint32_t>(hexRun(text, 0, 8, ok));
    g.Data2 = static_cast<std::uint16_t>(hexRun(text, 9, 4, ok));
    g.Data3 = static_cast<std::uint16_t>(hexRun(text, 14, 4, ok));
    g.Data4[0] = static_cast<std::uint8_t>(hexRun(text, 19, 2, ok));
    g.Data4[1] = static_cast<std::uint8_t>(hexRun(text, 21, 2, ok));
    for (int i = 0; i < 6; ++i)
        g.Data4[2 + i] = static_cast<std::uint8_t>(hexRun(text, 24 + 2 * i, 2, ok));
    if (!ok)
        return false;
    *out = g;
    return true;
}

// A GUID from a literal; a malformed literal fails to compile where it is
// used in a constant expression.
consteval GUID MakeGuid(std::string_view text)
{
    GUID g{};
    if (!GuidFromText(text, &g))
        throw "malformed GUID literal";
    return g;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, as the registry stores it.
inline std::string GuidToText(const GUID& g)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s = "{";
    auto put = [&](std::uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            s += digits[(v >> (4 * i)) & 0xF];
    };
    put(g.Data1, 8);
    s += '-';
    put(g.Data2, 4);
    s += '-';
    put(g.Data3, 4);
    s += '-';
    put(g.Data4[0], 2);
    put(g.Data4[1], 2);
    s += '-';
    for (int i = 2; i < 8; ++i)
        put(g.Data4[i], 2);
    s += '}';
    return s;
}

#pragma once
// The automation strings and variants that property bags and the media
// detector hand out: BSTR (a length-prefixed UTF-16 string in task memory) and
// VARIANT (a tagged value). Only the kinds in use here: empty, 32-bit integer,
// string. No Qt.

#include "platform/com/Com.h"

#include <cstring>

using BSTR = WCHAR*;
using VARTYPE = std::uint16_t;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_BSTR = 8;

// Allocates a string of `length` characters (copied from text when not null)
// with a terminating null; the 32-bit byte length lies before the first character.
inline BSTR SysAllocStringLen(const WCHAR* text, UINT length)
{
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(std::uint32_t) + (std::size_t(length) + 1) * sizeof(WCHAR)));
    if (!block)
        return nullptr;
    const std::uint32_t bytes = length * sizeof(WCHAR);
    std::memcpy(block, &bytes, sizeof bytes);
    auto* s = reinterpret_cast<WCHAR*>(block + sizeof(std::uint32_t));
    if (text)
        std::memcpy(s, text, bytes);
    else
        std::memset(s, 0, bytes);
    s[length] = 0;
    return s;
}

inline BSTR SysAllocString(const WCHAR* text)
{
    if (!text)
        return nullptr;
    UINT n = 0;
    while (text[n])
        ++n;
    return SysAllocStringLen(text, n);
}

inline UINT SysStringLen(BSTR s)
{
    if (!s)
        return 0;
    std::uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<BYTE*>(s) - sizeof(std::uint32_t), sizeof bytes);
    return bytes / sizeof(WCHAR);
}

inline void SysFreeString(BSTR s)
{
    if (s)
        CoTaskMemFree(reinterpret_cast<BYTE*>(s) - sizeof(std::uint32_t));
}

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONG lVal;
        BSTR bstrVal;
        LONGLONG llVal;
    };
};

inline void VariantInit(VARIANT* v)
{
    v->vt = VT_EMPTY;
    v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
    v->llVal = 0;
}

// Frees what the variant owns and leaves it empty.
inline HRESULT VariantClear(VARIANT* v)
{
    if (!v)
        return E_INVALIDARG;
    if (v->vt == VT_BSTR)
        SysFreeString(v->bstrVal);
    VariantInit(v);
    return S_OK;
}

#pragma once
// Media types as the filter graph describes a stream: the AM_MEDIA_TYPE record,
// the format blocks it carries, and the major, sub and format type GUIDs in use.
// Times are reference times: signed 64-bit counts of 100 ns. No Qt.
//
// Ownership: the format block of an AM_MEDIA_TYPE handed across an interface is
// allocated with CoTaskMemAlloc and pUnk (when set) holds a counted reference;
// whoever receives such a record frees the block with CoTaskMemFree and releases
// pUnk. th::dshow::FreeMediaTypeContents does exactly that; CMediaType (in
// BaseClasses.h) is the owning C++ form.

#include "platform/com/Com.h"

#include <cstdint>

using REFERENCE_TIME = LONGLONG;

inline constexpr REFERENCE_TIME UNITS = 10000000; // reference-time units per second
inline constexpr REFERENCE_TIME MILLISECONDS = 10000;

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

// --- The media type record -----------------------------------------------------------

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};

// --- Format blocks -------------------------------------------------------------------
// Laid out as they are stored in files and passed between filters: packed where
// the stored form is packed (WAVEFORMATEX is 18 bytes), natural otherwise.

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

inline constexpr DWORD BI_RGB = 0;

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(VIDEOINFOHEADER) == 88);
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48);

struct VIDEOINFOHEADER2 {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    DWORD dwInterlaceFlags;
    DWORD dwCopyProtectFlags;
    DWORD dwPictAspectRatioX;
    DWORD dwPictAspectRatioY;
    DWORD dwControlFlags;
    DWORD dwReserved2;
    BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(VIDEOINFOHEADER2) == 112);
static_assert(offsetof(VIDEOINFOHEADER2, bmiHeader) == 72);

// The DV stream's own description: the source and video-auxiliary control packs
// of the first and second audio blocks and of the video.
struct DVINFO {
    DWORD dwDVAAuxSrc;
    DWORD dwDVAAuxCtl;
    DWORD dwDVAAuxSrc1;
    DWORD dwDVAAuxCtl1;
    DWORD dwDVVAuxSrc;
    DWORD dwDVVAuxCtl;
    DWORD dwDVReserved[2];
};
static_assert(sizeof(DVINFO) == 32);

#pragma pack(push, 2)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

inline constexpr WORD WAVE_FORMAT_PCM = 1;

// --- Type GUIDs ------------------------------------------------------------------------

inline constexpr GUID MEDIATYPE_Video = MakeGuid("73646976-0000-0010-8000-00AA00389B71");
inline constexpr GUID MEDIATYPE_Audio = MakeGuid("73647561-0000-0010-8000-00AA00389B71");
inline constexpr GUID MEDIATYPE_Interleaved = MakeGuid("73766169-0000-0010-8000-00AA00389B71");
inline constexpr GUID MEDIATYPE_Stream = MakeGuid("E436EB83-524F-11CE-9F53-0020AF0BA770");

inline constexpr GUID MEDIASUBTYPE_RGB24 = MakeGuid("E436EB7D-524F-11CE-9F53-0020AF0BA770");
inline constexpr GUID MEDIASUBTYPE_RGB32 = MakeGuid("E436EB7E-524F-11CE-9F53-0020AF0BA770");
inline constexpr GUID MEDIASUBTYPE_dvsd = MakeGuid("64737664-0000-0010-8000-00AA00389B71");
inline constexpr GUID MEDIASUBTYPE_PCM = MakeGuid("00000001-0000-0010-8000-00AA00389B71");
inline constexpr GUID MEDIASUBTYPE_Avi = MakeGuid("E436EB88-524F-11CE-9F53-0020AF0BA770");

inline constexpr GUID FORMAT_None = MakeGuid("0F6417D6-C318-11D0-A43F-00A0C9223196");
inline constexpr GUID FORMAT_VideoInfo = MakeGuid("05589F80-C356-11CE-BF01-00AA0055595A");
inline constexpr GUID FORMAT_VideoInfo2 = MakeGuid("F72A76A0-EB0A-11D0-ACE4-0000C0CC16BA");
inline constexpr GUID FORMAT_WaveFormatEx = MakeGuid("05589F81-C356-11CE-BF01-00AA0055595A");
inline constexpr GUID FORMAT_DvInfo = MakeGuid("05589F84-C356-11CE-BF01-00AA0055595A");

// --- Helpers on the record ----------------------------------------------------------------
// Not the capture engine's own FreeMediaType: these are the platform's, in its namespace.

namespace th::dshow {

// Frees the format block (CoTaskMemFree) and releases pUnk; the GUIDs and sizes
// other than cbFormat are left as they are.
inline void FreeMediaTypeContents(AM_MEDIA_TYPE& mt)
{
    if (mt.cbFormat != 0 || mt.pbFormat) {
        CoTaskMemFree(mt.pbFormat);
        mt.cbFormat = 0;
        mt.pbFormat = nullptr;
    }
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

// Deep copy: the target's old contents are not freed (call FreeMediaTypeContents
// first when it owns any). E_OUTOFMEMORY leaves the target without a format.
inline HRESULT CopyMediaTypeContents(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE& src)
{
    *dst = src;
    dst->pbFormat = nullptr;
    dst->cbFormat = 0;
    if (src.cbFormat != 0 && src.pbFormat) {
        dst->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src.cbFormat));
        if (!dst->pbFormat) {
            dst->pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        for (ULONG i = 0; i < src.cbFormat; ++i)
            dst->pbFormat[i] = src.pbFormat[i];
        dst->cbFormat = src.cbFormat;
    }
    if (dst->pUnk)
        dst->pUnk->AddRef();
    return S_OK;
}

// A record in task memory with a deep copy of src (null on failure); free it
// with DeleteMediaType.
inline AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE& src)
{
    auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!mt)
        return nullptr;
    if (FAILED(CopyMediaTypeContents(mt, src))) {
        CoTaskMemFree(mt);
        return nullptr;
    }
    return mt;
}

inline void DeleteMediaType(AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return;
    FreeMediaTypeContents(*mt);
    CoTaskMemFree(mt);
}

// The same type: GUIDs equal and the format blocks byte for byte equal.
inline bool SameMediaType(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b)
{
    if (!(a.majortype == b.majortype) || !(a.subtype == b.subtype) || !(a.formattype == b.formattype) ||
        a.cbFormat != b.cbFormat)
        return false;
    for (ULONG i = 0; i < a.cbFormat; ++i)
        if (a.pbFormat[i] != b.pbFormat[i])
            return false;
    return true;
}

} // namespace th::dshow

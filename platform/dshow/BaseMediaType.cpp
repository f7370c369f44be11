#include "platform/dshow/BaseClasses.h"

#include <cstring>

// --- CMediaType ------------------------------------------------------------------------------

// Every constructor starts from a zeroed record, so InitMediaType frees nothing.
CMediaType::CMediaType() : AM_MEDIA_TYPE{}
{
    InitMediaType();
}

CMediaType::CMediaType(const GUID& majorType) : AM_MEDIA_TYPE{}
{
    InitMediaType();
    majortype = majorType;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& other) : AM_MEDIA_TYPE{}
{
    InitMediaType();
    Set(other);
}

CMediaType::CMediaType(const CMediaType& other) : AM_MEDIA_TYPE{}
{
    InitMediaType();
    Set(other);
}

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& other)
{
    Set(other);
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& other)
{
    Set(other);
    return *this;
}

CMediaType::~CMediaType()
{
    th::dshow::FreeMediaTypeContents(*this);
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& other)
{
    if (&other == static_cast<AM_MEDIA_TYPE*>(this))
        return S_OK;
    th::dshow::FreeMediaTypeContents(*this);
    return th::dshow::CopyMediaTypeContents(this, other);
}

void CMediaType::InitMediaType()
{
    th::dshow::FreeMediaTypeContents(*this);
    majortype = GUID_NULL;
    subtype = GUID_NULL;
    formattype = GUID_NULL;
    bFixedSizeSamples = TRUE;
    bTemporalCompression = FALSE;
    lSampleSize = 1;
    pUnk = nullptr;
    cbFormat = 0;
    pbFormat = nullptr;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length)
{
    ResetFormatBuffer();
    if (length == 0)
        return nullptr;
    pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!pbFormat)
        return nullptr;
    std::memset(pbFormat, 0, length);
    cbFormat = length;
    return pbFormat;
}

bool CMediaType::SetFormat(const BYTE* format, ULONG length)
{
    if (length == 0) {
        ResetFormatBuffer();
        return true;
    }
    BYTE* p = AllocFormatBuffer(length);
    if (!p)
        return false;
    std::memcpy(p, format, length);
    return true;
}

void CMediaType::ResetFormatBuffer()
{
    if (pbFormat)
        CoTaskMemFree(pbFormat);
    pbFormat = nullptr;
    cbFormat = 0;
}

bool CMediaType::MatchesPartial(const AM_MEDIA_TYPE& partial) const
{
    if (!(partial.majortype == GUID_NULL) && !(partial.majortype == majortype))
        return false;
    if (!(partial.subtype == GUID_NULL) && !(partial.subtype == subtype))
        return false;
    if (!(partial.formattype == GUID_NULL)) {
        if (!(partial.formattype == formattype))
            return false;
        if (partial.cbFormat != 0) {
            if (partial.cbFormat != cbFormat || std::memcmp(partial.pbFormat, pbFormat, cbFormat) != 0)
                return false;
        }
    }
    return true;
}

bool CMediaType::IsPartiallySpecified() const
{
    return majortype == GUID_NULL || formattype == GUID_NULL;
}

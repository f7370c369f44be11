#include "platform/dshow/BaseClasses.h"

// --- Helpers ---------------------------------------------------------------------------------

HRESULT GetInterface(IUnknown* p, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = p;
    p->AddRef();
    return S_OK;
}

namespace th::dshow {

void CopyName(WCHAR* dst, std::size_t capacity, std::u16string_view src)
{
    if (capacity == 0)
        return;
    const std::size_t n = src.size() < capacity - 1 ? src.size() : capacity - 1;
    for (std::size_t i = 0; i < n; ++i)
        dst[i] = src[i];
    dst[n] = 0;
}

std::u16string ToU16(LPCWSTR s)
{
    return s ? std::u16string(s) : std::u16string();
}

} // namespace th::dshow

// --- CUnknown --------------------------------------------------------------------------------

CUnknown::CUnknown(const char* objectName, IUnknown* outer)
    : m_owner(outer ? outer : static_cast<IUnknown*>(&m_inner)), m_objectName(objectName ? objectName : "")
{
}

CUnknown::~CUnknown() = default;

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown)
        return GetInterface(&m_inner, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef()
{
    return static_cast<ULONG>(m_cRef.fetch_add(1, std::memory_order_relaxed) + 1);
}

ULONG CUnknown::NonDelegatingRelease()
{
    const LONG left = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        // A destructor that hands out and drops references to itself must not
        // free the object a second time.
        m_cRef.store(1, std::memory_order_relaxed);
        delete this;
        return 0;
    }
    return static_cast<ULONG>(left);
}

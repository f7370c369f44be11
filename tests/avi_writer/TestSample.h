#pragma once
// A media sample for pushing buffers into the writer's pins in tests.
#include "platform/dshow/Interfaces.h"

#include <vector>

class TestSample final : public th::com::ComObject<IMediaSample> {
public:
    std::vector<BYTE> data;
    bool hasTime = true;
    REFERENCE_TIME t0 = 0, t1 = 0;
    bool hasMediaTime = false;
    LONGLONG m0 = 0, m1 = 0;
    HRESULT pointerResult = S_OK;

    static ComPtr<TestSample> Make(std::vector<BYTE> bytes, REFERENCE_TIME start, REFERENCE_TIME stop)
    {
        ComPtr<TestSample> s = th::com::MakeCom<TestSample>();
        s->data = std::move(bytes);
        s->t0 = start;
        s->t1 = stop;
        return s;
    }
    ComPtr<TestSample> WithMediaTime(LONGLONG start, LONGLONG stop)
    {
        hasMediaTime = true;
        m0 = start;
        m1 = stop;
        return ComPtr<TestSample>(this);
    }

    HRESULT GetPointer(BYTE** buffer) override
    {
        if (FAILED(pointerResult))
            return pointerResult;
        *buffer = data.data();
        return S_OK;
    }
    LONG GetSize() override { return static_cast<LONG>(data.size()); }
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override
    {
        if (!hasTime)
            return VFW_E_SAMPLE_TIME_NOT_SET;
        *start = t0;
        *stop = t1;
        return S_OK;
    }
    HRESULT SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT IsSyncPoint() override { return S_OK; }
    HRESULT SetSyncPoint(BOOL) override { return S_OK; }
    HRESULT IsPreroll() override { return S_FALSE; }
    HRESULT SetPreroll(BOOL) override { return S_OK; }
    LONG GetActualDataLength() override { return static_cast<LONG>(data.size()); }
    HRESULT SetActualDataLength(LONG) override { return E_NOTIMPL; }
    HRESULT GetMediaType(AM_MEDIA_TYPE** type) override
    {
        *type = nullptr;
        return S_FALSE;
    }
    HRESULT SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT IsDiscontinuity() override { return S_FALSE; }
    HRESULT SetDiscontinuity(BOOL) override { return S_OK; }
    HRESULT GetMediaTime(LONGLONG* start, LONGLONG* stop) override
    {
        if (!hasMediaTime)
            return VFW_E_MEDIA_TIME_NOT_SET;
        *start = m0;
        *stop = m1;
        return S_OK;
    }
    HRESULT SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
};

// The filter base classes: media types, samples and the allocator, pin
// connection, enumerators, end of stream, and object creation and counting.
#include "TestFilters.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace dstest;

namespace {

CMediaType DvType(ULONG sampleSize = 144000)
{
    CMediaType mt(MEDIATYPE_Interleaved);
    mt.subtype = MEDIASUBTYPE_dvsd;
    mt.formattype = FORMAT_DvInfo;
    mt.lSampleSize = sampleSize;
    DVINFO info{};
    info.dwDVVAuxSrc = 0x12345678;
    mt.SetFormat(reinterpret_cast<const BYTE*>(&info), sizeof info);
    return mt;
}

ComPtr<IMemAllocator> MakeAllocator(LONG buffers, LONG bytes, LONG align = 1, LONG prefix = 0)
{
    HRESULT hr = S_OK;
    CUnknown* a = CMemAllocator::CreateInstance(nullptr, &hr);
    ComPtr<IMemAllocator> alloc;
    a->NonDelegatingAddRef();
    a->NonDelegatingQueryInterface(IID_IMemAllocator, alloc.ReleaseAndGetVoidAddressOf());
    a->NonDelegatingRelease();
    ALLOCATOR_PROPERTIES want{buffers, bytes, align, prefix}, actual{};
    EXPECT_EQ(alloc->SetProperties(&want, &actual), S_OK);
    return alloc;
}

} // namespace

TEST(DShowMediaType, CopiesOwnTheirFormatAndPartialTypesMatch)
{
    CMediaType a = DvType();
    CMediaType b = a;
    ASSERT_NE(a.pbFormat, b.pbFormat);
    EXPECT_TRUE(a == b);
    b.pbFormat[0] ^= 1;
    EXPECT_FALSE(a == b);

    // A copy through the record form is deep too, and freeing it leaves the original intact.
    AM_MEDIA_TYPE* heap = th::dshow::CreateMediaType(a);
    ASSERT_NE(heap, nullptr);
    EXPECT_NE(heap->pbFormat, a.pbFormat);
    th::dshow::DeleteMediaType(heap);
    EXPECT_EQ(reinterpret_cast<DVINFO*>(a.pbFormat)->dwDVVAuxSrc, 0x12345678u);

    CMediaType partial(MEDIATYPE_Interleaved);
    EXPECT_TRUE(a.MatchesPartial(partial));
    partial.subtype = MEDIASUBTYPE_RGB24;
    EXPECT_FALSE(a.MatchesPartial(partial));
    EXPECT_TRUE(partial.IsPartiallySpecified());
    EXPECT_FALSE(a.IsPartiallySpecified());
    a = CMediaType();
    EXPECT_FALSE(a.IsValid());
    EXPECT_EQ(a.pbFormat, nullptr);
}

TEST(DShowCritSec, ReentrantAndExclusive)
{
    CCritSec cs;
    std::atomic<bool> otherGotIt{false};
    std::thread other;
    {
        CAutoLock outer(&cs);
        {
            CAutoLock inner(&cs); // a plain mutex would deadlock here
        }
        other = std::thread([&] {
            CAutoLock l(&cs);
            otherGotIt = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(otherGotIt); // still held once by this thread
    }
    other.join();
    EXPECT_TRUE(otherGotIt);
}

TEST(DShowAllocator, PoolIsBoundedAndDecommitWakesWaiters)
{
    ComPtr<IMemAllocator> alloc = MakeAllocator(2, 1000, 64, 16);
    ComPtr<IMediaSample> s1, s2, s3;
    EXPECT_EQ(alloc->GetBuffer(s1.ReleaseAndGetAddressOf(), nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    ASSERT_EQ(alloc->Commit(), S_OK);
    ASSERT_EQ(alloc->GetBuffer(s1.ReleaseAndGetAddressOf(), nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(alloc->GetBuffer(s2.ReleaseAndGetAddressOf(), nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(alloc->GetBuffer(s3.ReleaseAndGetAddressOf(), nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);

    BYTE* p = nullptr;
    s1->GetPointer(&p);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);
    EXPECT_EQ(s1->GetSize(), 1000);

    // A waiter blocks until a sample comes back...
    auto waiter = std::async(std::launch::async, [&] {
        IMediaSample* s = nullptr;
        const HRESULT hr = alloc->GetBuffer(&s, nullptr, nullptr, 0);
        if (s)
            s->Release();
        return hr;
    });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    s1.Reset();
    EXPECT_EQ(waiter.get(), S_OK);

    // ...and is woken with VFW_E_NOT_COMMITTED by a decommit, as a stopping source is.
    ASSERT_EQ(alloc->GetBuffer(s1.ReleaseAndGetAddressOf(), nullptr, nullptr, 0), S_OK);
    auto stopped = std::async(std::launch::async, [&] {
        IMediaSample* s = nullptr;
        return alloc->GetBuffer(&s, nullptr, nullptr, 0);
    });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(alloc->Decommit(), S_OK);
    EXPECT_EQ(stopped.get(), VFW_E_NOT_COMMITTED);

    // Properties cannot change while samples are out; outstanding samples keep
    // the allocator alive after its last other reference goes.
    ALLOCATOR_PROPERTIES want{4, 10, 1, 0}, actual{};
    EXPECT_EQ(alloc->SetProperties(&want, &actual), VFW_E_BUFFERS_OUTSTANDING);
    alloc.Reset();
    s1->GetPointer(&p);
    p[999] = 7; // still valid memory (ASan would object otherwise)
    s1.Reset();
    s2.Reset();
}

TEST(DShowAllocator, RefusesBadPropertiesAndResetsReusedSamples)
{
    HRESULT hr = S_OK;
    CUnknown* a = CMemAllocator::CreateInstance(nullptr, &hr);
    ComPtr<IMemAllocator> alloc;
    a->NonDelegatingAddRef();
    a->NonDelegatingQueryInterface(IID_IMemAllocator, alloc.ReleaseAndGetVoidAddressOf());
    a->NonDelegatingRelease();
    ALLOCATOR_PROPERTIES bad{1, 100, 3, 0}, actual{};
    EXPECT_EQ(alloc->SetProperties(&bad, &actual), VFW_E_BADALIGN);
    EXPECT_EQ(alloc->Commit(), VFW_E_SIZENOTSET);
    ALLOCATOR_PROPERTIES good{1, 100, 1, 0};
    ASSERT_EQ(alloc->SetProperties(&good, &actual), S_OK);
    ASSERT_EQ(alloc->Commit(), S_OK);

    ComPtr<IMediaSample> s;
    ASSERT_EQ(alloc->GetBuffer(s.ReleaseAndGetAddressOf(), nullptr, nullptr, 0), S_OK);
    REFERENCE_TIME t0 = 5, t1 = 9;
    LONGLONG m0 = 1, m1 = 2;
    s->SetTime(&t0, &t1);
    s->SetMediaTime(&m0, &m1);
    s->SetSyncPoint(TRUE);
    s->SetActualDataLength(10);
    EXPECT_EQ(s->SetActualDataLength(101), VFW_E_BUFFER_OVERFLOW);
    s.Reset();

    // The single buffer again: nothing of its last use may leak into this one.
    ASSERT_EQ(alloc->GetBuffer(s.ReleaseAndGetAddressOf(), nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(s->GetTime(&t0, &t1), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(s->GetMediaTime(&m0, &m1), VFW_E_MEDIA_TIME_NOT_SET);
    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(s->GetActualDataLength(), 100);

    // A start time alone: the stop is start + 1 and says so.
    t0 = 40;
    s->SetTime(&t0, nullptr);
    EXPECT_EQ(s->GetTime(&t0, &t1), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(t1, 41);
    s.Reset();
    alloc->Decommit();
}

TEST(DShowConnection, AgreesOnATypeOrRefusesAndUndoesEverything)
{
    ComPtr<IGraphBuilder> graph = MakeGraph();
    ASSERT_TRUE(graph);
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make({}, &src);
    TestSink* videoOnly = nullptr;
    ComPtr<IBaseFilter> sink = TestSink::Make({MEDIATYPE_Video}, &videoOnly);
    ASSERT_EQ(graph->AddFilter(source.Get(), u"Source"), S_OK);
    ASSERT_EQ(graph->AddFilter(sink.Get(), u"Sink"), S_OK);

    // Interleaved DV into a video-only input: refused, both pins left free.
    EXPECT_TRUE(FAILED(graph->Connect(src->OutputPin(), videoOnly->InputPin())));
    ComPtr<IPin> peer;
    EXPECT_EQ(src->OutputPin()->ConnectedTo(peer.ReleaseAndGetAddressOf()), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(peer.Get(), nullptr);
    EXPECT_EQ(videoOnly->InputPin()->ConnectedTo(peer.ReleaseAndGetAddressOf()), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(src->OutputPin()->Allocator(), nullptr);

    // A matching sink: the connection type carries the source's format block.
    TestSink* any = nullptr;
    ComPtr<IBaseFilter> sink2 = TestSink::Make({}, &any);
    ASSERT_EQ(graph->AddFilter(sink2.Get(), u"Any"), S_OK);
    ASSERT_EQ(graph->Connect(src->OutputPin(), any->InputPin()), S_OK);
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(any->InputPin()->ConnectionMediaType(&mt), S_OK);
    EXPECT_EQ(mt.majortype, MEDIATYPE_Interleaved);
    EXPECT_EQ(mt.formattype, FORMAT_DvInfo);
    ASSERT_EQ(mt.cbFormat, sizeof(DVINFO));
    EXPECT_EQ(reinterpret_cast<DVINFO*>(mt.pbFormat)->dwDVAAuxSrc, 0xD1C0C0C0u);
    th::dshow::FreeMediaTypeContents(mt);
    EXPECT_NE(src->OutputPin()->Allocator(), nullptr);

    // Connected pins refuse a second connection; no connection while running.
    EXPECT_EQ(src->OutputPin()->Connect(videoOnly->InputPin(), nullptr), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(graph->Connect(any->InputPin(), src->OutputPin()), VFW_E_INVALID_DIRECTION);
    ComPtr<IMediaControl> control = graph.As<IMediaControl>();
    ASSERT_EQ(control->Pause(), S_OK);
    EXPECT_EQ(graph->Disconnect(src->OutputPin()), VFW_E_NOT_STOPPED);
    ASSERT_EQ(control->Stop(), S_OK);

    // Disconnect breaks one side at a time.
    EXPECT_EQ(graph->Disconnect(any->InputPin()), S_OK);
    EXPECT_EQ(graph->Disconnect(any->InputPin()), S_FALSE);
    EXPECT_EQ(graph->Disconnect(src->OutputPin()), S_OK);
}

TEST(DShowConnection, FullySpecifiedTypeIsTheOnlyOneTried)
{
    ComPtr<IGraphBuilder> graph = MakeGraph();
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make({}, &src);
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink);
    graph->AddFilter(source.Get(), u"Source");
    graph->AddFilter(sinkFilter.Get(), u"Sink");
    CMediaType other = DvType();
    other.subtype = MEDIASUBTYPE_RGB24; // complete, and not one the source makes
    EXPECT_TRUE(FAILED(graph->ConnectDirect(src->OutputPin(), sink->InputPin(), &other)));
    CMediaType partial(MEDIATYPE_Interleaved); // partial: filters the candidates
    EXPECT_EQ(graph->ConnectDirect(src->OutputPin(), sink->InputPin(), &partial), S_OK);
}

namespace {
// A filter whose pin set changes, as the AVI writer's does once a format is recorded.
class GrowingFilter : public CBaseFilter {
public:
    GrowingFilter()
        : CBaseFilter("Growing", nullptr, &m_lock, GUID_NULL),
          m_a(this, &m_lock, nullptr, u"A"),
          m_b(this, &m_lock, nullptr, u"B")
    {
    }
    int GetPinCount() override { return m_count; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_a : n == 1 && m_count > 1 ? &m_b : nullptr; }
    void Grow()
    {
        m_count = 2;
        IncrementPinVersion();
    }

private:
    CCritSec m_lock;
    AnyInputPin m_a, m_b;
    int m_count = 1;
};
} // namespace

TEST(DShowEnumerators, PinsAndTypesAndAChangingPinSet)
{
    auto* raw = new GrowingFilter();
    ComPtr<IBaseFilter> f;
    raw->NonDelegatingQueryInterface(IID_IBaseFilter, f.ReleaseAndGetVoidAddressOf());

    ComPtr<IEnumPins> pins;
    ASSERT_EQ(f->EnumPins(pins.ReleaseAndGetAddressOf()), S_OK);
    IPin* got[3] = {};
    ULONG n = 0;
    EXPECT_EQ(pins->Next(3, got, &n), S_FALSE);
    EXPECT_EQ(n, 1u);
    got[0]->Release();

    raw->Grow();
    EXPECT_EQ(pins->Next(1, got, &n), VFW_E_ENUM_OUT_OF_SYNC);
    ASSERT_EQ(pins->Reset(), S_OK);
    EXPECT_EQ(pins->Next(3, got, &n), S_FALSE);
    ASSERT_EQ(n, 2u);
    PIN_INFO info{};
    got[1]->QueryPinInfo(&info);
    EXPECT_EQ(std::u16string(info.achName), u"B");
    EXPECT_EQ(info.dir, PINDIR_INPUT);
    EXPECT_EQ(info.pFilter, f.Get());
    info.pFilter->Release();
    got[0]->Release();
    got[1]->Release();
    // Next without a count out-parameter only for one item.
    EXPECT_EQ(pins->Next(2, got, nullptr), E_INVALIDARG);

    ComPtr<IPin> byName;
    EXPECT_EQ(f->FindPin(u"B", byName.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(f->FindPin(u"b", byName.ReleaseAndGetAddressOf()), VFW_E_NOT_FOUND);

    // A source pin's preferred type, handed out in task memory.
    TestSource* src = nullptr;
    ComPtr<IBaseFilter> source = TestSource::Make({}, &src);
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(src->OutputPin()->EnumMediaTypes(types.ReleaseAndGetAddressOf()), S_OK);
    AM_MEDIA_TYPE* mt[2] = {};
    EXPECT_EQ(types->Next(2, mt, &n), S_FALSE);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(mt[0]->majortype, MEDIATYPE_Interleaved);
    th::dshow::DeleteMediaType(mt[0]);
    ComPtr<IEnumMediaTypes> clone;
    ASSERT_EQ(types->Clone(clone.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(clone->Next(1, mt, &n), S_FALSE); // the clone keeps the position
    types->Reset();
    EXPECT_EQ(types->Skip(1), S_OK);
    EXPECT_EQ(types->Skip(1), S_FALSE);
}

TEST(DShowRenderedPin, CompleteOnceWhileRunningAndAgainAfterARestart)
{
    ComPtr<IGraphBuilder> graph = MakeGraph();
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter = TestSink::Make({}, &sink);
    TestSource* src = nullptr;
    SourceOptions silent;
    silent.samples = 0;
    silent.endOfStream = false;
    ComPtr<IBaseFilter> source = TestSource::Make(silent, &src);
    graph->AddFilter(source.Get(), u"Source");
    graph->AddFilter(sinkFilter.Get(), u"Sink");
    ASSERT_EQ(graph->Connect(src->OutputPin(), sink->InputPin()), S_OK);
    ComPtr<IMediaControl> control = graph.As<IMediaControl>();
    ComPtr<IMediaEventEx> events = graph.As<IMediaEventEx>();
    ASSERT_EQ(events->CancelDefaultHandling(EC_COMPLETE), S_OK); // see each pin's own event

    // Stopped: the end of stream is refused and raises nothing.
    EXPECT_EQ(sink->InputPin()->EndOfStream(), VFW_E_WRONG_STATE);
    // Paused: held until the run starts, then raised once.
    ASSERT_EQ(control->Pause(), S_OK);
    EXPECT_EQ(sink->InputPin()->EndOfStream(), S_OK);
    EXPECT_TRUE(DrainEvents(events.Get()).empty());
    ASSERT_EQ(control->Run(), S_OK);
    sink->InputPin()->EndOfStream();
    LONG code;
    LONG_PTR p1, p2;
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(p1, S_OK);
    EXPECT_EQ(reinterpret_cast<IBaseFilter*>(p2), sinkFilter.Get());
    EXPECT_TRUE(DrainEvents(events.Get()).empty()); // not a second time

    // A new run from stopped arms it again.
    ASSERT_EQ(control->Stop(), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    sink->InputPin()->EndOfStream();
    EXPECT_EQ(DrainEvents(events.Get()), std::vector<LONG>{EC_COMPLETE});
    control->Stop();
}

namespace {
// An outer object that aggregates a filter.
class Outer final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        ++delegated;
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    IUnknown* inner = nullptr;
    int delegated = 0;
    ULONG refs = 1;
};

class TinyFilter : public CBaseFilter {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr) { return new TinyFilter(outer, hr); }
    int GetPinCount() override { return 0; }
    CBasePin* GetPin(int) override { return nullptr; }

private:
    TinyFilter(IUnknown* outer, HRESULT*) : CBaseFilter("Tiny", outer, &m_lock, CLSID_NullRenderer) {}
    CCritSec m_lock;
};
} // namespace

TEST(DShowCreation, AggregationAndObjectCounts)
{
    const long before = th::com::server::ObjectCount();
    void* p = nullptr;
    Outer outer;
    // Aggregated objects are made only for IUnknown.
    EXPECT_EQ(th::dshow::CreateComObject<TinyFilter>(&outer, IID_IBaseFilter, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(th::com::server::ObjectCount(), before);

    ASSERT_EQ(th::dshow::CreateComObject<TinyFilter>(&outer, IID_IUnknown, &p), S_OK);
    auto* inner = static_cast<IUnknown*>(p);
    outer.inner = inner;
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(inner->QueryInterface(IID_PPV_ARGS(filter.ReleaseAndGetAddressOf())), S_OK);
    // The filter's interfaces delegate to the outer object.
    ComPtr<IPersist> persist;
    EXPECT_EQ(filter->QueryInterface(IID_PPV_ARGS(persist.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(outer.delegated, 1);
    IUnknown* id = nullptr;
    filter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&id));
    EXPECT_EQ(id, &outer);
    id->Release();
    persist.Reset();
    filter.Reset();
    EXPECT_EQ(th::com::server::ObjectCount(), before + 1);
    outer.inner = nullptr;
    inner->Release();
    EXPECT_EQ(th::com::server::ObjectCount(), before);

    // A query the object cannot answer frees it again.
    EXPECT_EQ(th::dshow::CreateComObject<TinyFilter>(nullptr, IID_IMediaControl, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(th::com::server::ObjectCount(), before);
}

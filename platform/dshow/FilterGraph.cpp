// The filter graph (CLSID_FilterGraph): the filters, their connections, the
// graph's state, its event queue, and the video window of its renderer.
//
// State changes follow the stream: filters that start streaming (Pause from
// stopped, Run) are changed downstream first, so that every filter is ready
// before its upstream sends; filters that stop streaming (Pause from running,
// Stop) are changed upstream first, so that a source's thread has ended (or is
// parked, see StreamingThread.h) before the filters it delivers to stop. The
// graph's lock is held for a whole state change; filters must not call the
// graph from a streaming thread.
//
// EC_COMPLETE is collected: each renderer (a filter without output pins)
// raises one per connected input pin, and once all of them arrived in a run
// the graph queues one EC_COMPLETE (param1 S_OK or the first failure, param2 0).
// EC_REPAINT is handled by the graph (nothing to queue: the renderer repaints
// itself). CancelDefaultHandling passes either on to the queue as it comes.

#include "platform/dshow/BuiltinClasses.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/EnumSnapshot.h"
#include "platform/win/Windows.h"

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>

namespace th::dshow {
namespace {

struct Event {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
};

using CEnumFilters = CEnumSnapshot<IEnumFilters, IBaseFilter>;

ComPtr<IUnknown> identityOf(IUnknown* p)
{
    ComPtr<IUnknown> id;
    if (p)
        p->QueryInterface(IID_IUnknown, id.ReleaseAndGetVoidAddressOf());
    return id;
}

std::vector<ComPtr<IPin>> pinsOf(IBaseFilter* filter)
{
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> e;
    if (FAILED(filter->EnumPins(e.ReleaseAndGetAddressOf())) || !e)
        return pins;
    for (;;) {
        ComPtr<IPin> pin;
        ULONG got = 0;
        if (e->Next(1, pin.ReleaseAndGetAddressOf(), &got) != S_OK || got != 1)
            break;
        pins.push_back(pin);
    }
    return pins;
}

PIN_DIRECTION directionOf(IPin* pin)
{
    PIN_DIRECTION dir = PINDIR_INPUT;
    pin->QueryDirection(&dir);
    return dir;
}

REFERENCE_TIME now100ns()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

class CFilterGraph final : public IGraphBuilder,
                           public IMediaControl,
                           public IMediaEventEx,
                           public IMediaEventSink,
                           public IVideoWindow,
                           public th::com::server::ModuleObject {
public:
    CFilterGraph() = default;
    CFilterGraph(const CFilterGraph&) = delete;
    CFilterGraph& operator=(const CFilterGraph&) = delete;

    // --- IUnknown ---
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        void* found = nullptr;
        if (riid == IID_IUnknown || riid == IID_IFilterGraph || riid == IID_IGraphBuilder)
            found = static_cast<IGraphBuilder*>(this);
        else if (riid == IID_IMediaControl)
            found = static_cast<IMediaControl*>(this);
        else if (riid == IID_IMediaEvent || riid == IID_IMediaEventEx)
            found = static_cast<IMediaEventEx*>(this);
        else if (riid == IID_IMediaEventSink)
            found = static_cast<IMediaEventSink*>(this);
        else if (riid == IID_IVideoWindow && videoWindow())
            // Only while the graph holds a renderer with a window.
            found = static_cast<IVideoWindow*>(this);
        if (!found) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *ppv = found;
        return S_OK;
    }
    ULONG AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override
    {
        const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            m_refs.store(1); // references taken and dropped while tearing down must not free twice
            teardown();
            delete this;
        }
        return left;
    }

    // --- IFilterGraph ---
    HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) override
    {
        if (!filter)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        ComPtr<IUnknown> id = identityOf(filter);
        if (indexOf(id.Get()) >= 0)
            return E_INVALIDARG;
        std::u16string base = name && *name ? std::u16string(name) : std::u16string(u"Filter");
        if (base.size() > MAX_FILTER_NAME - 6)
            base.resize(MAX_FILTER_NAME - 6);
        std::u16string unique = base;
        HRESULT result = S_OK;
        for (int n = 1; nameInUse(unique); ++n) {
            char digits[16];
            std::snprintf(digits, sizeof digits, " %04d", n);
            unique = base + com::Utf8ToUtf16(digits);
            result = VFW_S_DUPLICATE_NAME;
        }
        const HRESULT hr = filter->JoinFilterGraph(this, unique.c_str());
        if (FAILED(hr))
            return hr;
        m_filters.push_back({ComPtr<IBaseFilter>(filter), id, unique});
        return result;
    }

    HRESULT RemoveFilter(IBaseFilter* filter) override
    {
        if (!filter)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        const int i = indexOf(identityOf(filter).Get());
        if (i < 0)
            return VFW_E_NOT_FOUND;
        const ComPtr<IBaseFilter> f = m_filters[i].filter;
        FILTER_STATE st = State_Stopped;
        if (SUCCEEDED(f->GetState(0, &st)) && st != State_Stopped)
            f->Stop();
        disconnectAll(f.Get());
        f->JoinFilterGraph(nullptr, nullptr);
        m_filters.erase(m_filters.begin() + i);
        return S_OK;
    }

    HRESULT EnumFilters(IEnumFilters** filters) override
    {
        if (!filters)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        std::vector<ComPtr<IBaseFilter>> list;
        for (const Entry& e : m_filters)
            list.push_back(e.filter);
        *filters = new CEnumFilters(std::move(list));
        return S_OK;
    }

    HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** filter) override
    {
        if (!name || !filter)
            return E_POINTER;
        *filter = nullptr;
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        for (const Entry& e : m_filters)
            if (e.name == name)
                return e.filter.CopyTo(filter);
        return VFW_E_NOT_FOUND;
    }

    HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) override
    {
        if (!out || !in)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (directionOf(out) != PINDIR_OUTPUT || directionOf(in) != PINDIR_INPUT)
            return VFW_E_INVALID_DIRECTION;
        if (!pinInGraph(out) || !pinInGraph(in))
            return VFW_E_NOT_IN_GRAPH;
        return out->Connect(in, type);
    }

    HRESULT Disconnect(IPin* pin) override
    {
        if (!pin)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state != State_Stopped)
            return VFW_E_NOT_STOPPED;
        return pin->Disconnect();
    }

    // --- IGraphBuilder ---
    HRESULT Connect(IPin* out, IPin* in) override { return ConnectDirect(out, in, nullptr); }

    // --- IMediaControl ---
    HRESULT Run() override
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state == State_Running)
            return S_OK;
        HRESULT result = S_OK;
        if (m_state == State_Stopped)
            result = pauseFromStopped();
        {
            std::lock_guard<std::mutex> events(m_eventMutex);
            m_running = true;
        }
        const REFERENCE_TIME start = now100ns();
        for (std::size_t i : downstreamFirst()) {
            const HRESULT hr = m_filters[i].filter->Run(start);
            if (FAILED(hr) && SUCCEEDED(result))
                result = hr;
        }
        m_state = State_Running;
        return result;
    }

    HRESULT Pause() override
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state == State_Paused)
            return S_OK;
        HRESULT result = S_OK;
        if (m_state == State_Stopped) {
            result = pauseFromStopped();
        } else {
            {
                std::lock_guard<std::mutex> events(m_eventMutex);
                m_running = false;
            }
            for (std::size_t i : upstreamFirst()) {
                const HRESULT hr = m_filters[i].filter->Pause();
                if (FAILED(hr) && SUCCEEDED(result))
                    result = hr;
            }
        }
        m_state = State_Paused;
        return result;
    }

    HRESULT Stop() override
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        {
            std::lock_guard<std::mutex> events(m_eventMutex);
            m_running = false;
        }
        HRESULT result = S_OK;
        for (std::size_t i : upstreamFirst()) {
            const HRESULT hr = m_filters[i].filter->Stop();
            if (FAILED(hr) && SUCCEEDED(result))
                result = hr;
        }
        m_state = State_Stopped;
        return result;
    }

    HRESULT GetState(LONG, OAFilterState* state) override
    {
        if (!state)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        *state = m_state;
        HRESULT result = S_OK;
        for (const Entry& e : m_filters) {
            FILTER_STATE fs;
            if (e.filter->GetState(0, &fs) == VFW_S_CANT_CUE)
                result = VFW_S_CANT_CUE;
        }
        return result;
    }

    // --- IMediaEvent ---
    HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG milliseconds) override
    {
        if (!code || !param1 || !param2)
            return E_POINTER;
        std::unique_lock<std::mutex> lock(m_eventMutex);
        const auto ready = [&] { return !m_events.empty(); };
        if (milliseconds < 0)
            m_eventQueued.wait(lock, ready);
        else if (milliseconds > 0)
            m_eventQueued.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
        if (m_events.empty()) {
            *code = 0;
            *param1 = *param2 = 0;
            return E_ABORT;
        }
        const Event e = m_events.front();
        m_events.pop_front();
        *code = e.code;
        *param1 = e.param1;
        *param2 = e.param2;
        return S_OK;
    }

    HRESULT CancelDefaultHandling(LONG code) override
    {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        m_cancelled.insert(code);
        return S_OK;
    }

    HRESULT RestoreDefaultHandling(LONG code) override
    {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        m_cancelled.erase(code);
        return S_OK;
    }

    // No event of this graph carries anything to free.
    HRESULT FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }

    // --- IMediaEventEx ---
    HRESULT SetNotifyWindow(OAHWND window, LONG message, LONG_PTR instance) override
    {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        m_notifyWindow = window;
        m_notifyMessage = message;
        m_notifyInstance = instance;
        return S_OK;
    }

    HRESULT SetNotifyFlags(LONG flags) override
    {
        if (flags != 0 && flags != AM_MEDIAEVENT_NONOTIFY)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(m_eventMutex);
        m_notifyFlags = flags;
        if (flags == AM_MEDIAEVENT_NONOTIFY)
            m_events.clear();
        return S_OK;
    }

    HRESULT GetNotifyFlags(LONG* flags) override
    {
        if (!flags)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_eventMutex);
        *flags = m_notifyFlags;
        return S_OK;
    }

    // --- IMediaEventSink ---
    HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override
    {
        std::unique_lock<std::mutex> lock(m_eventMutex);
        if (m_notifyFlags == AM_MEDIAEVENT_NONOTIFY)
            return S_OK;
        const bool defaultHandling = m_cancelled.count(code) == 0;
        if (code == EC_COMPLETE && defaultHandling) {
            if (!m_running)
                return S_OK; // a renderer raises it again at the next run
            if (m_completeExpected > 0) {
                if (FAILED(static_cast<HRESULT>(param1)) && SUCCEEDED(m_completeResult))
                    m_completeResult = static_cast<HRESULT>(param1);
                if (++m_completeReceived != m_completeExpected)
                    return S_OK;
                param1 = m_completeResult;
                param2 = 0;
            }
        } else if (code == EC_REPAINT && defaultHandling) {
            return S_OK;
        }
        m_events.push_back({code, param1, param2});
        const OAHWND window = m_notifyWindow;
        const LONG message = m_notifyMessage;
        const LONG_PTR instance = m_notifyInstance;
        lock.unlock();
        m_eventQueued.notify_all();
        if (window)
            PostMessage(reinterpret_cast<HWND>(window), static_cast<UINT>(message), 0, instance);
        return S_OK;
    }

    // --- IVideoWindow, forwarded to the renderer that has one ---
    HRESULT put_Owner(OAHWND owner) override
    {
        const ComPtr<IVideoWindow> w = videoWindow();
        return w ? w->put_Owner(owner) : E_NOINTERFACE;
    }
    HRESULT put_WindowStyle(LONG style) override
    {
        const ComPtr<IVideoWindow> w = videoWindow();
        return w ? w->put_WindowStyle(style) : E_NOINTERFACE;
    }
    HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override
    {
        const ComPtr<IVideoWindow> w = videoWindow();
        return w ? w->SetWindowPosition(left, top, width, height) : E_NOINTERFACE;
    }
    HRESULT put_Visible(LONG visible) override
    {
        const ComPtr<IVideoWindow> w = videoWindow();
        return w ? w->put_Visible(visible) : E_NOINTERFACE;
    }

private:
    struct Entry {
        ComPtr<IBaseFilter> filter;
        ComPtr<IUnknown> identity;
        std::u16string name;
    };

    int indexOf(IUnknown* identity) const
    {
        for (std::size_t i = 0; i < m_filters.size(); ++i)
            if (m_filters[i].identity.Get() == identity)
                return static_cast<int>(i);
        return -1;
    }

    bool nameInUse(const std::u16string& name) const
    {
        for (const Entry& e : m_filters)
            if (e.name == name)
                return true;
        return false;
    }

    bool pinInGraph(IPin* pin) const
    {
        PIN_INFO info{};
        if (FAILED(pin->QueryPinInfo(&info)) || !info.pFilter)
            return false;
        const bool in = indexOf(identityOf(info.pFilter).Get()) >= 0;
        info.pFilter->Release();
        return in;
    }

    // The filter the pin's peer belongs to, as an index into m_filters (-1 outside).
    int peerFilterIndex(IPin* pin) const
    {
        ComPtr<IPin> peer;
        if (FAILED(pin->ConnectedTo(peer.ReleaseAndGetAddressOf())) || !peer)
            return -1;
        PIN_INFO info{};
        if (FAILED(peer->QueryPinInfo(&info)) || !info.pFilter)
            return -1;
        const int i = indexOf(identityOf(info.pFilter).Get());
        info.pFilter->Release();
        return i;
    }

    // Filters ordered so that each comes before every filter it delivers to.
    std::vector<std::size_t> upstreamFirst() const
    {
        const std::size_t n = m_filters.size();
        std::vector<std::vector<std::size_t>> next(n);
        std::vector<int> incoming(n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            for (const ComPtr<IPin>& pin : pinsOf(m_filters[i].filter.Get())) {
                if (directionOf(pin.Get()) != PINDIR_OUTPUT)
                    continue;
                const int j = peerFilterIndex(pin.Get());
                if (j >= 0 && static_cast<std::size_t>(j) != i) {
                    next[i].push_back(static_cast<std::size_t>(j));
                    ++incoming[static_cast<std::size_t>(j)];
                }
            }
        }
        std::vector<std::size_t> order;
        std::vector<bool> placed(n, false);
        while (order.size() < n) {
            bool progress = false;
            for (std::size_t i = 0; i < n; ++i) {
                if (placed[i] || incoming[i] != 0)
                    continue;
                placed[i] = true;
                order.push_back(i);
                for (std::size_t j : next[i])
                    --incoming[j];
                progress = true;
            }
            if (!progress) {
                // A loop of connections cannot occur; place the rest as they stand.
                for (std::size_t i = 0; i < n; ++i)
                    if (!placed[i]) {
                        placed[i] = true;
                        order.push_back(i);
                    }
            }
        }
        return order;
    }

    std::vector<std::size_t> downstreamFirst() const
    {
        std::vector<std::size_t> order = upstreamFirst();
        return {order.rbegin(), order.rend()};
    }

    HRESULT pauseFromStopped()
    {
        // A new stream: count the renderers' ends afresh.
        int expected = 0;
        for (const Entry& e : m_filters) {
            int outputs = 0, connectedInputs = 0;
            for (const ComPtr<IPin>& pin : pinsOf(e.filter.Get())) {
                if (directionOf(pin.Get()) == PINDIR_OUTPUT) {
                    ++outputs;
                } else {
                    ComPtr<IPin> peer;
                    if (SUCCEEDED(pin->ConnectedTo(peer.ReleaseAndGetAddressOf())) && peer)
                        ++connectedInputs;
                }
            }
            if (outputs == 0)
                expected += connectedInputs;
        }
        {
            std::lock_guard<std::mutex> events(m_eventMutex);
            m_completeExpected = expected;
            m_completeReceived = 0;
            m_completeResult = S_OK;
        }
        HRESULT result = S_OK;
        for (std::size_t i : downstreamFirst()) {
            const HRESULT hr = m_filters[i].filter->Pause();
            if (FAILED(hr) && SUCCEEDED(result))
                result = hr;
        }
        return result;
    }

    void disconnectAll(IBaseFilter* filter)
    {
        for (const ComPtr<IPin>& pin : pinsOf(filter)) {
            ComPtr<IPin> peer;
            if (SUCCEEDED(pin->ConnectedTo(peer.ReleaseAndGetAddressOf())) && peer) {
                peer->Disconnect();
                pin->Disconnect();
            }
        }
    }

    ComPtr<IVideoWindow> videoWindow()
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        for (const Entry& e : m_filters) {
            ComPtr<IVideoWindow> w;
            if (SUCCEEDED(e.filter->QueryInterface(IID_PPV_ARGS(w.ReleaseAndGetAddressOf()))) && w)
                return w;
        }
        return {};
    }

    // The last reference went: stop, break every connection (connected pins
    // hold each other's filters) and let the filters go.
    void teardown()
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        Stop();
        for (const Entry& e : m_filters)
            disconnectAll(e.filter.Get());
        for (const Entry& e : m_filters)
            e.filter->JoinFilterGraph(nullptr, nullptr);
        m_filters.clear();
    }

    std::atomic<ULONG> m_refs{1};
    std::recursive_mutex m_lock;
    std::vector<Entry> m_filters;
    FILTER_STATE m_state = State_Stopped;

    std::mutex m_eventMutex;
    std::condition_variable m_eventQueued;
    std::deque<Event> m_events;
    std::set<LONG> m_cancelled;
    OAHWND m_notifyWindow = 0;
    LONG m_notifyMessage = 0;
    LONG_PTR m_notifyInstance = 0;
    LONG m_notifyFlags = 0;
    bool m_running = false;
    int m_completeExpected = 0;
    int m_completeReceived = 0;
    HRESULT m_completeResult = S_OK;
};

} // namespace

HRESULT createFilterGraph(REFIID riid, void** ppv)
{
    return th::com::CreateAs<CFilterGraph>(riid, ppv);
}

} // namespace th::dshow

// The capture graph builder (CLSID_CaptureGraphBuilder2): connects streams of
// a graph by the pin rule of ICaptureGraphBuilder2 (Interfaces.h), adds the AVI
// file output, and finds interfaces on a filter's pins.

#include "platform/dshow/BuiltinClasses.h"
#include "platform/dshow/BaseClasses.h"

namespace th::dshow {
namespace {

std::vector<ComPtr<IPin>> pinsOf(IBaseFilter* filter)
{
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> e;
    if (!filter || FAILED(filter->EnumPins(e.ReleaseAndGetAddressOf())) || !e)
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

bool isConnected(IPin* pin)
{
    ComPtr<IPin> peer;
    return SUCCEEDED(pin->ConnectedTo(peer.ReleaseAndGetAddressOf())) && peer;
}

PIN_DIRECTION directionOf(IPin* pin)
{
    PIN_DIRECTION dir = PINDIR_INPUT;
    pin->QueryDirection(&dir);
    return dir;
}

bool hasCategory(IPin* pin, const GUID& category)
{
    ComPtr<IKsPropertySet> props;
    if (FAILED(pin->QueryInterface(IID_PPV_ARGS(props.ReleaseAndGetAddressOf()))) || !props)
        return false;
    GUID value{};
    DWORD returned = 0;
    if (FAILED(props->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &value, sizeof value, &returned)))
        return false;
    return value == category;
}

// The pin offers a type of the major type: its enumerated types, or the type
// it is connected with.
bool offersMajorType(IPin* pin, const GUID& major)
{
    ComPtr<IEnumMediaTypes> types;
    if (SUCCEEDED(pin->EnumMediaTypes(types.ReleaseAndGetAddressOf())) && types) {
        for (;;) {
            AM_MEDIA_TYPE* mt = nullptr;
            ULONG got = 0;
            if (types->Next(1, &mt, &got) != S_OK || got != 1 || !mt)
                break;
            const bool match = mt->majortype == major;
            DeleteMediaType(mt);
            if (match)
                return true;
        }
    }
    AM_MEDIA_TYPE connected{};
    if (SUCCEEDED(pin->ConnectionMediaType(&connected))) {
        const bool match = connected.majortype == major;
        FreeMediaTypeContents(connected);
        return match;
    }
    return false;
}

bool pinMatches(IPin* pin, const GUID* category, const GUID* type)
{
    if (category && !hasCategory(pin, *category))
        return false;
    if (type && !offersMajorType(pin, *type))
        return false;
    return true;
}

ComPtr<IPin> firstFreeOutput(IBaseFilter* filter, const GUID* category, const GUID* type)
{
    for (const ComPtr<IPin>& pin : pinsOf(filter))
        if (directionOf(pin.Get()) == PINDIR_OUTPUT && !isConnected(pin.Get()) &&
            pinMatches(pin.Get(), category, type))
            return pin;
    return {};
}

class CCaptureGraphBuilder final : public th::com::ComObject<ICaptureGraphBuilder2>,
                                   public th::com::server::ModuleObject {
public:
    HRESULT SetFiltergraph(IGraphBuilder* graph) override
    {
        if (!graph)
            return E_POINTER;
        m_graph = graph;
        return S_OK;
    }

    HRESULT GetFiltergraph(IGraphBuilder** graph) override
    {
        if (!graph)
            return E_POINTER;
        const HRESULT hr = ensureGraph();
        if (FAILED(hr)) {
            *graph = nullptr;
            return hr;
        }
        return m_graph.CopyTo(graph);
    }

    HRESULT SetOutputFileName(const GUID* type, LPCOLESTR fileName, IBaseFilter** mux,
                              IFileSinkFilter** sink) override
    {
        if (!type || !fileName || !mux)
            return E_POINTER;
        *mux = nullptr;
        if (sink)
            *sink = nullptr;
        if (!(*type == MEDIASUBTYPE_Avi))
            return E_INVALIDARG;
        HRESULT hr = ensureGraph();
        if (FAILED(hr))
            return hr;

        ComPtr<IBaseFilter> muxFilter;
        hr = CoCreateInstance(CLSID_AviDest, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(muxFilter.ReleaseAndGetAddressOf()));
        if (FAILED(hr))
            return hr;
        ComPtr<IBaseFilter> writer;
        hr = CoCreateInstance(CLSID_FileWriter, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(writer.ReleaseAndGetAddressOf()));
        if (FAILED(hr))
            return hr;
        ComPtr<IFileSinkFilter> fileSink;
        hr = writer->QueryInterface(IID_PPV_ARGS(fileSink.ReleaseAndGetAddressOf()));
        if (FAILED(hr))
            return hr;
        hr = fileSink->SetFileName(fileName, nullptr);
        if (FAILED(hr))
            return hr;

        hr = m_graph->AddFilter(muxFilter.Get(), u"Mux");
        if (FAILED(hr))
            return hr;
        hr = m_graph->AddFilter(writer.Get(), u"File writer");
        if (FAILED(hr)) {
            m_graph->RemoveFilter(muxFilter.Get());
            return hr;
        }
        hr = connectToInput(firstFreeOutput(muxFilter.Get(), nullptr, nullptr).Get(), writer.Get());
        if (FAILED(hr)) {
            m_graph->RemoveFilter(writer.Get());
            m_graph->RemoveFilter(muxFilter.Get());
            return hr;
        }
        *mux = muxFilter.Detach();
        if (sink)
            *sink = fileSink.Detach();
        return S_OK;
    }

    HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter, REFIID riid,
                          void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!filter)
            return E_POINTER;
        if (!category) {
            if (SUCCEEDED(filter->QueryInterface(riid, ppv)))
                return S_OK;
            for (const ComPtr<IPin>& pin : pinsOf(filter))
                if (pinMatches(pin.Get(), nullptr, type) && SUCCEEDED(pin->QueryInterface(riid, ppv)))
                    return S_OK;
            return E_NOINTERFACE;
        }
        for (const ComPtr<IPin>& pin : pinsOf(filter))
            if (directionOf(pin.Get()) == PINDIR_OUTPUT && pinMatches(pin.Get(), category, type) &&
                SUCCEEDED(pin->QueryInterface(riid, ppv)))
                return S_OK;
        return E_NOINTERFACE;
    }

    HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source, IBaseFilter* intermediate,
                         IBaseFilter* sink) override
    {
        if (!source)
            return E_POINTER;
        HRESULT hr = ensureGraph();
        if (FAILED(hr))
            return hr;

        ComPtr<IPin> out;
        ComPtr<IPin> sourcePin;
        if (SUCCEEDED(source->QueryInterface(IID_PPV_ARGS(sourcePin.ReleaseAndGetAddressOf()))) && sourcePin) {
            if (directionOf(sourcePin.Get()) != PINDIR_OUTPUT || isConnected(sourcePin.Get()))
                return E_INVALIDARG;
            out = sourcePin;
        } else {
            ComPtr<IBaseFilter> sourceFilter;
            hr = source->QueryInterface(IID_PPV_ARGS(sourceFilter.ReleaseAndGetAddressOf()));
            if (FAILED(hr))
                return E_NOINTERFACE;
            out = firstFreeOutput(sourceFilter.Get(), category, type);
        }
        if (!out)
            return E_FAIL;

        if (intermediate) {
            hr = connectToInput(out.Get(), intermediate);
            if (FAILED(hr))
                return hr;
            // The type chose the source's pin; an intermediate may turn the stream
            // into another type, so any free output serves when none offers it.
            out = firstFreeOutput(intermediate, nullptr, type);
            if (!out)
                out = firstFreeOutput(intermediate, nullptr, nullptr);
            if (!out)
                return sink ? E_FAIL : VFW_E_CANNOT_RENDER;
        }
        if (sink)
            return connectToInput(out.Get(), sink);
        return renderToDefault(out.Get(), type);
    }

private:
    HRESULT ensureGraph()
    {
        if (m_graph)
            return S_OK;
        return CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(m_graph.ReleaseAndGetAddressOf()));
    }

    // Joins the pin to the first unconnected input of the filter that takes it.
    HRESULT connectToInput(IPin* out, IBaseFilter* filter)
    {
        if (!out)
            return E_FAIL;
        HRESULT result = VFW_E_CANNOT_CONNECT;
        bool tried = false;
        for (const ComPtr<IPin>& pin : pinsOf(filter)) {
            if (directionOf(pin.Get()) != PINDIR_INPUT || isConnected(pin.Get()))
                continue;
            const HRESULT hr = m_graph->Connect(out, pin.Get());
            if (SUCCEEDED(hr))
                return hr;
            if (!tried)
                result = hr;
            tried = true;
        }
        return result;
    }

    // The default renderer of the stream's type: the Video Renderer for video.
    HRESULT renderToDefault(IPin* out, const GUID* type)
    {
        bool video = type && *type == MEDIATYPE_Video;
        if (!type) {
            ComPtr<IEnumMediaTypes> types;
            AM_MEDIA_TYPE* first = nullptr;
            ULONG got = 0;
            if (SUCCEEDED(out->EnumMediaTypes(types.ReleaseAndGetAddressOf())) && types &&
                types->Next(1, &first, &got) == S_OK && first) {
                video = first->majortype == MEDIATYPE_Video;
                DeleteMediaType(first);
            }
        }
        if (!video)
            return VFW_E_CANNOT_RENDER;
        ComPtr<IBaseFilter> renderer;
        HRESULT hr = CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_PPV_ARGS(renderer.ReleaseAndGetAddressOf()));
        if (FAILED(hr))
            return hr;
        hr = m_graph->AddFilter(renderer.Get(), u"Video Renderer");
        if (FAILED(hr))
            return hr;
        hr = connectToInput(out, renderer.Get());
        if (FAILED(hr))
            m_graph->RemoveFilter(renderer.Get());
        return hr;
    }

    ComPtr<IGraphBuilder> m_graph;
};

} // namespace

HRESULT createCaptureGraphBuilder(REFIID riid, void** ppv)
{
    return th::com::CreateAs<CCaptureGraphBuilder>(riid, ppv);
}

} // namespace th::dshow

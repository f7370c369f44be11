// Filter registration: the mapper's registry layouts (both mappers), the
// FilterData value, the device enumerator and its provider API, and a plugin
// module registered through the mapper, created by class identifier and unloaded.
#include "TestFilters.h"

#include "platform/dshow/FilterMapper.h"
#include "platform/dshow/Registration.h"
#include "platform/registry/Registry.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <dlfcn.h>

using namespace dstest;

namespace {

const CLSID kTestCategory = MakeGuid("6D1C0A01-7E61-4A39-9C9A-1B1C1D1E1F20");
const CLSID kPluginClsid = MakeGuid("6D1C0A01-7E61-4A39-9C9A-1B1C1D1E1F10");

const REGPINTYPES kVideoAny[] = {{&MEDIATYPE_Video, &GUID_NULL}};
const REGPINTYPES kPcm[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM}};
const REGFILTERPINS kTwoPins[] = {
    {u"Input", FALSE, FALSE, FALSE, FALSE, nullptr, u"Output", 1, kVideoAny},
    {u"Input", FALSE, FALSE, FALSE, FALSE, nullptr, u"Output", 1, kPcm},
};

bool KeyExists(const std::string& path)
{
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    RegCloseKey(k);
    return true;
}

th::registry::Value ReadValue(const std::string& path, const char* name)
{
    th::registry::Value v;
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS) {
        th::registry::ReadValue(k, name, &v);
        RegCloseKey(k);
    }
    return v;
}

std::string Text(const th::registry::Value& v)
{
    std::string s(v.data.begin(), v.data.end());
    while (!s.empty() && s.back() == '\0')
        s.pop_back();
    return s;
}

std::vector<std::u16string> FriendlyNames(const CLSID& category, std::vector<ComPtr<IMoniker>>* monikers = nullptr)
{
    ComPtr<ICreateDevEnum> devEnum;
    EXPECT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(devEnum.ReleaseAndGetAddressOf())),
              S_OK);
    ComPtr<IEnumMoniker> e;
    std::vector<std::u16string> names;
    if (devEnum->CreateClassEnumerator(category, e.ReleaseAndGetAddressOf(), 0) != S_OK || !e)
        return names;
    e->Reset();
    for (;;) {
        ComPtr<IMoniker> m;
        ULONG got = 0;
        if (e->Next(1, m.ReleaseAndGetAddressOf(), &got) != S_OK || got != 1)
            break;
        ComPtr<IPropertyBag> bag;
        EXPECT_EQ(m->BindToStorage(nullptr, nullptr, IID_PPV_ARGS(bag.ReleaseAndGetAddressOf())), S_OK);
        VARIANT v;
        VariantInit(&v);
        EXPECT_EQ(bag->Read(u"FriendlyName", &v, nullptr), S_OK);
        EXPECT_EQ(v.vt, VT_BSTR);
        names.emplace_back(v.bstrVal, SysStringLen(v.bstrVal));
        VariantClear(&v);
        if (monikers)
            monikers->push_back(m);
    }
    return names;
}

} // namespace

TEST(DShowFilterData, RoundTripsAndRefusesDamagedValues)
{
    const REGFILTER2 data{1, MERIT_DO_NOT_USE, 2, kTwoPins};
    const std::vector<BYTE> bytes = th::dshow::EncodeFilterData(data);
    const auto decoded = th::dshow::DecodeFilterData(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->merit, MERIT_DO_NOT_USE);
    ASSERT_EQ(decoded->pins.size(), 2u);
    EXPECT_EQ(decoded->pins[0].name, u"Input");
    EXPECT_EQ(decoded->pins[0].connectsToPin, u"Output");
    EXPECT_FALSE(decoded->pins[0].output);
    ASSERT_EQ(decoded->pins[1].types.size(), 1u);
    EXPECT_EQ(decoded->pins[1].types[0].first, MEDIATYPE_Audio);
    EXPECT_EQ(decoded->pins[1].types[0].second, MEDIASUBTYPE_PCM);

    // Every shortened value, and one with bytes after its end, is refused.
    for (std::size_t n = 0; n < bytes.size(); ++n)
        EXPECT_FALSE(th::dshow::DecodeFilterData({bytes.begin(), bytes.begin() + static_cast<long>(n)})) << n;
    std::vector<BYTE> longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(th::dshow::DecodeFilterData(longer));
    // A pin count far beyond the value's size is refused before anything is reserved.
    std::vector<BYTE> huge = bytes;
    huge[8] = huge[9] = huge[10] = huge[11] = 0xFF;
    EXPECT_FALSE(th::dshow::DecodeFilterData(huge));
    std::vector<BYTE> version = bytes;
    version[0] = 2;
    EXPECT_FALSE(th::dshow::DecodeFilterData(version));
}

TEST(DShowMapper, NewMapperWritesTheCategoryInstanceAndRemovesIt)
{
    ComPtr<IFilterMapper2> mapper;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(mapper.ReleaseAndGetAddressOf())),
              S_OK);
    const REGFILTER2 data{1, MERIT_DO_NOT_USE, 2, kTwoPins};
    const std::string key = "CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\" + GuidToText(kPluginClsid);
    EXPECT_EQ(mapper->UnregisterFilter(&CLSID_LegacyAmFilterCategory, nullptr, kPluginClsid),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    ComPtr<IMoniker> moniker;
    ASSERT_EQ(mapper->RegisterFilter(kPluginClsid, u"Tolmar THMux", moniker.ReleaseAndGetAddressOf(),
                                     &CLSID_LegacyAmFilterCategory, nullptr, &data),
              S_OK);
    EXPECT_TRUE(moniker);
    EXPECT_EQ(Text(ReadValue(key, "FriendlyName")), "Tolmar THMux");
    EXPECT_EQ(Text(ReadValue(key, "CLSID")), GuidToText(kPluginClsid));
    const th::registry::Value fd = ReadValue(key, "FilterData");
    EXPECT_EQ(fd.type, REG_BINARY);
    const auto decoded = th::dshow::DecodeFilterData(fd.data);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->pins.size(), 2u);

    const REGFILTER2 version2{2, 0, 0, nullptr};
    EXPECT_EQ(mapper->RegisterFilter(kPluginClsid, u"x", nullptr, &kTestCategory, nullptr, &version2), E_INVALIDARG);
    EXPECT_EQ(mapper->RegisterFilter(kPluginClsid, u"x", nullptr, &kTestCategory, u"a\\b", &data), E_INVALIDARG);

    ASSERT_EQ(mapper->UnregisterFilter(&CLSID_LegacyAmFilterCategory, nullptr, kPluginClsid), S_OK);
    EXPECT_FALSE(KeyExists(key));
}

TEST(DShowMapper, OldMapperWritesFilterMeritAndPins)
{
    ComPtr<IFilterMapper> mapper;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(mapper.ReleaseAndGetAddressOf())),
              S_OK);
    const std::string cls = "CLSID\\" + GuidToText(kPluginClsid);
    ASSERT_EQ(mapper->RegisterFilter(kPluginClsid, u"Tolmar THMux", MERIT_DO_NOT_USE), S_OK);
    EXPECT_EQ(mapper->RegisterPinType(kPluginClsid, u"Input", MEDIATYPE_Video, GUID_NULL), VFW_E_NOT_FOUND);
    ASSERT_EQ(mapper->RegisterPin(kPluginClsid, u"Input", FALSE, FALSE, FALSE, TRUE, GUID_NULL, u"Output"), S_OK);
    ASSERT_EQ(mapper->RegisterPinType(kPluginClsid, u"Input", MEDIATYPE_Audio, MEDIASUBTYPE_PCM), S_OK);
    EXPECT_EQ(mapper->RegisterPin(kPluginClsid, u"a\\b", FALSE, FALSE, FALSE, FALSE, GUID_NULL, u""), E_INVALIDARG);

    EXPECT_EQ(Text(ReadValue("Filter\\" + GuidToText(kPluginClsid), "")), "Tolmar THMux");
    const th::registry::Value merit = ReadValue(cls, "Merit");
    ASSERT_EQ(merit.type, REG_DWORD);
    EXPECT_EQ(merit.data[2], 0x20);
    const std::string pin = cls + "\\Pins\\Input";
    EXPECT_EQ(ReadValue(pin, "AllowedMany").data.at(0), 1);
    EXPECT_EQ(ReadValue(pin, "Direction").data.at(0), PINDIR_INPUT);
    EXPECT_EQ(Text(ReadValue(pin, "ConnectsToPin")), "Output");
    EXPECT_TRUE(KeyExists(pin + "\\Types\\" + GuidToText(MEDIATYPE_Audio) + "\\" + GuidToText(MEDIASUBTYPE_PCM)));

    ASSERT_EQ(mapper->UnregisterFilter(kPluginClsid), S_OK);
    EXPECT_FALSE(KeyExists("Filter\\" + GuidToText(kPluginClsid)));
    EXPECT_FALSE(KeyExists(cls + "\\Pins"));
    EXPECT_EQ(mapper->UnregisterFilter(kPluginClsid), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST(DShowDeviceEnum, ProvidedDevicesAndRegisteredFiltersAreListed)
{
    // An empty category: S_FALSE and no enumerator.
    ComPtr<ICreateDevEnum> devEnum;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(devEnum.ReleaseAndGetAddressOf())),
              S_OK);
    ComPtr<IEnumMoniker> e;
    EXPECT_EQ(devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, e.ReleaseAndGetAddressOf(), 0), S_FALSE);
    EXPECT_FALSE(e);

    // A device added by platform code, as the DV layer adds its camcorder.
    int made = 0;
    const std::uint64_t dv = th::dshow::AddDevice(CLSID_VideoInputDeviceCategory, u"Microsoft DV Camera and VCR",
                                                  [&](REFIID riid, void** ppv) {
                                                      ++made;
                                                      ComPtr<IBaseFilter> f = TestSource::Make();
                                                      return f->QueryInterface(riid, ppv);
                                                  });
    const std::uint64_t other = th::dshow::AddDevice(CLSID_VideoInputDeviceCategory, u"Webcam", nullptr);
    std::vector<ComPtr<IMoniker>> monikers;
    EXPECT_EQ(FriendlyNames(CLSID_VideoInputDeviceCategory, &monikers),
              (std::vector<std::u16string>{u"Microsoft DV Camera and VCR", u"Webcam"}));
    ComPtr<IBaseFilter> a, b;
    ASSERT_EQ(monikers[0]->BindToObject(nullptr, nullptr, IID_PPV_ARGS(a.ReleaseAndGetAddressOf())), S_OK);
    ASSERT_EQ(monikers[0]->BindToObject(nullptr, nullptr, IID_PPV_ARGS(b.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_NE(a.Get(), b.Get()); // a new filter at every bind
    EXPECT_EQ(made, 2);
    ComPtr<IPropertyBag> bag;
    monikers[0]->BindToStorage(nullptr, nullptr, IID_PPV_ARGS(bag.ReleaseAndGetAddressOf()));
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(bag->Read(u"friendlyname", &v, nullptr), S_OK); // names regardless of case, as the registry has them
    VariantClear(&v);
    EXPECT_EQ(bag->Read(u"DevicePath", &v, nullptr), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    ComPtr<IUnknown> none;
    EXPECT_TRUE(FAILED(monikers[1]->BindToObject(nullptr, nullptr, IID_IUnknown, none.ReleaseAndGetVoidAddressOf())));

    // Removed: no longer listed, but a moniker handed out before still binds.
    EXPECT_TRUE(th::dshow::RemoveDevice(dv));
    EXPECT_FALSE(th::dshow::RemoveDevice(dv));
    EXPECT_EQ(FriendlyNames(CLSID_VideoInputDeviceCategory), (std::vector<std::u16string>{u"Webcam"}));
    EXPECT_EQ(monikers[0]->BindToObject(nullptr, nullptr, IID_PPV_ARGS(a.ReleaseAndGetAddressOf())), S_OK);
    th::dshow::RemoveDevice(other);

    // Filters registered in the category follow the devices; binding creates by class.
    ComPtr<IFilterMapper2> mapper;
    CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(mapper.ReleaseAndGetAddressOf()));
    const REGFILTER2 data{1, MERIT_NORMAL, 0, nullptr};
    ASSERT_EQ(mapper->RegisterFilter(CLSID_NullRenderer, u"Registered Null", nullptr, &kTestCategory, nullptr, &data),
              S_OK);
    const std::uint64_t first = th::dshow::AddDevice(kTestCategory, u"Provided", nullptr);
    monikers.clear();
    EXPECT_EQ(FriendlyNames(kTestCategory, &monikers), (std::vector<std::u16string>{u"Provided", u"Registered Null"}));
    ComPtr<IBaseFilter> null;
    ASSERT_EQ(monikers[1]->BindToObject(nullptr, nullptr, IID_PPV_ARGS(null.ReleaseAndGetAddressOf())), S_OK);
    CLSID clsid{};
    null.As<IPersist>()->GetClassID(&clsid);
    EXPECT_EQ(clsid, CLSID_NullRenderer);
    monikers[1]->BindToStorage(nullptr, nullptr, IID_PPV_ARGS(bag.ReleaseAndGetAddressOf()));
    VariantInit(&v);
    ASSERT_EQ(bag->Read(u"CLSID", &v, nullptr), S_OK);
    EXPECT_EQ(th::com::Utf16ToUtf8(v.bstrVal), GuidToText(CLSID_NullRenderer));
    VariantClear(&v);
    th::dshow::RemoveDevice(first);
    mapper->UnregisterFilter(&kTestCategory, nullptr, CLSID_NullRenderer);
}

namespace {

struct Plugin {
    std::string path = [] {
        char full[PATH_MAX];
        const std::string p = std::string(TH_BINARY_DIR) + "/tests/dshowtestplugin.ax";
        return realpath(p.c_str(), full) ? std::string(full) : p;
    }();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ~Plugin()
    {
        if (handle)
            dlclose(handle);
    }
    HRESULT call(const char* name) const
    {
        auto fn = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
        return fn ? fn() : E_FAIL;
    }
};

} // namespace

TEST(DShowPlugin, RegisteredThroughTheMapperCreatedByClassAndUnloaded)
{
    const std::string classKey = "CLSID\\" + GuidToText(kPluginClsid);
    std::string modulePath;
    {
        Plugin module;
        ASSERT_NE(module.handle, nullptr) << dlerror();
        modulePath = module.path;
        ASSERT_EQ(module.call("DllRegisterServer"), S_OK) << th::dshow::LastRegistrationError();
    }
    EXPECT_EQ(Text(ReadValue(classKey, "")), "Test Plugin Renderer");
    EXPECT_EQ(Text(ReadValue(classKey + "\\InprocServer32", "")), modulePath);
    EXPECT_EQ(Text(ReadValue(classKey + "\\InprocServer32", "ThreadingModel")), "Both");
    EXPECT_EQ(FriendlyNames(CLSID_LegacyAmFilterCategory), std::vector<std::u16string>{u"Test Plugin Renderer"});

    const int loadedBefore = th::com::LoadedModuleCount();
    {
        ComPtr<IBaseFilter> renderer = MakeFilter(kPluginClsid);
        ASSERT_TRUE(renderer) << th::com::LastActivationError();
        EXPECT_EQ(th::com::LoadedModuleCount(), loadedBefore + 1);

        // It works in a graph: a stream into it ends in EC_COMPLETE.
        ComPtr<IGraphBuilder> graph = MakeGraph();
        SourceOptions five;
        five.samples = 5;
        TestSource* src = nullptr;
        ComPtr<IBaseFilter> source = TestSource::Make(five, &src);
        graph->AddFilter(source.Get(), u"Device Filter");
        graph->AddFilter(renderer.Get(), u"Plugin");
        ASSERT_EQ(graph->Connect(src->OutputPin(), PinByName(renderer.Get(), u"Input").Get()), S_OK);
        ASSERT_EQ(graph.As<IMediaControl>()->Run(), S_OK);
        LONG code = 0;
        LONG_PTR p1, p2;
        ASSERT_EQ(graph.As<IMediaEventEx>()->GetEvent(&code, &p1, &p2, 10000), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        graph.As<IMediaControl>()->Stop();

        // A living filter keeps its module loaded.
        CoFreeUnusedLibraries();
        EXPECT_EQ(th::com::LoadedModuleCount(), loadedBefore + 1);
    }
    CoFreeUnusedLibraries();
    EXPECT_EQ(th::com::LoadedModuleCount(), loadedBefore);

    // Its own registration through IAMovieSetup, then removal.
    {
        ComPtr<IBaseFilter> renderer = MakeFilter(kPluginClsid);
        ASSERT_TRUE(renderer);
        ComPtr<IAMovieSetup> setup = renderer.As<IAMovieSetup>();
        ASSERT_TRUE(setup);
        EXPECT_EQ(setup->Register(), S_OK);
    }
    CoFreeUnusedLibraries();
    {
        Plugin module;
        ASSERT_EQ(module.call("DllUnregisterServer"), S_OK);
    }
    EXPECT_FALSE(KeyExists(classKey));
    EXPECT_TRUE(FriendlyNames(CLSID_LegacyAmFilterCategory).empty());
    ComPtr<IBaseFilter> gone;
    EXPECT_EQ(CoCreateInstance(kPluginClsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(gone.ReleaseAndGetAddressOf())),
              REGDB_E_CLASSNOTREG);
}

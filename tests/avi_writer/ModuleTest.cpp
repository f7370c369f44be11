// thmux.ax as a module: its entry points, its class factory and unloading,
// and its registration (through regsvr, the filter mapper and the registry).
#include "platform/dshow/TlmFileSink.h"

#include "platform/dshow/ExtInterfaces.h"
#ifdef THMUX_TEST_REGSVR
#include "platform/dshow/FilterMapper.h"
#endif
#include "platform/dshow/Interfaces.h"
#include "platform/registry/Registry.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <dlfcn.h>

namespace {

std::string ModulePath()
{
    char full[PATH_MAX];
    const std::string p = th::test::binDir() + "/thmux.ax";
    return realpath(p.c_str(), full) ? std::string(full) : p;
}

struct Module {
    void* handle = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ~Module()
    {
        if (handle)
            dlclose(handle);
    }
    template <class Fn>
    Fn entry(const char* name) const
    {
        return reinterpret_cast<Fn>(dlsym(handle, name));
    }
};

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using NoArgFn = HRESULT (*)();

std::string ReadDefault(const std::string& key, const char* value = nullptr)
{
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return "<no key>";
    th::registry::Value v;
    const LONG rc = th::registry::ReadValue(k, value, &v);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS)
        return "<no value>";
    std::string s(v.data.begin(), v.data.end());
    while (!s.empty() && s.back() == '\0')
        s.pop_back();
    return s;
}

const std::string kClassKey = "CLSID\\{28DF5CFD-237B-4BC2-BD77-25D156752042}";

} // namespace

TEST(ThmuxModule, ExportsClassFactoryAndUnloading)
{
    Module m;
    ASSERT_TRUE(m.handle) << dlerror();
    auto getClassObject = m.entry<GetClassObjectFn>("DllGetClassObject");
    auto canUnload = m.entry<NoArgFn>("DllCanUnloadNow");
    ASSERT_TRUE(getClassObject && canUnload);
    EXPECT_TRUE(m.entry<NoArgFn>("DllRegisterServer"));
    EXPECT_TRUE(m.entry<NoArgFn>("DllUnregisterServer"));
    // Nothing else leaves the module.
    EXPECT_EQ(dlsym(m.handle, "_ZN13TTlmAVIWriter14CreateInstanceEP8IUnknownPi"), nullptr);

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(IID_IUnknown, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(canUnload(), S_OK);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(CLSID_TlmAVIWriter, IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf()), S_OK);
    EXPECT_EQ(canUnload(), S_FALSE);
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, filter.ReleaseAndGetVoidAddressOf()), S_OK);
    ComPtr<IUnknown> none;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IMemInputPin, none.ReleaseAndGetVoidAddressOf()), E_NOINTERFACE);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_FALSE); // the filter lives
    FILTER_INFO info{};
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(filter->EnumPins(pins.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<IPin> pin;
    ULONG got = 0;
    EXPECT_EQ(pins->Next(1, pin.ReleaseAndGetAddressOf(), &got), S_OK);
    EXPECT_EQ(pins->Next(1, pin.ReleaseAndGetAddressOf(), &got), S_FALSE); // one pin before a video type
    pins.Reset();
    pin.Reset();
    filter.Reset();
    EXPECT_EQ(canUnload(), S_OK);
}

TEST(ThmuxModule, RegisterWithoutAFilterMapperFails)
{
    // A host without a filter mapper: the module brings the platform's graph
    // library with it, so take the mapper classes out of the built-in table.
    // Registration must fail and leave nothing behind.
    Module m;
    ASSERT_TRUE(m.handle) << dlerror();
    th::com::UnregisterBuiltinClass(CLSID_FilterMapper2);
    th::com::UnregisterBuiltinClass(CLSID_FilterMapper);
    EXPECT_EQ(m.entry<NoArgFn>("DllRegisterServer")(), E_FAIL);
    EXPECT_EQ(ReadDefault(kClassKey), "<no key>");
    EXPECT_EQ(m.entry<NoArgFn>("DllUnregisterServer")(), E_FAIL);
}

TEST(ThmuxModule, RegsvrRegistersAndRemovesTheFilter)
{
#ifndef THMUX_TEST_REGSVR
    GTEST_SKIP() << "regsvr or the filter mapper is not part of this build";
#endif
    const std::string regsvr = th::test::binDir() + "/regsvr";
    std::string out;
    ASSERT_EQ(th::test::runProgram(regsvr, {"/s", ModulePath()}, &out), 0) << out;
    EXPECT_EQ(ReadDefault(kClassKey), "Tolmar THMux");
    EXPECT_EQ(ReadDefault(kClassKey + "\\InprocServer32"), ModulePath());
    EXPECT_EQ(ReadDefault(kClassKey + "\\InprocServer32", "ThreadingModel"), "Both");
    // The filter is listed among the DirectShow filters with its merit and pins.
    {
        HKEY k = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT,
                                "CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\"
                                "{28DF5CFD-237B-4BC2-BD77-25D156752042}",
                                0, KEY_READ, &k),
                  ERROR_SUCCESS);
        th::registry::Value v;
        EXPECT_EQ(th::registry::ReadValue(k, "FilterData", &v), ERROR_SUCCESS);
        RegCloseKey(k);
        const auto data = th::dshow::DecodeFilterData(v.data);
        ASSERT_TRUE(data);
        EXPECT_EQ(data->merit, 0x00200000u);
        ASSERT_EQ(data->pins.size(), 2u);
        ASSERT_EQ(data->pins[0].types.size(), 1u);
        EXPECT_EQ(data->pins[0].types[0], std::make_pair(MEDIATYPE_Video, GUID_NULL));
        ASSERT_EQ(data->pins[1].types.size(), 1u);
        EXPECT_EQ(data->pins[1].types[0].second, MEDIASUBTYPE_PCM);
        EXPECT_EQ(data->pins[1].connectsToPin, u"Output");
    }

    // Now CoCreateInstance finds it, as the capture engine does.
    {
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(CoCreateInstance(CLSID_TlmAVIWriter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   filter.ReleaseAndGetVoidAddressOf()),
                  S_OK)
            << th::com::LastActivationError();
        EXPECT_TRUE(filter.As<ITlmFileSinkFilter>());
    }
    CoFreeUnusedLibraries();
    EXPECT_EQ(th::com::LoadedModuleCount(), 0);

    // Registering twice is fine; removing takes the keys away.
    ASSERT_EQ(th::test::runProgram(regsvr, {"/s", ModulePath()}, &out), 0) << out;
    ASSERT_EQ(th::test::runProgram(regsvr, {"/u", "/s", ModulePath()}, &out), 0) << out;
    EXPECT_EQ(ReadDefault(kClassKey), "<no key>");
    ComPtr<IBaseFilter> filter;
    EXPECT_EQ(CoCreateInstance(CLSID_TlmAVIWriter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               filter.ReleaseAndGetVoidAddressOf()),
              REGDB_E_CLASSNOTREG);
}

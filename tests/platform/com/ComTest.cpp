#include "TestPlugin.h"

#include "platform/com/Com.h"
#include "platform/registry/Registry.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

namespace {

// --- GUIDs ---------------------------------------------------------------------

TEST(Guid, ParsesAndFormatsTheBracedForm)
{
    GUID g{};
    ASSERT_TRUE(GuidFromText("{28DF5CFD-237B-4BC2-BD77-25D156752042}", &g));
    EXPECT_EQ(g.Data1, 0x28DF5CFDu);
    EXPECT_EQ(g.Data2, 0x237Bu);
    EXPECT_EQ(g.Data3, 0x4BC2u);
    EXPECT_EQ(g.Data4[0], 0xBD);
    EXPECT_EQ(g.Data4[7], 0x42);
    EXPECT_EQ(GuidToText(g), "{28DF5CFD-237B-4BC2-BD77-25D156752042}");

    GUID lower{};
    ASSERT_TRUE(GuidFromText("28df5cfd-237b-4bc2-bd77-25d156752042", &lower));
    EXPECT_EQ(lower, g);
    static_assert(MakeGuid("{00000000-0000-0000-C000-000000000046}") == IID_IUnknown);
}

TEST(Guid, RejectsMalformedTextAndLeavesTheResultAlone)
{
    const GUID before = IID_IClassFactory;
    for (const char* bad : {"", "{}", "28DF5CFD-237B-4BC2-BD77-25D15675204",
                            "{28DF5CFD-237B-4BC2-BD77-25D156752042", "28DF5CFD-237B-4BC2-BD77-25D1567520423",
                            "{28DF5CFD+237B-4BC2-BD77-25D156752042}", "{28DF5CFD-237B-4BC2-BD77-25D15675204G}"}) {
        GUID g = before;
        EXPECT_FALSE(GuidFromText(bad, &g)) << bad;
        EXPECT_EQ(g, before) << bad;
    }
}

TEST(Guid, ComparesEveryByte)
{
    GUID a = CLSID_TestCounter;
    for (int i = 0; i < 16; ++i) {
        GUID b = a;
        reinterpret_cast<unsigned char*>(&b)[i] ^= 0x01;
        EXPECT_FALSE(a == b) << "byte " << i;
    }
}

// --- Objects and references ---------------------------------------------------------

struct ITestA : IUnknown {
    virtual int A() = 0;

protected:
    ~ITestA() = default;
};
struct ITestB : IUnknown {
    virtual int B() = 0;

protected:
    ~ITestB() = default;
};
struct ITestNever : IUnknown {};

} // namespace
TH_DECLARE_IID(ITestA, "11111111-2222-3333-4444-555555555555");
TH_DECLARE_IID(ITestB, "11111111-2222-3333-4444-666666666666");
TH_DECLARE_IID(ITestNever, "11111111-2222-3333-4444-777777777777");
namespace {

int g_alive = 0;

class Both final : public th::com::ComObject<ITestA, ITestB> {
public:
    Both() { ++g_alive; }
    ~Both() override { --g_alive; }
    int A() override { return 1; }
    int B() override { return 2; }
};

TEST(ComObject, AnswersEachInterfaceAndOneIdentity)
{
    ComPtr<ITestA> a;
    a.Attach(th::com::MakeCom<Both>().Detach());
    ComPtr<ITestB> b = a.As<ITestB>();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->B(), 2);

    ComPtr<IUnknown> u1 = a.As<IUnknown>();
    ComPtr<IUnknown> u2 = b.As<IUnknown>();
    EXPECT_EQ(u1.Get(), u2.Get()); // IUnknown is the object's identity

    ITestNever* never = reinterpret_cast<ITestNever*>(0x1);
    EXPECT_EQ(a->QueryInterface(IID_ITestNever, reinterpret_cast<void**>(&never)), E_NOINTERFACE);
    EXPECT_EQ(never, nullptr);
    EXPECT_EQ(a->QueryInterface(IID_ITestA, nullptr), E_POINTER);
}

TEST(ComPtr, CountsEveryCopyAndFreesWithTheLast)
{
    g_alive = 0;
    {
        ComPtr<ITestA> a;
        a.Attach(th::com::MakeCom<Both>().Detach());
        EXPECT_EQ(g_alive, 1);
        ComPtr<ITestA> copy = a;
        ComPtr<ITestA> moved = std::move(copy);
        EXPECT_FALSE(copy);
        a.Reset();
        EXPECT_EQ(g_alive, 1);
        ITestA* raw = nullptr;
        ASSERT_EQ(moved.CopyTo(&raw), S_OK);
        moved = nullptr;
        EXPECT_EQ(g_alive, 1); // raw still holds a reference
        EXPECT_EQ(raw->Release(), 0u);
        EXPECT_EQ(g_alive, 0);
    }
    EXPECT_EQ(g_alive, 0);
}

// --- The built-in table ------------------------------------------------------------------

constexpr CLSID CLSID_BuiltinBoth = MakeGuid("{A0A0A0A0-0000-4000-8000-000000000001}");

HRESULT createNothing(REFIID, void**)
{
    return E_FAIL;
}

TEST(CoCreateInstance, CreatesBuiltinClassesAndRefusesAggregationAndASecondClassUnderOneId)
{
    ASSERT_TRUE(th::com::RegisterBuiltinClass(CLSID_BuiltinBoth, &th::com::CreateAs<Both>));
    // A second class under the same id is refused; the first keeps its place.
    EXPECT_FALSE(th::com::RegisterBuiltinClass(CLSID_BuiltinBoth, &createNothing));
    const th::com::BuiltinClass table[] = {{CLSID_BuiltinBoth, &createNothing}};
    EXPECT_FALSE(th::com::RegisterBuiltinClasses(table));
    ComPtr<ITestB> b;
    ASSERT_EQ(CoCreateInstance(CLSID_BuiltinBoth, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&b)), S_OK);
    EXPECT_EQ(b->B(), 2);

    ComPtr<ITestA> agg;
    EXPECT_EQ(CoCreateInstance(CLSID_BuiltinBoth, b.Get(), CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&agg)),
              CLASS_E_NOAGGREGATION);
    EXPECT_FALSE(agg);
    ComPtr<ITestNever> never;
    EXPECT_EQ(CoCreateInstance(CLSID_BuiltinBoth, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&never)),
              E_NOINTERFACE);
}

TEST(CoCreateInstance, AnUnknownClassIsNotRegistered)
{
    ComPtr<IUnknown> u;
    EXPECT_EQ(CoCreateInstance(MakeGuid("{DEADBEEF-0000-4000-8000-000000000000}"), nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(&u)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(static_cast<unsigned>(REGDB_E_CLASSNOTREG), 0x80040154u);
}

// --- Plugin modules -------------------------------------------------------------------------

std::string pluginPath()
{
    return std::string(TH_BINARY_DIR) + "/tests/th_testplugin.ax";
}

int regsvr(const std::vector<std::string>& args, std::string* out = nullptr)
{
    return th::test::runProgram(th::test::binDir() + "/regsvr", args, out);
}

TEST(PluginModule, RegisteredWithRegsvrThenCreatedByClassId)
{
    std::string out;
    ASSERT_EQ(regsvr({pluginPath()}, &out), 0) << out;
    EXPECT_NE(out.find("succeeded"), std::string::npos) << out;

    ComPtr<ITestCounter> counter;
    ASSERT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&counter)), S_OK)
        << th::com::LastActivationError();
    EXPECT_EQ(counter->Next(), 1);
    EXPECT_EQ(counter->Next(), 2);
    EXPECT_EQ(counter->ModuleObjects(), 1);
    EXPECT_EQ(th::com::LoadedModuleCount(), 1);

    // A class the registry names but the module does not serve.
    ComPtr<IUnknown> missing;
    EXPECT_EQ(CoCreateInstance(CLSID_TestMissing, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&missing)),
              CLASS_E_CLASSNOTAVAILABLE);

    // Unloading waits for the last object.
    CoFreeUnusedLibraries();
    EXPECT_EQ(th::com::LoadedModuleCount(), 1);
    EXPECT_EQ(counter->Next(), 3);
    counter.Reset();
    CoFreeUnusedLibraries();
    EXPECT_EQ(th::com::LoadedModuleCount(), 0);

    // And the module loads again for the next object.
    ASSERT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&counter)), S_OK);
    EXPECT_EQ(counter->Next(), 1);
    counter.Reset();
    CoFreeUnusedLibraries();

    ASSERT_EQ(regsvr({"/u", pluginPath()}, &out), 0) << out;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&counter)),
              REGDB_E_CLASSNOTREG);
}

TEST(PluginModule, LockServerKeepsTheModuleLoaded)
{
    ASSERT_EQ(regsvr({"/s", pluginPath()}), 0);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_EQ(th::com::LoadedModuleCount(), 1);

    ASSERT_EQ(CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_EQ(th::com::LoadedModuleCount(), 0);
}

TEST(PluginModule, AModuleThatCannotLoadIsReportedWithItsPath)
{
    const std::string key = "CLSID\\" + GuidToText(CLSID_TestCounter) + "\\InprocServer32";
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    const std::string bogus = "/nonexistent/thing.ax";
    ASSERT_EQ(RegSetValueExA(h, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(bogus.c_str()),
                             static_cast<DWORD>(bogus.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(h);

    ComPtr<IUnknown> u;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&u)), CO_E_DLLNOTFOUND);
    EXPECT_NE(th::com::LastActivationError().find(bogus), std::string::npos) << th::com::LastActivationError();
}

TEST(Regsvr, FailsWithoutAModuleOrWithAMissingOne)
{
    std::string out;
    EXPECT_EQ(regsvr({}, &out), 2);
    EXPECT_NE(out.find("usage"), std::string::npos);
    EXPECT_NE(regsvr({"/nonexistent/thing.ax"}, &out), 0);
    EXPECT_NE(regsvr({TH_BINARY_DIR "/bin/regsvr"}, &out), 0); // not a module
}

// --- Strings ---------------------------------------------------------------------------------

TEST(Utf16, RoundTripsOutsideTheBasicPlane)
{
    const std::string text = "Caf\xC3\xA9 \xF0\x9F\x8E\xA5 \xE2\x82\xAC";
    const std::u16string wide = th::com::Utf8ToUtf16(text);
    EXPECT_EQ(wide.size(), 9u); // the camera is a surrogate pair
    EXPECT_EQ(th::com::Utf16ToUtf8(wide), text);

    WCHAR* copy = th::com::CoTaskStrDup(wide);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::u16string(copy), wide);
    CoTaskMemFree(copy);

    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(th::com::Utf16ToUtf8(lone), "a\xEF\xBF\xBD" "b");
}

} // namespace

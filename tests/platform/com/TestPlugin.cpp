// A plugin module with one class, registered and created the way thmux is.
#include "TestPlugin.h"

#include "platform/com/ComServer.h"
#include "platform/registry/Registry.h"

namespace {

class TestCounter final : public th::com::ComObject<ITestCounter>, public th::com::server::ModuleObject {
public:
    int Next() override { return ++n_; }
    long ModuleObjects() override { return th::com::server::ObjectCount(); }

private:
    int n_ = 0;
};

HRESULT CreateTestCounter(IUnknown* outer, REFIID riid, void** ppv)
{
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return th::com::CreateAs<TestCounter>(riid, ppv);
}

const th::com::server::ClassEntry kClasses[] = {
    {CLSID_TestCounter, &CreateTestCounter, "Test Counter"},
};

LONG registerClass(const CLSID& clsid, const std::string& path)
{
    const std::string keyName = "CLSID\\" + GuidToText(clsid) + "\\InprocServer32";
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                        static_cast<DWORD>(path.size() + 1));
    RegCloseKey(key);
    return rc;
}

LONG unregisterClass(const CLSID& clsid)
{
    return RegDeleteTreeA(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidToText(clsid)).c_str());
}

} // namespace

TH_COM_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return th::com::server::GetClassObject(kClasses, clsid, riid, ppv);
}

TH_COM_MODULE_EXPORT HRESULT DllCanUnloadNow()
{
    return th::com::server::CanUnloadNow();
}

TH_COM_MODULE_EXPORT HRESULT DllRegisterServer()
{
    const std::string path = th::com::server::ModulePath();
    if (registerClass(CLSID_TestCounter, path) != ERROR_SUCCESS || registerClass(CLSID_TestMissing, path) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    return S_OK;
}

TH_COM_MODULE_EXPORT HRESULT DllUnregisterServer()
{
    unregisterClass(CLSID_TestCounter);
    unregisterClass(CLSID_TestMissing);
    return S_OK;
}

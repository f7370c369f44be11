// The entry points of thmux.ax: its class table, and its registration with
// the filter mapper and under HKEY_CLASSES_ROOT.
#include "avi_writer/main.h"

#include <cstdio>

namespace {

const th::com::server::ClassEntry kClasses[] = {
    {CLSID_TlmAVIWriter, &th::dshow::CreateComObject<TTlmAVIWriter>, TTlmAVIWriter::kName},
};

bool MapperAvailable()
{
    ComPtr<IUnknown> mapper;
    if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                   mapper.ReleaseAndGetVoidAddressOf())))
        return true;
    return SUCCEEDED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                      mapper.ReleaseAndGetVoidAddressOf()));
}

HRESULT Register(bool doRegister)
{
    const th::dshow::FilterSetup& setup = TTlmAVIWriter::Setup();
    const std::string path = th::com::server::ModulePath();
    if (!MapperAvailable())
        return E_FAIL;
    // Old class keys go first, whatever follows.
    th::dshow::DeleteComClassKeys(CLSID_TlmAVIWriter);
    if (FAILED(th::dshow::RegisterWithMapper(setup, doRegister)))
        return E_FAIL;
    if (doRegister && FAILED(th::dshow::WriteComClassKeys(setup, path))) {
        std::fprintf(stderr, "thmux: Error creating system registry entry (%s)\n",
                     th::dshow::LastRegistrationError().c_str());
        return E_FAIL;
    }
    return S_OK;
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
    return Register(true);
}

TH_COM_MODULE_EXPORT HRESULT DllUnregisterServer()
{
    return Register(false);
}

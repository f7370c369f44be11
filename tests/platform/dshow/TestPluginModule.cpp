// A plugin module with one renderer filter, written on the base classes the
// way a real module is: a class table, the four exports, registration through
// the filter mapper.
#include "platform/com/ComServer.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Registration.h"

namespace {

const CLSID CLSID_TestPluginRenderer = MakeGuid("6D1C0A01-7E61-4A39-9C9A-1B1C1D1E1F10");

const REGPINTYPES kPinTypes[] = {{&MEDIATYPE_Interleaved, &MEDIASUBTYPE_dvsd}};
const REGFILTERPINS kPins[] = {{u"Input", TRUE, FALSE, FALSE, FALSE, nullptr, nullptr, 1, kPinTypes}};
const th::dshow::FilterSetup kSetup[] = {
    {&CLSID_TestPluginRenderer, u"Test Plugin Renderer", MERIT_DO_NOT_USE, 1, kPins}};

class PluginPin : public CRenderedInputPin {
public:
    PluginPin(CBaseFilter* f, CCritSec* lock, HRESULT* hr) : CRenderedInputPin("Plugin pin", f, lock, hr, u"Input") {}
    HRESULT CheckMediaType(const CMediaType* type) override
    {
        return type->majortype == MEDIATYPE_Interleaved ? S_OK : S_FALSE;
    }
};

class PluginRenderer : public CBaseFilter {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr) { return new PluginRenderer(outer, hr); }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    const th::dshow::FilterSetup* GetSetupData() override { return &kSetup[0]; }

private:
    PluginRenderer(IUnknown* outer, HRESULT* hr)
        : CBaseFilter("Test Plugin Renderer", outer, &m_lock, CLSID_TestPluginRenderer), m_pin(this, &m_lock, hr)
    {
    }
    CCritSec m_lock;
    PluginPin m_pin;
};

const th::com::server::ClassEntry kClasses[] = {
    {CLSID_TestPluginRenderer, &th::dshow::CreateComObject<PluginRenderer>, "Test Plugin Renderer"},
};

} // namespace

TH_COM_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID c, REFIID i, void** p)
{
    return th::com::server::GetClassObject(kClasses, c, i, p);
}
TH_COM_MODULE_EXPORT HRESULT DllCanUnloadNow()
{
    return th::com::server::CanUnloadNow();
}
TH_COM_MODULE_EXPORT HRESULT DllRegisterServer()
{
    return th::dshow::RegisterFilters(kSetup, th::com::server::ModulePath(), true);
}
TH_COM_MODULE_EXPORT HRESULT DllUnregisterServer()
{
    return th::dshow::RegisterFilters(kSetup, th::com::server::ModulePath(), false);
}

// The server side of a plugin module (linked statically, hidden, into each).

#include "platform/com/ComServer.h"

#include <dlfcn.h>

namespace th::com::server {
namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

class ClassFactory final : public ComObject<IClassFactory>, public ModuleObject {
public:
    explicit ClassFactory(InstanceFn create) : create_(create) {}

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        return create_(outer, riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override
    {
        if (lock)
            g_locks.fetch_add(1);
        else if (g_locks.fetch_sub(1) <= 0)
            g_locks.fetch_add(1); // an unbalanced unlock is ignored
        return S_OK;
    }

private:
    InstanceFn create_;
};

} // namespace

void ObjectCreated() { g_objects.fetch_add(1); }
void ObjectDestroyed() { g_objects.fetch_sub(1); }
long ObjectCount() { return g_objects.load(); }
long LockCount() { return g_locks.load(); }

HRESULT GetClassObject(std::span<const ClassEntry> table, REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    for (const ClassEntry& entry : table) {
        if (entry.clsid == clsid && entry.create) {
            ComPtr<ClassFactory> factory = MakeCom<ClassFactory>(entry.create);
            return factory->QueryInterface(riid, ppv);
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadNow()
{
    return g_objects.load() == 0 && g_locks.load() == 0 ? S_OK : S_FALSE;
}

std::string ModulePath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&CanUnloadNow), &info) && info.dli_fname)
        return info.dli_fname;
    return {};
}

} // namespace th::com::server

#pragma once
// The server side of a plugin module: its class table, its object and lock
// counts, and the bodies of its DllGetClassObject and DllCanUnloadNow exports.
//
// This code is linked statically into every module (target th_comserver,
// hidden visibility), so that each module counts its own objects; a module's
// exports stay one line each:
//
//   static const th::com::server::ClassEntry kClasses[] = {
//       {CLSID_Thing, &CreateThing, "Thing"},
//   };
//   TH_COM_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID c, REFIID i, void** p)
//   { return th::com::server::GetClassObject(kClasses, c, i, p); }
//   TH_COM_MODULE_EXPORT HRESULT DllCanUnloadNow() { return th::com::server::CanUnloadNow(); }

#include "platform/com/Com.h"

#include <span>

#define TH_COM_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

namespace th::com::server {

// Creates an object of the class; `outer` is the aggregating object (refuse
// it with CLASS_E_NOAGGREGATION unless the class supports aggregation).
using InstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

struct ClassEntry {
    const CLSID& clsid;
    InstanceFn create;
    const char* name;
};

// Every object the module hands out counts itself from construction to
// destruction (ModuleObject does it for you), so that the module is not
// unloaded under a living object.
void ObjectCreated();
void ObjectDestroyed();
long ObjectCount();
long LockCount();

// Derive an implementation class from it (besides ComObject<...>) to count it.
struct ModuleObject {
    ModuleObject() { ObjectCreated(); }
    ModuleObject(const ModuleObject&) { ObjectCreated(); }
    ~ModuleObject() { ObjectDestroyed(); }
};

// A class factory for one entry of the table; it counts as a module object
// while it lives and honours LockServer.
HRESULT GetClassObject(std::span<const ClassEntry> table, REFCLSID clsid, REFIID riid, void** ppv);
// S_OK when no object lives and no lock is held, else S_FALSE.
HRESULT CanUnloadNow();

// The module's own file path (for the InprocServer32 value it registers).
std::string ModulePath();

} // namespace th::com::server

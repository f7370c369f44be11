#pragma once
// The interface and class served by the test plugin module.
#include "platform/com/Com.h"

struct ITestCounter : IUnknown {
    virtual int Next() = 0;
    virtual long ModuleObjects() = 0;

protected:
    ~ITestCounter() = default;
};
TH_DECLARE_IID(ITestCounter, "6C1D2E3F-4A5B-4C6D-8E9F-0A1B2C3D4E5F");

inline constexpr CLSID CLSID_TestCounter = MakeGuid("{B4E1F0A2-93C5-4D7E-A1B2-C3D4E5F60718}");
// Registered by the module but never served by it, to test a class the
// module does not know.
inline constexpr CLSID CLSID_TestMissing = MakeGuid("{B4E1F0A2-93C5-4D7E-A1B2-C3D4E5F60719}");

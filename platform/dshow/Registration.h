#pragma once
// Registration of the filters a module serves: the COM class keys that
// CoCreateInstance finds (HKEY_CLASSES_ROOT\CLSID\{clsid} with the name,
// InprocServer32 = the module path and "ThreadingModel") and the filter
// mapper's entry (IFilterMapper2, or the older IFilterMapper when the newer one
// cannot be made). For a module's DllRegisterServer / DllUnregisterServer and
// for IAMovieSetup. Part of th_dshowbase. No Qt.

#include "platform/dshow/ExtInterfaces.h"

#include <span>
#include <string>

namespace th::dshow {

struct FilterSetup {
    const CLSID* clsid;
    const WCHAR* name;
    DWORD merit;
    ULONG cPins;
    const REGFILTERPINS* pins;
    const CLSID* category = &CLSID_LegacyAmFilterCategory;
    const char* threadingModel = "Both";
};

// The mapper entry alone. Registering first removes an old entry (its result
// ignored), then registers. With IFilterMapper2 the category's instance key is
// the filter's class identifier; with IFilterMapper the pins and their types
// are registered one by one, stopping at the first failure.
// E_FAIL when no mapper can be made; otherwise the mapper's result.
HRESULT RegisterWithMapper(const FilterSetup& filter, bool doRegister);

// The COM class keys alone. Registration replaces earlier keys of the class;
// unregistration removes InprocServer32 and then the class key. A key or value
// that cannot be written gives its HRESULT_FROM_WIN32 error, and
// LastRegistrationError() names it.
HRESULT WriteComClassKeys(const FilterSetup& filter, const std::string& modulePath);
HRESULT DeleteComClassKeys(const CLSID& clsid);

// Both, for every filter: on registration the class keys and then the mapper
// entry; on removal the mapper entry and then the keys. Stops at the first failure.
HRESULT RegisterFilters(std::span<const FilterSetup> filters, const std::string& modulePath, bool doRegister);

// What the last failing call above on this thread ran into (empty after success).
std::string LastRegistrationError();

} // namespace th::dshow

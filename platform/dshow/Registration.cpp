#include "platform/dshow/Registration.h"

#include "platform/registry/Registry.h"


namespace th::dshow {
namespace {

thread_local std::string t_lastError;

HRESULT fail(LONG err, const std::string& what)
{
    t_lastError = what + " (error " + std::to_string(err) + ")";
    const std::string detail = th::registry::RegLastErrorText();
    if (!detail.empty())
        t_lastError += ": " + detail;
    return HRESULT_FROM_WIN32(static_cast<DWORD>(err));
}

HRESULT setString(HKEY key, const char* name, const std::string& value, const std::string& keyPath)
{
    const LONG err = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                    static_cast<DWORD>(value.size() + 1));
    if (err != ERROR_SUCCESS)
        return fail(err, "cannot write the value \"" + std::string(name ? name : "") + "\" of HKEY_CLASSES_ROOT\\" + keyPath);
    return S_OK;
}

HRESULT createKey(const std::string& path, HKEY* key)
{
    const LONG err = RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, key, nullptr);
    if (err != ERROR_SUCCESS)
        return fail(err, "cannot create HKEY_CLASSES_ROOT\\" + path);
    return S_OK;
}

std::string classKeyPath(const CLSID& clsid)
{
    return "CLSID\\" + GuidToText(clsid);
}

} // namespace

std::string LastRegistrationError()
{
    return t_lastError;
}

HRESULT RegisterWithMapper(const FilterSetup& filter, bool doRegister)
{
    t_lastError.clear();
    const CLSID& clsid = *filter.clsid;
    const CLSID* category = filter.category ? filter.category : &CLSID_LegacyAmFilterCategory;

    ComPtr<IFilterMapper2> mapper2;
    if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(mapper2.ReleaseAndGetAddressOf()))) &&
        mapper2) {
        if (!doRegister)
            return mapper2->UnregisterFilter(category, nullptr, clsid);
        mapper2->UnregisterFilter(category, nullptr, clsid);
        REGFILTER2 data{1, filter.merit, filter.cPins, filter.pins};
        return mapper2->RegisterFilter(clsid, filter.name, nullptr, category, nullptr, &data);
    }

    ComPtr<IFilterMapper> mapper;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(mapper.ReleaseAndGetAddressOf()))) ||
        !mapper) {
        t_lastError = "no filter mapper can be created";
        return E_FAIL;
    }
    if (!doRegister)
        return mapper->UnregisterFilter(clsid);
    mapper->UnregisterFilter(clsid);
    HRESULT hr = mapper->RegisterFilter(clsid, filter.name, filter.merit);
    for (ULONG p = 0; SUCCEEDED(hr) && p < filter.cPins; ++p) {
        const REGFILTERPINS& pin = filter.pins[p];
        hr = mapper->RegisterPin(clsid, pin.strName, pin.bRendered, pin.bOutput, pin.bZero, pin.bMany,
                                 pin.clsConnectsToFilter ? *pin.clsConnectsToFilter : GUID_NULL, pin.strConnectsToPin);
        for (UINT t = 0; SUCCEEDED(hr) && t < pin.nMediaTypes; ++t) {
            const REGPINTYPES& type = pin.lpMediaType[t];
            hr = mapper->RegisterPinType(clsid, pin.strName, type.clsMajorType ? *type.clsMajorType : GUID_NULL,
                                         type.clsMinorType ? *type.clsMinorType : GUID_NULL);
        }
    }
    return hr;
}

HRESULT WriteComClassKeys(const FilterSetup& filter, const std::string& modulePath)
{
    t_lastError.clear();
    const std::string classKey = classKeyPath(*filter.clsid);
    // A stale registration of the class must not survive beside the new one.
    const LONG del = RegDeleteTreeA(HKEY_CLASSES_ROOT, classKey.c_str());
    if (del != ERROR_SUCCESS && del != ERROR_FILE_NOT_FOUND)
        return fail(del, "cannot remove HKEY_CLASSES_ROOT\\" + classKey);

    HKEY key = nullptr;
    HRESULT hr = createKey(classKey, &key);
    if (FAILED(hr))
        return hr;
    hr = setString(key, "", com::Utf16ToUtf8(filter.name ? filter.name : u""), classKey);
    RegCloseKey(key);
    if (FAILED(hr))
        return hr;

    const std::string serverKey = classKey + "\\InprocServer32";
    hr = createKey(serverKey, &key);
    if (FAILED(hr))
        return hr;
    hr = setString(key, "", modulePath, serverKey);
    if (SUCCEEDED(hr))
        hr = setString(key, "ThreadingModel", filter.threadingModel ? filter.threadingModel : "Both", serverKey);
    RegCloseKey(key);
    return hr;
}

HRESULT DeleteComClassKeys(const CLSID& clsid)
{
    t_lastError.clear();
    const std::string classKey = classKeyPath(clsid);
    const std::string serverKey = classKey + "\\InprocServer32";
    LONG err = RegDeleteKeyA(HKEY_CLASSES_ROOT, serverKey.c_str());
    if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND)
        return fail(err, "cannot remove HKEY_CLASSES_ROOT\\" + serverKey);
    err = RegDeleteTreeA(HKEY_CLASSES_ROOT, classKey.c_str());
    if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND)
        return fail(err, "cannot remove HKEY_CLASSES_ROOT\\" + classKey);
    return S_OK;
}

HRESULT RegisterFilters(std::span<const FilterSetup> filters, const std::string& modulePath, bool doRegister)
{
    for (const FilterSetup& f : filters) {
        HRESULT hr;
        if (doRegister) {
            hr = WriteComClassKeys(f, modulePath);
            if (SUCCEEDED(hr))
                hr = RegisterWithMapper(f, true);
        } else {
            hr = RegisterWithMapper(f, false);
            if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
                hr = S_OK; // nothing to remove
            const HRESULT keys = DeleteComClassKeys(*f.clsid);
            if (SUCCEEDED(hr))
                hr = keys;
        }
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

} // namespace th::dshow

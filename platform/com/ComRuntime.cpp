// The COM runtime: the built-in class table, activation through the registry
// and dlopen, module unloading, task memory and UTF-16 conversion.

#include "platform/com/Com.h"
#include "platform/registry/Registry.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace th::com {
namespace {

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

std::mutex& classTableMutex()
{
    static std::mutex m;
    return m;
}
std::map<GUID, CreateFn, GuidLess>& classTable()
{
    static std::map<GUID, CreateFn, GuidLess> table;
    return table;
}

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT (*)();

struct LoadedModule {
    std::string path;
    void* handle = nullptr;
    GetClassObjectFn getClassObject = nullptr;
    CanUnloadNowFn canUnloadNow = nullptr;
};

// Loaded modules stay loaded until CoFreeUnusedLibraries finds them idle.
std::mutex& modulesMutex()
{
    static std::mutex m;
    return m;
}
std::vector<LoadedModule>& modules()
{
    static std::vector<LoadedModule> list;
    return list;
}

thread_local std::string t_lastError;
thread_local int t_initCount = 0;

CreateFn findBuiltin(const CLSID& clsid)
{
    std::lock_guard lock(classTableMutex());
    auto it = classTable().find(clsid);
    return it == classTable().end() ? nullptr : it->second;
}

// The module path registered for a class, or an error code.
HRESULT registeredModulePath(const CLSID& clsid, std::string* path)
{
    const std::string keyName = "CLSID\\" + GuidToText(clsid) + "\\InprocServer32";
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return REGDB_E_CLASSNOTREG;
    if (rc != ERROR_SUCCESS) {
        t_lastError = th::registry::RegLastErrorText();
        return REGDB_E_READREGDB;
    }
    th::registry::Value value;
    rc = th::registry::ReadValue(key, "", &value);
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return REGDB_E_CLASSNOTREG;
    if (rc != ERROR_SUCCESS) {
        t_lastError = th::registry::RegLastErrorText();
        return REGDB_E_READREGDB;
    }
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ)
        return REGDB_E_CLASSNOTREG;
    std::string text(value.data.begin(), value.data.end());
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    if (text.empty())
        return REGDB_E_CLASSNOTREG;
    *path = text;
    return S_OK;
}

// Loads (or finds) the module and returns its class-object entry point.
HRESULT moduleEntry(const std::string& path, GetClassObjectFn* entry)
{
    std::lock_guard lock(modulesMutex());
    for (const auto& m : modules())
        if (m.path == path) {
            *entry = m.getClassObject;
            return S_OK;
        }
    dlerror();
    // RTLD_NODELETE: a module with thread-local storage must stay mapped for the
    // life of the process. glibc keeps a thread's dynamic TLS entry of an
    // unloaded module, and anything that walks the threads' TLS later (the leak
    // checker among them) reads memory that is gone. CoFreeUnusedLibraries
    // still forgets an idle module; loading it again finds the same mapping.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* why = dlerror();
        t_lastError = "cannot load module " + path + ": " + (why ? why : "unknown error");
        return CO_E_DLLNOTFOUND;
    }
    LoadedModule m;
    m.path = path;
    m.handle = handle;
    m.getClassObject = reinterpret_cast<GetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
    m.canUnloadNow = reinterpret_cast<CanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
    if (!m.getClassObject) {
        t_lastError = "module " + path + " has no DllGetClassObject";
        dlclose(handle);
        return CO_E_ERRORINDLL;
    }
    *entry = m.getClassObject;
    modules().push_back(m);
    return S_OK;
}

} // namespace

bool RegisterBuiltinClass(const CLSID& clsid, CreateFn create)
{
    {
        std::lock_guard lock(classTableMutex());
        if (classTable().emplace(clsid, create).second)
            return true;
    }
    std::fprintf(stderr, "TapeHarvest COM: class %s is already built in; a second class under that id is refused\n",
                 GuidToText(clsid).c_str());
    return false;
}

bool RegisterBuiltinClasses(std::span<const BuiltinClass> classes)
{
    bool all = true;
    for (const BuiltinClass& c : classes)
        all = RegisterBuiltinClass(c.clsid, c.create) && all;
    return all;
}

void UnregisterBuiltinClass(const CLSID& clsid)
{
    std::lock_guard lock(classTableMutex());
    classTable().erase(clsid);
}

CreateFn ReplaceBuiltinClass(const CLSID& clsid, CreateFn create)
{
    std::lock_guard lock(classTableMutex());
    auto& table = classTable();
    const auto it = table.find(clsid);
    const CreateFn old = it == table.end() ? nullptr : it->second;
    if (create)
        table[clsid] = create;
    else if (it != table.end())
        table.erase(it);
    return old;
}

std::string LastActivationError()
{
    return t_lastError;
}

int LoadedModuleCount()
{
    std::lock_guard lock(modulesMutex());
    return static_cast<int>(modules().size());
}

std::u16string Utf8ToUtf16(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c >> 5) == 0x6 && i + 1 < s.size()) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            len = 2;
        } else if ((c >> 4) == 0xE && i + 2 < s.size()) {
            cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6)
                 | (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            len = 3;
        } else if ((c >> 3) == 0x1E && i + 3 < s.size()) {
            cp = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12)
                 | ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6)
                 | (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
            len = 4;
        }
        i += len;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp));
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // a lone surrogate
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string Utf16ToUtf8(const char16_t* s)
{
    if (!s)
        return {};
    return Utf16ToUtf8(std::u16string_view(s));
}

WCHAR* CoTaskStrDup(std::u16string_view s)
{
    auto* p = static_cast<WCHAR*>(CoTaskMemAlloc((s.size() + 1) * sizeof(WCHAR)));
    if (!p)
        return nullptr;
    std::copy(s.begin(), s.end(), p);
    p[s.size()] = u'\0';
    return p;
}

} // namespace th::com

using namespace th::com;

HRESULT CoInitialize(void* reserved)
{
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(void*, DWORD)
{
    return t_initCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (t_initCount > 0)
        --t_initCount;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    t_lastError.clear();
    if ((context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) == 0)
        return REGDB_E_CLASSNOTREG;
    std::string path;
    HRESULT hr = registeredModulePath(clsid, &path);
    if (FAILED(hr)) {
        if (hr == REGDB_E_CLASSNOTREG)
            t_lastError = "class " + GuidToText(clsid) + " is not registered";
        return hr;
    }
    GetClassObjectFn entry = nullptr;
    hr = moduleEntry(path, &entry);
    if (FAILED(hr))
        return hr;
    hr = entry(clsid, riid, ppv);
    if (FAILED(hr) && t_lastError.empty())
        t_lastError = "module " + path + " does not serve class " + GuidToText(clsid);
    return hr;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    t_lastError.clear();
    if (CreateFn create = findBuiltin(clsid)) {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return create(riid, ppv);
    }
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf());
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(outer, riid, ppv);
}

void CoFreeUnusedLibraries()
{
    std::lock_guard lock(modulesMutex());
    auto& list = modules();
    for (auto it = list.begin(); it != list.end();) {
        if (it->canUnloadNow && it->canUnloadNow() == S_OK) {
            dlclose(it->handle);
            it = list.erase(it);
        } else {
            ++it;
        }
    }
}

void* CoTaskMemAlloc(std::size_t size)
{
    return std::malloc(size ? size : 1);
}

void* CoTaskMemRealloc(void* p, std::size_t size)
{
    return std::realloc(p, size ? size : 1);
}

void CoTaskMemFree(void* p)
{
    std::free(p);
}

#include "platform/dshow/BuiltinClasses.h"
#include "platform/dshow/DeviceEnum.h"
#include "platform/dshow/EnumSnapshot.h"

#include "platform/com/ComServer.h"
#include "platform/registry/Registry.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

namespace th::dshow {
namespace {

using Value = std::variant<std::u16string, LONG>;

struct NamedValue {
    std::string name;
    Value value;
};

bool sameNameNoCase(const std::string& a, const std::u16string& b)
{
    const std::u16string wide = com::Utf8ToUtf16(a);
    if (wide.size() != b.size())
        return false;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char16_t x = wide[i], y = b[i];
        if (x >= u'A' && x <= u'Z')
            x = static_cast<char16_t>(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z')
            y = static_cast<char16_t>(y - u'A' + u'a');
        if (x != y)
            return false;
    }
    return true;
}

class CPropertyBag final : public com::ComObject<IPropertyBag>, public com::server::ModuleObject {
public:
    explicit CPropertyBag(std::vector<NamedValue> values) : m_values(std::move(values)) {}

    HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override
    {
        if (!name || !value)
            return E_POINTER;
        const std::u16string wanted(name);
        for (const NamedValue& v : m_values) {
            if (!sameNameNoCase(v.name, wanted))
                continue;
            VariantInit(value);
            if (const auto* s = std::get_if<std::u16string>(&v.value)) {
                value->bstrVal = SysAllocStringLen(s->data(), static_cast<UINT>(s->size()));
                if (!value->bstrVal)
                    return E_OUTOFMEMORY;
                value->vt = VT_BSTR;
            } else {
                value->vt = VT_I4;
                value->lVal = std::get<LONG>(v.value);
            }
            return S_OK;
        }
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }

    // The values of a device are its own; nothing is written through the bag.
    HRESULT Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

private:
    std::vector<NamedValue> m_values;
};

class CMoniker final : public com::ComObject<IMoniker>, public com::server::ModuleObject {
public:
    CMoniker(std::vector<NamedValue> values, DeviceFilterFactory bind)
        : m_values(std::move(values)), m_bind(std::move(bind))
    {
    }

    HRESULT BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        return m_bind ? m_bind(riid, ppv) : E_FAIL;
    }

    HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IID_IPropertyBag))
            return E_NOINTERFACE;
        *ppv = static_cast<IPropertyBag*>(new CPropertyBag(m_values));
        return S_OK;
    }

private:
    std::vector<NamedValue> m_values;
    DeviceFilterFactory m_bind;
};

using CEnumMoniker = CEnumSnapshot<IEnumMoniker, IMoniker>;

struct Device {
    std::uint64_t handle;
    CLSID category;
    std::u16string name;
    std::shared_ptr<DeviceFilterFactory> create;
};

std::mutex g_devicesMutex;
std::vector<Device> g_devices;
std::uint64_t g_nextHandle = 1;

std::string instanceKeyPath(const CLSID& category)
{
    return "CLSID\\" + GuidToText(category) + "\\Instance";
}

std::u16string stringValue(const th::registry::Value& v)
{
    std::string s(v.data.begin(), v.data.end());
    while (!s.empty() && s.back() == '\0')
        s.pop_back();
    return com::Utf8ToUtf16(s);
}

ComPtr<IMoniker> monikerOfKey(HKEY key)
{
    std::vector<th::registry::Value> values;
    if (th::registry::ListValues(key, &values) != ERROR_SUCCESS)
        return {};
    std::vector<NamedValue> bag;
    CLSID clsid{};
    bool haveClsid = false;
    for (const th::registry::Value& v : values) {
        if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
            const std::u16string text = stringValue(v);
            bag.push_back({v.name, text});
            if (sameNameNoCase(v.name, u"CLSID"))
                haveClsid = GuidFromText(com::Utf16ToUtf8(text), &clsid);
        } else if (v.type == REG_DWORD && v.data.size() >= 4) {
            DWORD d;
            std::memcpy(&d, v.data.data(), 4);
            bag.push_back({v.name, static_cast<LONG>(d)});
        }
    }
    DeviceFilterFactory bind;
    if (haveClsid)
        bind = [clsid](REFIID riid, void** ppv) {
            return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
        };
    ComPtr<IMoniker> m;
    m.Attach(new CMoniker(std::move(bag), std::move(bind)));
    return m;
}

class CSystemDeviceEnum final : public com::ComObject<ICreateDevEnum>, public com::server::ModuleObject {
public:
    HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** enumerator, DWORD) override
    {
        if (!enumerator)
            return E_POINTER;
        *enumerator = nullptr;
        std::vector<ComPtr<IMoniker>> items;
        {
            std::lock_guard<std::mutex> lock(g_devicesMutex);
            for (const Device& d : g_devices) {
                if (!(d.category == category))
                    continue;
                std::shared_ptr<DeviceFilterFactory> create = d.create;
                DeviceFilterFactory bind;
                if (*create)
                    bind = [create](REFIID riid, void** ppv) { return (*create)(riid, ppv); };
                ComPtr<IMoniker> m;
                m.Attach(new CMoniker({{"FriendlyName", d.name}}, std::move(bind)));
                items.push_back(m);
            }
        }
        HKEY instances = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, instanceKeyPath(category).c_str(), 0, KEY_READ, &instances) ==
            ERROR_SUCCESS) {
            std::vector<std::string> names;
            th::registry::ListSubKeys(instances, &names);
            for (const std::string& name : names) {
                HKEY key = nullptr;
                if (RegOpenKeyExA(instances, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
                    continue;
                if (ComPtr<IMoniker> m = monikerOfKey(key))
                    items.push_back(m);
                RegCloseKey(key);
            }
            RegCloseKey(instances);
        }
        if (items.empty())
            return S_FALSE;
        *enumerator = new CEnumMoniker(std::move(items));
        return S_OK;
    }
};

} // namespace

HRESULT createSystemDeviceEnum(REFIID riid, void** ppv)
{
    return com::CreateAs<CSystemDeviceEnum>(riid, ppv);
}

std::uint64_t AddDevice(const CLSID& category, std::u16string friendlyName, DeviceFilterFactory create)
{
    std::lock_guard<std::mutex> lock(g_devicesMutex);
    const std::uint64_t handle = g_nextHandle++;
    g_devices.push_back(
        {handle, category, std::move(friendlyName), std::make_shared<DeviceFilterFactory>(std::move(create))});
    return handle;
}

bool RemoveDevice(std::uint64_t device)
{
    std::lock_guard<std::mutex> lock(g_devicesMutex);
    for (auto it = g_devices.begin(); it != g_devices.end(); ++it) {
        if (it->handle == device) {
            g_devices.erase(it);
            return true;
        }
    }
    return false;
}

ComPtr<IMoniker> RegisteredFilterMoniker(const CLSID& category, const std::string& instance)
{
    HKEY key = nullptr;
    const std::string path = instanceKeyPath(category) + "\\" + instance;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    ComPtr<IMoniker> m = monikerOfKey(key);
    RegCloseKey(key);
    return m;
}

} // namespace th::dshow

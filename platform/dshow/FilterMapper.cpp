// The filter mapper (CLSID_FilterMapper2 and CLSID_FilterMapper; one class
// answers both interfaces): writes and removes filter registrations in the
// classes hive, laid out as the device enumerator reads them.

#include "platform/dshow/BuiltinClasses.h"
#include "platform/dshow/FilterMapper.h"

#include "platform/com/ComServer.h"
#include "platform/registry/Registry.h"

#include <cstring>

namespace th::dshow {
namespace {

constexpr DWORD kLayoutVersion = 1;

void putU32(std::vector<BYTE>& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

void putGuid(std::vector<BYTE>& out, const GUID& g)
{
    putU32(out, g.Data1);
    out.push_back(static_cast<BYTE>(g.Data2));
    out.push_back(static_cast<BYTE>(g.Data2 >> 8));
    out.push_back(static_cast<BYTE>(g.Data3));
    out.push_back(static_cast<BYTE>(g.Data3 >> 8));
    for (BYTE b : g.Data4)
        out.push_back(b);
}

void putString(std::vector<BYTE>& out, const WCHAR* s)
{
    const std::u16string text = s ? std::u16string(s) : std::u16string();
    putU32(out, static_cast<std::uint32_t>(text.size()));
    for (char16_t c : text) {
        out.push_back(static_cast<BYTE>(c));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
}

class Reader {
public:
    explicit Reader(const std::vector<BYTE>& b) : m_b(b) {}
    bool u32(std::uint32_t* v)
    {
        if (m_b.size() - m_pos < 4)
            return false;
        *v = 0;
        for (int i = 0; i < 4; ++i)
            *v |= std::uint32_t(m_b[m_pos + i]) << (8 * i);
        m_pos += 4;
        return true;
    }
    bool guid(GUID* g)
    {
        if (m_b.size() - m_pos < 16)
            return false;
        const BYTE* p = m_b.data() + m_pos;
        g->Data1 = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
        g->Data2 = static_cast<std::uint16_t>(p[4] | p[5] << 8);
        g->Data3 = static_cast<std::uint16_t>(p[6] | p[7] << 8);
        std::memcpy(g->Data4, p + 8, 8);
        m_pos += 16;
        return true;
    }
    bool string(std::u16string* s)
    {
        std::uint32_t n;
        if (!u32(&n) || (m_b.size() - m_pos) / 2 < n)
            return false;
        s->clear();
        for (std::uint32_t i = 0; i < n; ++i, m_pos += 2)
            s->push_back(static_cast<char16_t>(m_b[m_pos] | m_b[m_pos + 1] << 8));
        return true;
    }
    // Counts that cannot fit in what is left are refused before anything is reserved.
    bool fits(std::uint32_t count, std::size_t minimumEach) const
    {
        return count <= (m_b.size() - m_pos) / minimumEach;
    }
    bool atEnd() const { return m_pos == m_b.size(); }

private:
    const std::vector<BYTE>& m_b;
    std::size_t m_pos = 0;
};

HRESULT fromWin32(LONG err)
{
    return err == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(err));
}

class Key {
public:
    ~Key()
    {
        if (m_key)
            RegCloseKey(m_key);
    }
    LONG create(const std::string& path)
    {
        return RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &m_key, nullptr);
    }
    LONG open(const std::string& path) { return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_ALL_ACCESS, &m_key); }
    LONG setString(const char* name, const std::string& value)
    {
        return RegSetValueExA(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>(value.size() + 1));
    }
    LONG setDword(const char* name, DWORD value)
    {
        return RegSetValueExA(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    LONG setBinary(const char* name, const std::vector<BYTE>& value)
    {
        return RegSetValueExA(m_key, name, 0, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
    }
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

std::string utf8(LPCWSTR s)
{
    return s ? com::Utf16ToUtf8(s) : std::string();
}

bool validKeyName(const std::string& name)
{
    return !name.empty() && name.find('\\') == std::string::npos;
}

class CFilterMapper final : public com::ComObject<IFilterMapper2, IFilterMapper>, public com::server::ModuleObject {
public:
    // --- IFilterMapper2 ---
    HRESULT UnregisterFilter(const CLSID* category, LPCOLESTR instance, REFCLSID filter) override
    {
        const std::string path = instancePath(category, instance, filter);
        return fromWin32(RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str()));
    }

    HRESULT RegisterFilter(REFCLSID filter, LPCWSTR name, IMoniker** moniker, const CLSID* category,
                           LPCOLESTR instance, const REGFILTER2* data) override
    {
        if (moniker)
            *moniker = nullptr;
        if (!data)
            return E_POINTER;
        if (data->dwVersion != 1 || (data->cPins > 0 && !data->rgPins))
            return E_INVALIDARG;
        const std::string instanceName = instance ? utf8(instance) : GuidToText(filter);
        if (!validKeyName(instanceName))
            return E_INVALIDARG;
        const std::string path = instancePath(category, instance, filter);
        Key key;
        LONG err = key.create(path);
        if (err == ERROR_SUCCESS)
            err = key.setString("FriendlyName", utf8(name));
        if (err == ERROR_SUCCESS)
            err = key.setString("CLSID", GuidToText(filter));
        if (err == ERROR_SUCCESS)
            err = key.setBinary("FilterData", EncodeFilterData(*data));
        if (err != ERROR_SUCCESS)
            return fromWin32(err);
        if (moniker)
            *moniker = RegisteredFilterMoniker(category ? *category : CLSID_LegacyAmFilterCategory, instanceName)
                           .Detach();
        return S_OK;
    }

    // --- IFilterMapper ---
    HRESULT RegisterFilter(CLSID filter, LPCWSTR name, DWORD merit) override
    {
        Key named;
        LONG err = named.create("Filter\\" + GuidToText(filter));
        if (err == ERROR_SUCCESS)
            err = named.setString("", utf8(name));
        if (err != ERROR_SUCCESS)
            return fromWin32(err);
        Key cls;
        err = cls.create(classPath(filter));
        if (err == ERROR_SUCCESS)
            err = cls.setDword("Merit", merit);
        return fromWin32(err);
    }

    HRESULT RegisterPin(CLSID filter, LPCWSTR name, BOOL rendered, BOOL output, BOOL zero, BOOL many,
                        CLSID connectsToFilter, LPCWSTR connectsToPin) override
    {
        const std::string pin = utf8(name);
        if (!validKeyName(pin))
            return E_INVALIDARG;
        Key key;
        LONG err = key.create(classPath(filter) + "\\Pins\\" + pin);
        if (err == ERROR_SUCCESS)
            err = key.setDword("IsRendered", rendered ? 1 : 0);
        if (err == ERROR_SUCCESS)
            err = key.setDword("Direction", output ? PINDIR_OUTPUT : PINDIR_INPUT);
        if (err == ERROR_SUCCESS)
            err = key.setDword("AllowedZero", zero ? 1 : 0);
        if (err == ERROR_SUCCESS)
            err = key.setDword("AllowedMany", many ? 1 : 0);
        if (err == ERROR_SUCCESS)
            err = key.setString("ConnectsToFilter", GuidToText(connectsToFilter));
        if (err == ERROR_SUCCESS)
            err = key.setString("ConnectsToPin", utf8(connectsToPin));
        return fromWin32(err);
    }

    HRESULT RegisterPinType(CLSID filter, LPCWSTR pinName, CLSID majorType, CLSID subType) override
    {
        const std::string pin = utf8(pinName);
        if (!validKeyName(pin))
            return E_INVALIDARG;
        const std::string pinPath = classPath(filter) + "\\Pins\\" + pin;
        Key pinKey;
        if (pinKey.open(pinPath) != ERROR_SUCCESS)
            return VFW_E_NOT_FOUND; // the pin is registered first
        Key key;
        return fromWin32(key.create(pinPath + "\\Types\\" + GuidToText(majorType) + "\\" + GuidToText(subType)));
    }

    HRESULT UnregisterFilter(CLSID filter) override
    {
        const LONG named = RegDeleteTreeA(HKEY_CLASSES_ROOT, ("Filter\\" + GuidToText(filter)).c_str());
        const LONG pins = RegDeleteTreeA(HKEY_CLASSES_ROOT, (classPath(filter) + "\\Pins").c_str());
        Key cls;
        if (cls.open(classPath(filter)) == ERROR_SUCCESS)
            RegDeleteValueA(cls.get(), "Merit");
        if (pins != ERROR_SUCCESS && pins != ERROR_FILE_NOT_FOUND)
            return fromWin32(pins);
        return fromWin32(named);
    }

private:
    static std::string classPath(const CLSID& clsid) { return "CLSID\\" + GuidToText(clsid); }

    static std::string instancePath(const CLSID* category, LPCOLESTR instance, const CLSID& filter)
    {
        return "CLSID\\" + GuidToText(category ? *category : CLSID_LegacyAmFilterCategory) + "\\Instance\\" +
               (instance ? utf8(instance) : GuidToText(filter));
    }
};

} // namespace

HRESULT createFilterMapper(REFIID riid, void** ppv)
{
    return com::CreateAs<CFilterMapper>(riid, ppv);
}

std::vector<BYTE> EncodeFilterData(const REGFILTER2& data)
{
    std::vector<BYTE> out;
    putU32(out, kLayoutVersion);
    putU32(out, data.dwMerit);
    putU32(out, data.cPins);
    for (ULONG p = 0; p < data.cPins; ++p) {
        const REGFILTERPINS& pin = data.rgPins[p];
        putU32(out, (pin.bRendered ? 1u : 0u) | (pin.bOutput ? 2u : 0u) | (pin.bZero ? 4u : 0u) | (pin.bMany ? 8u : 0u));
        putString(out, pin.strName);
        putGuid(out, pin.clsConnectsToFilter ? *pin.clsConnectsToFilter : GUID_NULL);
        putString(out, pin.strConnectsToPin);
        putU32(out, pin.lpMediaType ? pin.nMediaTypes : 0);
        for (UINT t = 0; pin.lpMediaType && t < pin.nMediaTypes; ++t) {
            putGuid(out, pin.lpMediaType[t].clsMajorType ? *pin.lpMediaType[t].clsMajorType : GUID_NULL);
            putGuid(out, pin.lpMediaType[t].clsMinorType ? *pin.lpMediaType[t].clsMinorType : GUID_NULL);
        }
    }
    return out;
}

std::optional<FilterData> DecodeFilterData(const std::vector<BYTE>& bytes)
{
    Reader r(bytes);
    std::uint32_t version, merit, pins;
    if (!r.u32(&version) || version != kLayoutVersion || !r.u32(&merit) || !r.u32(&pins))
        return std::nullopt;
    // The smallest pin: flags, two empty strings, a GUID and a type count.
    if (!r.fits(pins, 4 + 4 + 16 + 4 + 4))
        return std::nullopt;
    FilterData data;
    data.merit = merit;
    for (std::uint32_t p = 0; p < pins; ++p) {
        FilterDataPin pin;
        std::uint32_t flags, types;
        if (!r.u32(&flags) || !r.string(&pin.name) || !r.guid(&pin.connectsToFilter) || !r.string(&pin.connectsToPin) ||
            !r.u32(&types) || !r.fits(types, 32))
            return std::nullopt;
        pin.rendered = flags & 1;
        pin.output = flags & 2;
        pin.zero = flags & 4;
        pin.many = flags & 8;
        for (std::uint32_t t = 0; t < types; ++t) {
            GUID major, minor;
            if (!r.guid(&major) || !r.guid(&minor))
                return std::nullopt;
            pin.types.emplace_back(major, minor);
        }
        data.pins.push_back(std::move(pin));
    }
    if (!r.atEnd())
        return std::nullopt;
    return data;
}

} // namespace th::dshow

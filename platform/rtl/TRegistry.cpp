#include "platform/rtl/TRegistry.h"

#include <QByteArray>

#include <cstring>
#include <vector>

namespace {

TRegDataType dataTypeToRegData(DWORD type)
{
    switch (type) {
    case REG_SZ:
        return rdString;
    case REG_EXPAND_SZ:
        return rdExpandString;
    case REG_DWORD:
        return rdInteger;
    case REG_BINARY:
        return rdBinary;
    default:
        return rdUnknown;
    }
}

bool isRelative(const QString& key)
{
    return !key.startsWith(u'\\');
}

QString stripRoot(const QString& key)
{
    return isRelative(key) ? key : key.mid(1);
}

[[noreturn]] void readError(const QString& name)
{
    throw ERegistryException(QStringLiteral("Invalid data type for '%1'").arg(name));
}

} // namespace

// --- TRegistry ----------------------------------------------------------------------

TRegistry::TRegistry() = default;

TRegistry::TRegistry(REGSAM access) : access_(access) {}

TRegistry::~TRegistry()
{
    CloseKey();
}

void TRegistry::CheckHive(LONG code)
{
    switch (code) {
    case ERROR_BADDB:
    case ERROR_CANTOPEN:
    case ERROR_CANTREAD:
    case ERROR_CANTWRITE:
    case ERROR_REGISTRY_CORRUPT:
    case ERROR_NOT_ENOUGH_MEMORY:
        throw ERegistryException(QString::fromStdString(th::registry::RegLastErrorText()));
    default:
        break;
    }
}

void TRegistry::SetRootKey(HKEY root)
{
    if (root != rootKey_) {
        rootKey_ = root;
        CloseKey();
    }
}

HKEY TRegistry::BaseKey(bool relative) const
{
    return currentKey_ && relative ? currentKey_ : rootKey_;
}

HKEY TRegistry::GetKey(const QString& key, REGSAM access)
{
    HKEY result = nullptr;
    const LONG rc =
        RegOpenKeyExA(BaseKey(isRelative(key)), stripRoot(key).toUtf8().constData(), 0, access, &result);
    CheckHive(rc);
    return rc == ERROR_SUCCESS ? result : nullptr;
}

void TRegistry::ChangeKey(HKEY key, const QString& path)
{
    CloseKey();
    currentKey_ = key;
    currentPath_ = path;
}

bool TRegistry::OpenKey(const QString& key, bool canCreate)
{
    const bool relative = isRelative(key);
    const QString sub = stripRoot(key);
    const QByteArray utf8 = sub.toUtf8();
    HKEY opened = nullptr;
    LONG rc;
    if (canCreate && !sub.isEmpty()) {
        DWORD disposition = 0;
        rc = RegCreateKeyExA(BaseKey(relative), utf8.constData(), 0, nullptr, REG_OPTION_NON_VOLATILE, access_,
                             nullptr, &opened, &disposition);
    } else {
        rc = RegOpenKeyExA(BaseKey(relative), utf8.constData(), 0, access_, &opened);
    }
    CheckHive(rc);
    if (rc != ERROR_SUCCESS)
        return false;
    QString path = sub;
    if (relative && !currentPath_.isEmpty())
        path = sub.isEmpty() ? currentPath_ : currentPath_ + u'\\' + sub;
    ChangeKey(opened, path);
    return true;
}

bool TRegistry::OpenKeyReadOnly(const QString& key)
{
    const REGSAM saved = access_;
    access_ = KEY_READ;
    bool ok = false;
    try {
        ok = OpenKey(key, false);
    } catch (...) {
        access_ = saved;
        throw;
    }
    access_ = saved;
    return ok;
}

void TRegistry::CloseKey()
{
    if (currentKey_)
        RegCloseKey(currentKey_);
    currentKey_ = nullptr;
    currentPath_.clear();
}

bool TRegistry::CreateKey(const QString& key)
{
    HKEY made = nullptr;
    DWORD disposition = 0;
    const LONG rc = RegCreateKeyExA(BaseKey(isRelative(key)), stripRoot(key).toUtf8().constData(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &made, &disposition);
    CheckHive(rc);
    if (rc != ERROR_SUCCESS)
        throw ERegistryException(QStringLiteral("Failed to create key %1").arg(key));
    RegCloseKey(made);
    return true;
}

bool TRegistry::DeleteKey(const QString& key)
{
    const QString sub = stripRoot(key);
    if (sub.isEmpty())
        return false;
    const LONG rc = RegDeleteTreeA(BaseKey(isRelative(key)), sub.toUtf8().constData());
    CheckHive(rc);
    return rc == ERROR_SUCCESS;
}

bool TRegistry::KeyExists(const QString& key)
{
    HKEY probe = GetKey(key, KEY_READ);
    if (!probe)
        return false;
    RegCloseKey(probe);
    return true;
}

bool TRegistry::HasSubKeys()
{
    DWORD count = 0;
    const LONG rc = RegQueryInfoKeyA(currentKey_, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr);
    CheckHive(rc);
    return rc == ERROR_SUCCESS && count > 0;
}

void TRegistry::GetKeyNames(QStringList& strings)
{
    strings.clear();
    std::vector<std::string> names;
    const LONG rc = th::registry::ListSubKeys(currentKey_, &names);
    CheckHive(rc);
    for (const auto& n : names)
        strings << QString::fromStdString(n);
}

void TRegistry::GetValueNames(QStringList& strings)
{
    strings.clear();
    std::vector<th::registry::Value> values;
    const LONG rc = th::registry::ListValues(currentKey_, &values);
    CheckHive(rc);
    for (const auto& v : values)
        strings << QString::fromStdString(v.name);
}

bool TRegistry::GetDataInfo(const QString& valueName, TRegDataInfo& value)
{
    value = TRegDataInfo{};
    DWORD type = REG_NONE;
    DWORD size = 0;
    const LONG rc = RegQueryValueExA(currentKey_, valueName.toUtf8().constData(), nullptr, &type, nullptr, &size);
    CheckHive(rc);
    if (rc != ERROR_SUCCESS)
        return false;
    value.RegData = dataTypeToRegData(type);
    value.DataSize = static_cast<int>(size);
    return true;
}

int TRegistry::GetDataSize(const QString& valueName)
{
    TRegDataInfo info;
    return GetDataInfo(valueName, info) ? info.DataSize : -1;
}

TRegDataType TRegistry::GetDataType(const QString& valueName)
{
    TRegDataInfo info;
    return GetDataInfo(valueName, info) ? info.RegData : rdUnknown;
}

bool TRegistry::ValueExists(const QString& name)
{
    TRegDataInfo info;
    return GetDataInfo(name, info);
}

bool TRegistry::DeleteValue(const QString& name)
{
    const LONG rc = RegDeleteValueA(currentKey_, name.toUtf8().constData());
    CheckHive(rc);
    return rc == ERROR_SUCCESS;
}

int TRegistry::GetData(const QString& name, void* buffer, DWORD size, TRegDataType& regData)
{
    DWORD type = REG_NONE;
    DWORD got = size;
    const LONG rc = RegQueryValueExA(currentKey_, name.toUtf8().constData(), nullptr, &type,
                                     static_cast<BYTE*>(buffer), &got);
    CheckHive(rc);
    if (rc != ERROR_SUCCESS)
        throw ERegistryException(QStringLiteral("Failed to get data for '%1'").arg(name));
    regData = dataTypeToRegData(type);
    return static_cast<int>(got);
}

void TRegistry::PutData(const QString& name, const void* buffer, DWORD size, DWORD type)
{
    const LONG rc =
        RegSetValueExA(currentKey_, name.toUtf8().constData(), 0, type, static_cast<const BYTE*>(buffer), size);
    CheckHive(rc);
    if (rc != ERROR_SUCCESS)
        throw ERegistryException(QStringLiteral("Failed to set data for '%1'").arg(name));
}

int TRegistry::ReadBinaryData(const QString& name, void* buffer, int bufSize)
{
    // Only REG_BINARY and REG_NONE are bytes as they are; every other type
    // (a string list, a 64-bit number, ...) has a meaning of its own.
    const QByteArray utf8 = name.toUtf8();
    const auto rawType = [&](BYTE* data, DWORD& size) {
        DWORD type = REG_NONE;
        const LONG rc = RegQueryValueExA(currentKey_, utf8.constData(), nullptr, &type, data, &size);
        CheckHive(rc);
        if (rc != ERROR_SUCCESS)
            return false;
        if (type != REG_BINARY && type != REG_NONE)
            readError(name);
        return true;
    };
    DWORD size = 0;
    if (!rawType(nullptr, size))
        return 0;
    if (size > static_cast<DWORD>(bufSize < 0 ? 0 : bufSize))
        readError(name);
    if (size == 0)
        return 0;
    // The value may have changed since it was measured: the read is bounded by
    // the buffer and its type is checked again.
    size = static_cast<DWORD>(bufSize);
    if (!rawType(static_cast<BYTE*>(buffer), size))
        throw ERegistryException(QStringLiteral("Failed to get data for '%1'").arg(name));
    return static_cast<int>(size);
}

void TRegistry::WriteBinaryData(const QString& name, const void* buffer, int bufSize)
{
    PutData(name, buffer, static_cast<DWORD>(bufSize < 0 ? 0 : bufSize), REG_BINARY);
}

QString TRegistry::ReadString(const QString& name)
{
    const int len = GetDataSize(name);
    if (len <= 0)
        return QString();
    QByteArray buf(len, '\0');
    TRegDataType type = rdUnknown;
    const int got = GetData(name, buf.data(), static_cast<DWORD>(len), type);
    if (type != rdString && type != rdExpandString)
        readError(name);
    // The text ends at its first null, as the stored form carries one.
    const auto text = static_cast<qsizetype>(strnlen(buf.constData(), static_cast<std::size_t>(got)));
    return QString::fromUtf8(buf.constData(), text);
}

void TRegistry::WriteString(const QString& name, const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    PutData(name, utf8.constData(), static_cast<DWORD>(utf8.size() + 1), REG_SZ);
}

void TRegistry::WriteExpandString(const QString& name, const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    PutData(name, utf8.constData(), static_cast<DWORD>(utf8.size() + 1), REG_EXPAND_SZ);
}

int TRegistry::ReadInteger(const QString& name)
{
    std::int32_t value = 0;
    TRegDataType type = rdUnknown;
    GetData(name, &value, sizeof value, type);
    if (type != rdInteger)
        readError(name);
    return value;
}

void TRegistry::WriteInteger(const QString& name, int value)
{
    const std::int32_t v = value;
    PutData(name, &v, sizeof v, REG_DWORD);
}

bool TRegistry::ReadBool(const QString& name)
{
    return ReadInteger(name) != 0;
}

void TRegistry::WriteBool(const QString& name, bool value)
{
    WriteInteger(name, value ? 1 : 0);
}

// --- TRegIniFile --------------------------------------------------------------------

TRegIniFile::TRegIniFile(const QString& fileName) : TRegIniFile(fileName, KEY_ALL_ACCESS) {}

TRegIniFile::TRegIniFile(const QString& fileName, REGSAM access) : TRegistry(access), fileName_(fileName)
{
    OpenKey(fileName, true);
}

QString TRegIniFile::ReadString(const QString& section, const QString& ident, const QString& def)
{
    HKEY key = GetKey(section, Access());
    if (!key)
        return def;
    KeyScope scope(*this, key);
    return ValueExists(ident) ? TRegistry::ReadString(ident) : def;
}

void TRegIniFile::WriteString(const QString& section, const QString& ident, const QString& value)
{
    CreateKey(section);
    HKEY key = GetKey(section, Access());
    if (!key)
        throw ERegistryException(QStringLiteral("Failed to set data for '%1'").arg(ident));
    KeyScope scope(*this, key);
    TRegistry::WriteString(ident, value);
}

int TRegIniFile::ReadInteger(const QString& section, const QString& ident, int def)
{
    HKEY key = GetKey(section, Access());
    if (!key)
        return def;
    KeyScope scope(*this, key);
    if (!ValueExists(ident))
        return def;
    if (GetDataType(ident) == rdString)
        return StrToIntDef(TRegistry::ReadString(ident), def);
    return TRegistry::ReadInteger(ident);
}

void TRegIniFile::WriteInteger(const QString& section, const QString& ident, int value)
{
    WriteString(section, ident, QString::number(value));
}

bool TRegIniFile::ReadBool(const QString& section, const QString& ident, bool def)
{
    return ReadInteger(section, ident, def ? 1 : 0) != 0;
}

void TRegIniFile::WriteBool(const QString& section, const QString& ident, bool value)
{
    WriteString(section, ident, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void TRegIniFile::ReadSection(const QString& section, QStringList& strings)
{
    strings.clear();
    HKEY key = GetKey(section, KEY_READ);
    if (!key)
        return;
    KeyScope scope(*this, key);
    GetValueNames(strings);
}

void TRegIniFile::ReadSections(QStringList& strings)
{
    GetKeyNames(strings);
}

void TRegIniFile::EraseSection(const QString& section)
{
    TRegistry::DeleteKey(section);
}

void TRegIniFile::DeleteKey(const QString& section, const QString& ident)
{
    HKEY key = GetKey(section, Access());
    if (!key)
        return;
    KeyScope scope(*this, key);
    DeleteValue(ident);
}

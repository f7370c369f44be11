#pragma once
// The toolkit's registry wrappers over platform/registry: TRegistry (one open key
// at a time, typed reads and writes) and the ini-style TRegIniFile (the file is a
// key, its sections are subkeys, integers are stored as REG_SZ decimal text).
//
// Key paths use "\"; a path that starts with "\" is taken from RootKey, any other
// from the open key (or from RootKey when none is open).
//
// What fails how, as callers rely on it:
// - opening, creating, deleting and probing keys and values answer False for a
//   key or value that is not there or cannot be opened;
// - reading a value of the wrong type raises ERegistryException
//   "Invalid data type for '<name>'"; reading one that is missing or does not fit
//   (integers) raises "Failed to get data for '<name>'"; a refused write raises
//   "Failed to set data for '<name>'"; a key that cannot be made by CreateKey
//   raises "Failed to create key <key>";
// - a hive that is damaged or cannot be read or written makes every call raise
//   ERegistryException whose message names the hive file (RegLastErrorText), also
//   the calls that otherwise answer False, so that damage is never taken for a
//   missing key.

#include "platform/registry/Registry.h"
#include "platform/rtl/SysUtils.h"

#include <QString>
#include <QStringList>

enum TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

struct TRegDataInfo {
    TRegDataType RegData = rdUnknown;
    int DataSize = 0;
};

class TRegistry {
public:
    // RootKey HKEY_CURRENT_USER, access KEY_ALL_ACCESS.
    TRegistry();
    explicit TRegistry(REGSAM access);
    virtual ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY RootKey() const { return rootKey_; }
    // Closes the open key.
    void SetRootKey(HKEY root);
    REGSAM Access() const { return access_; }
    void SetAccess(REGSAM access) { access_ = access; }
    // The open key (null when none) and its path below RootKey, without a leading "\".
    HKEY CurrentKey() const { return currentKey_; }
    QString CurrentPath() const { return currentPath_; }

    // Makes the key the open one, creating it (with its missing parents) when
    // canCreate is set. False when it does not exist or cannot be opened; the
    // key open before stays open then.
    bool OpenKey(const QString& key, bool canCreate);
    // Opens for reading only: every write through it is refused.
    bool OpenKeyReadOnly(const QString& key);
    void CloseKey();
    // Makes a key without opening it; True when made or already there.
    bool CreateKey(const QString& key);
    // Removes the key with all its subkeys and values; False when it is not there.
    bool DeleteKey(const QString& key);
    bool KeyExists(const QString& key);
    bool HasSubKeys();
    // Names of the subkeys / values of the open key, sorted without regard to ASCII case.
    void GetKeyNames(QStringList& strings);
    void GetValueNames(QStringList& strings);

    bool ValueExists(const QString& name);
    bool DeleteValue(const QString& name);
    // False (info zeroed) when the value is not there.
    bool GetDataInfo(const QString& valueName, TRegDataInfo& value);
    // -1 when the value is not there.
    int GetDataSize(const QString& valueName);
    // rdUnknown when the value is not there.
    TRegDataType GetDataType(const QString& valueName);

    // Copies a value of type REG_BINARY (or REG_NONE) of at most bufSize bytes and returns its size; 0 when the
    // value is not there. Any other type, or a longer value, raises
    // "Invalid data type for '<name>'".
    int ReadBinaryData(const QString& name, void* buffer, int bufSize);
    void WriteBinaryData(const QString& name, const void* buffer, int bufSize);
    // "" when the value is not there or empty; REG_SZ and REG_EXPAND_SZ only.
    QString ReadString(const QString& name);
    void WriteString(const QString& name, const QString& value);
    void WriteExpandString(const QString& name, const QString& value);
    // REG_DWORD only; a missing value raises "Failed to get data for '<name>'".
    int ReadInteger(const QString& name);
    void WriteInteger(const QString& name, int value);
    bool ReadBool(const QString& name);
    void WriteBool(const QString& name, bool value);

protected:
    // Opens key (relative or from the root, see above) as a handle of its own;
    // null when it cannot be opened. Raises for a damaged hive.
    HKEY GetKey(const QString& key, REGSAM access);
    // Reads into buffer (size bytes at most); raises "Failed to get data" when it fails.
    int GetData(const QString& name, void* buffer, DWORD size, TRegDataType& regData);
    // Writes one value; raises "Failed to set data" when refused.
    void PutData(const QString& name, const void* buffer, DWORD size, DWORD type);
    // Makes key the open one, closing the one open before.
    void ChangeKey(HKEY key, const QString& path);
    // Works on another key for the life of the object (TRegIniFile's sections),
    // then makes the open key current again and closes the other.
    class KeyScope {
    public:
        KeyScope(TRegistry& owner, HKEY key) : owner_(owner), key_(key), saved_(owner.currentKey_)
        {
            owner_.currentKey_ = key_;
        }
        ~KeyScope()
        {
            owner_.currentKey_ = saved_;
            RegCloseKey(key_);
        }
        KeyScope(const KeyScope&) = delete;
        KeyScope& operator=(const KeyScope&) = delete;

    private:
        TRegistry& owner_;
        HKEY key_;
        HKEY saved_;
    };
    // Raises ERegistryException with RegLastErrorText when code is a hive failure.
    static void CheckHive(LONG code);

private:
    HKEY BaseKey(bool relative) const;

    HKEY rootKey_ = HKEY_CURRENT_USER;
    HKEY currentKey_ = nullptr;
    QString currentPath_;
    REGSAM access_ = KEY_ALL_ACCESS;
};

class TRegIniFile : public TRegistry {
public:
    // Opens (creating it) the key fileName, for example "\Software\Tolmar\TapeHarvest".
    explicit TRegIniFile(const QString& fileName);
    TRegIniFile(const QString& fileName, REGSAM access);

    QString FileName() const { return fileName_; }

    using TRegistry::ReadString;
    using TRegistry::WriteString;
    using TRegistry::ReadInteger;
    using TRegistry::WriteInteger;
    using TRegistry::ReadBool;
    using TRegistry::WriteBool;
    using TRegistry::DeleteKey;

    // The value ident of the subkey section; def when the section or value is not there.
    QString ReadString(const QString& section, const QString& ident, const QString& def);
    // Creates the section when needed.
    void WriteString(const QString& section, const QString& ident, const QString& value);
    // A REG_SZ value is read as decimal text (def when it is not a number); a
    // REG_DWORD as its number.
    int ReadInteger(const QString& section, const QString& ident, int def);
    // Written as REG_SZ decimal text.
    void WriteInteger(const QString& section, const QString& ident, int value);
    bool ReadBool(const QString& section, const QString& ident, bool def);
    // Written as "1" or "0".
    void WriteBool(const QString& section, const QString& ident, bool value);

    // The value names of a section (empty when it is not there).
    void ReadSection(const QString& section, QStringList& strings);
    // The sections, that is the subkeys of the file key.
    void ReadSections(QStringList& strings);
    // Removes a section with everything below it.
    void EraseSection(const QString& section);
    // Removes one value of a section.
    void DeleteKey(const QString& section, const QString& ident);

private:
    QString fileName_;
};

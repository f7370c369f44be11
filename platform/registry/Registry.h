#pragma once
// The registry of the current user and of the classes, as the Win32 calls see
// it, kept in SQLite: one database file per hive in the registry folder
// ($THARVEST_REGISTRY_DIR, else $XDG_CONFIG_HOME/tharvest/registry, else
// ~/.config/tharvest/registry). No Qt.
//
// Every call is one transaction, so several threads and several processes can
// read and write at once without losing a value. Key and value names compare
// without regard to ASCII case and keep the case they were made with; subkeys
// and values are listed sorted by name without regard to ASCII case. Names are
// UTF-8; "\" separates the levels of a key path.
//
// A hive file that is damaged or cannot be read is never replaced or emptied:
// every call on it fails (ERROR_BADDB, ERROR_CANTOPEN, ERROR_CANTREAD,
// ERROR_CANTWRITE) and RegLastErrorText() names the file and what went wrong.
// Only SetHiveAside moves it, and keeps it.

#include "platform/base/WinTypes.h"

#include <string>
#include <vector>

struct RegKeyObject;
using HKEY = RegKeyObject*;
using REGSAM = DWORD;

// The predefined roots. Only these two hives exist.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Key handles. A handle names a key by its path; it stays valid when the key
// is deleted (calls on it then fail with ERROR_KEY_DELETED, also once a key of
// the same path is made again) and must be closed. A handle does what its
// access allows: without KEY_SET_VALUE values cannot be set or deleted, without
// KEY_QUERY_VALUE not read, without KEY_CREATE_SUB_KEY no key is made below it,
// without KEY_ENUMERATE_SUB_KEYS its subkeys are not listed (ERROR_ACCESS_DENIED).
// Empty levels of a path ("a\\b", a leading or trailing "\") are skipped.
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* className, DWORD options,
                     REGSAM access, void* security, HKEY* result, DWORD* disposition);
LONG RegCloseKey(HKEY key);

// Values. The default value of a key has the empty name (or a null name).
// RegQueryValueExA follows Win32: with data null it reports type and size;
// with a buffer that is too small it reports the size and ERROR_MORE_DATA.
// REG_SZ data is stored with its terminating null, as Win32 does.
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize);
LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegDeleteValueA(HKEY key, const char* valueName);

// Removes a key without subkeys (ERROR_KEY_HAS_CHILDREN otherwise), its values with it.
LONG RegDeleteKeyA(HKEY key, const char* subKey);
// Removes a key with its whole subtree; with subKey null or empty, the subtree
// and values of key itself (the key stays).
LONG RegDeleteTreeA(HKEY key, const char* subKey);

// Listing, by index in name order; ERROR_NO_MORE_ITEMS past the end.
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                   char* className, DWORD* classSize, void* lastWriteTime);
LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* valueNameSize, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* dataSize);
LONG RegQueryInfoKeyA(HKEY key, char* className, DWORD* classSize, DWORD* reserved, DWORD* subKeys,
                      DWORD* maxSubKeyLen, DWORD* maxClassLen, DWORD* values, DWORD* maxValueNameLen,
                      DWORD* maxValueLen, DWORD* securityDescriptor, void* lastWriteTime);

namespace th::registry {

// What the last failing call on this thread ran into, naming the hive file
// (for example "registry file /home/u/.config/tharvest/registry/HKEY_CURRENT_USER.db
// is damaged: file is not a database"); empty after a call that succeeded.
std::string RegLastErrorText();

// The folder the hives live in, as it stands now.
std::string RegistryFolder();

// One value as read in one go.
struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// Convenience forms used by the wrappers; each is one transaction.
LONG ListSubKeys(HKEY key, std::vector<std::string>* names);
LONG ListValues(HKEY key, std::vector<Value>* values);
LONG ReadValue(HKEY key, const char* valueName, Value* value);
// The path of an open key below its hive ("Software\Tolmar\TapeHarvest").
std::string KeyPath(HKEY key);

// The file of a hive (HKEY_CURRENT_USER or HKEY_CLASSES_ROOT) as the folder stands now.
std::string HiveFile(HKEY root);
// Reads the whole hive: ERROR_SUCCESS, or the code of its failure with
// RegLastErrorText() naming the file and what is wrong (ERROR_BADDB for damage
// anywhere in the file, ERROR_CANTREAD when another program holds it).
LONG CheckHive(HKEY root);
// Renames the hive's file (and SQLite's files beside it) to a free name beside
// it ("HKEY_CURRENT_USER.damaged.db"), so that the next call starts a new,
// empty hive; nothing is deleted. *aside gets the new name; false with *error
// when the file cannot be renamed.
bool SetHiveAside(HKEY root, std::string* aside, std::string* error);
// How long the calls of this thread wait for another program to let go of a
// hive before they fail, naming the holder when it can be found; 30 s until
// set.
void SetBusyWaitMs(int ms);

} // namespace th::registry

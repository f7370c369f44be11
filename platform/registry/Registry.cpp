// The Win32 registry calls over the SQLite store (RegistryStore.h): handles,
// key paths, access rights and the copying of names and values as Win32 does
// it. The file layout and the transactions are the store's.

#include "platform/registry/Registry.h"

#include "platform/registry/RegistryStore.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <pwd.h>
#include <unistd.h>
#include <unordered_set>

using th::registry::store::Failure;
using th::registry::store::Hive;
using th::registry::store::Stmt;
using th::registry::store::Txn;
using th::registry::store::tBusyWaitMs;

namespace {

thread_local std::string tLastError;

std::string foldName(const std::string& name)
{
    std::string f = name;
    for (char& c : f)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return f;
}

std::vector<std::string> splitPath(const char* path)
{
    std::vector<std::string> parts;
    if (!path)
        return parts;
    std::string cur;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\') {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty())
        parts.push_back(cur);
    return parts;
}

std::string joinPath(const std::string& base, const std::string& name)
{
    return base.empty() ? name : base + "\\" + name;
}

} // namespace

struct RegKeyObject {
    std::shared_ptr<Hive> hive;
    std::int64_t id = 0;
    std::string path;
    REGSAM access = 0;
};

namespace {

std::mutex& handlesMutex()
{
    static std::mutex m;
    return m;
}

std::unordered_set<RegKeyObject*>& handles()
{
    static std::unordered_set<RegKeyObject*> h;
    return h;
}

std::mutex& hivesMutex()
{
    static std::mutex m;
    return m;
}

std::map<std::string, std::weak_ptr<Hive>>& hives()
{
    static std::map<std::string, std::weak_ptr<Hive>> h;
    return h;
}

const char* hiveName(HKEY key)
{
    if (key == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (key == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    return nullptr;
}

// The hive of a predefined root, found in the registry folder as it is set now.
std::shared_ptr<Hive> hiveOf(const char* name)
{
    const std::string file = th::registry::RegistryFolder() + "/" + name + ".db";
    std::lock_guard<std::mutex> lock(hivesMutex());
    auto& map = hives();
    if (auto it = map.find(file); it != map.end()) {
        if (auto h = it->second.lock())
            return h;
    }
    // Drop entries whose hive is gone, so that the map does not grow.
    for (auto it = map.begin(); it != map.end();)
        it = it->second.expired() ? map.erase(it) : std::next(it);
    auto h = std::make_shared<Hive>(name, file);
    map[file] = h;
    return h;
}

// What a handle stands for, copied out so that a concurrent close cannot pull it away.
struct Target {
    std::shared_ptr<Hive> hive;
    std::int64_t id = 0;
    std::string path;
    REGSAM access = 0;
};

Target resolve(HKEY key)
{
    if (const char* name = hiveName(key))
        return Target{hiveOf(name), 0, std::string(), KEY_ALL_ACCESS};
    std::lock_guard<std::mutex> lock(handlesMutex());
    if (!key || !handles().count(key))
        throw Failure{ERROR_INVALID_HANDLE, "invalid registry key handle"};
    return Target{key->hive, key->id, key->path, key->access};
}

void requireAccess(const Target& t, REGSAM needed)
{
    if ((t.access & needed) != needed)
        throw Failure{ERROR_ACCESS_DENIED, "registry key " + t.hive->name() + "\\" + t.path +
                                               " was not opened for this access"};
}

void requireAlive(Txn& txn, const Target& t)
{
    if (t.id == 0)
        return;
    Stmt st(txn.hive(), "SELECT 1 FROM keys WHERE id = ?", txn.writing());
    st.bind(1, t.id);
    if (!st.step())
        throw Failure{ERROR_KEY_DELETED, "registry key " + t.hive->name() + "\\" + t.path + " was deleted"};
}

struct Found {
    std::int64_t id;
    std::string name;
};

std::optional<Found> findChild(Txn& txn, std::int64_t parent, const std::string& name)
{
    Stmt st(txn.hive(), "SELECT id, name FROM keys WHERE parent = ? AND fold = ?", txn.writing());
    st.bind(1, parent).bind(2, foldName(name));
    if (!st.step())
        return std::nullopt;
    return Found{st.integer(0), st.text(1)};
}

// Walks the parts below t; missing keys are made when create is set.
// Returns the id and the path as stored; *created tells whether the last was made.
Found walk(Txn& txn, const Target& t, const std::vector<std::string>& parts, bool create, bool* created)
{
    Found cur{t.id, t.path};
    if (created)
        *created = false;
    for (const auto& part : parts) {
        if (auto child = findChild(txn, cur.id, part)) {
            cur = Found{child->id, joinPath(cur.name, child->name)};
            if (created)
                *created = false;
            continue;
        }
        if (!create)
            throw Failure{ERROR_FILE_NOT_FOUND, "registry key " + t.hive->name() + "\\" +
                                                    joinPath(cur.name, part) + " does not exist"};
        Stmt ins(txn.hive(), "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)", true);
        ins.bind(1, cur.id).bind(2, part).bind(3, foldName(part));
        ins.step();
        cur = Found{txn.hive().lastInsertId(), joinPath(cur.name, part)};
        if (created)
            *created = true;
    }
    return cur;
}

HKEY newHandle(const Target& t, const Found& f, REGSAM access)
{
    auto* obj = new RegKeyObject{t.hive, f.id, f.name, access};
    std::lock_guard<std::mutex> lock(handlesMutex());
    handles().insert(obj);
    return obj;
}

std::vector<std::int64_t> subtree(Txn& txn, std::int64_t id)
{
    Stmt st(txn.hive(),
            "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL"
            " SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id)"
            " SELECT id FROM sub",
            true);
    st.bind(1, id);
    std::vector<std::int64_t> ids;
    while (st.step())
        ids.push_back(st.integer(0));
    return ids;
}

void deleteKeyRows(Txn& txn, std::int64_t id, bool keyItself)
{
    Stmt vals(txn.hive(), "DELETE FROM vals WHERE key = ?", true);
    vals.bind(1, id);
    vals.step();
    if (keyItself) {
        Stmt key(txn.hive(), "DELETE FROM keys WHERE id = ?", true);
        key.bind(1, id);
        key.step();
    }
}

std::string valueName(const char* name)
{
    return name ? std::string(name) : std::string();
}

// Runs one call: clears the last error, and turns a failure into its code and text.
template <class F>
LONG guarded(F&& body)
{
    tLastError.clear();
    try {
        body();
        return ERROR_SUCCESS;
    } catch (const Failure& f) {
        tLastError = f.text;
        return f.code;
    } catch (const std::bad_alloc&) {
        tLastError = "out of memory";
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::exception& e) {
        // Nothing else is expected, but no exception may leave a C call.
        tLastError = std::string("registry failure: ") + e.what();
        return ERROR_CANTREAD;
    }
}

// Copies a value's data as Win32 does: size only without a buffer, ERROR_MORE_DATA when short.
void deliverData(const std::vector<BYTE>& data, BYTE* out, DWORD* outSize)
{
    const auto size = static_cast<DWORD>(data.size());
    if (!outSize)
        return;
    if (!out) {
        *outSize = size;
        return;
    }
    if (*outSize < size) {
        *outSize = size;
        throw Failure{ERROR_MORE_DATA, "the buffer is too small for the registry value"};
    }
    if (size)
        std::memcpy(out, data.data(), size);
    *outSize = size;
}

void deliverName(const std::string& name, char* out, DWORD* outSize)
{
    if (!out || !outSize)
        throw Failure{ERROR_INVALID_PARAMETER, "no buffer for the name"};
    const auto needed = static_cast<DWORD>(name.size() + 1);
    if (*outSize < needed) {
        *outSize = needed;
        throw Failure{ERROR_MORE_DATA, "the buffer is too small for the name"};
    }
    std::memcpy(out, name.c_str(), needed);
    *outSize = needed - 1;
}

void clearClass(char* className, DWORD* classSize)
{
    if (className && classSize && *classSize)
        className[0] = '\0';
    if (classSize)
        *classSize = 0;
}

} // namespace

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result)
{
    return guarded([&] {
        if (!result)
            throw Failure{ERROR_INVALID_PARAMETER, "no place for the key handle"};
        *result = nullptr;
        const Target t = resolve(key);
        Txn txn(*t.hive, false);
        requireAlive(txn, t);
        const Found f = walk(txn, t, splitPath(subKey), false, nullptr);
        txn.commit();
        *result = newHandle(t, f, access);
    });
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* className, DWORD options,
                     REGSAM access, void* security, HKEY* result, DWORD* disposition)
{
    return guarded([&] {
        if (!result)
            throw Failure{ERROR_INVALID_PARAMETER, "no place for the key handle"};
        *result = nullptr;
        const Target t = resolve(key);
        requireAccess(t, KEY_CREATE_SUB_KEY);
        const auto parts = splitPath(subKey);
        std::optional<Found> f;
        bool created = false;
        {
            // Most opens find the key; only a missing one takes the write lock.
            Txn txn(*t.hive, false);
            requireAlive(txn, t);
            try {
                f = walk(txn, t, parts, false, nullptr);
            } catch (const Failure& e) {
                if (e.code != ERROR_FILE_NOT_FOUND)
                    throw;
            }
            txn.commit();
        }
        if (!f) {
            Txn txn(*t.hive, true);
            requireAlive(txn, t);
            f = walk(txn, t, parts, true, &created);
            txn.commit();
        }
        if (disposition)
            *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        *result = newHandle(t, *f, access);
    });
}

LONG RegCloseKey(HKEY key)
{
    return guarded([&] {
        if (hiveName(key))
            return;
        std::unique_ptr<RegKeyObject> obj;
        {
            std::lock_guard<std::mutex> lock(handlesMutex());
            if (!key || !handles().erase(key))
                throw Failure{ERROR_INVALID_HANDLE, "invalid registry key handle"};
            obj.reset(key);
        }
    });
}

LONG RegQueryValueExA(HKEY key, const char* valueName_, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize)
{
    return guarded([&] {
        if (data && !dataSize)
            throw Failure{ERROR_INVALID_PARAMETER, "no size for the value buffer"};
        const Target t = resolve(key);
        requireAccess(t, KEY_QUERY_VALUE);
        const std::string name = valueName(valueName_);
        Txn txn(*t.hive, false);
        requireAlive(txn, t);
        Stmt st(*t.hive, "SELECT type, data FROM vals WHERE key = ? AND fold = ?", false);
        st.bind(1, t.id).bind(2, foldName(name));
        if (!st.step())
            throw Failure{ERROR_FILE_NOT_FOUND, "registry value '" + name + "' of " + t.hive->name() + "\\" +
                                                    t.path + " does not exist"};
        const auto valueType = static_cast<DWORD>(st.integer(0));
        const std::vector<BYTE> bytes = st.blob(1);
        txn.commit();
        if (type)
            *type = valueType;
        deliverData(bytes, data, dataSize);
    });
}

LONG RegSetValueExA(HKEY key, const char* valueName_, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize)
{
    return guarded([&] {
        if (!data && dataSize)
            throw Failure{ERROR_INVALID_PARAMETER, "no data for the registry value"};
        const Target t = resolve(key);
        requireAccess(t, KEY_SET_VALUE);
        const std::string name = valueName(valueName_);
        Txn txn(*t.hive, true);
        requireAlive(txn, t);
        Stmt st(*t.hive,
                "INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)"
                " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data",
                true);
        st.bind(1, t.id).bind(2, name).bind(3, foldName(name)).bind(4, static_cast<std::int64_t>(type));
        st.bindBlob(5, data, dataSize);
        st.step();
        txn.commit();
    });
}

LONG RegDeleteValueA(HKEY key, const char* valueName_)
{
    return guarded([&] {
        const Target t = resolve(key);
        requireAccess(t, KEY_SET_VALUE);
        const std::string name = valueName(valueName_);
        Txn txn(*t.hive, true);
        requireAlive(txn, t);
        Stmt st(*t.hive, "DELETE FROM vals WHERE key = ? AND fold = ?", true);
        st.bind(1, t.id).bind(2, foldName(name));
        st.step();
        if (st.changes() == 0)
            throw Failure{ERROR_FILE_NOT_FOUND, "registry value '" + name + "' does not exist"};
        txn.commit();
    });
}

LONG RegDeleteKeyA(HKEY key, const char* subKey)
{
    return guarded([&] {
        if (!subKey)
            throw Failure{ERROR_INVALID_PARAMETER, "no key name to delete"};
        const Target t = resolve(key);
        Txn txn(*t.hive, true);
        requireAlive(txn, t);
        const Found f = walk(txn, t, splitPath(subKey), false, nullptr);
        if (f.id == 0)
            throw Failure{ERROR_ACCESS_DENIED, "the root of a hive cannot be deleted"};
        Stmt kids(*t.hive, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1", true);
        kids.bind(1, f.id);
        if (kids.step())
            throw Failure{ERROR_KEY_HAS_CHILDREN, "registry key " + t.hive->name() + "\\" + f.name +
                                                      " has subkeys"};
        deleteKeyRows(txn, f.id, true);
        txn.commit();
    });
}

LONG RegDeleteTreeA(HKEY key, const char* subKey)
{
    return guarded([&] {
        const Target t = resolve(key);
        const auto parts = splitPath(subKey);
        Txn txn(*t.hive, true);
        requireAlive(txn, t);
        const Found f = walk(txn, t, parts, false, nullptr);
        const bool keepTop = parts.empty();
        for (std::int64_t id : subtree(txn, f.id))
            deleteKeyRows(txn, id, !(keepTop && id == f.id) && id != 0);
        txn.commit();
    });
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved, char* className,
                   DWORD* classSize, void* lastWriteTime)
{
    return guarded([&] {
        if (!name || !nameSize)
            throw Failure{ERROR_INVALID_PARAMETER, "no buffer for the key name"};
        const Target t = resolve(key);
        requireAccess(t, KEY_ENUMERATE_SUB_KEYS);
        Txn txn(*t.hive, false);
        requireAlive(txn, t);
        Stmt st(*t.hive, "SELECT name FROM keys WHERE parent = ? ORDER BY fold, name LIMIT 1 OFFSET ?", false);
        st.bind(1, t.id).bind(2, static_cast<std::int64_t>(index));
        if (!st.step())
            throw Failure{ERROR_NO_MORE_ITEMS, "no more subkeys"};
        const std::string found = st.text(0);
        txn.commit();
        deliverName(found, name, nameSize);
        clearClass(className, classSize);
    });
}

LONG RegEnumValueA(HKEY key, DWORD index, char* valueName_, DWORD* valueNameSize, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* dataSize)
{
    return guarded([&] {
        if (data && !dataSize)
            throw Failure{ERROR_INVALID_PARAMETER, "no size for the value buffer"};
        const Target t = resolve(key);
        requireAccess(t, KEY_QUERY_VALUE);
        Txn txn(*t.hive, false);
        requireAlive(txn, t);
        Stmt st(*t.hive,
                "SELECT name, type, data FROM vals WHERE key = ? ORDER BY fold, name LIMIT 1 OFFSET ?", false);
        st.bind(1, t.id).bind(2, static_cast<std::int64_t>(index));
        if (!st.step())
            throw Failure{ERROR_NO_MORE_ITEMS, "no more values"};
        const std::string found = st.text(0);
        const auto valueType = static_cast<DWORD>(st.integer(1));
        const std::vector<BYTE> bytes = st.blob(2);
        txn.commit();
        deliverName(found, valueName_, valueNameSize);
        if (type)
            *type = valueType;
        deliverData(bytes, data, dataSize);
    });
}

LONG RegQueryInfoKeyA(HKEY key, char* className, DWORD* classSize, DWORD* reserved, DWORD* subKeys,
                      DWORD* maxSubKeyLen, DWORD* maxClassLen, DWORD* values, DWORD* maxValueNameLen,
                      DWORD* maxValueLen, DWORD* securityDescriptor, void* lastWriteTime)
{
    return guarded([&] {
        const Target t = resolve(key);
        requireAccess(t, KEY_QUERY_VALUE);
        Txn txn(*t.hive, false);
        requireAlive(txn, t);
        Stmt k(*t.hive, "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?",
               false);
        k.bind(1, t.id);
        k.step();
        Stmt v(*t.hive,
               "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), coalesce(max(length(data)), 0)"
               " FROM vals WHERE key = ?",
               false);
        v.bind(1, t.id);
        v.step();
        if (subKeys)
            *subKeys = static_cast<DWORD>(k.integer(0));
        if (maxSubKeyLen)
            *maxSubKeyLen = static_cast<DWORD>(k.integer(1));
        if (values)
            *values = static_cast<DWORD>(v.integer(0));
        if (maxValueNameLen)
            *maxValueNameLen = static_cast<DWORD>(v.integer(1));
        if (maxValueLen)
            *maxValueLen = static_cast<DWORD>(v.integer(2));
        if (maxClassLen)
            *maxClassLen = 0;
        if (securityDescriptor)
            *securityDescriptor = 0;
        clearClass(className, classSize);
        txn.commit();
    });
}

namespace th::registry {

std::string RegLastErrorText()
{
    return tLastError;
}

std::string RegistryFolder()
{
    if (const char* dir = std::getenv("THARVEST_REGISTRY_DIR"); dir && *dir)
        return dir;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        return std::string(config) + "/tharvest/registry";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else {
        struct passwd pw;
        struct passwd* found = nullptr;
        std::vector<char> buf(16384);
        if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found)
            home = found->pw_dir;
    }
    return home + "/.config/tharvest/registry";
}

LONG ListSubKeys(HKEY key, std::vector<std::string>* names)
{
    return guarded([&] {
        if (!names)
            throw Failure{ERROR_INVALID_PARAMETER, "no list for the subkeys"};
        names->clear();
        const Target t = resolve(key);
        requireAccess(t, KEY_ENUMERATE_SUB_KEYS);
        Txn txn(*t.hive, false);
        requireAlive(txn, t);
        Stmt st(*t.hive, "SELECT name FROM keys WHERE parent = ? ORDER BY fold, name", false);
        st.bind(1, t.id);
        while (st.step())
            names->push_back(st.text(0));
        txn.commit();
    });
}

LONG ListValues(HKEY key, std::vector<Value>* values)
{
    return guarded([&] {
        if (!values)
            throw Failure{ERROR_INVALID_PARAMETER, "no list for the values"};
        values->clear();
        const Target t = resolve(key);
        requireAccess(t, KEY_QUERY_VALUE);
        Txn txn(*t.hive, false);
        requireAlive(txn, t);
        Stmt st(*t.hive, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY fold, name", false);
        st.bind(1, t.id);
        while (st.step())
            values->push_back(Value{st.text(0), static_cast<DWORD>(st.integer(1)), st.blob(2)});
        txn.commit();
    });
}

LONG ReadValue(HKEY key, const char* valueName_, Value* value)
{
    return guarded([&] {
        if (!value)
            throw Failure{ERROR_INVALID_PARAMETER, "no place for the value"};
        const Target t = resolve(key);
        requireAccess(t, KEY_QUERY_VALUE);
        const std::string name = valueName(valueName_);
        Txn txn(*t.hive, false);
        requireAlive(txn, t);
        Stmt st(*t.hive, "SELECT name, type, data FROM vals WHERE key = ? AND fold = ?", false);
        st.bind(1, t.id).bind(2, foldName(name));
        if (!st.step())
            throw Failure{ERROR_FILE_NOT_FOUND, "registry value '" + name + "' does not exist"};
        *value = Value{st.text(0), static_cast<DWORD>(st.integer(1)), st.blob(2)};
        txn.commit();
    });
}

std::string HiveFile(HKEY root)
{
    const char* name = hiveName(root);
    return name ? RegistryFolder() + "/" + name + ".db" : std::string();
}

LONG CheckHive(HKEY root)
{
    return guarded([&] {
        const char* name = hiveName(root);
        if (!name)
            throw Failure{ERROR_INVALID_HANDLE, "not the root of a hive"};
        const std::shared_ptr<Hive> hive = hiveOf(name);
        Txn txn(*hive, false);
        // A file cut short or overwritten in places opens and reads its
        // first pages well; the check reads them all.
        Stmt st(*hive, "PRAGMA quick_check", false);
        const std::string verdict = st.step() ? st.text(0) : std::string("no answer");
        if (verdict != "ok")
            throw Failure{ERROR_BADDB, "registry file " + hive->file() + " is damaged: " + verdict};
        txn.commit();
    });
}

bool SetHiveAside(HKEY root, std::string* aside, std::string* error)
{
    const char* name = hiveName(root);
    if (!name) {
        if (error)
            *error = "not the root of a hive";
        return false;
    }
    const std::shared_ptr<Hive> hive = hiveOf(name);
    std::lock_guard<std::mutex> lock(hive->mutex());
    hive->reset();
    const std::string file = hive->file();
    std::string target;
    for (int n = 1;; ++n) {
        target = file.substr(0, file.size() - 3) + ".damaged" + (n > 1 ? "-" + std::to_string(n) : "") + ".db";
        std::error_code ec;
        if (!std::filesystem::exists(target, ec))
            break;
    }
    std::error_code ec;
    std::filesystem::rename(file, target, ec);
    if (ec) {
        if (error)
            *error = "registry file " + file + " cannot be renamed to " + target + ": " + ec.message();
        return false;
    }
    // SQLite's own files go with it: a journal left behind would be played
    // into the new hive.
    for (const char* side : {"-journal", "-wal", "-shm"}) {
        std::error_code sideError;
        if (std::filesystem::exists(file + side, sideError))
            std::filesystem::rename(file + side, target + side, sideError);
    }
    if (aside)
        *aside = target;
    return true;
}

void SetBusyWaitMs(int ms)
{
    tBusyWaitMs = ms < 0 ? 0 : ms;
}

std::string KeyPath(HKEY key)
{
    if (hiveName(key))
        return std::string();
    std::lock_guard<std::mutex> lock(handlesMutex());
    if (!key || !handles().count(key))
        return std::string();
    return key->path;
}

} // namespace th::registry

// The registry over SQLite.
//
// One database file per hive, "<folder>/<hive name>.db" (HKEY_CURRENT_USER.db,
// HKEY_CLASSES_ROOT.db). Layout, marked with PRAGMA user_version = 1:
//
//   keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,
//        name TEXT NOT NULL, fold TEXT NOT NULL, UNIQUE(parent, fold))
//   vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,
//        type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, fold))
//
// The root of the hive is key 0 and has no row. `name` keeps the case a key or
// value was made with; `fold` is the name in ASCII upper case, which is what
// names are compared and listed by (Windows orders by the upper-case form, so
// "_" sorts after the letters). Ids are never reused (AUTOINCREMENT), so a handle
// to a deleted key stays deleted even when a key of the same path is made again.
//
// Every call runs in one transaction: BEGIN IMMEDIATE for the calls that write,
// a deferred BEGIN for those that only read. A busy timeout makes a second
// process wait for the first instead of failing. Within a process each hive has
// one connection, serialised by a mutex.
//
// A file that is not a database of this layout is reported as damaged and never
// written: its layout is checked by reads before anything is written to it, and
// a new layout is only made in an empty database.

#include "platform/registry/Registry.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <cstdio>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <unordered_set>

namespace {

constexpr int kLayoutVersion = 1;
// How long a call waits for another process to let go of a hive, unless its
// thread has said otherwise (the program's main thread waits only briefly).
constexpr int kBusyTimeoutMs = 30000;

thread_local std::string tLastError;
thread_local int tBusyWaitMs = kBusyTimeoutMs;

// Who holds a lock on the file, from the kernel's list of file locks: "process
// 1234 (sqlite3)", or empty when no other process is listed. SQLite's locks are
// POSIX record locks; opening the file ourselves to ask would drop the locks
// of our own connection when it is closed again, so the list is read instead.
std::string holderOf(const std::string& file)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return {};
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks)
        return {};
    // On a stacked file system (overlayfs) the lock is listed under the
    // device below: the inode alone then has to do.
    long holder = 0, sameInode = 0;
    char line[512];
    while (!holder && std::fgets(line, sizeof line, locks)) {
        // "1: POSIX  ADVISORY  WRITE 4242 08:01:1234567 1073741824 1073741825"
        char kind[32] = {}, mode[32] = {}, access[32] = {};
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        const char* p = std::strchr(line, ':');
        if (!p || std::sscanf(p + 1, "%31s %31s %31s %ld %x:%x:%llu", kind, mode, access, &pid, &major, &minor,
                              &inode) != 7)
            continue;
        if (inode != st.st_ino || pid <= 0 || pid == ::getpid())
            continue;
        if (major == ::major(st.st_dev) && minor == ::minor(st.st_dev))
            holder = pid;
        else if (!sameInode)
            sameInode = pid;
    }
    std::fclose(locks);
    if (!holder)
        holder = sameInode;
    if (!holder)
        return {};
    std::string text = "process " + std::to_string(holder);
    if (std::FILE* comm = std::fopen(("/proc/" + std::to_string(holder) + "/comm").c_str(), "re")) {
        char name[64] = {};
        if (std::fgets(name, sizeof name, comm)) {
            name[std::strcspn(name, "\n")] = '\0';
            if (*name)
                text += std::string(" (") + name + ")";
        }
        std::fclose(comm);
    }
    return text;
}

std::string seconds(int ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

// A failure inside an operation: the Win32 code and the text for RegLastErrorText.
struct Failure {
    LONG code;
    std::string text;
};

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

class Hive {
public:
    Hive(std::string name, std::string file) : name_(std::move(name)), file_(std::move(file)) {}
    ~Hive()
    {
        if (db_)
            sqlite3_close(db_);
    }
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    std::mutex mutex;

    const std::string& name() const { return name_; }
    const std::string& file() const { return file_; }
    // The connection as it is, without opening it.
    sqlite3* raw() const { return db_; }
    // Closes the connection; the next use opens the file anew. With the mutex held.
    void reset()
    {
        if (db_)
            sqlite3_close(db_);
        db_ = nullptr;
    }

    // The connection, opened and checked on first use; with the mutex held.
    sqlite3* db()
    {
        if (!db_)
            open();
        return db_;
    }

    [[noreturn]] void fail(int rc, bool writing) const
    {
        std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        const std::string where = "registry file " + file_;
        switch (rc & 0xff) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            throw Failure{ERROR_BADDB, where + " is damaged: " + msg};
        case SQLITE_CANTOPEN:
            throw Failure{ERROR_CANTOPEN, where + " cannot be opened: " + msg + systemError()};
        case SQLITE_NOMEM:
            throw Failure{ERROR_NOT_ENOUGH_MEMORY, where + ": out of memory"};
        case SQLITE_BUSY:
        case SQLITE_LOCKED: {
            const std::string holder = holderOf(file_);
            throw Failure{writing ? ERROR_CANTWRITE : ERROR_CANTREAD,
                          where + " is held by another program" + (holder.empty() ? "" : " (" + holder + ")") +
                              ", which did not let go of it within " + seconds(tBusyWaitMs)};
        }
        case SQLITE_READONLY:
        case SQLITE_FULL:
        case SQLITE_PERM:
            throw Failure{ERROR_CANTWRITE, where + " cannot be written: " + msg + systemError()};
        default:
            if (writing)
                throw Failure{ERROR_CANTWRITE, where + " cannot be written: " + msg + systemError()};
            throw Failure{ERROR_CANTREAD, where + " cannot be read: " + msg + systemError()};
        }
    }

    void exec(const char* sql, bool writing)
    {
        const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            fail(rc, writing);
    }

private:
    std::string systemError() const
    {
        const int e = db_ ? sqlite3_system_errno(db_) : 0;
        return e ? std::string(" (") + std::strerror(e) + ")" : std::string();
    }

    int readInt(const char* sql)
    {
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql, -1, &st, nullptr);
        if (rc != SQLITE_OK)
            fail(rc, false);
        rc = sqlite3_step(st);
        const int v = rc == SQLITE_ROW ? sqlite3_column_int(st, 0) : 0;
        sqlite3_finalize(st);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            fail(rc, false);
        return v;
    }

    // Empty database: make the layout. Our layout: use it. Anything else: damaged.
    void checkLayout()
    {
        // One read transaction, so that a layout another process is making
        // right now is seen either whole or not at all.
        int version = 0, objects = 0, ours = 0;
        exec("BEGIN", false);
        try {
            version = readInt("PRAGMA user_version");
            objects = readInt("SELECT count(*) FROM sqlite_master");
            ours = readInt("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('keys', 'vals')");
            exec("COMMIT", false);
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        if (version == kLayoutVersion) {
            if (ours == 2)
                return;
        } else if (version == 0 && objects == 0) {
            exec("BEGIN IMMEDIATE", true);
            try {
                // Another process may have made it while we waited for the lock.
                if (readInt("PRAGMA user_version") == 0 &&
                    readInt("SELECT count(*) FROM sqlite_master") == 0) {
                    exec("CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                         " parent INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
                         " UNIQUE(parent, fold));"
                         "CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL,"
                         " fold TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
                         " PRIMARY KEY(key, fold));"
                         "PRAGMA user_version = 1;",
                         true);
                }
                exec("COMMIT", true);
            } catch (...) {
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
            checkLayout();
            return;
        }
        throw Failure{ERROR_BADDB, "registry file " + file_ +
                                       " is damaged: it is not a registry database (layout " +
                                       std::to_string(version) + ")"};
    }

    void open()
    {
        const std::filesystem::path path(file_);
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec)
            throw Failure{ERROR_CANTOPEN, "registry file " + file_ + " cannot be opened: cannot make the folder " +
                                              path.parent_path().string() + ": " + ec.message()};
        sqlite3* db = nullptr;
        const int rc = sqlite3_open_v2(file_.c_str(), &db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                       nullptr);
        db_ = db;
        try {
            if (rc != SQLITE_OK)
                fail(rc, false);
            sqlite3_busy_timeout(db_, tBusyWaitMs);
            checkLayout();
        } catch (...) {
            sqlite3_close(db_);
            db_ = nullptr;
            throw;
        }
    }

    std::string name_;
    std::string file_;
    sqlite3* db_ = nullptr;
};

// A prepared statement of one call.
class Stmt {
public:
    Stmt(Hive& hive, const char* sql, bool writing) : hive_(hive), writing_(writing)
    {
        const int rc = sqlite3_prepare_v2(hive.db(), sql, -1, &st_, nullptr);
        if (rc != SQLITE_OK)
            hive.fail(rc, writing);
    }
    ~Stmt() { sqlite3_finalize(st_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int i, std::int64_t v)
    {
        sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    Stmt& bind(int i, const std::string& v)
    {
        sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bindBlob(int i, const BYTE* data, DWORD size)
    {
        // A zero-length blob must still be a blob, not NULL.
        sqlite3_bind_blob(st_, i, size ? static_cast<const void*>(data) : "", static_cast<int>(size),
                          SQLITE_TRANSIENT);
        return *this;
    }
    // True for a row, false at the end.
    bool step()
    {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        hive_.fail(rc, writing_);
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(st_, col); }
    std::string text(int col) const
    {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(st_, col));
        const int n = sqlite3_column_bytes(st_, col);
        return p ? std::string(p, static_cast<std::size_t>(n)) : std::string();
    }
    std::vector<BYTE> blob(int col) const
    {
        const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(st_, col));
        const int n = sqlite3_column_bytes(st_, col);
        return p ? std::vector<BYTE>(p, p + n) : std::vector<BYTE>();
    }
    int changes() const { return sqlite3_changes(sqlite3_db_handle(st_)); }

private:
    Hive& hive_;
    bool writing_;
    sqlite3_stmt* st_ = nullptr;
};

// One call's transaction, with the hive's mutex held for its whole life.
class Txn {
public:
    Txn(Hive& hive, bool writing) : hive_(hive), lock_(hive.mutex), writing_(writing)
    {
        // The wait is the calling thread's: the connection serves every thread.
        sqlite3_busy_timeout(hive.db(), tBusyWaitMs);
        hive.exec(writing ? "BEGIN IMMEDIATE" : "BEGIN", writing);
    }
    ~Txn()
    {
        if (!done_)
            sqlite3_exec(hive_.raw(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;

    void commit()
    {
        // A statement left half-stepped (one row of a LIMIT query) must not hold the commit up.
        for (sqlite3_stmt* st = sqlite3_next_stmt(hive_.raw(), nullptr); st;
             st = sqlite3_next_stmt(hive_.raw(), st))
            sqlite3_reset(st);
        hive_.exec("COMMIT", writing_);
        done_ = true;
    }
    Hive& hive() { return hive_; }
    bool writing() const { return writing_; }

private:
    Hive& hive_;
    std::lock_guard<std::mutex> lock_;
    bool writing_;
    bool done_ = false;
};

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
        cur = Found{sqlite3_last_insert_rowid(txn.hive().db()), joinPath(cur.name, part)};
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
    std::lock_guard<std::mutex> lock(hive->mutex);
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

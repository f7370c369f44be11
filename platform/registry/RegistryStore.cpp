// The store of the registry: SQLite.
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

#include "platform/registry/RegistryStore.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace th::registry::store {

namespace {

constexpr int kLayoutVersion = 1;
// How long a call waits for another process to let go of a hive, unless its
// thread has said otherwise (the program's main thread waits only briefly).
constexpr int kBusyTimeoutMs = 30000;

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

} // namespace

thread_local int tBusyWaitMs = kBusyTimeoutMs;

// --- Hive ----------------------------------------------------------------------------------

Hive::~Hive()
{
    if (db_)
        sqlite3_close(db_);
}

void Hive::reset()
{
    if (db_)
        sqlite3_close(db_);
    db_ = nullptr;
}

std::int64_t Hive::lastInsertId()
{
    return sqlite3_last_insert_rowid(db());
}

void Hive::fail(int rc, bool writing) const
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

void Hive::exec(const char* sql, bool writing)
{
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        fail(rc, writing);
}

std::string Hive::systemError() const
{
    const int e = db_ ? sqlite3_system_errno(db_) : 0;
    return e ? std::string(" (") + std::strerror(e) + ")" : std::string();
}

int Hive::readInt(const char* sql)
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

void Hive::checkLayout()
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

void Hive::open()
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

// --- Stmt ----------------------------------------------------------------------------------

Stmt::Stmt(Hive& hive, const char* sql, bool writing) : hive_(hive), writing_(writing)
{
    const int rc = sqlite3_prepare_v2(hive.db(), sql, -1, &st_, nullptr);
    if (rc != SQLITE_OK)
        hive.fail(rc, writing);
}

Stmt::~Stmt()
{
    sqlite3_finalize(st_);
}

Stmt& Stmt::bind(int i, std::int64_t v)
{
    sqlite3_bind_int64(st_, i, v);
    return *this;
}

Stmt& Stmt::bind(int i, const std::string& v)
{
    sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
}

Stmt& Stmt::bindBlob(int i, const BYTE* data, DWORD size)
{
    // A zero-length blob must still be a blob, not NULL.
    sqlite3_bind_blob(st_, i, size ? static_cast<const void*>(data) : "", static_cast<int>(size),
                      SQLITE_TRANSIENT);
    return *this;
}

bool Stmt::step()
{
    const int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    hive_.fail(rc, writing_);
}

std::int64_t Stmt::integer(int col) const
{
    return sqlite3_column_int64(st_, col);
}

std::string Stmt::text(int col) const
{
    const auto* p = static_cast<const char*>(sqlite3_column_blob(st_, col));
    const int n = sqlite3_column_bytes(st_, col);
    return p ? std::string(p, static_cast<std::size_t>(n)) : std::string();
}

std::vector<BYTE> Stmt::blob(int col) const
{
    const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(st_, col));
    const int n = sqlite3_column_bytes(st_, col);
    return p ? std::vector<BYTE>(p, p + n) : std::vector<BYTE>();
}

int Stmt::changes() const
{
    return sqlite3_changes(sqlite3_db_handle(st_));
}

// --- Txn -----------------------------------------------------------------------------------

Txn::Txn(Hive& hive, bool writing) : hive_(hive), lock_(hive.mutex()), writing_(writing)
{
    // The wait is the calling thread's: the connection serves every thread.
    sqlite3_busy_timeout(hive.db(), tBusyWaitMs);
    hive.exec(writing ? "BEGIN IMMEDIATE" : "BEGIN", writing);
}

Txn::~Txn()
{
    if (!done_)
        sqlite3_exec(hive_.raw(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Txn::commit()
{
    // A statement left half-stepped (one row of a LIMIT query) must not hold the commit up.
    for (sqlite3_stmt* st = sqlite3_next_stmt(hive_.raw(), nullptr); st;
         st = sqlite3_next_stmt(hive_.raw(), st))
        sqlite3_reset(st);
    hive_.exec("COMMIT", writing_);
    done_ = true;
}

} // namespace th::registry::store

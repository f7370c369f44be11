#pragma once
// The SQLite store under the registry calls (Registry.cpp): one connection per
// hive file, prepared statements, and one transaction per call. Private to
// th_registry; the layout of a hive file is described in RegistryStore.cpp.
// Failures are thrown as store::Failure, which the calls turn into their
// Win32 code and RegLastErrorText.

#include "platform/base/WinTypes.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace th::registry::store {

// How long a call of this thread waits for another process to let go of a
// hive (SetBusyWaitMs).
extern thread_local int tBusyWaitMs;

// A failure inside an operation: the Win32 code and the text for RegLastErrorText.
struct Failure {
    LONG code;
    std::string text;
};

class Hive {
public:
    Hive(std::string name, std::string file) : name_(std::move(name)), file_(std::move(file)) {}
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    // Serialises the threads of this process on the connection.
    std::mutex& mutex() { return mutex_; }

    const std::string& name() const { return name_; }
    const std::string& file() const { return file_; }
    // The connection as it is, without opening it.
    sqlite3* raw() const { return db_; }
    // Closes the connection; the next use opens the file anew. With the mutex held.
    void reset();

    // The connection, opened and checked on first use; with the mutex held.
    sqlite3* db()
    {
        if (!db_)
            open();
        return db_;
    }
    // The id of the row the last INSERT made.
    std::int64_t lastInsertId();

    [[noreturn]] void fail(int rc, bool writing) const;
    void exec(const char* sql, bool writing);

private:
    std::string systemError() const;
    int readInt(const char* sql);
    // Empty database: make the layout. Our layout: use it. Anything else: damaged.
    void checkLayout();
    void open();

    std::mutex mutex_;
    std::string name_;
    std::string file_;
    sqlite3* db_ = nullptr;
};

// A prepared statement of one call.
class Stmt {
public:
    Stmt(Hive& hive, const char* sql, bool writing);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int i, std::int64_t v);
    Stmt& bind(int i, const std::string& v);
    Stmt& bindBlob(int i, const BYTE* data, DWORD size);
    // True for a row, false at the end.
    bool step();
    std::int64_t integer(int col) const;
    std::string text(int col) const;
    std::vector<BYTE> blob(int col) const;
    int changes() const;

private:
    Hive& hive_;
    bool writing_;
    sqlite3_stmt* st_ = nullptr;
};

// One call's transaction, with the hive's mutex held for its whole life.
class Txn {
public:
    Txn(Hive& hive, bool writing);
    ~Txn();
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;

    void commit();
    Hive& hive() { return hive_; }
    bool writing() const { return writing_; }

private:
    Hive& hive_;
    std::lock_guard<std::mutex> lock_;
    bool writing_;
    bool done_ = false;
};

} // namespace th::registry::store

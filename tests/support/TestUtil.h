#pragma once
// Small helpers shared by the tests.
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace th::test {

// A folder of its own under $TMPDIR, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    QString qpath() const { return QString::fromStdString(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Lowers the process's file size limit for one scope: writes past it fail
// with EFBIG, as they do on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(std::int64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    long long old_ = -1;
};

// A small disk of its own: a tmpfs of `bytes` mounted on a new folder (read-
// only when asked), unmounted with the object. Where the test may not mount,
// a full disk falls back to a file-size limit of `bytes` for the process
// (writes then fail as "file too large"), and a read-only disk to a folder
// without write permission (which does not hold for root). usable() says
// whether the disk behaves as asked; why() says why not.
class SmallDisk {
public:
    enum class Kind { Full, ReadOnly };
    // Without fallBack a disk that cannot be mounted is left unusable.
    SmallDisk(Kind kind, std::int64_t bytes, bool fallBack = true);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool usable() const { return usable_; }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    const std::string& path() const { return dir_.path(); }
    QString qpath() const { return dir_.qpath(); }
    // Fills the disk up to `leave` bytes of free space with a file of its own.
    bool fill(std::int64_t leave);

private:
    TempDir dir_;
    bool mounted_ = false;
    bool usable_ = false;
    bool limited_ = false;
    std::string why_;
    long long oldLimit_ = -1;
};

// Processes Qt events until pred() holds or the time-out passes; returns pred().
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Folder of the built programs and modules (tharvest, regsvr, thtape, thmux.ax).
std::string binDir();

// Runs a program and returns its exit status; its output goes to *out when given.
int runProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* out = nullptr);

} // namespace th::test

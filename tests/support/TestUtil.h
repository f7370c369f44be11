#pragma once
// Small helpers shared by the tests.
#include <QString>
#include <chrono>
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

// Processes Qt events until pred() holds or the time-out passes; returns pred().
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Folder of the built programs and modules (tharvest, regsvr, thtape, thmux.ax).
std::string binDir();

// Runs a program and returns its exit status; its output goes to *out when given.
int runProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* out = nullptr);

} // namespace th::test

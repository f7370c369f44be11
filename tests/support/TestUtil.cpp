#include "TestUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace th::test {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/thtmp.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeout.count())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

std::string binDir()
{
    return std::string(TH_BINARY_DIR) + "/bin";
}

int runProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* out)
{
    QProcess p;
    QStringList qargs;
    for (const auto& a : args)
        qargs << QString::fromStdString(a);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QString::fromStdString(program), qargs);
    if (!p.waitForStarted(10000))
        return -1;
    p.waitForFinished(120000);
    if (out)
        *out = p.readAll().toStdString();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace th::test

#include "ProjectLoaderFuzzBody.h"

#include "platform/rtl/SysUtils.h"
#include "project/CheckFile.h"
#include "project/Project.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

#include <memory>

namespace th::fuzz {

namespace {

QString& inputPath()
{
    static QString path;
    return path;
}

// Fuzzed capture folders must not litter the file system: accept some and
// refuse others, making nothing.
bool pretendToMakeFolder(const QString& path) { return path.size() % 2 == 0; }

} // namespace

void ProjectLoaderSetUp()
{
    static QTemporaryDir scratch;
    inputPath() = scratch.path() + QStringLiteral("/input.thp");
    TTHProject::SetFolderMaker(&pretendToMakeFolder);
    TCheckFileForm::SetAnswerHook([](TCheckFileForm& form) { form.IgnoreAllBtn->click(); });
    // The first dialog loads fonts once for the process; let that happen
    // before any input, so a leak check per input sees only the loader.
    TCheckFileForm warmUp;
    warmUp.MissingFileName = scratch.path() + QStringLiteral("/missing.avi");
    warmUp.exec();
}

void ProjectLoaderOne(const std::uint8_t* data, std::size_t size)
{
    {
        QFile file(inputPath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return;
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    try {
        std::unique_ptr<TTHProject> project = TTHProject::CreateFromFile(inputPath());
        // What loaded must be consistent: no duplicates survive the check.
        QStringList files = project->Files;
        files.removeDuplicates();
        if (files.size() != project->Files.size())
            __builtin_trap();
    } catch (const Exception&) {
    }
}

} // namespace th::fuzz

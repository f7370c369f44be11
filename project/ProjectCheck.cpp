// The check of the captured files that every load runs: files that moved are
// found again, files the user gives up leave the list. Files on disk are
// never touched.

#include "project/CheckFile.h"
#include "project/Project.h"

#include "platform/rtl/SysUtils.h"

#include <QFileInfo>

#include <memory>

namespace {

constexpr std::uint8_t kAsk = 0;
constexpr std::uint8_t kIgnored = 1;
constexpr std::uint8_t kIgnoreAll = 2;

} // namespace

void TTHProject::RemoveDuplicates(QStringList& List)
{
    for (qsizetype i = List.size() - 1; i >= 0; --i) {
        for (qsizetype j = i - 1; j >= 0; --j) {
            if (List.at(j) == List.at(i)) {
                List.removeAt(i);
                Modified = true;
                break;
            }
        }
    }
}

void TTHProject::CheckFiles()
{
    RemoveDuplicates(Files);
    QString lastFolder;
    std::uint8_t ignoreState = kAsk;
    // From the last entry to the first, so the user is asked in that order.
    for (qsizetype i = Files.size() - 1; i >= 0; --i) {
        QString found;
        if (LocateFile(Files.at(i), ignoreState, found, lastFolder)) {
            if (found != Files.at(i)) {
                Files[i] = found;
                Modified = true;
            }
        } else {
            Files.removeAt(i);
            Modified = true;
        }
    }
    // A file found again may now be the same as another entry.
    RemoveDuplicates(Files);
}

bool TTHProject::LocateFile(const QString& FileName, std::uint8_t& IgnoreState, QString& FoundName,
                            QString& LastFolder)
{
    if (FileExists(FileName)) {
        FoundName = FileName;
        return true;
    }
    if (IgnoreState == kIgnoreAll)
        return false;
    // Files of one moved folder: once the user has shown where one went, the
    // others are looked for there by name. Before that the bare name is
    // looked for in the current directory.
    const QString candidate = LastFolder + ExtractFileName(FileName);
    if (FileExists(candidate)) {
        // A name found in the current directory is recorded with its folder:
        // a bare name would mean another place once that directory changes.
        FoundName = QFileInfo(candidate).isRelative() ? QFileInfo(candidate).absoluteFilePath() : candidate;
        return true;
    }

    auto form = std::make_unique<TCheckFileForm>();
    form->MissingFileName = FileName;
    form->exec();
    switch (form->CheckResult) {
    case TCheckFileForm::ReplaceResult:
        FoundName = form->NewFileName;
        LastFolder = ExtractFilePath(form->NewFileName);
        return true;
    case TCheckFileForm::IgnoreAllResult:
        IgnoreState = kIgnoreAll;
        return false;
    default:
        IgnoreState = kIgnored;
        return false;
    }
}

#include "project/Project.h"

#include "platform/rtl/SysUtils.h"

#include <QFile>
#include <QFileInfo>

namespace {

const QString kVideoFolder = QStringLiteral("Video");

TTHProject::FolderMaker& folderMaker()
{
    static TTHProject::FolderMaker maker = &ForceDirectories;
    return maker;
}

} // namespace

std::unique_ptr<TTHProject> TTHProject::CreateNew(const QString& ProjectsPath, const QString& Name)
{
    std::unique_ptr<TTHProject> project(new TTHProject);
    project->SetProjectsPath(ProjectsPath);
    project->SetName(Name);
    project->LoadDefaults();
    project->Modified = false;
    return project;
}

std::unique_ptr<TTHProject> TTHProject::CreateFromFile(const QString& FileName)
{
    std::unique_ptr<TTHProject> project(new TTHProject);
    project->LoadDefaults();
    project->LoadFromFile(FileName);
    return project;
}

TTHProject::~TTHProject() = default;

void TTHProject::SetFolderMaker(FolderMaker maker) { folderMaker() = maker ? maker : &ForceDirectories; }

void TTHProject::LoadDefaults()
{
    Report.clear();
    Files.clear();
    IsNew = true;
    SetCaptureJob(ReadChoice(QStringLiteral("CaptureJob"), true));
    SetRewindTape(ReadChoice(QStringLiteral("RewindTape"), true));
    SetShowPreview(ReadChoice(QStringLiteral("ShowPreview"), true));
    SetSplitFiles(ReadChoice(QStringLiteral("SplitFiles"), false));
    SetShutdown(ReadChoice(QStringLiteral("Shutdown"), false));
    SetTapeOption(toXtoN);
    SetFileType(1);
    // Not validated: nothing is created before the first save.
    CaptureFolder = ProjectsPath + Name + QLatin1Char('/') + kVideoFolder;
}

void TTHProject::SetCaptureJob(bool Value)
{
    if (CaptureJob == Value)
        return;
    CaptureJob = Value;
    Modified = true;
}

void TTHProject::SetTapeOption(TTapeOption Value)
{
    if (TapeOption == Value)
        return;
    TapeOption = Value;
    if (Value == toManual)
        Shutdown = false; // nobody is there to end a manual capture in time
    Modified = true;
}

void TTHProject::SetRewindTape(bool Value)
{
    if (RewindTape == Value)
        return;
    RewindTape = Value;
    Modified = true;
}

void TTHProject::SetFileType(std::uint8_t Value)
{
    if (FileType == Value)
        return;
    FileType = Value;
    Modified = true;
}

void TTHProject::SetShowPreview(bool Value)
{
    if (ShowPreview == Value)
        return;
    ShowPreview = Value;
    Modified = true;
}

void TTHProject::SetSplitFiles(bool Value)
{
    if (SplitFiles == Value)
        return;
    SplitFiles = Value;
    Modified = true;
}

void TTHProject::SetStartTime(TTimecode Value)
{
    if (StartTime == Value)
        return;
    StartTime = Value;
    Modified = true;
}

void TTHProject::SetEndTime(TTimecode Value)
{
    if (EndTime == Value)
        return;
    EndTime = Value;
    Modified = true;
}

void TTHProject::SetShutdown(bool Value)
{
    ShutdownChoice = Value;
    if (Shutdown == Value)
        return;
    Shutdown = Value;
    Modified = true;
}

void TTHProject::SetCaptureFolder(const QString& Value)
{
    if (CaptureFolder == Value)
        return;
    ValidatePath(Value);
    CaptureFolder = Value;
    Modified = true;
}

void TTHProject::SetProjectsPath(const QString& Value)
{
    // "/" alone would pass as the file system's root.
    if (Value.isEmpty())
        throw Exception(QStringLiteral("Invalid project path."));
    QString path = Value;
    if (!path.endsWith(QLatin1Char('/')) && !path.endsWith(QLatin1Char('\\')))
        path += QLatin1Char('/');
    if (ProjectsPath == path)
        return;
    ValidatePath(path);
    ProjectsPath = path;
    CaptureFolder = ProjectsPath + Name + QLatin1Char('/') + kVideoFolder;
    Modified = true;
}

void TTHProject::SetName(const QString& Value)
{
    if (Name == Value)
        return;
    ValidateName(Value);
    Name = Value;
    CaptureFolder = ProjectsPath + Name + QLatin1Char('/') + kVideoFolder;
    Modified = true;
}

bool TTHProject::ValidatePath(const QString& Path)
{
    if (DirectoryExists(Path))
        return true;
    if (folderMaker()(Path))
        return true;
    throw Exception(QStringLiteral("Invalid project path."));
}

bool TTHProject::ValidateName(const QString& Name)
{
    // The probe stands where the project's own folder will: a name is good
    // when the file system lets a plain file of that name be made there. So
    // a name whose folder already exists fails, as a file cannot be made over
    // a folder.
    const QString probe = ProjectsPath + Name;
    const QFileInfo info(probe);
    if (info.exists() && !info.isDir())
        return true;
    QFile file(probe);
    // NewOnly: never open (or truncate) something that appeared meanwhile,
    // and never create a file through a dangling link.
    if (!file.open(QIODevice::ReadWrite | QIODevice::NewOnly))
        throw Exception(QStringLiteral("Invalid project name."));
    file.close();
    file.remove();
    return true;
}

bool TTHProject::IsValid()
{
    ValidatePath(ProjectsPath);
    ValidateName(Name);
    return true;
}

QString TTHProject::DefaultFileName() const
{
    return ProjectsPath + Name + QLatin1Char('/') + Name + QStringLiteral(".thp");
}

std::int64_t TTHProject::CaptureSeconds(int FrameRate) const
{
    if (!CaptureJob || (TapeOption != toXtoN && TapeOption != toXtoX))
        return -1;
    if (FrameRate <= 0 || FrameRate > 255)
        return -1;
    const std::int64_t frames = TimecodeDiff(EndTime, StartTime, static_cast<std::uint8_t>(FrameRate));
    return frames > 0 ? frames / FrameRate : -1;
}

std::int64_t TTHProject::TotalSeconds(int FrameRate) const
{
    std::int64_t seconds = 0;
    if (CaptureJob)
        seconds += CaptureSeconds(FrameRate);
    return seconds;
}

bool TTHProject::IsAutomatic() const { return CaptureJob && TapeOption != toManual; }

QString DefaultProjectName(int Index)
{
    const QString base = QStringLiteral("My Video");
    if (Index == 1)
        return base;
    return QString::asprintf("%s-%.2d", base.toUtf8().constData(), Index);
}

QString UniqueProjectName(const QString& Folder)
{
    for (int index = 1;; ++index) {
        const QString name = DefaultProjectName(index);
        if (!QFileInfo(Folder + QLatin1Char('/') + name).isDir())
            return name;
    }
}

#pragma once
// TTHProject: one capture job as the wizard edits it, kept in a ".thp" XML
// file. The main window reads the fields directly and changes them only
// through the setters, which keep Modified. A new project takes its yes/no
// settings from the registry history of the user's last answers; every load
// ends with the check of the captured files, which may ask the user about
// each missing one.
//
// Main thread only: the project has no lock. Paths use "/" (a trailing "\"
// is accepted where a folder ends) and compare exactly.

#include "capture/TlmUtil.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <initializer_list>
#include <memory>

// Which part of the tape is captured. One byte; a value read from a file is
// kept even when it is none of these.
enum TTapeOption : std::uint8_t {
    toXtoN = 0,   // from 00:00:00:00 to the current tape position
    toNtoX = 1,   // from the current tape position to the end of the recording
    toBtoE = 2,   // the whole tape
    toXtoX = 3,   // between two time codes
    toManual = 4, // the user starts and stops the capture
};

// The yes/no questions whose answers the registry remembers, numbered as the
// history numbers them.
enum class TProjectChoice : std::uint8_t {
    CaptureJob = 1,
    RewindTape = 2,
    ShowPreview = 3,
    SplitFiles = 4,
    Shutdown = 5,
};

// A set of choices.
class TProjectChoices {
public:
    TProjectChoices() = default;
    TProjectChoices(std::initializer_list<TProjectChoice> choices)
    {
        for (TProjectChoice c : choices)
            bits_ |= bit(c);
    }
    bool contains(TProjectChoice c) const { return (bits_ & bit(c)) != 0; }

private:
    static unsigned bit(TProjectChoice c) { return 1u << static_cast<unsigned>(c); }
    unsigned bits_ = 0;
};

class TTHProject {
public:
    // SetProjectsPath, SetName, then the defaults; not modified, new, no file
    // yet. Creates a missing projects folder; raises "Invalid project path."
    // or "Invalid project name." (the project's own folder is made by the
    // first Save).
    static std::unique_ptr<TTHProject> CreateNew(const QString& ProjectsPath, const QString& Name);
    // The defaults, then LoadFromFile (which may show the missing-file
    // dialog). Raises what the load raises; no project results then.
    static std::unique_ptr<TTHProject> CreateFromFile(const QString& FileName);

    ~TTHProject();
    TTHProject(const TTHProject&) = delete;
    TTHProject& operator=(const TTHProject&) = delete;

    // Fields, read directly. Change them through the setters (Files may also
    // be appended to by the capture's new-file handler).
    bool CaptureJob = false;
    TTapeOption TapeOption = toXtoN;
    bool RewindTape = false;
    std::uint8_t FileType = 0; // 0 type-1 DV AVI, 1 type-2 DV AVI
    bool ShowPreview = false;
    bool SplitFiles = false;
    QString CaptureFolder;
    TTimecode StartTime{};
    TTimecode EndTime{};
    QStringList Files;
    bool Shutdown = false;
    bool ShutdownChoice = false; // last value given to SetShutdown; never saved
    QStringList Report;          // never saved
    bool Modified = false;
    bool IsNew = true;
    QString Name;
    QString ProjectsPath; // ends in a delimiter; empty for a loaded project
    QString FileName;     // empty until a new project is first saved

    // Each setter does nothing when the value is unchanged (Modified keeps its
    // value); otherwise it stores the value and sets Modified.
    void SetCaptureJob(bool Value);
    // toManual also clears Shutdown (not ShutdownChoice).
    void SetTapeOption(TTapeOption Value);
    void SetRewindTape(bool Value);
    void SetFileType(std::uint8_t Value);
    void SetShowPreview(bool Value);
    void SetSplitFiles(bool Value);
    void SetStartTime(TTimecode Value);
    void SetEndTime(TTimecode Value);
    // Copies the value into ShutdownChoice in every case.
    void SetShutdown(bool Value);
    // Validates (creating the folder) before storing; raises "Invalid project
    // path." and keeps the old value.
    void SetCaptureFolder(const QString& Value);
    // Appends "/" unless the text ends in "/" or "\"; validates; resets
    // CaptureFolder to ProjectsPath + Name + "/Video". An empty text raises
    // "Invalid project path.".
    void SetProjectsPath(const QString& Value);
    // Validates; resets CaptureFolder as above.
    void SetName(const QString& Value);

    // True, or raises "Invalid project path." (after trying to create the
    // folder with its parents).
    bool ValidatePath(const QString& Path);
    // True when a plain file ProjectsPath + Name exists or can be made (the
    // probe file is removed again); else raises "Invalid project name.".
    bool ValidateName(const QString& Name);
    // Both validations of the current path and name; raises the first failure.
    bool IsValid();

    // ProjectsPath + Name + "/" + Name + ".thp".
    QString DefaultFileName() const;
    // Seconds of the measured range (tape options 0 and 3 of a capture job)
    // at a frame rate of 25 or 30; -1 when not measured, not positive, or the
    // frame rate is not a positive byte.
    std::int64_t CaptureSeconds(int FrameRate) const;
    // Seconds of all selected jobs: 0 without the capture job.
    std::int64_t TotalSeconds(int FrameRate) const;
    // The work runs to its end by itself: a capture job not in manual mode.
    bool IsAutomatic() const;

    // The project file. Save writes to FileName (DefaultFileName while that
    // is empty), creating its folder, beside the old file and renamed over it;
    // then FileName is set and Modified and IsNew cleared. A failure raises
    // naming the file and changes none of the three.
    void Save();
    // Reads the file through the setters, clears Modified and IsNew, then
    // runs CheckFiles. A path equal to FileName reads nothing. Raises on a
    // missing or damaged file, a missing or empty element, a value of the
    // wrong kind, or a capture folder that cannot be made.
    void LoadFromFile(const QString& FileName);

    // The registry history of the user's answers. ReadChoice gives the
    // majority of the five stored answers (Default fills a missing value);
    // WriteChoice pushes Value as the newest answer. Both touch no field and
    // raise the registry layer's errors.
    static bool ReadChoice(const QString& Name, bool Default);
    static void WriteChoice(const QString& Name, bool Value, std::uint8_t Default);
    // Pushes the current value of each named choice, in the order of their
    // numbers.
    void RememberChoices(TProjectChoices Choices) const;

    // The missing-file check run by every load: drops duplicates, looks for
    // every file from the last to the first, asks the user about the ones it
    // cannot find, and drops duplicates again. Sets Modified when Files
    // changed.
    void CheckFiles();
    // Deletes every entry equal to an earlier one; sets Modified for each.
    void RemoveDuplicates(QStringList& List);
    // Finds FileName, in LastFolder, or by asking; the state lives for one
    // CheckFiles (IgnoreState 2: Ignore All was chosen).
    bool LocateFile(const QString& FileName, std::uint8_t& IgnoreState, QString& FoundName,
                    QString& LastFolder);

    // Test seam: how ValidatePath makes a missing folder (with its parents).
    // Null restores the default, which creates it on disk.
    using FolderMaker = bool (*)(const QString& path);
    static void SetFolderMaker(FolderMaker maker);

private:
    TTHProject() = default;
    void LoadDefaults();
};

// "My Video" for 1, else "My Video-%.2d".
QString DefaultProjectName(int Index);
// The first default name without a folder of that name in Folder.
QString UniqueProjectName(const QString& Folder);

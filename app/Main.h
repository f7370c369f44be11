#pragma once
// TMainForm: the wizard's single window. Six pages in a page control whose
// tabs are hidden, moved through with Next and Previous; the window owns the
// capture component, the video window, the scenes list and at most one open
// project. Every page keeps its hooks, controls and handlers in a file of its
// own (MainWizard.cpp, MainProjects.cpp, MainCaptureSetup.cpp,
// MainBeginWork.cpp, MainCapture.cpp, MainCaptureRun.cpp, MainFinish.cpp);
// Main.cpp holds the shell: creation, settings, caption, menu, help and the
// exception handler.
//
// Threads: everything runs on the main thread, except the capture
// component's OnCaptureProgress, OnNewScene and (per-scene files)
// OnNewCaptureFile, which come on streaming threads and hand their work over
// with a queued call that never waits (see PostToMain).

#include "app/Controls.h"
#include "app/BalloonHint.h"
#include "capture/TlmDVCap.h"
#include "platform/win/Windows.h"
#include "capture/TlmUtil.h"
#include "project/Project.h"

#include <QAction>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QCheckBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QStatusBar;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

class TAboutForm;
class TDeleteProjectForm;
class TFormPlacement;
class THelpRouter;
class TTlmFramesGrabber;
class TTlmScenesListView;
class TTlmVideoWindow;

class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // The dialogs that live for the whole run; the program entry makes them
    // after the window and hands them over.
    void SetDeleteProjectForm(TDeleteProjectForm* Form) { DeleteProjectForm = Form; }
    void SetAboutForm(TAboutForm* Form) { AboutForm = Form; }

    // --- Shell -----------------------------------------------------------------------------

    void FormCreate();
    void FormActivate();
    void FormCloseQuery(bool& CanClose);
    void LoadSettings();
    void SaveSettings();
    void SetProjectsFolder(const QString& Folder);
    void ShowProjectsFolder();
    void UpdateCaption();
    void ShowHelpTopic(const QString& Topic);
    // True when the message is swallowed.
    bool ApplicationEventsMessage(TMessage& Msg);
    void ApplicationEventsException(const std::exception& E);

    void ShowMenuActionExecute();
    void FileWebHomeActionExecute();
    void FileWebTHHomeActionExecute();
    void FileWebSupportActionExecute();
    void FileAboutActionExecute();
    void PreferencesActionExecute();
    void SetupCaptureFolderActionExecute();
    void HelpPageJumpActionExecute();

    // The projects folder of this run; also written by the Preferences dialog.
    QString FProjectsFolder;

    // --- Wizard ----------------------------------------------------------------------------

    void GoToPage(QWidget* Page);
    void EnterPage(QWidget* Page);
    void AfterPageChange();
    void UpdateNavigation();
    void NextPageExecute();
    void PreviosPageExecute();
    void NewProjectPageExecute();
    QWidget* ActivePage() const;
    // The help keyword of a page ("" for none).
    QString HelpKeyword(QWidget* Page) const;

    void EnterJobsPage();
    void LeaveJobsPage();
    void JobsTabShow();
    void CaptureJobExecute();
    void EditJobExecute() {}
    void CompressJobExecute() {}
    void WriteJobExecute() {}

    // --- Projects page and the project list --------------------------------------------------

    void RefreshProjectList();
    // Entries of the list already told as unreadable in this run.
    QStringList FSkippedProjectKeys;
    static QString FindProjectKey(const QString& FileName);
    static QString NewProjectKey();
    void RegisterProjectFile(const QString& FileName);
    bool CloseProject();
    bool CreateNewProject(const QString& Folder, const QString& Name);
    bool OpenProjectFile(const QString& FileName);
    bool CreateProject(const QString& Folder, const QString& Name);
    bool LoadProject(const QString& FileName);
    // Makes whole what a capture that never stopped left (the program was
    // killed, the power went) and tells the user.
    void RepairUnfinishedCaptures();

    void EnterProjectsPage();
    void LeaveProjectsPage();
    void ProjectsTabShow();
    void NewProjectExecute();
    void SuggestProjectName();
    void SelectOpenProject();
    void SelectProjectInList();
    void UpdateDeleteAction();
    void DelProjectExecute();
    void AddProjectExecute();
    void ChangeFolderProjectExecute();
    void NewProjectEditChange();
    void NewProjectEditEnter();
    void NewProjectEditMouseUp();
    void ProjectsListBoxSelectItem();

    // --- Capture Setup page ------------------------------------------------------------------

    void EnterCaptureSetupPage();
    void CaptureSetupTabShow();
    void RefreshCaptureSetup();
    void UpdateDiskSpaceEstimate();
    void ShowNoDeviceHint();
    void SetupDeviceLost(QObject* Sender, TDeviceMode ADeviceMode);
    void CapSetupCameraMonitoringTimerTimer();
    void CapFromXtoNExecute(QAction* Sender);
    void CapRewindTapeExecute();
    void CapType1Execute();
    void CapType2Execute();
    void CapPreviewExecute();
    void CapScenesWholeExecute();
    void CapScenesMultExecute();
    void CapFromHSpinExit();
    void CapFolderBtnClick();
    void LeaveCaptureSetupPage();
    void ChooseCaptureFileName();

    // --- Begin Work page ---------------------------------------------------------------------

    void StartWorkTabShow();
    void ShutdownJobExecute();

    // --- Capture page ------------------------------------------------------------------------

    void EnterCapturePage();
    void CaptureTabShow();
    void LeaveCapturePage();
    void CaptureDeviceLost(QObject* Sender, TDeviceMode ADeviceMode);
    void UpdateCaptureInfo();
    void UpdateCamcorderButtons();
    void CamPlayExecute();
    void CamStopExecute();
    void CamPauseExecute();
    void CamStillPrevExecute();
    void CamStillNextExecute();
    void CamRewExecute();
    void CamFForwExecute();
    void CamPlayRewExecute();
    void CamPlayFwdExecute();
    void CaptureVolumeTrackBarChange();
    // Streaming thread.
    void DVCaptureNewScene(const QImage& Bitmap, BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year);
    // Rewritten: a capture file being written anew, whose scenes are gone.
    void LoadScenesList(const QString& Rewritten = QString());
    // The thumbnails of one captured file; raises when it cannot be read.
    void LoadScenesOfFile(TTlmFramesGrabber& Grabber, const QString& File);
    // Sends the rewind and leaves the wait to TapeWaitTimer; False when
    // there is nothing to wait for (no video recorder).
    bool RewindTapeAndWait();
    // One tick of the wait for the deck before an automatic capture.
    void TapeWaitTimerTimer();

    // --- Capture run -------------------------------------------------------------------------

    void StartCapture();
    void CaptureStartExecute();
    // The dropped and captured counts into FLastDropped and FLastNotDropped,
    // while the component gives them.
    void ReadFrameCounts();
    // Streaming thread.
    void CaptureProgress(BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year);
    // Streaming thread for per-scene files, main thread for the file of a stop.
    void DVCaptureNewCaptureFile(QObject* Sender, const QString& AFileName);
    void StartCaptureMonitors();
    void StopCaptureMonitors();
    int TimecodeInterval();
    int CaptureProgressPercent(std::int64_t Frames);
    void UpdateDriveInfo(bool ShowRequired);
    void FinishCapture();
    void StopCapture(bool AutoEnd);
    void CaptureStopExecute();
    void TimecodeTimerTimer();
    void DetectIntermediateStopTimerTimer();
    void CaptureDiskSpaceMonitorTimerTimer();

    // --- Finish page -------------------------------------------------------------------------

    void FinishTabShow();
    void ArmShutdown();
    void ShutDownTimerTimer();
    void CancelShutDownExecute();
    void ShutDownPC();
    void LeaveFinishPage();

    // --- State -------------------------------------------------------------------------------

    bool FEditEntered = false;
    std::unique_ptr<TTHProject> FProject;
    TDVDeviceType FDeviceType = dtUnknown;
    bool FCapturing = false;
    // Counted by the streaming thread's hand-over on the main thread.
    std::int64_t FProgressCount = 0;
    std::int32_t FSceneCount = 0;
    std::int64_t FLastCount = 0;
    std::int32_t FStallTicks = 0;
    TDateTime FLastRecordTime = 0;
    bool FRecordTimeBack = false;
    bool FShowStartHint = false;
    bool FShowStopHint = false;
    bool FShowNoDeviceHint = false;
    std::int64_t FStartFrame = 0;
    std::int64_t FEndFrame = 0;
    TTimecode FTimecode{};
    QString FCaptureFileName;
    std::int32_t FProgressPercent = 0;
    // Single capture files written since the user last settled the capture
    // file name: a further capture into one of them goes beside it instead.
    QStringList FCapturedFiles;
    // The counts last read during the capture: the device may be gone when
    // it stops.
    int FLastDropped = 0;
    int FLastNotDropped = 0;
    // Monitor ticks of an automatic capture that has had no frame yet.
    std::int32_t FNoFrameTicks = 0;
    // Where the deck is on its way to the start of an automatic capture. The
    // page waits on TapeWaitTimer, so that the window paints and answers
    // meanwhile; Stop Capture or closing the window ends the wait.
    enum class TTapeWait { None = 0, SeekSent, Winding, RewindSent, Rewinding };
    TTapeWait FTapeWait = TTapeWait::None;
    // Set while Previous leaves a page: a leave hook that would refuse only
    // for what Next needs lets the user go back.
    bool FGoingBack = false;

    // --- Components --------------------------------------------------------------------------

    TTlmDVCapture* DVCapture = nullptr;
    TBalloonHint* CaptureBalloonHint = nullptr;
    TFormPlacement* FormPlacement = nullptr;
    THelpRouter* MainHelpRouter = nullptr;
    QMenu* MainPopupMenu = nullptr;
    TImageList x16ImageList;
    TImageList x32ImageList;
    TImageList CapturePauseImageList;
    TImageList StopImageList;
    TDeleteProjectForm* DeleteProjectForm = nullptr;
    TAboutForm* AboutForm = nullptr;

    // Frame.
    QLabel* TitleLabel = nullptr;
    QLabel* DescriptionLabel = nullptr;
    QLabel* LogoImage = nullptr;
    QStackedWidget* PageControl = nullptr;
    QStatusBar* MainStatusBar = nullptr;
    QPushButton* PrevBtn = nullptr;
    QPushButton* NextBtn = nullptr;
    QPushButton* HelpBtn = nullptr;

    // Pages, in page order.
    QWidget* ProjectsTab = nullptr;
    QWidget* JobsTab = nullptr;
    QWidget* CaptureSetupTab = nullptr;
    QWidget* StartWorkTab = nullptr;
    QWidget* CaptureTab = nullptr;
    QWidget* FinishTab = nullptr;

    // Actions of the shell.
    QAction* ShowMenuAction = nullptr;
    QAction* FileWebHomeAction = nullptr;
    QAction* FileWebTHHomeAction = nullptr;
    QAction* FileWebSupportAction = nullptr;
    QAction* FileAboutAction = nullptr;
    QAction* PreferencesAction = nullptr;
    QAction* SetupCaptureFolderAction = nullptr;
    QAction* HelpPageJumpAction = nullptr;
    QAction* HelpContents = nullptr;
    QAction* FileExit = nullptr;

    // Navigation.
    QAction* NextPage = nullptr;
    QAction* PreviosPage = nullptr;
    QAction* NewProjectPage = nullptr;

    // Jobs page.
    QAction* CaptureJob = nullptr;
    QAction* EditJob = nullptr;
    QAction* CompressJob = nullptr;
    QAction* WriteJob = nullptr;
    QCheckBox* CaptureCheckBox = nullptr;
    QCheckBox* EditCheckBox = nullptr;
    QCheckBox* CompressCheckBox = nullptr;
    QCheckBox* WriteCheckBox = nullptr;
    QLabel* CaptureHintLabel = nullptr;
    QLabel* EditHintLabel = nullptr;
    QLabel* CompressHintLabel = nullptr;
    QLabel* WriteHintLabel = nullptr;

    // Projects page.
    QAction* NewProject = nullptr;
    QAction* OpenProject = nullptr;
    QAction* AddProject = nullptr;
    QAction* DelProject = nullptr;
    QAction* ChangeFolderProject = nullptr;
    QRadioButton* NewProjectRadio = nullptr;
    QRadioButton* OpenProjectRadio = nullptr;
    QLineEdit* NewProjectEdit = nullptr;
    QLabel* ProjectFolderTitleLabel = nullptr;
    QLabel* ProjectFolderLabel = nullptr;
    QPushButton* ChangeProjectFolderBtn = nullptr;
    QTreeWidget* ProjectsListBox = nullptr;
    QPushButton* AddProjectBtn = nullptr;
    QPushButton* DelProjectBtn = nullptr;
    QFileDialog* AddProjectDialog = nullptr;

    // Capture Setup page.
    QAction* CapFromXtoN = nullptr;
    QAction* CapFromNtoX = nullptr;
    QAction* CapFromBtoE = nullptr;
    QAction* CapFromXtoX = nullptr;
    QAction* CapFromManual = nullptr;
    QAction* CapRewindTape = nullptr;
    QAction* CapType1 = nullptr;
    QAction* CapType2 = nullptr;
    QAction* CapPreview = nullptr;
    QAction* CapScenesWhole = nullptr;
    QAction* CapScenesMult = nullptr;
    QGroupBox* SetupTapeBox = nullptr;
    QRadioButton* CapFromXtoNRadio = nullptr;
    QRadioButton* CapFromNtoXRadio = nullptr;
    QRadioButton* CapFromBtoERadio = nullptr;
    QRadioButton* CapSetupRadio = nullptr;
    QRadioButton* CapFromManualRadio = nullptr;
    QCheckBox* CapRewindTapeCheckBox = nullptr;
    QRadioButton* CapType1Radio = nullptr;
    QRadioButton* CapType2Radio = nullptr;
    QCheckBox* CapPreviewCheckBox = nullptr;
    QRadioButton* CapScenesWholeRadio = nullptr;
    QRadioButton* CapScenesMultRadio = nullptr;
    QSpinBox* CapFromHSpin = nullptr;
    QSpinBox* CapFromMSpin = nullptr;
    QSpinBox* CapFromSSpin = nullptr;
    QSpinBox* CapFromFSpin = nullptr;
    QSpinBox* CapToHSpin = nullptr;
    QSpinBox* CapToMSpin = nullptr;
    QSpinBox* CapToSSpin = nullptr;
    QSpinBox* CapToFSpin = nullptr;
    // "from:", "to:" and the eight unit labels, enabled with the spin edits.
    std::vector<QWidget*> IntervalControls;
    QLabel* CaptureFolderLabel = nullptr;
    QPushButton* CapFolderBtn = nullptr;
    QLabel* CapFreeDiskSpaceLabel = nullptr;
    QLabel* CapReqDiskSpaceTitleLabel = nullptr;
    QLabel* CapReqDiskSpaceLabel = nullptr;
    QLabel* CapMissDiskSpaceTitleLabel = nullptr;
    QLabel* CapMissDiskSpaceLabel = nullptr;
    QTimer* CapSetupCameraMonitoringTimer = nullptr;
    QFileDialog* SaveCaptureDialog = nullptr;

    // Begin Work page.
    QAction* ShutdownJob = nullptr;
    QLabel* StartWorkTopTitleLabel = nullptr;
    QLabel* JobsListLabel = nullptr;
    QLabel* StartWorkTimeLabel = nullptr;
    QCheckBox* ShutdownJobCheckBox = nullptr;

    // Capture page.
    TTlmVideoWindow* PreviewWindow = nullptr;
    QToolBar* CamNavigatorToolBar = nullptr;
    QToolButton* CamRewButton = nullptr;
    QToolButton* CamStillPrevButton = nullptr;
    QToolButton* CamPlayButton = nullptr;
    QToolButton* CamStillNextButton = nullptr;
    QToolButton* CamFForwButton = nullptr;
    QToolButton* CamStopButton = nullptr;
    QAction* CamPlay = nullptr;
    QAction* CamStop = nullptr;
    QAction* CamPause = nullptr;
    QAction* CamStillPrev = nullptr;
    QAction* CamStillNext = nullptr;
    QAction* CamRew = nullptr;
    QAction* CamFForw = nullptr;
    QAction* CamPlayRew = nullptr;
    QAction* CamPlayFwd = nullptr;
    QLabel* VolumeTitleLabel = nullptr;
    QSlider* CaptureVolumeTrackBar = nullptr;
    QAction* CaptureStart = nullptr;
    QAction* CaptureStop = nullptr;
    QToolButton* StartCaptureButton = nullptr;
    QToolButton* StopCaptureButton = nullptr;
    QLineEdit* CaptureDroppedEdit = nullptr;
    QLineEdit* CaptureDateTimeEdit = nullptr;
    QLabel* CaptureSignalLabel = nullptr;
    QLabel* CaptureCameraModeLabel = nullptr;
    QLabel* CaptureModeLabel = nullptr;
    QLabel* CaptureFileTypeLabel = nullptr;
    TTlmScenesListView* CaptureScenesListView = nullptr;
    QLineEdit* CaptureStatusText = nullptr;
    QProgressBar* CaptureProgressBar = nullptr;
    QTreeWidget* DriveInfoView = nullptr;
    QTimer* TimecodeTimer = nullptr;
    QTimer* DetectIntermediateStopTimer = nullptr;
    QTimer* CaptureDiskSpaceMonitorTimer = nullptr;
    QTimer* TapeWaitTimer = nullptr;

    // Finish page.
    QLabel* ResultLabel = nullptr;
    QGroupBox* ShutdownGroupBox = nullptr;
    QLabel* ShutdownTitleLabel = nullptr;
    QProgressBar* ShutdownProgressBar = nullptr;
    QAction* CancelShutDown = nullptr;
    QPushButton* CancelShutdownBtn = nullptr;
    QTimer* ShutDownTimer = nullptr;

    // Runs Handler as the message loop runs an event handler: an exception it
    // raises ends it there and goes to ApplicationEventsException. Every
    // handler bound to a Qt signal (actions, buttons, timers, edits) runs
    // through it, since no exception may unwind through Qt.
    void Guarded(const std::function<void()>& Handler);
    // Connects a signal of Sender to a handler of the window, guarded.
    template <class Sender, class Signal>
    void Bind(Sender* S, Signal Sig, void (TMainForm::*Handler)())
    {
        connect(S, Sig, this, [this, Handler] { Guarded([this, Handler] { (this->*Handler)(); }); });
    }

    // Runs Work on the main thread later, without waiting; callable from any
    // thread. The work still queued when the window goes is dropped.
    void PostToMain(std::function<void()> Work);
    // Runs the work that streaming threads have handed over so far.
    void DeliverPosted();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Each page makes its controls and actions; called once by the constructor.
    void CreateFrame();
    void CreateShellActions();
    void CreateProjectsPage();
    void CreateJobsPage();
    void CreateCaptureSetupPage();
    void CreateStartWorkPage();
    void CreateCapturePage();
    void CreateFinishPage();

    std::mutex FPostedLock;
    std::vector<std::function<void()>> FPosted;
    bool FDeliveryQueued = false;
    QObject* FPostTarget = nullptr;

    // --- Page-private helpers (each page adds its own below its heading) ---------------------

    // Shell.

    // Wizard.
    // The page whose show handler ran last: going to it again runs its
    // enter hook only.
    QWidget* FShownPage = nullptr;
    // A page with its hooks (null where it has none) and its help topic.
    struct TWizardPage {
        QWidget* Tab;
        void (TMainForm::*Enter)();
        void (TMainForm::*Show)();
        void (TMainForm::*Leave)();
        const char* HelpKeyword;
    };
    // The pages in page order, made once the pages exist.
    std::vector<TWizardPage> WizardPages() const;
    std::vector<TWizardPage> FWizardPages;
    // The entry of Page, or null for a widget that is no page.
    const TWizardPage* FindWizardPage(QWidget* Page) const;
    // Runs the leave hook of Page.
    void LeavePage(QWidget* Page);
    // The project's capture job; off without a project.
    bool CaptureJobChosen() const;

    // Projects page.

    // Capture Setup page.
    // Set by the page's entry for the refresh that follows, which takes it:
    // only that refresh proposes a range for a new project.
    bool FEnteringCaptureSetup = false;
    // The enter hook's work; Entering False resumes the page after a refused
    // file name without proposing a range again.
    void StartCaptureSetupPage(bool Entering);

    // Begin Work page.

    // Capture page.
    // The rest of the page's showing once the tape is where the capture starts.
    void StartAtTapePosition();
    void BeginTapeWait(TTapeWait State);
    // Ends a wait for the deck: the deck stopped (when it is still there) and
    // the page back in the preview, usable, showing Status (by default that
    // the user stopped it).
    void EndTapeWait(const QString& Status = QString());
    // The tape could not be set to the project's start: the page usable again,
    // and an error that names the start and Reason.
    [[noreturn]] void FailTapeStart(const QString& Reason);
    // When the wait began, and when its state last changed.
    QElapsedTimer FTapeWaitClock;

    // Capture run.
    void RunCaptureStart();
    // The page back in the preview after a start that raised.
    void RecoverFromFailedStart();
    // Ends an automatic capture that has had no frame at all.
    void EndCaptureWithoutFrames();
    // The file of the next single-file capture: beside a file captured since
    // the name was settled, never over it.
    void SettleNextCaptureFile();

    // Finish page.
};

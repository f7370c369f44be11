// The Capture Setup page: which part of the tape to capture, the file type,
// preview, scene files and the capture folder with its disk-space estimate.
// While the page is entered the capture component runs a muted preview so
// that the page can read the tape's time code, the device type and the
// signal; the page's monitor timer also ends captures of the whole tape and
// of the rest of a recording later on the Capture page.
#include "app/Main.h"

#include "app/Dialogs.h"

#include <memory>
#include "platform/win/Drives.h"

#include <QActionGroup>
#include <QCheckBox>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdlib>
#include <limits>

namespace {

// DV video with its sound, as it lands on disk.
constexpr std::int64_t kDiskBytesPerSecond = 3866695;

// Monitor ticks an automatic capture waits for its first frame: a deck takes
// a few seconds to thread the tape and play.
constexpr int kNoFrameTicks = 8;
const QString kNoTimecode = QStringLiteral("Cannot get timecode from a DV device.");
// Where the tape gives no time code, it mostly stands on blank tape past the
// end of the recording.
const QString kNoTimecodeAdvice = QStringLiteral(
    " The tape may stand past the end of its recording, where there is no time code. Rewind the tape into the "
    "recording (with the buttons of the camcorder), or choose \"Capture whole tape from the begin to the end.\" or "
    "\"I going to capturing manually.\".");
const QString kNoFileName = QStringLiteral("You have to select a file name to capture.");

// Leaving a spin edit, or releasing a mouse button or key in it, renews the
// estimate; typing alone stores nothing.
class SpinWatcher : public QObject {
public:
    explicit SpinWatcher(TMainForm* Form) : QObject(Form), FForm(Form) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::FocusOut:
        case QEvent::MouseButtonRelease:
        case QEvent::KeyRelease:
            FForm->Guarded([this] { FForm->CapFromHSpinExit(); });
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    TMainForm* FForm;
};

QAction* MakeChoice(QWidget* Owner, const char* Name, const QString& Caption, QActionGroup* Group)
{
    QAction* action = NewAction(Owner, Name, Caption);
    action->setProperty("category", QStringLiteral("CapSetup"));
    action->setCheckable(true);
    if (Group)
        Group->addAction(action);
    return action;
}

template <class Button>
Button* MakeButton(QWidget* Parent, const char* Name, QAction* Action)
{
    auto* button = new Button(Parent);
    button->setObjectName(QLatin1String(Name));
    LinkAction(button, Action);
    return button;
}

QSpinBox* MakeSpin(QWidget* Parent, const char* Name, int Maximum)
{
    auto* spin = new QSpinBox(Parent);
    spin->setObjectName(QLatin1String(Name));
    spin->setRange(0, Maximum);
    if (auto* edit = spin->findChild<QLineEdit*>())
        edit->setMaxLength(2);
    spin->setAlignment(Qt::AlignRight);
    // A crowded page must not squeeze the two-character fields flat.
    spin->setMinimumHeight(spin->sizeHint().height());
    return spin;
}

QLabel* MakeLabel(QWidget* Parent, const QString& Text, const char* Name = nullptr)
{
    auto* label = new QLabel(Text, Parent);
    if (Name)
        label->setObjectName(QLatin1String(Name));
    return label;
}

void MakeBoldRed(QLabel* Label)
{
    QFont font = Label->font();
    font.setBold(true);
    Label->setFont(font);
    QPalette palette = Label->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    Label->setPalette(palette);
}

// Shows a choice as set or not. A selected radio of an exclusive set does not
// let go when told to, so it is released by hand; otherwise a value that
// names none of the choices would leave the last one looking selected.
void ShowChoice(QAction* Action, QRadioButton* Radio, bool Checked)
{
    Action->setChecked(Checked);
    if (Radio->isChecked() != Checked) {
        if (Checked) {
            Radio->setChecked(true);
        } else {
            Radio->setAutoExclusive(false);
            Radio->setChecked(false);
            Radio->setAutoExclusive(true);
        }
    }
}

bool Below(TTimecode Tc, int Seconds)
{
    return Tc.Hours == 0 && Tc.Minutes == 0 && Tc.Seconds < Seconds;
}

TTimecode TimecodeOf(const QSpinBox* H, const QSpinBox* M, const QSpinBox* S, const QSpinBox* F)
{
    return MakeTimecode(BYTE(H->value()), BYTE(M->value()), BYTE(S->value()), BYTE(F->value()));
}

void ShowTimecode(TTimecode Tc, QSpinBox* H, QSpinBox* M, QSpinBox* S, QSpinBox* F)
{
    H->setValue(Tc.Hours);
    M->setValue(Tc.Minutes);
    S->setValue(Tc.Seconds);
    F->setValue(Tc.Frames);
}

} // namespace

void TMainForm::CreateCaptureSetupPage()
{
    CaptureSetupTab = new QWidget;
    CaptureSetupTab->setObjectName(QStringLiteral("CaptureSetupTab"));
    PageControl->addWidget(CaptureSetupTab);

    // Actions.
    auto* ranges = new QActionGroup(this);
    ranges->setExclusive(true);
    CapFromXtoN = MakeChoice(this, "CapFromXtoN",
                             QStringLiteral("Capture from 00h00m00s00f to the current tape position."), ranges);
    CapFromNtoX = MakeChoice(this, "CapFromNtoX",
                             QStringLiteral("Capture from the current tape position to the end of the record."), ranges);
    CapFromBtoE = MakeChoice(this, "CapFromBtoE", QStringLiteral("Capture whole tape from the begin to the end."), ranges);
    CapFromXtoX = MakeChoice(this, "CapFromXtoX", QStringLiteral("Capture an interval"), ranges);
    CapFromManual = MakeChoice(this, "CapFromManual", QStringLiteral("I going to capturing manually."), ranges);
    CapRewindTape =
        MakeChoice(this, "CapRewindTape", QStringLiteral("Rewind the tape to the begin after capturing."), nullptr);
    auto* types = new QActionGroup(this);
    types->setExclusive(true);
    CapType1 = MakeChoice(this, "CapType1", QStringLiteral("Capture to the type-1 AVI file format."), types);
    CapType2 = MakeChoice(this, "CapType2", QStringLiteral("Capture to the type-2 AVI file format."), types);
    CapPreview = MakeChoice(this, "CapPreview", QStringLiteral("Enable preview during capturing."), nullptr);
    auto* scenes = new QActionGroup(this);
    scenes->setExclusive(true);
    CapScenesWhole =
        MakeChoice(this, "CapScenesWhole", QStringLiteral("Detect and write scenes in a single file."), scenes);
    CapScenesMult =
        MakeChoice(this, "CapScenesMult", QStringLiteral("Detect and write scenes in multiple files. "), scenes);
    CapFromXtoN->setChecked(true);
    CapType2->setChecked(true);
    CapPreview->setChecked(true);
    CapScenesWhole->setChecked(true);

    for (QAction* range : {CapFromXtoN, CapFromNtoX, CapFromBtoE, CapFromXtoX, CapFromManual})
        connect(range, &QAction::triggered, this, [this, range] { Guarded([this, range] { CapFromXtoNExecute(range); }); });
    Bind(CapRewindTape, &QAction::triggered, &TMainForm::CapRewindTapeExecute);
    Bind(CapType1, &QAction::triggered, &TMainForm::CapType1Execute);
    Bind(CapType2, &QAction::triggered, &TMainForm::CapType2Execute);
    Bind(CapPreview, &QAction::triggered, &TMainForm::CapPreviewExecute);
    Bind(CapScenesWhole, &QAction::triggered, &TMainForm::CapScenesWholeExecute);
    Bind(CapScenesMult, &QAction::triggered, &TMainForm::CapScenesMultExecute);

    // At the window's smallest size the page scrolls rather than squeeze its
    // choices into each other.
    auto* outer = new QVBoxLayout(CaptureSetupTab);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(CaptureSetupTab);
    scroll->setObjectName(QStringLiteral("CaptureSetupScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* content = new QWidget(scroll);
    content->setObjectName(QStringLiteral("CaptureSetupContent"));
    scroll->setWidget(content);
    outer->addWidget(scroll);
    auto* page = new QVBoxLayout(content);
    page->setContentsMargins(9, 0, 9, 0);
    page->setSpacing(4);
    // Tight groups: the page has many lines to fit into the window's smallest size.
    const auto tight = [](QLayout* Layout) {
        Layout->setContentsMargins(9, 2, 9, 4);
        Layout->setSpacing(2);
    };

    // Capture mode.
    SetupTapeBox = new QGroupBox(QStringLiteral("Capture mode"), CaptureSetupTab);
    SetupTapeBox->setObjectName(QStringLiteral("SetupTapeBox"));
    auto* mode = new QVBoxLayout(SetupTapeBox);
    tight(mode);
    CapFromXtoNRadio = MakeButton<QRadioButton>(SetupTapeBox, "CapFromXtoNRadio", CapFromXtoN);
    CapFromNtoXRadio = MakeButton<QRadioButton>(SetupTapeBox, "CapFromNtoXRadio", CapFromNtoX);
    CapFromBtoERadio = MakeButton<QRadioButton>(SetupTapeBox, "CapFromBtoERadio", CapFromBtoE);
    CapSetupRadio = MakeButton<QRadioButton>(SetupTapeBox, "CapSetupRadio", CapFromXtoX);
    CapFromManualRadio = MakeButton<QRadioButton>(SetupTapeBox, "CapFromManualRadio", CapFromManual);
    mode->addWidget(CapFromXtoNRadio);
    mode->addWidget(CapFromNtoXRadio);
    mode->addWidget(CapFromBtoERadio);
    mode->addWidget(CapSetupRadio);

    auto* interval = new QGridLayout;
    interval->setContentsMargins(24, 0, 0, 0);
    CapFromHSpin = MakeSpin(SetupTapeBox, "CapFromHSpin", 23);
    CapFromMSpin = MakeSpin(SetupTapeBox, "CapFromMSpin", 59);
    CapFromSSpin = MakeSpin(SetupTapeBox, "CapFromSSpin", 59);
    CapFromFSpin = MakeSpin(SetupTapeBox, "CapFromFSpin", 24);
    CapToHSpin = MakeSpin(SetupTapeBox, "CapToHSpin", 23);
    CapToMSpin = MakeSpin(SetupTapeBox, "CapToMSpin", 59);
    CapToSSpin = MakeSpin(SetupTapeBox, "CapToSSpin", 59);
    CapToFSpin = MakeSpin(SetupTapeBox, "CapToFSpin", 24);
    QSpinBox* const rows[2][4] = {{CapFromHSpin, CapFromMSpin, CapFromSSpin, CapFromFSpin},
                                        {CapToHSpin, CapToMSpin, CapToSSpin, CapToFSpin}};
    const QString units[4] = {QStringLiteral("h"), QStringLiteral("m"), QStringLiteral("s"), QStringLiteral("f")};
    // From and to side by side, in one line.
    for (int row = 0; row < 2; ++row) {
        const int first = row * 9;
        QLabel* title = MakeLabel(SetupTapeBox, row == 0 ? QStringLiteral("from:") : QStringLiteral("to:"));
        title->setContentsMargins(row == 0 ? 0 : 16, 0, 0, 0);
        interval->addWidget(title, 0, first);
        IntervalControls.push_back(title);
        for (int k = 0; k < 4; ++k) {
            interval->addWidget(rows[row][k], 0, first + 1 + 2 * k);
            QLabel* unit = MakeLabel(SetupTapeBox, units[k]);
            interval->addWidget(unit, 0, first + 2 + 2 * k);
            IntervalControls.push_back(unit);
        }
    }
    interval->setColumnStretch(18, 1);
    auto* watcher = new SpinWatcher(this);
    for (const auto& row : rows)
        for (QSpinBox* spin : row) {
            IntervalControls.push_back(spin);
            spin->installEventFilter(watcher);
            // A click into the text reaches the spin's editor, not the spin.
            if (auto* edit = spin->findChild<QLineEdit*>())
                edit->installEventFilter(watcher);
        }
    mode->addLayout(interval);
    mode->addWidget(CapFromManualRadio);
    CapRewindTapeCheckBox = MakeButton<QCheckBox>(SetupTapeBox, "CapRewindTapeCheckBox", CapRewindTape);
    mode->addWidget(CapRewindTapeCheckBox);
    page->addWidget(SetupTapeBox);

    // File type, preview and scenes.
    auto* options = new QHBoxLayout;
    auto* typeBox = new QGroupBox(QStringLiteral("File type"), CaptureSetupTab);
    typeBox->setObjectName(QStringLiteral("FileTypeBox"));
    auto* typeLayout = new QVBoxLayout(typeBox);
    tight(typeLayout);
    CapType1Radio = MakeButton<QRadioButton>(typeBox, "CapType1Radio", CapType1);
    CapType2Radio = MakeButton<QRadioButton>(typeBox, "CapType2Radio", CapType2);
    typeLayout->addWidget(CapType1Radio);
    typeLayout->addWidget(CapType2Radio);
    options->addWidget(typeBox);

    auto* previewBox = new QGroupBox(QStringLiteral("Preview"), CaptureSetupTab);
    previewBox->setObjectName(QStringLiteral("PreviewBox"));
    auto* previewLayout = new QVBoxLayout(previewBox);
    tight(previewLayout);
    CapPreviewCheckBox = MakeButton<QCheckBox>(previewBox, "CapPreviewCheckBox", CapPreview);
    previewLayout->addWidget(CapPreviewCheckBox);
    previewLayout->addStretch(1);

    auto* scenesBox = new QGroupBox(QStringLiteral("Scenes detection"), CaptureSetupTab);
    scenesBox->setObjectName(QStringLiteral("ScenesBox"));
    auto* scenesLayout = new QVBoxLayout(scenesBox);
    tight(scenesLayout);
    CapScenesWholeRadio = MakeButton<QRadioButton>(scenesBox, "CapScenesWholeRadio", CapScenesWhole);
    CapScenesMultRadio = MakeButton<QRadioButton>(scenesBox, "CapScenesMultRadio", CapScenesMult);
    scenesLayout->addWidget(CapScenesWholeRadio);
    scenesLayout->addWidget(CapScenesMultRadio);
    // The two choices of files side by side and the preview under them, so
    // that the page fits the window's smallest size.
    options->addWidget(scenesBox);
    page->addLayout(options);
    page->addWidget(previewBox);

    // Drives and folders.
    auto* drivesBox = new QGroupBox(QStringLiteral("Drives and folders"), CaptureSetupTab);
    drivesBox->setObjectName(QStringLiteral("DrivesBox"));
    auto* drives = new QGridLayout(drivesBox);
    tight(drives);
    drives->addWidget(MakeLabel(drivesBox, QStringLiteral("Capture to the folder:")), 0, 0);
    CaptureFolderLabel = MakeLabel(drivesBox, QString(), "CaptureFolderLabel");
    CaptureFolderLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    drives->addWidget(CaptureFolderLabel, 0, 1);
    CapFolderBtn = new QPushButton(QStringLiteral("Browse..."), drivesBox);
    CapFolderBtn->setObjectName(QStringLiteral("CapFolderBtn"));
    Bind(CapFolderBtn, &QPushButton::clicked, &TMainForm::CapFolderBtnClick);
    drives->addWidget(CapFolderBtn, 0, 2);
    drives->addWidget(MakeLabel(drivesBox, QStringLiteral("Free disk space:")), 1, 0);
    CapFreeDiskSpaceLabel = MakeLabel(drivesBox, QString(), "CapFreeDiskSpaceLabel");
    drives->addWidget(CapFreeDiskSpaceLabel, 1, 1, 1, 2);
    CapReqDiskSpaceTitleLabel = MakeLabel(drivesBox, QStringLiteral("Required space:"), "CapReqDiskSpaceTitleLabel");
    drives->addWidget(CapReqDiskSpaceTitleLabel, 2, 0);
    CapReqDiskSpaceLabel = MakeLabel(drivesBox, QString(), "CapReqDiskSpaceLabel");
    drives->addWidget(CapReqDiskSpaceLabel, 2, 1, 1, 2);
    CapMissDiskSpaceTitleLabel = MakeLabel(drivesBox, QStringLiteral("Missing space:"), "CapMissDiskSpaceTitleLabel");
    drives->addWidget(CapMissDiskSpaceTitleLabel, 3, 0);
    CapMissDiskSpaceLabel = MakeLabel(drivesBox, QString(), "CapMissDiskSpaceLabel");
    drives->addWidget(CapMissDiskSpaceLabel, 3, 1, 1, 2);
    for (QLabel* l : {CapReqDiskSpaceTitleLabel, CapReqDiskSpaceLabel, CapMissDiskSpaceTitleLabel, CapMissDiskSpaceLabel})
        MakeBoldRed(l);
    drives->setColumnStretch(1, 1);
    page->addWidget(drivesBox);
    page->addStretch(1);

    CapSetupCameraMonitoringTimer = new QTimer(this);
    CapSetupCameraMonitoringTimer->setObjectName(QStringLiteral("CapSetupCameraMonitoringTimer"));
    CapSetupCameraMonitoringTimer->setInterval(1000);
    Bind(CapSetupCameraMonitoringTimer, &QTimer::timeout, &TMainForm::CapSetupCameraMonitoringTimerTimer);

    // SaveCaptureDialog is made when it is first needed: a file dialog reads
    // folders on a thread of its own from the moment it exists.
}

// --- Entering, showing and leaving -------------------------------------------------------

void TMainForm::EnterCaptureSetupPage()
{
    StartCaptureSetupPage(true);
}

void TMainForm::StartCaptureSetupPage(bool Entering)
{
    DVCapture->OnDeviceLost = [this](QObject* Sender, TDeviceMode ADeviceMode) {
        Guarded([&] { SetupDeviceLost(Sender, ADeviceMode); });
    };
    DVCapture->SetPreviewWindow(PreviewWindow);
    DVCapture->SetCaptureMode(cmPreview);
    DVCapture->SetAutoStart(true);
    DVCapture->SetActive(true);
    DVCapture->Mute();
    DVCapture->Start();
    // The refresh takes the flag at once: a refresh nested in its processing
    // of pending messages (a pick, the device coming back) proposes nothing.
    FEnteringCaptureSetup = Entering;
    RefreshCaptureSetup();
    if (FProject) {
        // Setting a choice runs no handler; the project already holds these values.
        ShowChoice(CapType1, CapType1Radio, FProject->FileType == 0);
        ShowChoice(CapType2, CapType2Radio, FProject->FileType == 1);
        CapPreview->setChecked(FProject->ShowPreview);
        ShowChoice(CapScenesWhole, CapScenesWholeRadio, !FProject->SplitFiles);
        ShowChoice(CapScenesMult, CapScenesMultRadio, FProject->SplitFiles);
    }
    CapSetupCameraMonitoringTimer->start();
}

void TMainForm::CaptureSetupTabShow()
{
    TitleLabel->setText(QStringLiteral("Capture setup"));
    DescriptionLabel->setText(QStringLiteral(
        "To get full power of TapeHarvest connect your camcorder to the PC, check your camcorder in VCR mode, "
        "select one of automatic capture modes listed below and press the Next button to continue."));
    FShowNoDeviceHint = true;
    ShowNoDeviceHint();
}

void TMainForm::LeaveCaptureSetupPage()
{
    CaptureBalloonHint->HideHint();
    FShowNoDeviceHint = false;
    if (FProject) {
        TTimecode tc{};
        const TTapeOption option = FProject->TapeOption;
        bool measured = true;
        if ((option == toXtoN || option == toNtoX) && !DVCapture->GetTimecode(tc)) {
            // Going back needs no range: the page is left and nothing stored.
            if (!FGoingBack)
                throw Exception(kNoTimecode + kNoTimecodeAdvice);
            measured = false;
        }
        const TTimecode zero = MakeTimecode(0, 0, 0, 0);
        TTimecode start = zero, end = zero;
        switch (option) {
        case toXtoN:
            end = tc;
            break;
        case toNtoX:
            start = tc;
            break;
        case toXtoX:
            start = TimecodeOf(CapFromHSpin, CapFromMSpin, CapFromSSpin, CapFromFSpin);
            end = TimecodeOf(CapToHSpin, CapToMSpin, CapToSSpin, CapToFSpin);
            break;
        default:
            break;
        }
        if (measured) {
            FProject->SetStartTime(start);
            FProject->SetEndTime(end);
        }
    }
    CapSetupCameraMonitoringTimer->stop();
    DVCapture->SetActive(false);
    DVCapture->SetAutoStart(false);
    DVCapture->OnDeviceLost = nullptr;
}

// --- The page's state ------------------------------------------------------------------

void TMainForm::RefreshCaptureSetup()
{
    const bool entering = FEnteringCaptureSetup;
    FEnteringCaptureSetup = false;
    if (FProject) {
        TTimecode tc{};
        if (!DVCapture->GetTimecode(tc))
            tc = MakeTimecode(0, 0, 0, 0);
        const TDVSignalFormat signal = DVCapture->SignalFormat();
        const int frameMax = signal == sfNTSC || signal == sfNTSCLong ? 29 : 24;
        CapFromFSpin->setMaximum(frameMax);
        CapToFSpin->setMaximum(frameMax);

        QAction* const choices[] = {CapFromXtoN, CapFromNtoX, CapFromBtoE, CapFromXtoX, CapFromManual};
        QRadioButton* const radios[] = {CapFromXtoNRadio, CapFromNtoXRadio, CapFromBtoERadio, CapSetupRadio,
                                        CapFromManualRadio};
        auto showOption = [&](int option) {
            for (int k = 0; k < 5; ++k)
                ShowChoice(choices[k], radios[k], k == option);
        };
        const TDVDeviceType device = DVCapture->GetDeviceType();
        if (device == dtCamera || device == dtUnknown) {
            // Without a tape there is nothing to measure a range on.
            showOption(toManual);
            FProject->SetTapeOption(toManual);
            for (int k = 0; k < 4; ++k)
                choices[k]->setEnabled(false);
        } else {
            for (int k = 0; k < 4; ++k)
                choices[k]->setEnabled(true);
            if (FProject->IsNew) {
                if (entering)
                    FProject->SetTapeOption(Below(tc, 20) ? toNtoX : toXtoN);
                showOption(FProject->TapeOption);
                if (Below(tc, 30))
                    ShowTimecode(tc, CapFromHSpin, CapFromMSpin, CapFromSSpin, CapFromFSpin);
                else
                    ShowTimecode(tc, CapToHSpin, CapToMSpin, CapToSSpin, CapToFSpin);
            } else {
                showOption(FProject->TapeOption);
                ShowTimecode(FProject->StartTime, CapFromHSpin, CapFromMSpin, CapFromSSpin, CapFromFSpin);
                ShowTimecode(FProject->EndTime, CapToHSpin, CapToMSpin, CapToSSpin, CapToFSpin);
            }
        }
        CapRewindTape->setChecked(FProject->RewindTape);
    }
    const bool interval = CapSetupRadio->isChecked();
    for (QWidget* w : IntervalControls)
        w->setEnabled(interval);
    CapRewindTape->setEnabled(!CapFromManualRadio->isChecked());
    UpdateDiskSpaceEstimate();
    ProcessMessages();
    ShowNoDeviceHint();
}

void TMainForm::UpdateDiskSpaceEstimate()
{
    if (!FProject)
        return;
    ShowShortenedPath(CaptureFolderLabel, FProject->CaptureFolder);

    std::uint64_t available = 0;
    std::int64_t free = 0;
    if (GetDiskFreeSpaceEx(QFile::encodeName(FProject->CaptureFolder).constData(), &available, nullptr, nullptr))
        free = available > std::uint64_t(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : std::int64_t(available);
    CapFreeDiskSpaceLabel->setText(QStringLiteral("%1; about %2 of video")
                                       .arg(FormatBytes(QString(), true, free),
                                            FormatDuration(1, free / kDiskBytesPerSecond)));

    const TTimecode zero = MakeTimecode(0, 0, 0, 0);
    TTimecode start = zero, end = zero;
    bool shown = false;
    bool measured = true;
    if (FProject->TapeOption == toXtoN) {
        if (!DVCapture->GetTimecode(end)) {
            end = zero;
            measured = false;
        }
        shown = true;
    } else if (FProject->TapeOption == toXtoX) {
        start = TimecodeOf(CapFromHSpin, CapFromMSpin, CapFromSSpin, CapFromFSpin);
        end = TimecodeOf(CapToHSpin, CapToMSpin, CapToSSpin, CapToFSpin);
        shown = true;
    }
    const int rate = DVCapture->FrameRate();
    const std::int64_t frames = std::llabs(TimecodeDiff(start, end, BYTE(rate)));
    const std::int64_t seconds = frames / rate;
    const std::int64_t required = seconds * kDiskBytesPerSecond;
    // "about 0 bytes" would say there is nothing to capture.
    CapReqDiskSpaceLabel->setText(measured ? QStringLiteral("about %1; %2 of video")
                                                 .arg(FormatBytes(QString(), true, required), FormatDuration(1, seconds))
                                           : QStringLiteral("unknown: the tape gives no time code where it stands"));
    CapReqDiskSpaceTitleLabel->setVisible(shown);
    CapReqDiskSpaceLabel->setVisible(shown);

    const std::int64_t missing = required - free;
    CapMissDiskSpaceLabel->setText(QStringLiteral("about %1; about %2 of video")
                                       .arg(FormatBytes(QString(), true, missing),
                                            FormatDuration(1, missing / kDiskBytesPerSecond)));
    CapMissDiskSpaceTitleLabel->setVisible(missing > 0);
    CapMissDiskSpaceLabel->setVisible(missing > 0);
}

void TMainForm::ShowNoDeviceHint()
{
    ProcessMessages();
    if (DVCapture->GetDeviceType() == dtUnknown && FShowNoDeviceHint) {
        CaptureBalloonHint->SetImages(&x32ImageList);
        QString text = QStringLiteral("To get full power of TapeHarvest connect your camcorder to the PC,\n"
                                      "check your camcorder is in VCR mode and select one of automatic "
                                      "modes listed above.");
        // What the user can do about it, when the system can tell.
        if (const QString why = DVCapture->NoDeviceExplanation(); !why.isEmpty())
            text += QStringLiteral("\n\n") + why;
        CaptureBalloonHint->ShowHint(SetupTapeBox, 1, QStringLiteral("Not found any DV devices."), text, 20000);
    }
}

void TMainForm::SetupDeviceLost(QObject*, TDeviceMode ADeviceMode)
{
    // An arrived camcorder has been started by the component itself, with sound.
    if (ADeviceMode == dmAvailable)
        DVCapture->Mute();
    RefreshCaptureSetup();
}

void TMainForm::CapSetupCameraMonitoringTimerTimer()
{
    if (!DVCapture->Active())
        return;
    if (FCapturing)
        ReadFrameCounts();
    const TDVDeviceType device = DVCapture->GetDeviceType();
    if (device != FDeviceType) {
        FDeviceType = device;
        QWidget* page = PageControl->currentWidget();
        if (page == CaptureSetupTab)
            RefreshCaptureSetup();
        else if (page == CaptureTab)
            UpdateCaptureInfo();
    }
    // The tape stops by itself at its end.
    if (FProject && FCapturing && FProject->TapeOption == toBtoE) {
        if (FProgressCount > 0 && DVCapture->GetTransportState() == tsStop)
            FinishCapture();
    }
    // Blank tape after the recording delivers no frames.
    if (FProject && FCapturing && FProject->TapeOption == toNtoX) {
        if (FProgressCount > 0) {
            if (FProgressCount == FLastCount) {
                ++FStallTicks;
            } else {
                FLastCount = FProgressCount;
                FStallTicks = 0;
            }
            if (FStallTicks > 4)
                FinishCapture();
        } else {
            FStallTicks = 0;
        }
    }
    // An automatic capture that has had no frame at all (started on blank
    // tape, a deck that does not play) would wait for ever. The whole tape
    // may begin with blank tape: nothing ends it before its first frame but
    // the deck's own stop at the end of the tape (or a deck that never plays).
    if (FProject && FCapturing && FProject->TapeOption != toManual && FProgressCount == 0) {
        ++FNoFrameTicks;
        if (FProject->TapeOption == toBtoE ? FNoFrameTicks >= 2 && DVCapture->GetTransportState() == tsStop
                                           : FNoFrameTicks >= kNoFrameTicks)
            EndCaptureWithoutFrames();
    } else {
        FNoFrameTicks = 0;
    }
}

// --- The user's choices -------------------------------------------------------------------

void TMainForm::CapFromXtoNExecute(QAction* Sender)
{
    if (FProject) {
        TTapeOption option = toManual;
        if (Sender == CapFromXtoN)
            option = toXtoN;
        else if (Sender == CapFromNtoX)
            option = toNtoX;
        else if (Sender == CapFromBtoE)
            option = toBtoE;
        else if (Sender == CapFromXtoX)
            option = toXtoX;
        FProject->SetTapeOption(option);
    }
    RefreshCaptureSetup();
}

void TMainForm::CapRewindTapeExecute()
{
    if (FProject)
        FProject->SetRewindTape(CapRewindTapeCheckBox->isChecked());
}

void TMainForm::CapType1Execute()
{
    if (FProject)
        FProject->SetFileType(0);
}

void TMainForm::CapType2Execute()
{
    if (FProject)
        FProject->SetFileType(1);
}

void TMainForm::CapPreviewExecute()
{
    if (FProject)
        FProject->SetShowPreview(CapPreviewCheckBox->isChecked());
}

void TMainForm::CapScenesWholeExecute()
{
    if (FProject)
        FProject->SetSplitFiles(!CapScenesWholeRadio->isChecked());
}

void TMainForm::CapScenesMultExecute()
{
    if (FProject)
        FProject->SetSplitFiles(CapScenesMultRadio->isChecked());
}

void TMainForm::CapFromHSpinExit()
{
    UpdateDiskSpaceEstimate();
}

void TMainForm::CapFolderBtnClick()
{
    if (!FProject)
        return;
    const std::unique_ptr<QFileDialog> dialog(NewFileDialog(this, "SelectFolder", QString(), FProject->CaptureFolder));
    QFileDialog& selectFolder = *dialog;
    selectFolder.setOption(QFileDialog::ShowDirsOnly, true);
    selectFolder.setFileMode(QFileDialog::Directory);
    if (ExecModal(selectFolder) != QDialog::Accepted)
        return;
    const QString folder = selectFolder.selectedFiles().value(0);
    if (folder.isEmpty())
        return;
    const QString before = FProject->CaptureFolder;
    FProject->SetCaptureFolder(folder);
    // A name built from the old folder would send the capture there.
    if (FProject->CaptureFolder != before)
        FCaptureFileName.clear();
    UpdateDiskSpaceEstimate();
}

// --- The capture file ------------------------------------------------------------------

void TMainForm::ChooseCaptureFileName()
{
    if (!FProject)
        return;
    // The user's answer below stands: the next capture goes to this name.
    FCapturedFiles.clear();
    if (FCaptureFileName.isEmpty()) {
        QString folder = FProject->CaptureFolder;
        if (!folder.endsWith(QLatin1Char('/')) && !folder.endsWith(QLatin1Char('\\')))
            folder += QLatin1Char('/');
        FCaptureFileName = folder + FProject->Name + QStringLiteral(".avi");
    }
    // Per-scene files take their names from the scenes.
    if (FProject->SplitFiles || !FileExists(FCaptureFileName))
        return;

    enum { Rename = 1, Rewrite = 2, Cancel = 3 };
    const int answer = MessageDlgCustom(
        QStringLiteral("The file \"%1\" is exsists. To capture to the file with a different file name click the "
                       "\"Rename\" button. Or click the \"Rewrite\" button to overwrite the targeted file.")
            .arg(FCaptureFileName),
        TMsgDlgType::mtConfirmation,
        {{QStringLiteral("Rename"), Rename}, {QStringLiteral("Rewrite"), Rewrite}, {QStringLiteral("Cancel"), Cancel}},
        Rename, Cancel);
    if (answer == Rewrite)
        return;
    if (answer == Rename) {
        if (!SaveCaptureDialog) {
            SaveCaptureDialog =
                NewFileDialog(this, "SaveCaptureDialog", QStringLiteral("Capture to"), FProject->CaptureFolder);
            // As a save dialog with a default extension: "Second" is Second.avi.
            SaveCaptureDialog->setDefaultSuffix(QStringLiteral("avi"));
            // A file picked here that exists is replaced only when the user says so.
            SaveCaptureDialog->setOption(QFileDialog::DontConfirmOverwrite, false);
            SaveCaptureDialog->setAcceptMode(QFileDialog::AcceptSave);
            SaveCaptureDialog->setFileMode(QFileDialog::AnyFile);
            SaveCaptureDialog->setSizeGripEnabled(true);
        }
        SaveCaptureDialog->setWindowTitle(QStringLiteral("Capture to"));
        SaveCaptureDialog->setNameFilter(
            QStringLiteral("%1 (*%2)").arg(QStringLiteral("AVI files"), QStringLiteral(".avi")));
        SaveCaptureDialog->setDirectory(FProject->CaptureFolder);
        // The user asked for another name: one that holds no capture yet.
        SaveCaptureDialog->selectFile(FreeFileName(FCaptureFileName, {QStringLiteral(".thf")}));
        if (ExecModal(*SaveCaptureDialog) == QDialog::Accepted) {
            const QString chosen = SaveCaptureDialog->selectedFiles().value(0);
            if (!chosen.isEmpty()) {
                FCaptureFileName = chosen;
                return;
            }
        }
    }
    // The leave hook has stopped the preview, yet the wizard stays on this
    // page: bring the page back to life before reporting.
    if (PageControl->currentWidget() == CaptureSetupTab && !CapSetupCameraMonitoringTimer->isActive()) {
        FShowNoDeviceHint = true;
        StartCaptureSetupPage(false);
    }
    throw ETlmTHInfo(kNoFileName);
}

// The Capture page: hands the open project to the capture component, shows
// the device and the capture settings, drives the tape, and keeps the scenes
// list (the earlier captures' scenes, then one thumbnail per new scene).
#include "app/Main.h"

#include "app/Controls.h"
#include "app/TlmScnLV.h"
#include "capture/TlmFrmGrb.h"
#include "capture/TlmVWin.h"
#include "project/XmlDocument.h"
#include "platform/rtl/SysUtils.h"

#include <QAction>
#include <QCoreApplication>
#include <QDomDocument>
#include <QDomElement>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QSlider>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>

namespace {

QLabel* BoldLabel(const QString& Text, QWidget* Parent)
{
    auto* label = new QLabel(Text, Parent);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    return label;
}

QTimer* NewTimer(QObject* Owner, const char* Name, int IntervalMs)
{
    auto* timer = new QTimer(Owner);
    timer->setObjectName(QString::fromLatin1(Name));
    timer->setInterval(IntervalMs);
    return timer;
}

QString Timecode(const TTimecode& TC)
{
    return QString::asprintf("%.2d:%.2d:%.2d:%.2d", TC.Hours, TC.Minutes, TC.Seconds, TC.Frames);
}

// A tool button keeps every action it was ever given and then offers the
// others in a menu; a rebound button holds only the action it runs.
void Rebind(QToolButton* Button, QAction* Action)
{
    QAction* old = Button->defaultAction();
    if (old == Action)
        return;
    if (old)
        Button->removeAction(old);
    Button->setDefaultAction(Action);
}

qint64 FrameNumber(const QDomElement& Scene, const QString& SceneFile)
{
    const QString text = Scene.firstChildElement(QStringLiteral("start")).text().trimmed();
    bool ok = false;
    const qint64 frame = text.toLongLong(&ok);
    if (!ok)
        throw EConvertError(
            QStringLiteral("'%1' is not a valid frame number in the scene file \"%2\"").arg(text, SceneFile));
    return frame;
}

QDomDocument ReadSceneFile(const QString& Name)
{
    const QByteArray data = th::xml::readBounded(Name, QStringLiteral("scene file"));
    QDomDocument doc;
    QString message;
    int line = 0, column = 0;
    if (!doc.setContent(data, &message, &line, &column))
        throw Exception(QStringLiteral("The scene file \"%1\" is not valid XML (line %2, column %3): %4")
                            .arg(Name)
                            .arg(line)
                            .arg(column)
                            .arg(message));
    return doc;
}

const QString kDisconnected = QStringLiteral("The camcorder is disconnected. Connect it again to capture.");
const QString kDisconnectedCapturing =
    QStringLiteral("The camcorder was disconnected during the capture, which is stopped; the video captured so far "
                   "is kept. Connect the camcorder again to go on.");

// What the video window shows while no video is attached: a DV cassette.
QImage PreviewBackground()
{
    QImage picture(180, 144, QImage::Format_RGB32);
    picture.fill(QColor(16, 16, 20));
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF cassette(35, 42, 110, 64);
    p.setPen(QPen(QColor(120, 120, 130), 2));
    p.setBrush(QColor(44, 44, 52));
    p.drawRoundedRect(cassette, 6, 6);
    p.setBrush(QColor(24, 24, 28));
    p.drawRoundedRect(QRectF(55, 58, 70, 26), 3, 3);
    p.setBrush(QColor(150, 150, 160));
    for (const qreal x : {72.0, 108.0})
        p.drawEllipse(QPointF(x, 71), 8, 8);
    p.setPen(QColor(170, 170, 180));
    QFont font = p.font();
    font.setPixelSize(11);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRectF(cassette.left(), 88, cassette.width(), 16), Qt::AlignCenter, QStringLiteral("DV"));
    return picture;
}

} // namespace

void TMainForm::CreateCapturePage()
{
    CaptureTab = new QWidget;
    CaptureTab->setObjectName(QStringLiteral("CaptureTab"));
    PageControl->addWidget(CaptureTab);

    // Actions.
    CamPlay = NewAction(this, "CamPlay", QStringLiteral("Play"));
    CamStop = NewAction(this, "CamStop", QStringLiteral("Stop"));
    CamPause = NewAction(this, "CamPause", QStringLiteral("Pause"));
    CamStillPrev = NewAction(this, "CamStillPrev", QStringLiteral("Previos Frame"));
    CamStillNext = NewAction(this, "CamStillNext", QStringLiteral("Next Frame"));
    CamRew = NewAction(this, "CamRew", QStringLiteral("Rewind"));
    CamFForw = NewAction(this, "CamFForw", QStringLiteral("Forward"), QStringLiteral("Fast Forward"));
    CamPlayRew = NewAction(this, "CamPlayRew", QStringLiteral("Play Rewind"), QStringLiteral("Play Fast Backward"));
    CamPlayFwd = NewAction(this, "CamPlayFwd", QStringLiteral("Play Forward"), QStringLiteral("Play Fast Forward"));
    CaptureStart = NewAction(this, "CaptureStart", QStringLiteral("Start Capture"));
    CaptureStop = NewAction(this, "CaptureStop", QStringLiteral("Stop Capture"));

    QStyle* st = style();
    CamPlay->setIcon(st->standardIcon(QStyle::SP_MediaPlay));
    CamStop->setIcon(st->standardIcon(QStyle::SP_MediaStop));
    CamPause->setIcon(st->standardIcon(QStyle::SP_MediaPause));
    CamStillPrev->setIcon(st->standardIcon(QStyle::SP_MediaSkipBackward));
    CamStillNext->setIcon(st->standardIcon(QStyle::SP_MediaSkipForward));
    CamRew->setIcon(st->standardIcon(QStyle::SP_MediaSeekBackward));
    CamFForw->setIcon(st->standardIcon(QStyle::SP_MediaSeekForward));
    CamPlayRew->setIcon(st->standardIcon(QStyle::SP_MediaSeekBackward));
    CamPlayFwd->setIcon(st->standardIcon(QStyle::SP_MediaSeekForward));

    Bind(CamPlay, &QAction::triggered, &TMainForm::CamPlayExecute);
    Bind(CamStop, &QAction::triggered, &TMainForm::CamStopExecute);
    Bind(CamPause, &QAction::triggered, &TMainForm::CamPauseExecute);
    Bind(CamStillPrev, &QAction::triggered, &TMainForm::CamStillPrevExecute);
    Bind(CamStillNext, &QAction::triggered, &TMainForm::CamStillNextExecute);
    Bind(CamRew, &QAction::triggered, &TMainForm::CamRewExecute);
    Bind(CamFForw, &QAction::triggered, &TMainForm::CamFForwExecute);
    Bind(CamPlayRew, &QAction::triggered, &TMainForm::CamPlayRewExecute);
    Bind(CamPlayFwd, &QAction::triggered, &TMainForm::CamPlayFwdExecute);
    Bind(CaptureStart, &QAction::triggered, &TMainForm::CaptureStartExecute);
    Bind(CaptureStop, &QAction::triggered, &TMainForm::CaptureStopExecute);

    CapturePauseImageList.AddStandard(QStringLiteral("media-record"), QColor(200, 0, 0));
    StopImageList.AddStandard(QStringLiteral("media-playback-stop"), QColor(60, 60, 60));
    CaptureStart->setIcon(CapturePauseImageList.Icon(0));
    CaptureStop->setIcon(StopImageList.Icon(0));

    auto* page = new QGridLayout(CaptureTab);

    // Left: the camcorder with its picture, transport and volume, then the capture buttons.
    auto* camcorder = new QGroupBox(QStringLiteral("Camcorder"), CaptureTab);
    camcorder->setObjectName(QStringLiteral("CamcorderGroupBox"));
    auto* camLayout = new QVBoxLayout(camcorder);
    PreviewWindow = new TTlmVideoWindow(camcorder);
    PreviewWindow->setObjectName(QStringLiteral("PreviewWindow"));
    PreviewWindow->setFixedSize(180, 144);
    PreviewWindow->SetBackGround(PreviewBackground());
    camLayout->addWidget(PreviewWindow, 0, Qt::AlignHCenter);

    CamNavigatorToolBar = new QToolBar(QStringLiteral("Camcorder Navigator"), camcorder);
    CamNavigatorToolBar->setObjectName(QStringLiteral("CamNavigatorToolBar"));
    auto button = [this](const char* Name, QAction* Action) {
        auto* b = new QToolButton(CamNavigatorToolBar);
        b->setObjectName(QString::fromLatin1(Name));
        b->setDefaultAction(Action);
        CamNavigatorToolBar->addWidget(b);
        return b;
    };
    CamRewButton = button("CamRewButton", CamRew);
    CamStillPrevButton = button("CamStillPrevButton", CamStillPrev);
    CamPlayButton = button("CamPlayButton", CamPlay);
    CamStillNextButton = button("CamStillNextButton", CamStillNext);
    CamFForwButton = button("CamFForwButton", CamFForw);
    CamNavigatorToolBar->addSeparator();
    CamStopButton = button("CamStopButton", CamStop);
    camLayout->addWidget(CamNavigatorToolBar, 0, Qt::AlignHCenter);

    auto* volumeRow = new QHBoxLayout;
    VolumeTitleLabel = new QLabel(QStringLiteral("Volume:"), camcorder);
    VolumeTitleLabel->setObjectName(QStringLiteral("VolumeTitleLabel"));
    CaptureVolumeTrackBar = new QSlider(Qt::Horizontal, camcorder);
    CaptureVolumeTrackBar->setObjectName(QStringLiteral("CaptureVolumeTrackBar"));
    CaptureVolumeTrackBar->setRange(-5000, 0);
    CaptureVolumeTrackBar->setSingleStep(100);
    CaptureVolumeTrackBar->setTickInterval(1000);
    CaptureVolumeTrackBar->setTickPosition(QSlider::TicksBelow);
    CaptureVolumeTrackBar->setToolTip(QStringLiteral("Volume Control"));
    Bind(CaptureVolumeTrackBar, &QSlider::valueChanged, &TMainForm::CaptureVolumeTrackBarChange);
    volumeRow->addWidget(VolumeTitleLabel);
    volumeRow->addWidget(CaptureVolumeTrackBar, 1);
    camLayout->addLayout(volumeRow);
    page->addWidget(camcorder, 0, 0, 2, 1);

    auto* captureRow = new QHBoxLayout;
    StartCaptureButton = new QToolButton(CaptureTab);
    StartCaptureButton->setObjectName(QStringLiteral("StartCaptureButton"));
    StartCaptureButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    StartCaptureButton->setDefaultAction(CaptureStart);
    StopCaptureButton = new QToolButton(CaptureTab);
    StopCaptureButton->setObjectName(QStringLiteral("StopCaptureButton"));
    StopCaptureButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    StopCaptureButton->setDefaultAction(CaptureStop);
    captureRow->addWidget(StartCaptureButton);
    captureRow->addWidget(StopCaptureButton);
    captureRow->addStretch(1);
    // Nothing under the buttons: their balloons open there and hide nothing.
    page->addLayout(captureRow, 2, 0, Qt::AlignTop);

    // Right: the device and capture panels, the disk space.
    auto* panels = new QGridLayout;
    panels->addWidget(BoldLabel(QStringLiteral("Device"), CaptureTab), 0, 0, 1, 2);
    panels->addWidget(new QLabel(QStringLiteral("Signal:"), CaptureTab), 1, 0);
    CaptureSignalLabel = new QLabel(QStringLiteral("No signal"), CaptureTab);
    CaptureSignalLabel->setObjectName(QStringLiteral("CaptureSignalLabel"));
    panels->addWidget(CaptureSignalLabel, 1, 1);
    panels->addWidget(new QLabel(QStringLiteral("Mode:"), CaptureTab), 2, 0);
    CaptureCameraModeLabel = new QLabel(QStringLiteral("Off"), CaptureTab);
    CaptureCameraModeLabel->setObjectName(QStringLiteral("CaptureCameraModeLabel"));
    panels->addWidget(CaptureCameraModeLabel, 2, 1);
    panels->addWidget(BoldLabel(QStringLiteral("Capture"), CaptureTab), 3, 0, 1, 2);
    panels->addWidget(new QLabel(QStringLiteral("Mode:"), CaptureTab), 4, 0);
    CaptureModeLabel = new QLabel(CaptureTab);
    CaptureModeLabel->setObjectName(QStringLiteral("CaptureModeLabel"));
    panels->addWidget(CaptureModeLabel, 4, 1);
    panels->addWidget(new QLabel(QStringLiteral("File Type:"), CaptureTab), 5, 0);
    CaptureFileTypeLabel = new QLabel(CaptureTab);
    CaptureFileTypeLabel->setObjectName(QStringLiteral("CaptureFileTypeLabel"));
    panels->addWidget(CaptureFileTypeLabel, 5, 1);
    // The counters of the running capture, with the capture's settings.
    const auto counter = [&](int Row, const QString& Caption, const char* Name) {
        panels->addWidget(new QLabel(Caption, CaptureTab), Row, 0);
        auto* edit = new QLineEdit(CaptureTab);
        edit->setObjectName(QLatin1String(Name));
        edit->setReadOnly(true);
        edit->setMaximumWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("00.00.0000 00:00:00")) + 16);
        panels->addWidget(edit, Row, 1);
        return edit;
    };
    CaptureDroppedEdit = counter(6, QStringLiteral("Dropped frames:"), "CaptureDroppedEdit");
    CaptureDroppedEdit->setText(QStringLiteral("0"));
    CaptureDateTimeEdit = counter(7, QStringLiteral("Record time:"), "CaptureDateTimeEdit");
    panels->setColumnStretch(2, 1);
    page->addLayout(panels, 0, 1);

    DriveInfoView = new QTreeWidget(CaptureTab);
    DriveInfoView->setObjectName(QStringLiteral("DriveInfoView"));
    DriveInfoView->setColumnCount(3);
    DriveInfoView->setHeaderHidden(true);
    DriveInfoView->setRootIsDecorated(false);
    DriveInfoView->setColumnWidth(0, 100);
    DriveInfoView->setColumnWidth(1, 100);
    DriveInfoView->setColumnWidth(2, 200);
    // Every label whole, at any width: the columns take their texts' widths
    // (the last one the rest), and the view is as high as its three rows.
    DriveInfoView->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    DriveInfoView->header()->setStretchLastSection(true);
    DriveInfoView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    DriveInfoView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const int rowHeight = std::max(DriveInfoView->fontMetrics().height() + 4, 18);
    DriveInfoView->setFixedHeight(3 * rowHeight + 2 * DriveInfoView->frameWidth() + 2);
    auto* right = new QVBoxLayout;
    right->addWidget(DriveInfoView);
    page->addLayout(right, 1, 1, 4, 1);

    // Below the panels, beside the capture buttons: the scenes, as high as
    // the page lets them be; at the bottom the status line sharing its place
    // with the progress bar.
    CaptureScenesListView = new TTlmScenesListView(CaptureTab);
    CaptureScenesListView->setObjectName(QStringLiteral("CaptureScenesListView"));
    CaptureScenesListView->setResizeMode(QListView::Adjust);
    CaptureScenesListView->setMovement(QListView::Static);
    right->addWidget(CaptureScenesListView, 1);
    page->setRowStretch(4, 1);

    auto* status = new QHBoxLayout;
    CaptureStatusText = new QLineEdit(CaptureTab);
    CaptureStatusText->setObjectName(QStringLiteral("CaptureStatusText"));
    CaptureStatusText->setReadOnly(true);
    CaptureProgressBar = new QProgressBar(CaptureTab);
    CaptureProgressBar->setObjectName(QStringLiteral("CaptureProgressBar"));
    CaptureProgressBar->setRange(0, 100);
    CaptureProgressBar->setValue(0);
    CaptureProgressBar->hide();
    status->addWidget(CaptureStatusText);
    status->addWidget(CaptureProgressBar);
    page->addLayout(status, 5, 0, 1, 2);
    page->setColumnStretch(1, 1);

    TimecodeTimer = NewTimer(this, "TimecodeTimer", 120);
    DetectIntermediateStopTimer = NewTimer(this, "DetectIntermediateStopTimer", 40);
    CaptureDiskSpaceMonitorTimer = NewTimer(this, "CaptureDiskSpaceMonitorTimer", 8000);
    Bind(TimecodeTimer, &QTimer::timeout, &TMainForm::TimecodeTimerTimer);
    Bind(DetectIntermediateStopTimer, &QTimer::timeout, &TMainForm::DetectIntermediateStopTimerTimer);
    Bind(CaptureDiskSpaceMonitorTimer, &QTimer::timeout, &TMainForm::CaptureDiskSpaceMonitorTimerTimer);
    // Often enough that the capture starts soon after the deck is there.
    TapeWaitTimer = NewTimer(this, "TapeWaitTimer", 100);
    Bind(TapeWaitTimer, &QTimer::timeout, &TMainForm::TapeWaitTimerTimer);
}

void TMainForm::EnterCapturePage()
{
    // A folder that cannot be made would let the capture run and write nothing.
    if (!DirectoryExists(FProject->CaptureFolder) && !ForceDirectories(FProject->CaptureFolder))
        throw Exception(QStringLiteral("Cannot create the capture folder \"%1\".").arg(FProject->CaptureFolder));
    FProject->Save();
    RegisterProjectFile(FProject->FileName);

    SettleNextCaptureFile();
    DVCapture->SetPreviewWindow(PreviewWindow);
    DVCapture->OnDeviceLost = [this](QObject* Sender, TDeviceMode Mode) {
        Guarded([&] { CaptureDeviceLost(Sender, Mode); });
    };
    // A running graph reads the handler on its streaming thread; it is already
    // this one then (the page is being entered again).
    if (DVCapture->GetCaptureState() != csRunned || !DVCapture->OnCaptureProgress)
        DVCapture->OnCaptureProgress = [this](BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year) {
            CaptureProgress(Day, Month, Hour, Min, Sec, Year);
        };
    DVCapture->SetAutoStart(true);
    DVCapture->SetCaptureMode(cmPreview);

    DVCapture->Unmute();
    DVCapture->SetActive(true);
    CapSetupCameraMonitoringTimer->start();

    const bool manual = FProject->TapeOption == toManual;
    NextPage->setEnabled(manual);
    PreviosPage->setEnabled(manual);
    FShowStartHint = true;
    FShowStopHint = true;
}

void TMainForm::CaptureTabShow()
{
    CaptureDiskSpaceMonitorTimer->stop();
    CapSetupCameraMonitoringTimer->stop();
    StopCaptureMonitors();

    TitleLabel->setText(QStringLiteral("Capturing DV video"));
    DescriptionLabel->setText(QStringLiteral(
        "We are strongly recommend to close all other programms and do not use PC resources such as CPU and disk "
        "drives during capture. TapeHarvest will continue automaticly in automatic capture mode or stop capture "
        "and press the Next button manually."));

    UpdateCaptureInfo();
    UpdateDriveInfo(false);

    if (CaptureScenesListView->count() == 0) {
        ProcessMessages();
        LoadScenesList();
    }

    const TTapeOption option = FProject->TapeOption;
    if (option != toManual)
        CaptureStart->setEnabled(false);

    if (!DVCapture->Active()) {
        CaptureStatusText->setText(QStringLiteral("Cannot find a camcorder. May be camcorder is busy or turned off."));
        // What the user can do about it, when the system can tell.
        CaptureStatusText->setToolTip(DVCapture->NoDeviceExplanation());
        return;
    }
    CaptureStatusText->setToolTip(QString());

    CaptureStatusText->setText(QStringLiteral("Ready for capture. Press the Start Capture button to begin."));
    const TTimecode start = FProject->StartTime;
    try {
        if (option == toXtoN || option == toXtoX) {
            CaptureStatusText->setText(QString::asprintf("Setting the tape to the start position (%.2dh%.2dm%.2ds%.2df).",
                                                         start.Hours, start.Minutes, start.Seconds, start.Frames));
            TTimecode read{};
            DVCapture->ReadTimecode(read);
            ProcessMessages();
            // The seek answers once the deck has taken it; the deck winds on
            // by itself, and the timer watches it get there.
            if (TimecodeDiff(start, read, BYTE(DVCapture->FrameRate())) != 0 && DVCapture->SeekATN(start)) {
                BeginTapeWait(TTapeWait::SeekSent);
                return;
            }
        } else if (option == toBtoE) {
            CaptureStatusText->setText(QStringLiteral("Rewinding the tape."));
            ProcessMessages();
            if (RewindTapeAndWait())
                return;
        }
    } catch (const std::exception& e) {
        const auto* raised = dynamic_cast<const Exception*>(&e);
        FailTapeStart(raised ? raised->Message() : QString::fromLocal8Bit(e.what()));
    }
    StartAtTapePosition();
}

void TMainForm::FailTapeStart(const QString& Reason)
{
    // Nothing may stay half done: the deck stopped, the page usable.
    RecoverFromFailedStart();
    const TTimecode start = FProject ? FProject->StartTime : TTimecode{};
    const QString where = QString::asprintf("%.2dh%.2dm%.2ds%.2df", start.Hours, start.Minutes, start.Seconds,
                                            start.Frames);
    CaptureStatusText->setText(
        QStringLiteral("The tape could not be set to the start position (%1). Press the Start Capture button to "
                       "capture from where the tape stands, or Previous to choose another range.")
            .arg(where));
    throw Exception(QStringLiteral("The tape could not be set to the start position (%1): %2. The position may "
                                   "lie beyond the end of the recording.")
                        .arg(where, Reason));
}

void TMainForm::StartAtTapePosition()
{
    if (FProject && FProject->TapeOption != toManual)
        StartCapture();
    DVCapture->Start();
    CaptureDiskSpaceMonitorTimer->start();
    CapSetupCameraMonitoringTimer->start();
}

void TMainForm::LeaveCapturePage()
{
    if (FTapeWait != TTapeWait::None) {
        TapeWaitTimer->stop();
        FTapeWait = TTapeWait::None;
        DVCapture->TransportStop();
    }
    CaptureDiskSpaceMonitorTimer->stop();
    CapSetupCameraMonitoringTimer->stop();
    if (CaptureBalloonHint->Shown())
        CaptureBalloonHint->HideHint();
    DVCapture->SetAutoStart(false);
    DVCapture->SetActive(false);
    FCapturing = false;
    StopCaptureMonitors();
    DVCapture->SetCaptureMode(cmPreview);
    // The graph is down: no streaming thread reads the handlers any more.
    DVCapture->OnDeviceLost = nullptr;
    DVCapture->OnCaptureProgress = nullptr;
}

void TMainForm::CaptureDeviceLost(QObject*, TDeviceMode ADeviceMode)
{
    if (ADeviceMode == dmAvailable) {
        DVCapture->SetActive(true);
        UpdateCaptureInfo();
        if (CaptureStatusText->text() == kDisconnected || CaptureStatusText->text() == kDisconnectedCapturing)
            CaptureStatusText->setText(QStringLiteral("Ready for capture. Press the Start Capture button to begin."));
        return;
    }
    if (ADeviceMode != dmRemoved) {
        UpdateCaptureInfo();
        return;
    }
    const bool capturing = FCapturing;
    if (FTapeWait != TTapeWait::None)
        EndTapeWait(kDisconnected);
    if (capturing)
        StopCapture(false);
    UpdateCaptureInfo();
    CaptureStatusText->setText(capturing ? kDisconnectedCapturing : kDisconnected);
}

void TMainForm::UpdateCaptureInfo()
{
    UpdateCamcorderButtons();

    CaptureVolumeTrackBar->setValue(DVCapture->Volume());
    const bool active = DVCapture->Active();
    const TCaptureMode mode = DVCapture->CaptureMode();
    const bool sound = active && (mode == cmPreview || mode == cmDVType1wPreview || mode == cmDVType2wPreview);
    VolumeTitleLabel->setEnabled(sound);
    CaptureVolumeTrackBar->setEnabled(sound);
    // While the deck winds to the start, Stop Capture ends the wait.
    const bool waiting = FTapeWait != TTapeWait::None;
    CaptureStart->setEnabled(active && mode == cmPreview && !waiting);
    CaptureStop->setEnabled(active && (mode != cmPreview || waiting));

    // The component keeps the format of its last graph; without a device
    // there is no signal.
    switch (active ? DVCapture->SignalFormat() : sfNone) {
    case sfPAL:
    case sfPALLong:
        CaptureSignalLabel->setText(QStringLiteral("PAL (720x576 25fps)"));
        break;
    case sfNTSC:
    case sfNTSCLong:
        CaptureSignalLabel->setText(QStringLiteral("NTSC (720x480 29.97fps)"));
        break;
    default:
        CaptureSignalLabel->setText(QStringLiteral("No signal"));
        break;
    }

    if (FProject) {
        const TTimecode start = FProject->StartTime;
        const TTimecode end = FProject->EndTime;
        switch (FProject->TapeOption) {
        case toXtoN:
            CaptureModeLabel->setText(QStringLiteral("00:00:00:00 to ") + Timecode(end));
            break;
        case toNtoX:
            CaptureModeLabel->setText(Timecode(start) + QStringLiteral(" to the end"));
            break;
        case toBtoE:
            CaptureModeLabel->setText(QStringLiteral("Whole tape"));
            break;
        case toXtoX:
            CaptureModeLabel->setText(Timecode(start) + QStringLiteral(" to ") + Timecode(end));
            break;
        default:
            CaptureModeLabel->setText(QStringLiteral("Manual"));
            break;
        }
        QString type = FProject->SplitFiles ? QStringLiteral("Multiple") : QStringLiteral("Single");
        if (FProject->FileType == 0)
            type += QStringLiteral(" DV AVI Type-1");
        else if (FProject->FileType == 1)
            type += QStringLiteral(" DV AVI Type-2");
        CaptureFileTypeLabel->setText(type);
    }

    switch (DVCapture->GetDeviceType()) {
    case dtCamera:
        CaptureCameraModeLabel->setText(QStringLiteral("Camera"));
        break;
    case dtVCR:
        CaptureCameraModeLabel->setText(QStringLiteral("VCR"));
        break;
    default:
        CaptureCameraModeLabel->setText(QStringLiteral("Off"));
        break;
    }

    if (FProject && FProject->TapeOption == toManual && StartCaptureButton->isEnabled() && FShowStartHint) {
        CaptureBalloonHint->SetImages(&CapturePauseImageList);
        CaptureBalloonHint->ShowHint(StartCaptureButton, 0, QStringLiteral("Manual capture"),
                                     QStringLiteral("To run capture press the Start Capture button."), 10000);
        FShowStartHint = false;
    }
}

void TMainForm::UpdateCamcorderButtons()
{
    const TTransportState state = DVCapture->GetTransportState();
    const bool vcr = DVCapture->GetDeviceType() == dtVCR;
    for (QAction* action : {CamPlay, CamStop, CamPause, CamRew, CamFForw, CamPlayRew, CamPlayFwd})
        action->setEnabled(vcr);
    CamStillPrev->setEnabled(vcr && state == tsFreeze);
    CamStillNext->setEnabled(vcr && state == tsFreeze);
    CamNavigatorToolBar->setEnabled(FProject && FProject->TapeOption == toManual);
    Rebind(CamPlayButton, state == tsPlay ? CamPause : CamPlay);
    const bool moving = state == tsPlay || state == tsFreeze;
    Rebind(CamRewButton, moving ? CamPlayRew : CamRew);
    Rebind(CamFForwButton, moving ? CamPlayFwd : CamFForw);
}

void TMainForm::CamPlayExecute()
{
    DVCapture->TransportPlay();
    UpdateCamcorderButtons();
}

void TMainForm::CamStopExecute()
{
    DVCapture->TransportStop();
    UpdateCamcorderButtons();
}

void TMainForm::CamPauseExecute()
{
    DVCapture->TransportPause();
    UpdateCamcorderButtons();
}

void TMainForm::CamStillPrevExecute()
{
    DVCapture->TransportStillPrev();
    UpdateCamcorderButtons();
}

void TMainForm::CamStillNextExecute()
{
    DVCapture->TransportStillNext();
    UpdateCamcorderButtons();
}

void TMainForm::CamRewExecute()
{
    DVCapture->TransportRew();
    UpdateCamcorderButtons();
}

void TMainForm::CamFForwExecute()
{
    DVCapture->TransportFForw();
    UpdateCamcorderButtons();
}

void TMainForm::CamPlayRewExecute()
{
    DVCapture->TransportPlayRew();
    UpdateCamcorderButtons();
}

void TMainForm::CamPlayFwdExecute()
{
    DVCapture->TransportPlayFwd();
    UpdateCamcorderButtons();
}

void TMainForm::CaptureVolumeTrackBarChange()
{
    DVCapture->SetVolume(CaptureVolumeTrackBar->value());
}

void TMainForm::DVCaptureNewScene(const QImage& Bitmap, BYTE Day, BYTE Month, BYTE Hour, BYTE Min, BYTE Sec, int Year)
{
    // The picture is the raiser's and gone when this returns: a deep copy crosses.
    QImage picture = Bitmap.copy();
    // The frames before the first dated one come as a scene without a date.
    const QString caption = Year == 0 ? QStringLiteral("undated")
                                      : QString::asprintf("%.2d.%.2d.%.4d %.2d:%.2d:%.2d", Day, Month, Year, Hour,
                                                          Min, Sec);
    PostToMain([this, picture = std::move(picture), caption]() mutable {
        ++FSceneCount;
        CaptureScenesListView->AddScene(caption, picture);
    });
}

void TMainForm::LoadScenesList(const QString& Rewritten)
{
    CaptureScenesListView->Clear();
    if (!FProject)
        return;
    TTlmFramesGrabber grabber;
    // A capture keeps its scenes in the list until a capture writes its file
    // anew; the next capture's name alone hides nothing.
    const QString running = FCapturing && !FProject->SplitFiles ? DVCapture->FileName() : QString();
    const QStringList files = FProject->Files;
    QStringList shown;
    for (const QString& file : files) {
        if (!FileExists(file) || file == Rewritten || file == running || shown.contains(file))
            continue;
        shown << file;
        // One damaged file (or scene file) costs its own thumbnails only.
        try {
            LoadScenesOfFile(grabber, file);
        } catch (const std::exception& e) {
            const auto* raised = dynamic_cast<const Exception*>(&e);
            QImage picture(CaptureScenesListView->ImageList()->Width(), CaptureScenesListView->ImageList()->Height(),
                           QImage::Format_RGB32);
            picture.fill(QColor(40, 40, 40));
            CaptureScenesListView->AddScene(QStringLiteral("%1 cannot be read").arg(ExtractFileName(file)), picture);
            CaptureScenesListView->item(CaptureScenesListView->count() - 1)
                ->setToolTip(raised ? raised->Message() : QString::fromLocal8Bit(e.what()));
        }
    }
}

void TMainForm::LoadScenesOfFile(TTlmFramesGrabber& Grabber, const QString& File)
{
    Grabber.BitmapWidth = CaptureScenesListView->ImageList()->Width();
    Grabber.BitmapHeight = CaptureScenesListView->ImageList()->Height();
    const QString sceneFile = ChangeFileExt(File, QStringLiteral(".thf"));
    if (!FileExists(sceneFile)) {
        QImage bitmap;
        if (Grabber.GrabFrame(File, bitmap, 0))
            CaptureScenesListView->AddScene(ExtractFileName(File), bitmap);
        return;
    }
    const QDomDocument doc = ReadSceneFile(sceneFile);
    const QDomElement scenes = doc.documentElement().firstChildElement(QStringLiteral("scenes"));
    if (scenes.isNull())
        throw Exception(QStringLiteral("The scene file \"%1\" has no scenes.").arg(sceneFile));
    for (QDomElement scene = scenes.firstChildElement(); !scene.isNull(); scene = scene.nextSiblingElement()) {
        if (scene.tagName() != QLatin1String("scene"))
            continue;
        QImage bitmap;
        const qint64 frame = FrameNumber(scene, sceneFile);
        if (Grabber.GrabFrame(File, bitmap, frame))
            CaptureScenesListView->AddScene(scene.firstChildElement(QStringLiteral("name")).text(), bitmap);
    }
}

namespace {

// A deck that never reports the end of its winding is given up after the
// time a whole cassette takes; after a rewind the capture then starts where
// the tape stands, after a seek only if the tape stands at the start.
constexpr qint64 kWindingLimitMs = 6 * 60 * 1000;
// A seek the deck finished before the first look, or one it never showed
// winding for, is taken as done after this time, and the tape's position
// then tells whether it got there. Long enough for a deck that threads its
// tape before it winds.
constexpr qint64 kSeekSettleMs = 5000;

bool Winding(TTransportState State)
{
    return State == tsFForw || State == tsRew || State == tsRewFastest;
}

} // namespace

void TMainForm::BeginTapeWait(TTapeWait State)
{
    FTapeWait = State;
    FTapeWaitClock.start();
    TapeWaitTimer->start();
    NextPage->setEnabled(false);
    PreviosPage->setEnabled(false);
    UpdateCaptureInfo();
}

// The deck winds to the start after the seek or the rewind has returned; a
// play command before it gets there would start the capture wherever the tape
// stands. The page waits tick by tick, so that it paints and Stop Capture or
// closing the window can end the wait; nothing else may leave the page
// halfway, so Next and Previous stay off meanwhile.
void TMainForm::TapeWaitTimerTimer()
{
    if (FTapeWait == TTapeWait::None) {
        TapeWaitTimer->stop();
        return;
    }
    if (!DVCapture->Active() || DVCapture->GetDeviceType() != dtVCR) {
        EndTapeWait(DVCapture->Active() ? QStringLiteral("The device is no longer a video recorder, so the tape cannot "
                                                         "be positioned. Press the Start Capture button to capture.")
                                        : kDisconnected);
        return;
    }
    const TTransportState state = DVCapture->GetTransportState();
    const qint64 waited = FTapeWaitClock.elapsed();
    bool there = false;
    switch (FTapeWait) {
    case TTapeWait::SeekSent:
        if (Winding(state)) {
            FTapeWait = TTapeWait::Winding;
        } else {
            TTimecode read{};
            there = (DVCapture->ReadTimecode(read) && FProject && read == FProject->StartTime) ||
                    waited >= kSeekSettleMs;
        }
        break;
    case TTapeWait::Winding:
        there = !Winding(state) || waited >= kWindingLimitMs;
        break;
    case TTapeWait::RewindSent:
        // A tape already at its start stops at once.
        if (Winding(state))
            FTapeWait = TTapeWait::Rewinding;
        else
            there = state == tsStop;
        break;
    case TTapeWait::Rewinding:
        there = !Winding(state);
        break;
    case TTapeWait::None:
        break;
    }
    if (!there)
        return;
    const bool seek = FTapeWait == TTapeWait::SeekSent || FTapeWait == TTapeWait::Winding;
    TapeWaitTimer->stop();
    FTapeWait = TTapeWait::None;
    if (seek && FProject) {
        // A deck takes a seek at once and refuses it only at the end of the
        // recording, or gives up, or stops short: what counts is where the
        // tape stands. A deck lands within a few frames of its target.
        TTimecode read{};
        const BYTE rate = BYTE(DVCapture->FrameRate());
        if (!DVCapture->ReadTimecode(read))
            FailTapeStart(QStringLiteral("the deck stopped where the tape has no recording"));
        if (std::abs(TimecodeDiff(read, FProject->StartTime, rate)) > rate)
            FailTapeStart(QString::asprintf("the deck stopped at %.2dh%.2dm%.2ds%.2df", read.Hours, read.Minutes,
                                            read.Seconds, read.Frames));
    }
    StartAtTapePosition();
}

void TMainForm::EndTapeWait(const QString& Status)
{
    TapeWaitTimer->stop();
    FTapeWait = TTapeWait::None;
    if (DVCapture->Active() && DVCapture->GetDeviceType() == dtVCR)
        DVCapture->TransportStop();
    if (DVCapture->Active()) {
        DVCapture->Start();
        CaptureDiskSpaceMonitorTimer->start();
        CapSetupCameraMonitoringTimer->start();
    }
    UpdateCaptureInfo();
    CaptureStatusText->setText(Status.isEmpty() ? QStringLiteral("Stopped before the capture began. Press the Start "
                                                                 "Capture button to capture from where the tape "
                                                                 "stands.")
                                                : Status);
    NextPage->setEnabled(true);
    PreviosPage->setEnabled(true);
}

bool TMainForm::RewindTapeAndWait()
{
    if (DVCapture->GetDeviceType() != dtVCR)
        return false;
    DVCapture->TransportStop();
    DVCapture->TransportRew();
    BeginTapeWait(TTapeWait::RewindSent);
    return true;
}

#include "app/Preferences.h"

#include "app/Controls.h"
#include "app/Main.h"
#include "app/TlmDrvComBox.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/TRegistry.h"
#include "platform/win/Volumes.h"

#include <QAbstractItemDelegate>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSortFilterProxyModel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeView>
#include <QVBoxLayout>

#include <array>

namespace {

bool isBelow(const QString& path, const QString& folder)
{
    if (folder == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// Shows one drive of the folder model: its mount point as the one top node,
// the folders below it, and the folders above it only as the way down to it.
class DriveFolders final : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setRoot(const QString& root)
    {
        FRoot = root;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override
    {
        if (FRoot.isEmpty())
            return false;
        const auto* model = static_cast<const QFileSystemModel*>(sourceModel());
        const QString path = model->filePath(model->index(sourceRow, 0, sourceParent));
        return isBelow(path, FRoot) || isBelow(FRoot, path);
    }

private:
    QString FRoot;
};

enum class FileSystemClass { Ntfs = 0, Fat32 = 1, Other = 2 };

// The native journaling file systems stand where NTFS would, vfat for FAT32.
FileSystemClass classOf(const QString& fileSystem)
{
    for (const char* name : {"ext4", "xfs", "btrfs", "ntfs", "ntfs3"})
        if (fileSystem == QLatin1String(name))
            return FileSystemClass::Ntfs;
    if (fileSystem == QLatin1String("vfat"))
        return FileSystemClass::Fat32;
    return FileSystemClass::Other;
}

// "<root>/TapeHarvest": the home folder when it lies on the drive, else the
// drive's mount point; the home folder without a drive.
QString proposedFolder(const QString& drive)
{
    const QString home = QDir::homePath();
    if (drive.isEmpty())
        return IncludeTrailingPathDelimiter(home) + QStringLiteral("TapeHarvest");
    const QString root = GetVolumePathName(home) == drive ? home : drive;
    return IncludeTrailingPathDelimiter(root) + QStringLiteral("TapeHarvest");
}

const QString ProgramKey = QStringLiteral("\\Software\\Tolmar\\TapeHarvest");

} // namespace

TSetupForm::TSetupForm(TMainForm* Owner) : QDialog(Owner), FOwner(Owner)
{
    setObjectName(QStringLiteral("SetupForm"));
    setWindowTitle(QStringLiteral("TapeHarvest Preferences"));
    setAttribute(Qt::WA_DeleteOnClose);
    setSizeGripEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    PreferListPageControl = new QTabWidget(this);
    PreferListPageControl->setObjectName(QStringLiteral("PreferListPageControl"));
    layout->addWidget(PreferListPageControl);

    CaptureFolderTab = new QWidget;
    CaptureFolderTab->setObjectName(QStringLiteral("CaptureFolderTab"));
    PreferListPageControl->addTab(CaptureFolderTab, QStringLiteral("Projects Folder"));
    auto* page = new QVBoxLayout(CaptureFolderTab);

    GetFolderHintLabel = new QLabel(
        QStringLiteral("Select a drive and a folder where TapeHarvest will store all project and captured files. "
                       "It is recomended to select a drive with the NTFS files system and with maximum free "
                       "space."),
        CaptureFolderTab);
    GetFolderHintLabel->setObjectName(QStringLiteral("GetFolderHintLabel"));
    GetFolderHintLabel->setWordWrap(true);
    page->addWidget(GetFolderHintLabel);

    CurrCapTitleLabel = new QLabel(QStringLiteral("Current Projects Folder:"), CaptureFolderTab);
    CurrCapTitleLabel->setObjectName(QStringLiteral("CurrCapTitleLabel"));
    page->addWidget(CurrCapTitleLabel);
    CurrCapLabel = new QLabel(CaptureFolderTab);
    CurrCapLabel->setObjectName(QStringLiteral("CurrCapLabel"));
    QFont bold = CurrCapLabel->font();
    bold.setBold(true);
    CurrCapLabel->setFont(bold);
    // Its width is fixed by the dialog, not by the path it shows.
    CurrCapLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    CurrCapLabel->setMinimumWidth(400);
    page->addWidget(CurrCapLabel);

    auto* driveLabel = new QLabel(QStringLiteral("Select a drive:"), CaptureFolderTab);
    page->addWidget(driveLabel);
    CaptureDriveComboBox = new TTlmDriveComboBox(CaptureFolderTab);
    CaptureDriveComboBox->setObjectName(QStringLiteral("CaptureDriveComboBox"));
    driveLabel->setBuddy(CaptureDriveComboBox);
    page->addWidget(CaptureDriveComboBox);

    auto* folderLabel = new QLabel(QStringLiteral("Select a folder:"), CaptureFolderTab);
    page->addWidget(folderLabel);
    FFolderModel = new QFileSystemModel(this);
    FFolderModel->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
    // Names are edited in place after Make New Folder.
    FFolderModel->setReadOnly(false);
    FFolderView = new DriveFolders(this);
    FFolderView->setSourceModel(FFolderModel);
    CaptureFolderTreeView = new QTreeView(CaptureFolderTab);
    CaptureFolderTreeView->setObjectName(QStringLiteral("CaptureFolderTreeView"));
    CaptureFolderTreeView->setModel(FFolderView);
    for (int column = 1; column < FFolderModel->columnCount(); ++column)
        CaptureFolderTreeView->hideColumn(column);
    CaptureFolderTreeView->setHeaderHidden(true);
    CaptureFolderTreeView->setRootIsDecorated(false);
    CaptureFolderTreeView->setSelectionMode(QAbstractItemView::SingleSelection);
    CaptureFolderTreeView->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    CaptureFolderTreeView->setMinimumSize(400, 240);
    folderLabel->setBuddy(CaptureFolderTreeView);
    page->addWidget(CaptureFolderTreeView, 1);

    MakeNewFolderBtn = new QPushButton(QStringLiteral("Make New Folder"), CaptureFolderTab);
    MakeNewFolderBtn->setObjectName(QStringLiteral("MakeNewFolderBtn"));
    MakeNewFolderBtn->setAutoDefault(false);
    auto* newFolderRow = new QHBoxLayout;
    newFolderRow->addWidget(MakeNewFolderBtn);
    newFolderRow->addStretch(1);
    page->addLayout(newFolderRow);

    NewPathEdit = new QLineEdit(CaptureFolderTab);
    NewPathEdit->setObjectName(QStringLiteral("NewPathEdit"));
    page->addWidget(NewPathEdit);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    OkBtn = new QPushButton(QStringLiteral("OK"), this);
    OkBtn->setObjectName(QStringLiteral("OkBtn"));
    OkBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setAutoDefault(false);
    ApplyBtn = new QPushButton(QStringLiteral("Apply"), this);
    ApplyBtn->setObjectName(QStringLiteral("ApplyBtn"));
    ApplyBtn->setAutoDefault(false);
    buttons->addWidget(OkBtn);
    buttons->addWidget(CancelBtn);
    buttons->addWidget(ApplyBtn);
    layout->addLayout(buttons);

    // Every handler runs guarded: no exception may unwind through Qt.
    const auto bind = [this](auto* sender, auto signal, void (TSetupForm::*handler)()) {
        FConnections.push_back(connect(sender, signal, this, [this, handler] {
            FOwner->Guarded([this, handler] { (this->*handler)(); });
        }));
    };
    bind(OkBtn, &QPushButton::clicked, &TSetupForm::OkBtnClick);
    bind(CancelBtn, &QPushButton::clicked, &TSetupForm::CancelBtnClick);
    bind(ApplyBtn, &QPushButton::clicked, &TSetupForm::ApplyBtnClick);
    bind(MakeNewFolderBtn, &QPushButton::clicked, &TSetupForm::MakeNewFolderBtnClick);
    // Only the user's choice; the dialog's own selections call the handler itself.
    bind(CaptureDriveComboBox, &QComboBox::activated, &TSetupForm::CaptureDriveComboBoxChange);
    bind(NewPathEdit, &QLineEdit::textChanged, &TSetupForm::NewPathEditChange);
    bind(CaptureFolderTreeView, &QTreeView::clicked, &TSetupForm::CaptureFolderTreeViewClick);
    bind(CaptureFolderTreeView->selectionModel(), &QItemSelectionModel::currentChanged,
         &TSetupForm::CaptureFolderTreeViewChange);
    bind(FFolderView, &QAbstractItemModel::rowsInserted, &TSetupForm::CaptureFolderTreeViewAddFolder);
    bind(CaptureFolderTreeView->itemDelegate(), &QAbstractItemDelegate::closeEditor,
         &TSetupForm::CaptureFolderTreeViewEdited);
}

TSetupForm::~TSetupForm()
{
    // The controls go after this part of the dialog and still signal while
    // they go (the tree's selection, the model's rows).
    for (const QMetaObject::Connection& c : FConnections)
        disconnect(c);
}

void TSetupForm::showEvent(QShowEvent* event)
{
    // At the first start the main window is not shown yet: centred on it,
    // the dialog would sit in the screen's corner.
    if (!event->spontaneous() && !FOwner->isVisible()) {
        if (QScreen* screen = FOwner->screen()) {
            adjustSize();
            move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
        }
    }
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FOwner->Guarded([this] { FormShow(); });
}

void TSetupForm::closeEvent(QCloseEvent* event)
{
    FormClose();
    QDialog::closeEvent(event);
}

void TSetupForm::FormShow()
{
    FProposalPlace.clear();
    Modified = false;
    UpdateApplyButton();
    QString& folder = FOwner->FProjectsFolder;
    if (!folder.isEmpty()) {
        CaptureDriveComboBox->SetDrive(GetVolumePathName(folder));
        CaptureDriveComboBoxChange();
        if (DirectoryExists(folder))
            SelectFolder(folder);
    } else {
        CaptureDriveComboBox->SetDrive(SuggestDrive());
        // Written into the main window at once; it stays there when the dialog is cancelled.
        folder = proposedFolder(CaptureDriveComboBox->currentIndex() >= 0 ? CaptureDriveComboBox->GetDrive()
                                                                           : QString());
        CaptureDriveComboBoxChange();
        // The tree opens where the proposal is, or will be once made.
        QString place = folder;
        while (!place.isEmpty() && !DirectoryExists(place) && ExtractFileDir(place) != place)
            place = ExtractFileDir(place);
        if (SelectFolder(place) && place != folder)
            FProposalPlace = place;
        NewPathEdit->setText(folder);
        SetModified();
    }
    ShowShortenedPath(CurrCapLabel, folder);
}

void TSetupForm::ApplyBtnClick()
{
    QString path = NewPathEdit->text();
    if (path.isEmpty())
        throw Exception(QStringLiteral("Unable to create directory"));
    // A relative path would name another folder at every start.
    if (QDir::isRelativePath(path))
        path = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    if (!DirectoryExists(path) && !ForceDirectories(path))
        throw Exception(QStringLiteral("Cannot create folder \"%1\".").arg(path));
    // Every project gets a folder in it: one that takes no new entry (a
    // read-only or system folder) would fail only later, on a good name.
    {
        QTemporaryDir probe(IncludeTrailingPathDelimiter(path) + QStringLiteral(".tharvest-XXXXXX"));
        if (!probe.isValid())
            throw Exception(QStringLiteral("The folder \"%1\" cannot hold projects: no folder can be made in it "
                                           "(%2). Choose another folder.")
                                .arg(path, probe.errorString()));
    }
    FOwner->FProjectsFolder = path;
    SelectFolder(path);
    {
        TRegIniFile reg(ProgramKey);
        reg.WriteString(QStringLiteral("Projects"), QStringLiteral("ProjectsPath"), path);
    }
    FOwner->ShowProjectsFolder();
    Modified = false;
    UpdateApplyButton();
    FormShow();
}

void TSetupForm::OkBtnClick()
{
    ApplyBtnClick();
    close();
}

void TSetupForm::CancelBtnClick()
{
    close();
}

void TSetupForm::FormClose()
{
    setAttribute(Qt::WA_DeleteOnClose);
}

void TSetupForm::CaptureDriveComboBoxChange()
{
    // Without a selected drive the tree shows nothing.
    SetTreeRoot(CaptureDriveComboBox->currentIndex() >= 0 ? CaptureDriveComboBox->GetDrive() : QString());
    SetAutoRefresh(true);
    UpdatePathEdit();
}

void TSetupForm::MakeNewFolderBtnClick()
{
    const QString selected = SelectedFolder();
    if (selected.isEmpty())
        return;
    CaptureFolderTreeView->setFocus();
    const QString name = NewFolderName(IncludeTrailingPathDelimiter(selected));
    // The new node is added below; a refresh must not rebuild it while its name is edited.
    SetAutoRefresh(false);
    const QModelIndex parent = FFolderModel->index(selected);
    const QModelIndex made = FFolderModel->mkdir(parent, ExtractFileName(name));
    if (!made.isValid())
        return;
    const QModelIndex item = FFolderView->mapFromSource(made);
    if (!item.isValid())
        return;
    CaptureFolderTreeView->expand(item.parent());
    CaptureFolderTreeView->setCurrentIndex(item);
    CaptureFolderTreeView->scrollTo(item);
    CaptureFolderTreeView->edit(item);
}

void TSetupForm::CaptureFolderTreeViewClick()
{
    UpdatePathEdit();
}

void TSetupForm::CaptureFolderTreeViewChange()
{
    if (SelectedFolder() != FProposalPlace)
        FProposalPlace.clear();
    UpdatePathEdit();
}

void TSetupForm::CaptureFolderTreeViewAddFolder()
{
    // Folders arrive while the tree reads them, after the dialog may have put
    // a proposal into the edit; with no folder selected, or the proposal's
    // place, that stays, and the place stays in view.
    const QString selected = SelectedFolder();
    if (!selected.isEmpty() && selected == FProposalPlace)
        CaptureFolderTreeView->scrollTo(CaptureFolderTreeView->currentIndex());
    else if (!selected.isEmpty())
        UpdatePathEdit();
}

void TSetupForm::CaptureFolderTreeViewEdited()
{
    SetAutoRefresh(true);
    UpdatePathEdit();
}

void TSetupForm::NewPathEditChange()
{
    SetModified();
}

void TSetupForm::UpdatePathEdit()
{
    NewPathEdit->setText(SelectedFolder());
}

void TSetupForm::SetModified()
{
    Modified = true;
    UpdateApplyButton();
}

void TSetupForm::UpdateApplyButton()
{
    ApplyBtn->setEnabled(Modified);
}

QString TSetupForm::SuggestDrive()
{
    QString result = CaptureDriveComboBox->currentIndex() >= 0 ? CaptureDriveComboBox->GetDrive() : QString();
    std::array<std::int64_t, 3> bestBytes{0, 0, 0};
    std::array<QString, 3> bestDrive;
    const TTlmDriveList* drives = CaptureDriveComboBox->DriveList();
    for (int i = 0; i < drives->Count(); ++i) {
        TTlmDriveInfo info;
        GetDriveInfo(drives->Items(i), info);
        if (info.DriveType != DRIVE_FIXED)
            continue;
        const auto c = std::size_t(classOf(info.FileSystem));
        // Strictly more: among equals the first in list order stays the best.
        if (info.FreeBytesAvailable > bestBytes[c]) {
            bestBytes[c] = info.FreeBytesAvailable;
            bestDrive[c] = info.Drive;
        }
    }
    constexpr auto ntfs = std::size_t(FileSystemClass::Ntfs), fat = std::size_t(FileSystemClass::Fat32),
                   other = std::size_t(FileSystemClass::Other);
    std::size_t chosen = ntfs;
    if (bestDrive[ntfs].isEmpty())
        chosen = bestDrive[fat].isEmpty() ? other : fat;
    if (bestDrive[chosen].isEmpty())
        return result;
    // A best drive has more than 0 bytes, so the divisions are safe.
    if (!bestDrive[ntfs].isEmpty() && bestBytes[fat] / bestBytes[ntfs] > 2)
        chosen = fat;
    if (!bestDrive[other].isEmpty() && bestBytes[other] / bestBytes[chosen] > 2)
        chosen = other;
    return bestDrive[chosen];
}

QString TSetupForm::NewFolderName(const QString& Base)
{
    QString name = Base + QStringLiteral("TapeHarvest");
    for (int n = 2; DirectoryExists(name); ++n)
        name = Base + QStringLiteral("TapeHarvest") + QStringLiteral(" (%1)").arg(n);
    return name;
}

QString TSetupForm::SelectedFolder() const
{
    const QModelIndex current = CaptureFolderTreeView->currentIndex();
    if (!current.isValid())
        return {};
    return FFolderModel->filePath(SourceIndex(current));
}

bool TSetupForm::SelectFolder(const QString& Path)
{
    if (FTreeRoot.isEmpty())
        return false;
    const QString canonical = QFileInfo(Path).canonicalFilePath();
    if (canonical.isEmpty() || !isBelow(canonical, FTreeRoot))
        return false;
    const QModelIndex item = FFolderView->mapFromSource(FFolderModel->index(canonical));
    if (!item.isValid())
        return false;
    for (QModelIndex up = item.parent(); up.isValid(); up = up.parent())
        CaptureFolderTreeView->expand(up);
    CaptureFolderTreeView->setCurrentIndex(item);
    CaptureFolderTreeView->scrollTo(item);
    return true;
}

void TSetupForm::SetTreeRoot(const QString& Root)
{
    if (Root == FTreeRoot)
        return;
    CaptureFolderTreeView->setCurrentIndex(QModelIndex());
    FTreeRoot = Root;
    static_cast<DriveFolders*>(FFolderView)->setRoot(Root);
    if (Root.isEmpty()) {
        CaptureFolderTreeView->setRootIndex(QModelIndex());
        return;
    }
    FFolderModel->setRootPath(Root);
    const QModelIndex top = FFolderModel->index(Root);
    CaptureFolderTreeView->setRootIndex(FFolderView->mapFromSource(top.parent()));
    CaptureFolderTreeView->expand(FFolderView->mapFromSource(top));
}

void TSetupForm::SetAutoRefresh(bool On)
{
    FAutoRefresh = On;
    FFolderModel->setOption(QFileSystemModel::DontWatchForChanges, !On);
}

QModelIndex TSetupForm::SourceIndex(const QModelIndex& ViewIndex) const
{
    return FFolderView->mapToSource(ViewIndex);
}

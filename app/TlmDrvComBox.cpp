#include "app/TlmDrvComBox.h"

#include "capture/TlmUtil.h"
#include "platform/win/Volumes.h"

#include <QApplication>
#include <QDir>
#include <QFileIconProvider>
#include <QStyle>

#include <limits>

namespace {

QString normalDrive(const QString& path)
{
    QString p = QDir::cleanPath(path);
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p;
}

// The names the desktop gives the kinds of drives.
QString typeName(UINT driveType)
{
    switch (driveType) {
    case DRIVE_FIXED: return QStringLiteral("Local Disk");
    case DRIVE_REMOVABLE: return QStringLiteral("Removable Disk");
    case DRIVE_REMOTE: return QStringLiteral("Network Drive");
    case DRIVE_CDROM: return QStringLiteral("CD Drive");
    case DRIVE_RAMDISK: return QStringLiteral("RAM Disk");
    default: return QStringLiteral("Unknown");
    }
}

std::int64_t toSigned(std::uint64_t bytes)
{
    constexpr auto max = std::uint64_t(std::numeric_limits<std::int64_t>::max());
    return std::int64_t(bytes > max ? max : bytes);
}

constexpr int IconIndexRole = Qt::UserRole + 1;

} // namespace

// --- TTlmDriveListItem ----------------------------------------------------------------------

void TTlmDriveListItem::SetDrive(const QString& Value)
{
    if (Value.isEmpty() || !Value.startsWith(QLatin1Char('/')))
        return;
    const QString drive = normalDrive(Value);
    if (GetLogicalDrives().contains(drive))
        FDrive = drive;
}

// --- TTlmDriveList --------------------------------------------------------------------------

TTlmDriveList::TTlmDriveList()
{
    Update();
}

TTlmDriveList::~TTlmDriveList() = default;

void TTlmDriveList::Update()
{
    Clear();
    for (const QString& drive : GetLogicalDrives())
        Add()->SetDrive(drive);
}

TTlmDriveListItem* TTlmDriveList::Add()
{
    FItems.push_back(std::make_unique<TTlmDriveListItem>());
    return FItems.back().get();
}

void TTlmDriveList::Clear()
{
    FItems.clear();
}

TTlmDriveListItem* TTlmDriveList::Items(int Index) const
{
    if (Index < 0 || Index >= Count())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(Index));
    return FItems[std::size_t(Index)].get();
}

// --- Drive information ----------------------------------------------------------------------

void GetDriveInfo(const TTlmDriveListItem* Item, TTlmDriveInfo& Info)
{
    Info = TTlmDriveInfo{};
    Info.Drive = Item ? Item->Drive() : QString();
    const QString& root = Info.Drive;
    const UINT type = GetDriveType(root);
    Info.DriveType = std::uint8_t(type);
    if (!GetVolumeInformation(root, &Info.VolumeName, &Info.FileSystem)) {
        Info.VolumeName.clear();
        Info.FileSystem.clear();
    }
    // A volume that cannot be asked reads as empty.
    std::uint64_t available = 0, total = 0, totalFree = 0;
    if (GetDiskFreeSpaceEx(root, &available, &total, &totalFree)) {
        Info.FreeBytesAvailable = toSigned(available);
        Info.TotalBytes = toSigned(total);
        Info.TotalFreeBytes = toSigned(totalFree);
    }
    Info.TypeName = typeName(type);
    Info.DisplayName = root.isEmpty() ? QString()
                                      : QStringLiteral("%1 (%2)").arg(
                                            Info.VolumeName.isEmpty() ? Info.TypeName : Info.VolumeName, root);
    Info.IconIndex = type == DRIVE_REMOTE ? QFileIconProvider::Network : QFileIconProvider::Drive;
}

QIcon DriveIcon(std::int32_t IconIndex)
{
    static QFileIconProvider provider;
    if (IconIndex < QFileIconProvider::Computer || IconIndex > QFileIconProvider::File)
        return {};
    return provider.icon(QFileIconProvider::IconType(IconIndex));
}

// --- TTlmDriveComboBox ----------------------------------------------------------------------

TTlmDriveComboBox::TTlmDriveComboBox(QWidget* Owner) : QComboBox(Owner), FDriveList(std::make_unique<TTlmDriveList>())
{
    setEditable(false);
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    SetUseSystemImages(true);
    RefreshDrives();
}

TTlmDriveComboBox::~TTlmDriveComboBox() = default;

void TTlmDriveComboBox::SetUseSystemImages(bool Value)
{
    FUseSystemImages = Value;
    if (Value) {
        const int size = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
        FIconSize = QSize(size, size);
    } else {
        FIconSize = QSize(16, 16);
    }
    setIconSize(FIconSize);
    for (int i = 0; i < count(); ++i)
        setItemIcon(i, Value ? DriveIcon(itemData(i, IconIndexRole).toInt()) : QIcon());
}

void TTlmDriveComboBox::RefreshDrives()
{
    clear();
    FDriveList->Update();
    for (int i = 0; i < FDriveList->Count(); ++i) {
        TTlmDriveInfo info;
        GetDriveInfo(FDriveList->Items(i), info);
        const QString fileSystem =
            info.FileSystem.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(info.FileSystem);
        const QString caption = QStringLiteral("%1 [%2] %3%4")
                                    .arg(info.DisplayName, info.TypeName,
                                         FormatBytes(QStringLiteral("Free: "), false, info.FreeBytesAvailable),
                                         fileSystem);
        addItem(FUseSystemImages ? DriveIcon(info.IconIndex) : QIcon(), caption);
        setItemData(i, info.IconIndex, IconIndexRole);
        setItemData(i, info.DriveType, Qt::UserRole);
    }
    // Adding to an empty box selects its first item; only a fixed drive is to be.
    setCurrentIndex(-1);
    for (int i = 0; i < count(); ++i)
        if (itemData(i, Qt::UserRole).toInt() == int(DRIVE_FIXED)) {
            setCurrentIndex(i);
            break;
        }
}

QString TTlmDriveComboBox::GetDrive() const
{
    return FDriveList->Items(currentIndex())->Drive();
}

void TTlmDriveComboBox::SetDrive(const QString& Drive)
{
    const QString drive = normalDrive(Drive);
    // Without a selection there is nothing to compare with: just select.
    if (currentIndex() >= 0 && drive == GetDrive())
        return;
    for (int i = 0; i < FDriveList->Count() && i < count(); ++i)
        if (!drive.isEmpty() && FDriveList->Items(i)->Drive() == drive)
            setCurrentIndex(i);
}

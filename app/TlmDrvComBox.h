#pragma once
// A drop-down list of the computer's drives with their icons, names, types,
// free space and file systems, and the small model under it. A drive is a
// mounted volume named by its mount point (platform/win/Volumes.h). Main
// thread only.

#include "platform/rtl/SysUtils.h"

#include <QComboBox>
#include <QIcon>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// The collection's index error: "List index out of bounds (%d)".
class EListError : public Exception {
public:
    using Exception::Exception;
};

// What the system reports about one drive.
struct TTlmDriveInfo {
    QString Drive;       // the mount point
    QString DisplayName; // "<label or type name> (<mount point>)"
    QString VolumeName;  // the label; empty when the volume information cannot be read
    QString FileSystem;  // the file-system name ("ext4", "vfat"); empty likewise
    QString TypeName;    // "Local Disk", "Removable Disk", "Network Drive", "CD Drive", "RAM Disk"
    std::uint8_t DriveType = 0; // GetDriveType of the drive (3 = DRIVE_FIXED)
    std::int32_t IconIndex = 0; // the drive's icon: a QFileIconProvider::IconType
    std::int64_t FreeBytesAvailable = 0;
    std::int64_t TotalBytes = 0;
    std::int64_t TotalFreeBytes = 0;
};

class TTlmDriveListItem {
public:
    // The mount point; empty until set.
    QString Drive() const { return FDrive; }
    // Takes only the mount point of a listed volume (written with or without
    // a trailing "/", stored without it); anything else leaves the item as it
    // was.
    void SetDrive(const QString& Value);

private:
    QString FDrive;
};

// One item per listed volume, in the order of their mount points.
class TTlmDriveList {
public:
    // Reads the drives (Update).
    TTlmDriveList();
    ~TTlmDriveList();
    TTlmDriveList(const TTlmDriveList&) = delete;
    TTlmDriveList& operator=(const TTlmDriveList&) = delete;

    // Empties the list and adds one item per listed volume.
    void Update();
    // A new item at the end, owned by the list.
    TTlmDriveListItem* Add();
    void Clear();
    int Count() const { return int(FItems.size()); }
    // Raises EListError "List index out of bounds (<index>)" outside the list.
    TTlmDriveListItem* Items(int Index) const;

private:
    std::vector<std::unique_ptr<TTlmDriveListItem>> FItems;
};

// Fills Info for the item's drive. Raises nothing: what cannot be read stays
// empty or zero.
void GetDriveInfo(const TTlmDriveListItem* Item, TTlmDriveInfo& Info);

// The icon of a drive's IconIndex.
QIcon DriveIcon(std::int32_t IconIndex);

// Not editable: the user picks from the list. Item i of the combo box belongs
// to item i of DriveList. The list is read when the box is made; it does not
// follow drives that come and go afterwards.
class TTlmDriveComboBox : public QComboBox {
    Q_OBJECT

public:
    explicit TTlmDriveComboBox(QWidget* Owner = nullptr);
    ~TTlmDriveComboBox() override;

    TTlmDriveList* DriveList() const { return FDriveList.get(); }
    bool UseSystemImages() const { return FUseSystemImages; }
    // With the flag the items show the drives' icons at the style's small icon
    // size, without it none at 16 x 16.
    void SetUseSystemImages(bool Value);
    // Rebuilds the items from a fresh drive list and selects the first fixed
    // drive (none without one).
    void RefreshDrives();
    // The mount point of the selected drive; raises EListError
    // "List index out of bounds (-1)" when none is selected.
    QString GetDrive() const;
    // Selects the drive mounted at Drive; a path that is no listed drive's
    // leaves the selection as it was.
    void SetDrive(const QString& Drive);

private:
    std::unique_ptr<TTlmDriveList> FDriveList;
    QSize FIconSize{16, 16};
    bool FUseSystemImages = false;
};

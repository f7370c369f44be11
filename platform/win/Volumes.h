#pragma once
// The drive queries on Linux. A drive is a mounted local volume, named by its
// mount point ("/", "/media/user/USB") where Windows names it by a letter; the
// drive of a path is the listed volume that holds it. The list leaves out
// pseudo file systems (proc, sysfs, cgroup, devtmpfs, ...), the system's
// folders of them (/dev, /proc, /sys, /run except /run/media) and mounts of
// single files.
//
// Every query reads the mount table anew through the volume source, which
// tests replace to present drive sets of their own. Main thread only, as the
// drive queries of a window are.

#include "platform/win/Windows.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

// GetDriveType results.
inline constexpr UINT DRIVE_UNKNOWN = 0;
inline constexpr UINT DRIVE_NO_ROOT_DIR = 1;
inline constexpr UINT DRIVE_REMOVABLE = 2;
inline constexpr UINT DRIVE_FIXED = 3;
inline constexpr UINT DRIVE_REMOTE = 4;
inline constexpr UINT DRIVE_CDROM = 5;
inline constexpr UINT DRIVE_RAMDISK = 6;

// The mount points of the listed volumes, sorted by mount point; this is
// what the bits of Windows' GetLogicalDrives stand for.
QStringList GetLogicalDrives();

// Type of the volume mounted at RootPathName (its mount point; a trailing "/"
// is allowed): DRIVE_CDROM for iso9660 and udf, DRIVE_REMOTE for network file
// systems, DRIVE_RAMDISK for tmpfs and ramfs, DRIVE_REMOVABLE for a block
// device that the kernel calls removable, otherwise DRIVE_FIXED (also a local
// file system without a block device of its own, such as overlay or zfs).
// DRIVE_NO_ROOT_DIR when no listed volume is mounted there.
UINT GetDriveType(const QString& RootPathName);

// The label and the file-system name as the mount table gives it ("ext4",
// "vfat", "ntfs3") of the volume mounted at RootPathName. FALSE, with both
// outputs emptied, when no listed volume is mounted there or it cannot be
// asked. A volume without a label gives an empty label and TRUE. Either output
// may be null.
BOOL GetVolumeInformation(const QString& RootPathName, QString* VolumeName, QString* FileSystemName);

// The mount point of the listed volume that holds FileName (an absolute or a
// relative path, which need not exist yet: its nearest existing folder is
// resolved through its links); "" when no listed volume holds it.
QString GetVolumePathName(const QString& FileName);

// Free and total bytes of the listed volume that holds DirectoryName, as the
// volume source reports them (the system's source asks statvfs through the
// GetDiskFreeSpaceEx of Drives.h). FALSE, outputs untouched, when no listed
// volume holds it or the volume cannot be asked. Any output may be null.
BOOL GetDiskFreeSpaceEx(const QString& DirectoryName, std::uint64_t* FreeBytesAvailableToCaller,
                        std::uint64_t* TotalBytes, std::uint64_t* TotalFreeBytes);

namespace th::win {

// One line of the mount table.
struct MountEntry {
    QString MountPoint; // absolute, as the table gives it
    QString Device;     // the mount source: "/dev/sda1", "server:/export", "tmpfs"
    QString FileSystem; // the file-system type: "ext4", "vfat", "nfs4"
    // The device number the table gives; 0 major for a file system without a
    // block device of its own (and for btrfs, whose numbers are anonymous).
    unsigned Major = 0;
    unsigned Minor = 0;
};

enum class BlockDevice { None, Fixed, Removable };

// Where the drive queries get what they know about mounted volumes.
class VolumeSource {
public:
    virtual ~VolumeSource() = default;
    // Every mounted file system in the table's order, pseudo ones included
    // (the queries leave those out); a later entry for the same mount point
    // lies over an earlier one.
    virtual std::vector<MountEntry> mounts() = 0;
    // The kind of block device behind the entry.
    virtual BlockDevice blockDevice(const MountEntry& Entry) = 0;
    // The volume's label ("" when it has none); false when the volume cannot
    // be asked at all.
    virtual bool volumeLabel(const MountEntry& Entry, QString& Label) = 0;
    // Bytes free for the caller, total and free on the volume; false when the
    // volume cannot be asked.
    virtual bool space(const MountEntry& Entry, std::uint64_t& FreeBytesAvailable, std::uint64_t& TotalBytes,
                       std::uint64_t& TotalFreeBytes) = 0;
};

// Installs a source and returns the one it replaces; null restores the
// system's.
std::unique_ptr<VolumeSource> SetVolumeSource(std::unique_ptr<VolumeSource> Source);
// The system's source: /proc/self/mountinfo, sysfs ("removable" of the disk
// behind the device), /dev/disk/by-label and statvfs.
std::unique_ptr<VolumeSource> MakeSystemVolumeSource();

// Reads the text of /proc/<pid>/mountinfo. Mount points and sources have
// their octal escapes ("\040" for a blank) undone; malformed lines are left
// out.
std::vector<MountEntry> ParseMountInfo(const QByteArray& Text);

// Whether the listing leaves the entry out as a pseudo file system or a mount
// in a system folder of them. (The listing also leaves out mount points that
// are no folders.)
bool IsHiddenMount(const MountEntry& Entry);

} // namespace th::win

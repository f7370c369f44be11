#include "platform/win/Volumes.h"

#include "platform/win/Drives.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <map>
#include <mutex>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

namespace {

using th::win::BlockDevice;
using th::win::MountEntry;
using th::win::VolumeSource;

// File systems that hold no files of a user's.
bool isPseudoFileSystem(const QString& type)
{
    static const QStringList pseudo = {
        QStringLiteral("proc"),        QStringLiteral("sysfs"),      QStringLiteral("cgroup"),
        QStringLiteral("cgroup2"),     QStringLiteral("devtmpfs"),   QStringLiteral("devpts"),
        QStringLiteral("securityfs"),  QStringLiteral("pstore"),     QStringLiteral("bpf"),
        QStringLiteral("debugfs"),     QStringLiteral("tracefs"),    QStringLiteral("configfs"),
        QStringLiteral("fusectl"),     QStringLiteral("mqueue"),     QStringLiteral("hugetlbfs"),
        QStringLiteral("autofs"),      QStringLiteral("binfmt_misc"), QStringLiteral("efivarfs"),
        QStringLiteral("rpc_pipefs"),  QStringLiteral("nsfs"),       QStringLiteral("selinuxfs"),
        QStringLiteral("rootfs"),      QStringLiteral("nfsd"),       QStringLiteral("usbfs"),
        QStringLiteral("sockfs"),      QStringLiteral("pipefs"),     QStringLiteral("devfs"),
        QStringLiteral("fuse.portal"), QStringLiteral("fuse.gvfsd-fuse"),
    };
    return pseudo.contains(type);
}

bool isBelow(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

bool oneOf(const QString& type, std::initializer_list<const char*> names)
{
    for (const char* n : names)
        if (type == QLatin1String(n))
            return true;
    return false;
}

QString withoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

// Undoes the octal escapes of the mount table ("\040" blank, "\011" tab,
// "\012" newline, "\134" backslash).
QString unescapeMountField(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const QByteArray digits = field.mid(i + 1, 3);
            bool ok = digits.size() == 3 && std::all_of(digits.begin(), digits.end(), [](char c) {
                          return c >= '0' && c <= '7';
                      });
            if (ok) {
                out.append(char(digits.toInt(nullptr, 8)));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QString::fromUtf8(out);
}

// Undoes the "\xHH" escapes of udev's link names in /dev/disk/by-label.
QString unescapeUdevName(const QString& name)
{
    QByteArray in = QFile::encodeName(name);
    QByteArray out;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
            bool ok = false;
            const int value = in.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(char(value));
                i += 3;
                continue;
            }
        }
        out.append(in[i]);
    }
    return QString::fromUtf8(out);
}

class SystemVolumeSource final : public VolumeSource {
public:
    std::vector<MountEntry> mounts() override
    {
        QFile file(QStringLiteral("/proc/self/mountinfo"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        // The proc file reports its size as 0: read it to its end.
        return th::win::ParseMountInfo(file.readAll());
    }

    BlockDevice blockDevice(const MountEntry& entry) override
    {
        dev_t device = 0;
        struct stat st {};
        if (entry.Device.startsWith(QLatin1String("/dev/")) &&
            stat(QFile::encodeName(entry.Device).constData(), &st) == 0 && S_ISBLK(st.st_mode))
            device = st.st_rdev;
        else if (entry.Major != 0)
            device = makedev(entry.Major, entry.Minor);
        else
            return BlockDevice::None;
        const QString sys = QStringLiteral("/sys/dev/block/%1:%2").arg(major(device)).arg(minor(device));
        if (!QFileInfo::exists(sys))
            return BlockDevice::None;
        // A partition has no "removable" of its own; its disk has.
        QString removable = sys + QStringLiteral("/removable");
        if (QFileInfo::exists(sys + QStringLiteral("/partition")))
            removable = sys + QStringLiteral("/../removable");
        QFile flag(removable);
        if (flag.open(QIODevice::ReadOnly) && flag.readAll().trimmed() == "1")
            return BlockDevice::Removable;
        return BlockDevice::Fixed;
    }

    bool volumeLabel(const MountEntry& entry, QString& label) override
    {
        struct statvfs st {};
        if (statvfs(QFile::encodeName(entry.MountPoint).constData(), &st) != 0)
            return false;
        label.clear();
        if (!entry.Device.startsWith(QLatin1String("/dev/")))
            return true;
        const QString device = QFileInfo(entry.Device).canonicalFilePath();
        QDirIterator it(QStringLiteral("/dev/disk/by-label"), QDir::System | QDir::Files | QDir::NoDotAndDotDot);
        while (it.hasNext()) {
            it.next();
            if (!device.isEmpty() && it.fileInfo().canonicalFilePath() == device) {
                label = unescapeUdevName(it.fileName());
                break;
            }
        }
        return true;
    }

    bool space(const MountEntry& entry, std::uint64_t& freeBytesAvailable, std::uint64_t& totalBytes,
               std::uint64_t& totalFreeBytes) override
    {
        return ::GetDiskFreeSpaceEx(QFile::encodeName(entry.MountPoint).constData(), &freeBytesAvailable,
                                    &totalBytes, &totalFreeBytes) != FALSE;
    }
};

std::mutex gSourceMutex;
std::unique_ptr<VolumeSource> gSource;

VolumeSource& sourceLocked()
{
    if (!gSource)
        gSource = th::win::MakeSystemVolumeSource();
    return *gSource;
}

// The listed volumes by mount point; a later mount over the same point wins.
std::map<QString, MountEntry> listedLocked()
{
    std::map<QString, MountEntry> listed;
    for (MountEntry& e : sourceLocked().mounts()) {
        e.MountPoint = withoutTrailingSlash(QDir::cleanPath(e.MountPoint));
        // A mount over an earlier one hides it, whatever the new one is.
        listed.erase(e.MountPoint);
        // Containers bind single files (/etc/hosts) as mounts.
        if (!th::win::IsHiddenMount(e) && QFileInfo(e.MountPoint).isDir())
            listed[e.MountPoint] = e;
    }
    return listed;
}

bool findLocked(const QString& root, MountEntry& entry)
{
    if (root.isEmpty())
        return false;
    const auto listed = listedLocked();
    const auto it = listed.find(withoutTrailingSlash(QDir::cleanPath(root)));
    if (it == listed.end())
        return false;
    entry = it->second;
    return true;
}

// The path with its nearest existing folder resolved through its links, so
// that a path through a link is found on the volume the link leads to.
QString resolvedPath(const QString& fileName)
{
    QString path = QDir::cleanPath(QDir::current().absoluteFilePath(fileName));
    QString rest;
    while (!QFileInfo::exists(path)) {
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) {
            rest = path.mid(1) + (rest.isEmpty() ? QString() : QLatin1Char('/') + rest);
            path = QStringLiteral("/");
            break;
        }
        rest = path.mid(slash + 1) + (rest.isEmpty() ? QString() : QLatin1Char('/') + rest);
        path.truncate(slash);
    }
    QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        canonical = path;
    if (rest.isEmpty())
        return canonical;
    return QDir::cleanPath(canonical + QLatin1Char('/') + rest);
}

bool holdingLocked(const QString& fileName, MountEntry& entry)
{
    if (fileName.isEmpty())
        return false;
    const QString path = resolvedPath(fileName);
    const auto listed = listedLocked();
    int best = -1;
    for (const auto& [mountPoint, e] : listed) {
        const bool holds = mountPoint == QLatin1String("/") ? path.startsWith(QLatin1Char('/'))
                                                              : isBelow(path, mountPoint);
        if (holds && mountPoint.size() > best) {
            best = int(mountPoint.size());
            entry = e;
        }
    }
    return best >= 0;
}

} // namespace

QStringList GetLogicalDrives()
{
    std::lock_guard lock(gSourceMutex);
    QStringList drives;
    for (const auto& [mountPoint, entry] : listedLocked())
        drives << mountPoint;
    return drives;
}

UINT GetDriveType(const QString& RootPathName)
{
    std::lock_guard lock(gSourceMutex);
    MountEntry entry;
    if (!findLocked(RootPathName, entry))
        return DRIVE_NO_ROOT_DIR;
    const QString& fs = entry.FileSystem;
    if (oneOf(fs, {"iso9660", "udf"}))
        return DRIVE_CDROM;
    if (oneOf(fs, {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "ceph", "glusterfs", "fuse.sshfs"}))
        return DRIVE_REMOTE;
    if (oneOf(fs, {"tmpfs", "ramfs"}))
        return DRIVE_RAMDISK;
    return sourceLocked().blockDevice(entry) == BlockDevice::Removable ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

BOOL GetVolumeInformation(const QString& RootPathName, QString* VolumeName, QString* FileSystemName)
{
    std::lock_guard lock(gSourceMutex);
    MountEntry entry;
    QString label;
    const bool ok = findLocked(RootPathName, entry) && sourceLocked().volumeLabel(entry, label);
    if (VolumeName)
        *VolumeName = ok ? label : QString();
    if (FileSystemName)
        *FileSystemName = ok ? entry.FileSystem : QString();
    return ok ? TRUE : FALSE;
}

QString GetVolumePathName(const QString& FileName)
{
    std::lock_guard lock(gSourceMutex);
    MountEntry entry;
    return holdingLocked(FileName, entry) ? entry.MountPoint : QString();
}

BOOL GetDiskFreeSpaceEx(const QString& DirectoryName, std::uint64_t* FreeBytesAvailableToCaller,
                        std::uint64_t* TotalBytes, std::uint64_t* TotalFreeBytes)
{
    std::lock_guard lock(gSourceMutex);
    MountEntry entry;
    if (!holdingLocked(DirectoryName, entry))
        return FALSE;
    std::uint64_t available = 0, total = 0, totalFree = 0;
    if (!sourceLocked().space(entry, available, total, totalFree))
        return FALSE;
    if (FreeBytesAvailableToCaller)
        *FreeBytesAvailableToCaller = available;
    if (TotalBytes)
        *TotalBytes = total;
    if (TotalFreeBytes)
        *TotalFreeBytes = totalFree;
    return TRUE;
}

namespace th::win {

std::unique_ptr<VolumeSource> SetVolumeSource(std::unique_ptr<VolumeSource> Source)
{
    std::lock_guard lock(gSourceMutex);
    std::unique_ptr<VolumeSource> old = std::move(gSource);
    gSource = Source ? std::move(Source) : MakeSystemVolumeSource();
    return old;
}

std::unique_ptr<VolumeSource> MakeSystemVolumeSource()
{
    return std::make_unique<SystemVolumeSource>();
}

std::vector<MountEntry> ParseMountInfo(const QByteArray& Text)
{
    // id parent major:minor root mount-point options [optional fields...] - type source super-options
    std::vector<MountEntry> entries;
    for (const QByteArray& line : Text.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        const auto dash = std::find(fields.begin(), fields.end(), QByteArray("-"));
        if (fields.size() < 6 || dash == fields.end() || dash - fields.begin() < 6 || fields.end() - dash < 3)
            continue;
        const QList<QByteArray> numbers = fields[2].split(':');
        if (numbers.size() != 2)
            continue;
        bool majorOk = false, minorOk = false;
        MountEntry e;
        e.Major = numbers[0].toUInt(&majorOk);
        e.Minor = numbers[1].toUInt(&minorOk);
        e.MountPoint = unescapeMountField(fields[4]);
        e.FileSystem = unescapeMountField(*(dash + 1));
        e.Device = unescapeMountField(*(dash + 2));
        if (!majorOk || !minorOk || !e.MountPoint.startsWith(QLatin1Char('/')))
            continue;
        entries.push_back(std::move(e));
    }
    return entries;
}

bool IsHiddenMount(const MountEntry& Entry)
{
    if (isPseudoFileSystem(Entry.FileSystem))
        return true;
    const QString& m = Entry.MountPoint;
    if (isBelow(m, QStringLiteral("/dev")) || isBelow(m, QStringLiteral("/proc")) ||
        isBelow(m, QStringLiteral("/sys")) || isBelow(m, QStringLiteral("/var/run")) ||
        isBelow(m, QStringLiteral("/var/lock")))
        return true;
    // Removable media are mounted below /run/media on some systems.
    return isBelow(m, QStringLiteral("/run")) && !m.startsWith(QLatin1String("/run/media/"));
}

} // namespace th::win

// The drive queries: the mount table's parsing and filtering, on the
// system's own table and on drive sets of the tests.
#include "FakeVolumes.h"

#include "platform/win/Drives.h"
#include "platform/win/Volumes.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>

#include <gtest/gtest.h>

using th::test::FakeDrives;
using th::test::FakeVolume;
using th::test::GB;
using th::win::BlockDevice;
using th::win::MountEntry;

TEST(MountInfo, FieldsEscapesAndOptionalFields)
{
    const QByteArray text =
        "26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
        "27 26 8:17 / /media/user/My\\040Disk rw,nosuid shared:5 master:2 - vfat /dev/sdb1 rw\n"
        "28 26 0:45 /sub /srv/back\\134slash rw - nfs4 server:/export rw\n"
        "29 26 0:46 / /no/separator rw ext4 /dev/sdc1 rw\n"
        "30 26 x:1 / /bad/numbers rw - ext4 /dev/sdd1 rw\n"
        "31 26 0:47 / relative rw - tmpfs tmpfs rw\n"
        "garbage\n"
        "\n";
    const std::vector<MountEntry> e = th::win::ParseMountInfo(text);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].MountPoint, QStringLiteral("/"));
    EXPECT_EQ(e[0].FileSystem, QStringLiteral("ext4"));
    EXPECT_EQ(e[0].Device, QStringLiteral("/dev/vda"));
    EXPECT_EQ(e[0].Major, 254u);
    EXPECT_EQ(e[0].Minor, 0u);
    EXPECT_EQ(e[1].MountPoint, QStringLiteral("/media/user/My Disk"));
    EXPECT_EQ(e[1].FileSystem, QStringLiteral("vfat"));
    EXPECT_EQ(e[1].Device, QStringLiteral("/dev/sdb1"));
    EXPECT_EQ(e[1].Major, 8u);
    EXPECT_EQ(e[1].Minor, 17u);
    EXPECT_EQ(e[2].MountPoint, QStringLiteral("/srv/back\\slash"));
    EXPECT_EQ(e[2].Device, QStringLiteral("server:/export"));
}

TEST(MountInfo, PseudoFileSystemsAndSystemFoldersAreLeftOut)
{
    const auto hidden = [](const char* mountPoint, const char* fs) {
        return th::win::IsHiddenMount({QString::fromLatin1(mountPoint), QStringLiteral("x"), QString::fromLatin1(fs)});
    };
    EXPECT_TRUE(hidden("/proc", "proc"));
    EXPECT_TRUE(hidden("/sys/fs/cgroup/cpu", "cgroup"));
    EXPECT_TRUE(hidden("/mnt/cg", "cgroup2"));
    EXPECT_TRUE(hidden("/dev/shm", "tmpfs"));
    EXPECT_TRUE(hidden("/run", "tmpfs"));
    EXPECT_TRUE(hidden("/run/user/1000", "tmpfs"));
    EXPECT_TRUE(hidden("/var/run/x", "tmpfs"));
    EXPECT_FALSE(hidden("/", "ext4"));
    EXPECT_FALSE(hidden("/tmp", "tmpfs"));
    EXPECT_FALSE(hidden("/run/media/user/USB", "vfat"));
    EXPECT_FALSE(hidden("/device", "ext4")); // a name that only starts like /dev
    EXPECT_FALSE(hidden("/", "overlay"));
}

// What the system itself reports, compared with Qt's own view of the volumes.
TEST(SystemVolumes, TheTemporaryFolderLiesOnAListedVolume)
{
    th::win::SetVolumeSource(nullptr);
    const QStringList drives = GetLogicalDrives();
    ASSERT_FALSE(drives.isEmpty());
    QStringList sorted = drives;
    sorted.sort();
    EXPECT_EQ(drives, sorted);
    for (const QString& d : drives) {
        EXPECT_FALSE(d.startsWith(QLatin1String("/proc")) || d.startsWith(QLatin1String("/sys/")) ||
                     d == QLatin1String("/sys") || d.startsWith(QLatin1String("/dev")))
            << d.toStdString();
        EXPECT_EQ(drives.count(d), 1) << d.toStdString();
    }

    const QString temp = QDir::tempPath();
    const QString volume = GetVolumePathName(temp);
    ASSERT_TRUE(drives.contains(volume)) << volume.toStdString();
    const QStorageInfo qt(temp);
    EXPECT_EQ(volume, qt.rootPath());

    QString label, fileSystem;
    EXPECT_TRUE(GetVolumeInformation(volume, &label, &fileSystem));
    EXPECT_EQ(fileSystem, QString::fromLatin1(qt.fileSystemType()));
    // With a trailing delimiter as well.
    EXPECT_TRUE(GetVolumeInformation(volume + QStringLiteral("/"), nullptr, &fileSystem));

    const UINT type = GetDriveType(volume);
    EXPECT_TRUE(type == DRIVE_FIXED || type == DRIVE_REMOVABLE || type == DRIVE_RAMDISK || type == DRIVE_REMOTE)
        << type;
    EXPECT_EQ(GetDriveType(QStringLiteral("/proc")), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(GetDriveType(QString()), DRIVE_NO_ROOT_DIR);

    std::uint64_t total = 0, expected = 0;
    ASSERT_TRUE(GetDiskFreeSpaceEx(temp, nullptr, &total, nullptr));
    ASSERT_TRUE(GetDiskFreeSpaceEx(QFile::encodeName(volume).constData(), nullptr, &expected, nullptr));
    EXPECT_EQ(total, expected);
    EXPECT_GT(total, 0u);
}

TEST(SystemVolumes, NoVolumeAnswersEmpty)
{
    th::win::SetVolumeSource(nullptr);
    QString label = QStringLiteral("stale"), fileSystem = QStringLiteral("stale");
    EXPECT_FALSE(GetVolumeInformation(QStringLiteral("/no/such/mount"), &label, &fileSystem));
    EXPECT_TRUE(label.isEmpty());
    EXPECT_TRUE(fileSystem.isEmpty());
    EXPECT_TRUE(GetVolumePathName(QString()).isEmpty());
}

TEST(FakeVolumes, ListedByMountPointAndMountsOverEarlierOnesWin)
{
    FakeDrives drives;
    QFile file(drives.Root() + QStringLiteral("/hosts"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    drives.Install({
        {QStringLiteral("D"), QStringLiteral("vfat"), 20 * GB},
        {QStringLiteral("A"), QStringLiteral("vfat"), 1 * GB, BlockDevice::Removable},
        {QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB},
        {QStringLiteral("hosts"), QStringLiteral("ext4"), 5 * GB}, // a file bound as a mount
        {QStringLiteral("E"), QStringLiteral("ext4"), 5 * GB},
        {drives.Root() + QStringLiteral("/E/"), QStringLiteral("proc"), 0}, // hides E
        {QStringLiteral("C"), QStringLiteral("xfs"), 7 * GB},               // lies over the first C
    });
    EXPECT_EQ(GetLogicalDrives(), QStringList({drives["A"], drives["C"], drives["D"]}));
    QString fileSystem;
    EXPECT_TRUE(GetVolumeInformation(drives["C"], nullptr, &fileSystem));
    EXPECT_EQ(fileSystem, QStringLiteral("xfs"));
    std::uint64_t available = 0;
    ASSERT_TRUE(GetDiskFreeSpaceEx(drives["C"], &available, nullptr, nullptr));
    EXPECT_EQ(available, 7 * GB);
}

TEST(FakeVolumes, DriveTypesByFileSystemAndDevice)
{
    FakeDrives drives({
        {QStringLiteral("fixed"), QStringLiteral("ext4"), GB},
        {QStringLiteral("stick"), QStringLiteral("vfat"), GB, BlockDevice::Removable},
        {QStringLiteral("net"), QStringLiteral("nfs4"), GB, BlockDevice::None},
        {QStringLiteral("smb"), QStringLiteral("cifs"), GB, BlockDevice::None},
        {QStringLiteral("dvd"), QStringLiteral("iso9660"), 0, BlockDevice::Removable},
        {QStringLiteral("bd"), QStringLiteral("udf"), 0, BlockDevice::Removable},
        {QStringLiteral("ram"), QStringLiteral("tmpfs"), GB, BlockDevice::None},
        {QStringLiteral("overlay"), QStringLiteral("overlay"), GB, BlockDevice::None},
    });
    EXPECT_EQ(GetDriveType(drives["fixed"]), DRIVE_FIXED);
    EXPECT_EQ(GetDriveType(drives["stick"]), DRIVE_REMOVABLE);
    EXPECT_EQ(GetDriveType(drives["net"]), DRIVE_REMOTE);
    EXPECT_EQ(GetDriveType(drives["smb"]), DRIVE_REMOTE);
    EXPECT_EQ(GetDriveType(drives["dvd"]), DRIVE_CDROM);
    EXPECT_EQ(GetDriveType(drives["bd"]), DRIVE_CDROM);
    EXPECT_EQ(GetDriveType(drives["ram"]), DRIVE_RAMDISK);
    EXPECT_EQ(GetDriveType(drives["overlay"]), DRIVE_FIXED);
    // Only the mount point itself names a drive.
    EXPECT_EQ(GetDriveType(drives["fixed"] + QStringLiteral("/sub")), DRIVE_NO_ROOT_DIR);
}

TEST(FakeVolumes, TheVolumeOfAPathIsTheDeepestThatHoldsIt)
{
    FakeDrives drives({
        {QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB},
        {QStringLiteral("C/inner"), QStringLiteral("vfat"), 1 * GB},
        {QStringLiteral("D"), QStringLiteral("ext4"), 9 * GB},
        {QStringLiteral("Dx"), QStringLiteral("ext4"), 2 * GB},
    });
    EXPECT_EQ(GetVolumePathName(drives["C"]), drives["C"]);
    EXPECT_EQ(GetVolumePathName(drives["C"] + QStringLiteral("/")), drives["C"]);
    EXPECT_EQ(GetVolumePathName(drives["C"] + QStringLiteral("/not/made/yet")), drives["C"]);
    EXPECT_EQ(GetVolumePathName(drives["C"] + QStringLiteral("/inner/x")), drives["C/inner"]);
    EXPECT_EQ(GetVolumePathName(drives["C"] + QStringLiteral("/innerx")), drives["C"]);
    EXPECT_EQ(GetVolumePathName(drives["Dx"] + QStringLiteral("/a")), drives["Dx"]);
    EXPECT_EQ(GetVolumePathName(drives["C"] + QStringLiteral("/inner/../y")), drives["C"]);
    // Outside every volume of the set.
    EXPECT_TRUE(GetVolumePathName(QStringLiteral("/")).isEmpty());

    // A link leads to the volume of what it names.
    ASSERT_TRUE(QFile::link(drives["D"], drives["C"] + QStringLiteral("/toD")));
    EXPECT_EQ(GetVolumePathName(drives["C"] + QStringLiteral("/toD/new/folder")), drives["D"]);

    // A relative path is taken from the current folder.
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(drives["D"]));
    EXPECT_EQ(GetVolumePathName(QStringLiteral("rel/path")), drives["D"]);
    QDir::setCurrent(saved);

    std::uint64_t available = 0, total = 0, totalFree = 0;
    ASSERT_TRUE(GetDiskFreeSpaceEx(drives["D"] + QStringLiteral("/deep/folder"), &available, &total, &totalFree));
    EXPECT_EQ(available, 9 * GB);
    EXPECT_EQ(total, 18 * GB);
    EXPECT_EQ(totalFree, 9 * GB + 1);
    available = 77;
    EXPECT_FALSE(GetDiskFreeSpaceEx(QStringLiteral("/elsewhere"), &available, nullptr, nullptr));
    EXPECT_EQ(available, 77u);
}

TEST(FakeVolumes, AVolumeThatCannotBeAskedHasNoInformation)
{
    FakeVolume unreadable{QStringLiteral("dvd"), QStringLiteral("iso9660"), 4 * GB, BlockDevice::Removable};
    unreadable.Readable = false;
    FakeVolume labelled{QStringLiteral("usb"), QStringLiteral("vfat"), GB, BlockDevice::Removable};
    labelled.Label = QStringLiteral("HOLIDAY");
    FakeDrives drives({unreadable, labelled});

    QString label = QStringLiteral("old"), fileSystem = QStringLiteral("old");
    EXPECT_FALSE(GetVolumeInformation(drives["dvd"], &label, &fileSystem));
    EXPECT_TRUE(label.isEmpty());
    EXPECT_TRUE(fileSystem.isEmpty());
    std::uint64_t available = 5;
    EXPECT_FALSE(GetDiskFreeSpaceEx(drives["dvd"], &available, nullptr, nullptr));
    EXPECT_EQ(available, 5u);
    // Its type does not need the medium.
    EXPECT_EQ(GetDriveType(drives["dvd"]), DRIVE_CDROM);

    EXPECT_TRUE(GetVolumeInformation(drives["usb"], &label, &fileSystem));
    EXPECT_EQ(label, QStringLiteral("HOLIDAY"));
    EXPECT_EQ(fileSystem, QStringLiteral("vfat"));
}

TEST(FakeVolumes, RemovingTheSetRestoresTheSystemsVolumes)
{
    const QStringList system = (th::win::SetVolumeSource(nullptr), GetLogicalDrives());
    {
        FakeDrives drives({{QStringLiteral("C"), QStringLiteral("ext4"), GB}});
        EXPECT_EQ(GetLogicalDrives(), QStringList{drives["C"]});
    }
    EXPECT_EQ(GetLogicalDrives(), system);
}

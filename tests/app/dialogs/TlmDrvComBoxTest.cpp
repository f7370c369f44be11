// The drive list, the drive records and the drive combo box on drive sets of
// the tests.
#include "FakeVolumes.h"

#include "app/TlmDrvComBox.h"

#include <QLocale>

#include <limits>

#include <gtest/gtest.h>

using th::test::FakeDrives;
using th::test::FakeVolume;
using th::test::GB;
using th::win::BlockDevice;

namespace {

class DriveComboBox : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }
};

QString message(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EListError& e) {
        return e.Message();
    }
    return QStringLiteral("(nothing raised)");
}

} // namespace

TEST_F(DriveComboBox, ListInMountPointOrderAndTheFirstFixedDriveSelected)
{
    FakeDrives drives({
        {QStringLiteral("D"), QStringLiteral("vfat"), 20 * GB},
        {QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB},
        {QStringLiteral("A"), QStringLiteral("vfat"), GB, BlockDevice::Removable},
    });
    TTlmDriveComboBox box;
    ASSERT_EQ(box.DriveList()->Count(), 3);
    ASSERT_EQ(box.count(), 3);
    EXPECT_EQ(box.DriveList()->Items(0)->Drive(), drives["A"]);
    EXPECT_EQ(box.DriveList()->Items(1)->Drive(), drives["C"]);
    EXPECT_EQ(box.DriveList()->Items(2)->Drive(), drives["D"]);
    // Item i of the box is item i of the list.
    for (int i = 0; i < box.count(); ++i)
        EXPECT_TRUE(box.itemText(i).contains(box.DriveList()->Items(i)->Drive())) << i;
    EXPECT_EQ(box.currentIndex(), 1);
    EXPECT_EQ(box.GetDrive(), drives["C"]);
    EXPECT_FALSE(box.isEditable());

    // Rebuilding selects the first fixed drive again.
    box.setCurrentIndex(2);
    box.RefreshDrives();
    EXPECT_EQ(box.count(), 3);
    EXPECT_EQ(box.GetDrive(), drives["C"]);
}

TEST_F(DriveComboBox, WithoutAFixedDriveNothingIsSelectedAndGetDriveRaises)
{
    FakeDrives drives({
        {QStringLiteral("A"), QStringLiteral("vfat"), GB, BlockDevice::Removable},
        {QStringLiteral("N"), QStringLiteral("nfs4"), 9 * GB, BlockDevice::None},
    });
    TTlmDriveComboBox box;
    EXPECT_EQ(box.count(), 2);
    EXPECT_EQ(box.currentIndex(), -1);
    EXPECT_EQ(message([&] { box.GetDrive(); }), QStringLiteral("List index out of bounds (-1)"));
    // There being nothing to compare with, SetDrive just selects.
    box.SetDrive(drives["N"]);
    EXPECT_EQ(box.GetDrive(), drives["N"]);
}

TEST_F(DriveComboBox, SetDriveSelectsAListedDriveOnly)
{
    FakeDrives drives({
        {QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB},
        {QStringLiteral("D"), QStringLiteral("vfat"), 20 * GB},
    });
    TTlmDriveComboBox box;
    int changes = 0;
    QObject::connect(&box, &QComboBox::currentIndexChanged, [&] { ++changes; });
    box.SetDrive(drives["D"] + QStringLiteral("/"));
    EXPECT_EQ(box.GetDrive(), drives["D"]);
    EXPECT_EQ(changes, 1);
    box.SetDrive(drives["D"]);
    EXPECT_EQ(changes, 1);
    box.SetDrive(drives["D"] + QStringLiteral("/sub")); // a folder, not a drive
    box.SetDrive(drives.Root() + QStringLiteral("/Z"));
    box.SetDrive(QString());
    EXPECT_EQ(box.GetDrive(), drives["D"]);
    EXPECT_EQ(changes, 1);
}

TEST_F(DriveComboBox, TheItemTakesOnlyTheMountPointOfAListedVolume)
{
    FakeDrives drives({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    TTlmDriveListItem item;
    EXPECT_TRUE(item.Drive().isEmpty());
    item.SetDrive(drives["C"] + QStringLiteral("/"));
    EXPECT_EQ(item.Drive(), drives["C"]);
    for (const QString& refused : {drives["C"] + QStringLiteral("/Video"), drives.Root(), QStringLiteral("C"),
                                   QStringLiteral("c"), QStringLiteral(":"), QString()}) {
        item.SetDrive(refused);
        EXPECT_EQ(item.Drive(), drives["C"]) << refused.toStdString();
    }
}

TEST_F(DriveComboBox, TheListRaisesItsIndexErrorOutsideItself)
{
    FakeDrives drives({{QStringLiteral("C"), QStringLiteral("ext4"), 5 * GB}});
    TTlmDriveList list;
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(message([&] { list.Items(-1); }), QStringLiteral("List index out of bounds (-1)"));
    EXPECT_EQ(message([&] { list.Items(1); }), QStringLiteral("List index out of bounds (1)"));
    TTlmDriveListItem* added = list.Add();
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(1), added);
    list.Update();
    EXPECT_EQ(list.Count(), 1);
}

TEST_F(DriveComboBox, CaptionsShowNameTypeFreeSpaceAndFileSystem)
{
    FakeVolume labelled{QStringLiteral("E"), QStringLiteral("vfat"), 1023, BlockDevice::Removable};
    labelled.Label = QStringLiteral("HOLIDAY");
    FakeVolume empty{QStringLiteral("R"), QStringLiteral("iso9660"), 0, BlockDevice::Removable};
    empty.Readable = false;
    FakeDrives drives({
        {QStringLiteral("C"), QStringLiteral("ext4"), 12 * GB + GB / 2},
        {QStringLiteral("N"), QStringLiteral("nfs4"), 3 * 1024 * 1024, BlockDevice::None},
        labelled,
        empty,
    });
    TTlmDriveComboBox box;
    ASSERT_EQ(box.count(), 4);
    EXPECT_EQ(box.itemText(0),
              QStringLiteral("Local Disk (%1) [Local Disk] Free: 12.50 GB [ext4]").arg(drives["C"]));
    EXPECT_EQ(box.itemText(1), QStringLiteral("HOLIDAY (%1) [Removable Disk] Free: 1,023.00 bytes [vfat]")
                                   .arg(drives["E"]));
    EXPECT_EQ(box.itemText(2),
              QStringLiteral("Network Drive (%1) [Network Drive] Free: 3.00 MB [nfs4]").arg(drives["N"]));
    // No medium: no free part and no file-system part, one blank left.
    EXPECT_EQ(box.itemText(3), QStringLiteral("CD Drive (%1) [CD Drive] ").arg(drives["R"]));

    TTlmDriveInfo info;
    GetDriveInfo(box.DriveList()->Items(3), info);
    EXPECT_EQ(info.Drive, drives["R"]);
    EXPECT_TRUE(info.VolumeName.isEmpty());
    EXPECT_TRUE(info.FileSystem.isEmpty());
    EXPECT_EQ(info.DriveType, DRIVE_CDROM);
    EXPECT_EQ(info.FreeBytesAvailable, 0);
    EXPECT_EQ(info.TotalBytes, 0);
    EXPECT_EQ(info.TotalFreeBytes, 0);

    GetDriveInfo(box.DriveList()->Items(1), info);
    EXPECT_EQ(info.VolumeName, QStringLiteral("HOLIDAY"));
    EXPECT_EQ(info.FileSystem, QStringLiteral("vfat"));
    EXPECT_EQ(info.TypeName, QStringLiteral("Removable Disk"));
    EXPECT_EQ(info.DriveType, DRIVE_REMOVABLE);
    EXPECT_EQ(info.FreeBytesAvailable, 1023);
    EXPECT_EQ(info.TotalBytes, 2046);
    EXPECT_EQ(info.TotalFreeBytes, 1024);
}

TEST_F(DriveComboBox, AFolderNamedLikeAFormatStaysAsItIs)
{
    FakeDrives drives({{QStringLiteral("%1 %2"), QStringLiteral("ext4"), 1023}});
    TTlmDriveComboBox box;
    ASSERT_EQ(box.count(), 1);
    EXPECT_EQ(box.itemText(0), QStringLiteral("Local Disk (") + drives["%1 %2"] +
                                   QStringLiteral(") [Local Disk] Free: 1,023.00 bytes [ext4]"));
}

TEST_F(DriveComboBox, HugeVolumesDoNotTurnNegative)
{
    FakeDrives drives({{QStringLiteral("C"), QStringLiteral("ext4"), ~std::uint64_t(0) / 2 + 10}});
    TTlmDriveList list;
    TTlmDriveInfo info;
    GetDriveInfo(list.Items(0), info);
    EXPECT_EQ(info.FreeBytesAvailable, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(info.TotalFreeBytes, std::numeric_limits<std::int64_t>::max());
}

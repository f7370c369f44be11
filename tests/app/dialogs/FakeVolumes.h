#pragma once
// Drive sets for the tests: each drive is a real folder under a temporary
// folder, presented as a mounted volume with the file system, free space,
// label and kind the test gives it.

#include "platform/win/Volumes.h"

#include "support/TestUtil.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace th::test {

inline constexpr std::uint64_t GB = 1024ull * 1024 * 1024;

struct FakeVolume {
    QString MountPoint;           // absolute
    QString FileSystem;           // "ext4", "vfat", "iso9660", ...
    std::uint64_t FreeBytes = 0;  // available to the caller
    win::BlockDevice Block = win::BlockDevice::Fixed;
    QString Label = {};
    bool Readable = true;         // volume information and free space can be asked
};

class FakeVolumeSource final : public win::VolumeSource {
public:
    explicit FakeVolumeSource(std::vector<FakeVolume> Volumes) : FVolumes(std::move(Volumes)) {}

    std::vector<win::MountEntry> mounts() override
    {
        std::vector<win::MountEntry> entries;
        for (const FakeVolume& v : FVolumes)
            entries.push_back({v.MountPoint, QStringLiteral("/dev/fake"), v.FileSystem, 0, 0});
        return entries;
    }
    win::BlockDevice blockDevice(const win::MountEntry& Entry) override { return find(Entry).Block; }
    bool volumeLabel(const win::MountEntry& Entry, QString& Label) override
    {
        const FakeVolume& v = find(Entry);
        Label = v.Label;
        return v.Readable;
    }
    bool space(const win::MountEntry& Entry, std::uint64_t& FreeBytesAvailable, std::uint64_t& TotalBytes,
               std::uint64_t& TotalFreeBytes) override
    {
        const FakeVolume& v = find(Entry);
        FreeBytesAvailable = v.FreeBytes;
        TotalBytes = v.FreeBytes * 2;
        TotalFreeBytes = v.FreeBytes + 1;
        return v.Readable;
    }

private:
    const FakeVolume& find(const win::MountEntry& Entry) const
    {
        // The last one of a mount point is the one the listing keeps.
        const FakeVolume* found = &FVolumes.front();
        for (const FakeVolume& v : FVolumes)
            if (QDir::cleanPath(v.MountPoint) == Entry.MountPoint)
                found = &v;
        return *found;
    }
    std::vector<FakeVolume> FVolumes;
};

// Installs a drive set for the life of the object: each volume named by a
// folder name ("C", "D") becomes a folder of Root; the system's source comes
// back afterwards.
class FakeDrives {
public:
    FakeDrives() = default;
    explicit FakeDrives(std::vector<FakeVolume> Volumes) { Install(std::move(Volumes)); }
    ~FakeDrives() { win::SetVolumeSource(nullptr); }
    FakeDrives(const FakeDrives&) = delete;
    FakeDrives& operator=(const FakeDrives&) = delete;

    // Folder names become mount points below the temporary folder.
    void Install(std::vector<FakeVolume> Volumes)
    {
        for (FakeVolume& v : Volumes)
            if (!v.MountPoint.startsWith(QLatin1Char('/'))) {
                QDir().mkpath(Root() + QLatin1Char('/') + v.MountPoint);
                v.MountPoint = Root() + QLatin1Char('/') + v.MountPoint;
            }
        win::SetVolumeSource(std::make_unique<FakeVolumeSource>(std::move(Volumes)));
    }
    // The mount point of a drive given by its folder name.
    QString operator[](const QString& Name) const { return Root() + QLatin1Char('/') + Name; }
    // Resolved through its links, as mount tables give their points.
    QString Root() const { return QFileInfo(FDir.qpath()).canonicalFilePath(); }

private:
    TempDir FDir;
};

} // namespace th::test

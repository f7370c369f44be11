#include "platform/riff/RiffFile.h"

#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>

using th::test::FileSizeLimit;

using namespace th::riff;

namespace {

std::vector<std::uint8_t> readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(RiffBytes, FourCCAndLittleEndian)
{
    static_assert(FourCC("vids") == 0x73646976u);
    EXPECT_EQ(FourCCText(FourCC("00db")), "00db");
    std::uint8_t b[8];
    Put64(b, 0x0102030405060708ull);
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(b[7], 0x01);
    EXPECT_EQ(Get64(b), 0x0102030405060708ull);
    Put32(b, 0x80000000u);
    EXPECT_EQ(Get32(b), 0x80000000u);
    Put16(b, 0xBEEF);
    EXPECT_EQ(Get16(b), 0xBEEF);
}

TEST(ChunkWriter, NestedSizesAndPadding)
{
    for (Padding pad : {Padding::Even, Padding::None}) {
        MemorySink m;
        ChunkWriter w(m, pad);
        EXPECT_EQ(w.BeginList(FourCC("RIFF"), FourCC("TEST")), 0);
        EXPECT_EQ(w.BeginChunk(FourCC("odd ")), 12);
        w.PutBytes("abc", 3);
        EXPECT_EQ(w.EndChunk(), 3u);
        const std::int64_t list = w.BeginList(FourCC("LIST"), FourCC("sub "));
        w.Put16(7);
        w.Put64(9);
        EXPECT_EQ(w.EndChunk(), 14u);
        EXPECT_EQ(w.EndChunk(), static_cast<std::uint32_t>(m.Position() - 8));
        EXPECT_EQ(w.OpenChunks(), 0u);
        EXPECT_EQ(w.FirstError(), 0u);

        const auto& b = m.Bytes();
        const std::size_t padBytes = pad == Padding::Even ? 1 : 0;
        EXPECT_EQ(list, static_cast<std::int64_t>(23 + padBytes));
        EXPECT_EQ(Get32(&b[16]), 3u);
        if (pad == Padding::Even) {
            EXPECT_EQ(b[23], 0);
        }
        EXPECT_EQ(Get32(&b[list]), FourCC("LIST"));
        EXPECT_EQ(Get32(&b[list + 4]), 14u);
        EXPECT_EQ(Get32(&b[4]), b.size() - 8);
        EXPECT_EQ(b.size(), 12 + 8 + 3 + padBytes + 8 + 14);
    }
}

TEST(ChunkWriter, EndWithoutOpenChunkAndPatchOutOfRange)
{
    MemorySink m;
    ChunkWriter w(m);
    EXPECT_EQ(w.EndChunk(), 0u);
    EXPECT_EQ(m.Position(), 0);
    std::uint8_t v = 1;
    EXPECT_EQ(m.Patch(0, &v, 1), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(RiffFile, ChunksOnDiskAndBackPatching)
{
    th::test::TempDir dir;
    File f;
    ASSERT_EQ(f.Create(dir.file("a.riff")), 0u);
    ChunkWriter w(f);
    w.BeginList(FourCC("RIFF"), FourCC("TEST"));
    w.BeginChunk(FourCC("data"));
    w.PutZeros(100000);
    w.Put8(1);
    w.EndChunk();
    w.EndChunk();
    EXPECT_EQ(w.FirstError(), 0u);
    EXPECT_EQ(f.Position(), 12 + 8 + 100001 + 1);
    EXPECT_EQ(f.Close(), 0u);
    const auto b = readAll(dir.file("a.riff"));
    ASSERT_EQ(b.size(), 100022u);
    EXPECT_EQ(Get32(&b[4]), 100014u);
    EXPECT_EQ(Get32(&b[16]), 100001u);
    EXPECT_EQ(b[20 + 100000], 1);
    EXPECT_EQ(b.back(), 0); // pad byte
}

TEST(RiffFile, CreateTruncatesAndReportsWin32Codes)
{
    th::test::TempDir dir;
    {
        std::ofstream(dir.file("old"), std::ios::binary) << std::string(5000, 'x');
    }
    File f;
    ASSERT_EQ(f.Create(dir.file("old")), 0u);
    f.Append("ab", 2);
    f.Close();
    EXPECT_EQ(readAll(dir.file("old")).size(), 2u);

    EXPECT_EQ(f.Create(dir.file("missing/x.avi")), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_NE(f.FirstErrorText().find("missing/x.avi"), std::string::npos);
    EXPECT_EQ(f.Create(dir.path()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(f.Append("a", 1), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(f.Close(), 0u);
}

TEST(RiffFile, FailedWriteNeverShiftsLaterData)
{
    th::test::TempDir dir;
    File f;
    ASSERT_EQ(f.Create(dir.file("b")), 0u);
    std::vector<std::uint8_t> block(3000, 0xAA);
    ASSERT_EQ(f.Append(block.data(), 1000), 0u);
    {
        FileSizeLimit limit(2500);
        // Queued at once; it partly reaches the disk (up to the limit), then
        // fails, and the next call says so, back where the write began.
        EXPECT_EQ(f.Append(block.data(), 3000), 0u);
        EXPECT_EQ(f.Position(), 4000);
        EXPECT_EQ(f.Flush(), kErrorFileTooLarge);
        EXPECT_EQ(f.Position(), 1000);
        EXPECT_EQ(f.Written(), 1000);
        EXPECT_EQ(f.FirstError(), kErrorFileTooLarge);
        EXPECT_NE(f.FirstErrorText().find("offset 2500"), std::string::npos) << f.FirstErrorText();
    }
    // Room again: the next block lands where the failed one began.
    std::vector<std::uint8_t> next(10, 0x55);
    ASSERT_EQ(f.Append(next.data(), next.size()), 0u);
    std::uint8_t head = 0x11;
    ASSERT_EQ(f.Patch(0, &head, 1), 0u);
    EXPECT_EQ(f.FirstError(), kErrorFileTooLarge); // the first cause is kept
    EXPECT_EQ(f.Close(), 0u);
    const auto b = readAll(dir.file("b"));
    ASSERT_EQ(b.size(), 1010u); // the tail of the failed write is cut off
    EXPECT_EQ(b[0], 0x11);
    EXPECT_EQ(b[999], 0xAA);
    EXPECT_EQ(b[1000], 0x55);
}

TEST(RiffFile, ErrnoMapping)
{
    EXPECT_EQ(Win32ErrorFromErrno(0), 0u);
    EXPECT_EQ(Win32ErrorFromErrno(ENOSPC), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(Win32ErrorFromErrno(ENAMETOOLONG), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(Win32ErrorFromErrno(EROFS), kErrorWriteProtect);
    EXPECT_EQ(Win32ErrorFromErrno(EXDEV), kErrorGenFailure);
}

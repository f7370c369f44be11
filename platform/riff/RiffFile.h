#pragma once
// An output file for the RIFF writers: written strictly at 64-bit positions
// that the file keeps itself, so that a failed or partly done write can never
// shift what follows. No Qt.

#include "platform/riff/Riff.h"

#include <string>

namespace th::riff {

// Win32 error codes that the file reports besides those of WinTypes.h.
inline constexpr DWORD kErrorTooManyOpenFiles = 4;  // ERROR_TOO_MANY_OPEN_FILES
inline constexpr DWORD kErrorWriteProtect = 19;     // ERROR_WRITE_PROTECT
inline constexpr DWORD kErrorGenFailure = 31;       // ERROR_GEN_FAILURE
inline constexpr DWORD kErrorFileTooLarge = 223;    // ERROR_FILE_TOO_LARGE

// The Win32 error code that stands for an errno value of a file operation.
DWORD Win32ErrorFromErrno(int err);

class File final : public Sink {
public:
    File() = default;
    ~File() override;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Creates the file for writing, truncating an existing one; others may
    // read it while it is written. 0 or the Win32 error code (3 for a missing
    // folder, 5 for a folder or a file that may not be written, ...). A file
    // that is open is closed first.
    DWORD Create(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // Appends at Position() (one write call, short writes continued). On
    // failure Position() stays: whatever part of the failed write reached the
    // disk is overwritten by the next append or cut off by Close.
    DWORD Append(const void* data, std::size_t n) override;
    DWORD AppendZeros(std::size_t n) override;
    // Writes at an earlier position (a size or header patched later).
    DWORD Patch(std::int64_t pos, const void* data, std::size_t n) override;
    std::int64_t Position() const override { return pos_; }
    // Cuts the file at pos (before Position()), which frees the disk space
    // behind it; appends continue there. 0 or the Win32 error code.
    DWORD CutAt(std::int64_t pos);

    // The first failure since Create, with a text that names the file, the
    // operation and the system's message; 0 and empty when none.
    DWORD FirstError() const { return firstError_; }
    const std::string& FirstErrorText() const { return firstErrorText_; }

    // Cuts off bytes a failed append left behind the end, then closes. 0 or
    // the Win32 error code of that last step. Closing a closed file is 0.
    DWORD Close();

private:
    DWORD writeAt(std::int64_t pos, const void* data, std::size_t n, const char* what);

    int fd_ = -1;
    std::string path_;
    std::int64_t pos_ = 0;
    bool tailDirty_ = false;
    DWORD firstError_ = 0;
    std::string firstErrorText_;
};

} // namespace th::riff

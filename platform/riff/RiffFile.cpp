#include "platform/riff/RiffFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace th::riff {

namespace {
constexpr std::uint8_t kZeros[65536] = {};
}

DWORD Win32ErrorFromErrno(int err)
{
    switch (err) {
    case 0:
        return 0;
    case ENOENT:
    case ENOTDIR:
        return static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
        return static_cast<DWORD>(ERROR_ACCESS_DENIED);
    case EMFILE:
    case ENFILE:
        return kErrorTooManyOpenFiles;
    case ENOMEM:
        return static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    case EROFS:
        return kErrorWriteProtect;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return static_cast<DWORD>(ERROR_DISK_FULL);
    case EFBIG:
        return kErrorFileTooLarge;
    case ENAMETOOLONG:
        return static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE);
    case EINVAL:
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    case EBADF:
        return static_cast<DWORD>(ERROR_INVALID_HANDLE);
    case EIO:
        return static_cast<DWORD>(ERROR_WRITE_FAULT);
    default:
        return kErrorGenFailure;
    }
}

File::~File()
{
    Close();
}

DWORD File::Create(const std::string& path)
{
    Close();
    path_ = path;
    pos_ = 0;
    tailDirty_ = false;
    firstError_ = 0;
    firstErrorText_.clear();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        firstError_ = Win32ErrorFromErrno(err);
        firstErrorText_ = "creating " + path + ": " + std::strerror(err);
        return firstError_;
    }
    fd_ = fd;
    return 0;
}

DWORD File::writeAt(std::int64_t pos, const void* data, std::size_t n, const char* what)
{
    if (fd_ < 0)
        return static_cast<DWORD>(ERROR_INVALID_HANDLE);
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(pos + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            // A write that makes no progress without an error cannot go on either.
            const int err = w < 0 ? errno : EIO;
            const DWORD code = Win32ErrorFromErrno(err);
            if (firstError_ == 0) {
                firstError_ = code;
                char where[64];
                std::snprintf(where, sizeof where, " at offset %lld: ", static_cast<long long>(pos + done));
                firstErrorText_ = std::string(what) + " " + path_ + where + std::strerror(err);
            }
            return code;
        }
        done += static_cast<std::size_t>(w);
    }
    return 0;
}

DWORD File::Append(const void* data, std::size_t n)
{
    const DWORD r = writeAt(pos_, data, n, "writing");
    if (r != 0) {
        tailDirty_ = true;
        return r;
    }
    pos_ += static_cast<std::int64_t>(n);
    return 0;
}

DWORD File::AppendZeros(std::size_t n)
{
    while (n > 0) {
        const std::size_t step = n < sizeof kZeros ? n : sizeof kZeros;
        if (const DWORD r = Append(kZeros, step))
            return r;
        n -= step;
    }
    return 0;
}

DWORD File::Patch(std::int64_t pos, const void* data, std::size_t n)
{
    return writeAt(pos, data, n, "rewriting");
}

DWORD File::CutAt(std::int64_t pos)
{
    if (fd_ < 0)
        return static_cast<DWORD>(ERROR_INVALID_HANDLE);
    if (pos < 0 || pos > pos_)
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    if (::ftruncate(fd_, static_cast<off_t>(pos)) != 0)
        return Win32ErrorFromErrno(errno);
    pos_ = pos;
    tailDirty_ = false;
    return 0;
}

DWORD File::Close()
{
    if (fd_ < 0)
        return 0;
    DWORD r = 0;
    if (tailDirty_ && ::ftruncate(fd_, static_cast<off_t>(pos_)) != 0)
        r = Win32ErrorFromErrno(errno);
    if (::close(fd_) != 0 && r == 0)
        r = Win32ErrorFromErrno(errno);
    fd_ = -1;
    tailDirty_ = false;
    return r;
}

} // namespace th::riff

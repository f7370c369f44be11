#pragma once
// The Win32 error code that stands for an errno value of a file operation, for
// the file writers and the file messages above them. Header only; no Qt.

#include "platform/base/WinTypes.h"

#include <cerrno>

namespace th {

inline DWORD Win32ErrorFromErrno(int err)
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
        return static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES);
    case ENOMEM:
        return static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    case EROFS:
        return static_cast<DWORD>(ERROR_WRITE_PROTECT);
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return static_cast<DWORD>(ERROR_DISK_FULL);
    case EFBIG:
        return static_cast<DWORD>(ERROR_FILE_TOO_LARGE);
    case ENAMETOOLONG:
        return static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE);
    case EINVAL:
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    case EBADF:
        return static_cast<DWORD>(ERROR_INVALID_HANDLE);
    case EIO:
        return static_cast<DWORD>(ERROR_WRITE_FAULT);
    default:
        return static_cast<DWORD>(ERROR_GEN_FAILURE);
    }
}

} // namespace th

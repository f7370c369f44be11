#include "platform/win/Drives.h"

#include <string>

#include <sys/statvfs.h>

BOOL GetDiskFreeSpaceEx(const char* Path, std::uint64_t* FreeBytesAvailableToCaller, std::uint64_t* TotalBytes,
                        std::uint64_t* TotalFreeBytes)
{
    if (!Path || !*Path)
        return FALSE;
    std::string path(Path);
    struct statvfs st {};
    // A capture folder may not be made yet: its volume is that of the nearest folder above it.
    while (statvfs(path.c_str(), &st) != 0) {
        const auto slash = path.find_last_of('/');
        if (slash == std::string::npos)
            return FALSE;
        if (slash == 0) {
            if (path == "/")
                return FALSE;
            path = "/";
        } else {
            path.resize(slash);
        }
    }
    const std::uint64_t unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    if (FreeBytesAvailableToCaller)
        *FreeBytesAvailableToCaller = std::uint64_t(st.f_bavail) * unit;
    if (TotalBytes)
        *TotalBytes = std::uint64_t(st.f_blocks) * unit;
    if (TotalFreeBytes)
        *TotalFreeBytes = std::uint64_t(st.f_bfree) * unit;
    return TRUE;
}

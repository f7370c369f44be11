#pragma once
// Drives: here a drive is a mounted local volume, named by its mount point;
// the drive of a path is the volume that holds it.

#include "platform/win/Windows.h"

#include <cstdint>

// The free and total bytes of the volume that holds Path (which need not be
// the mount point, and whose last parts need not exist yet: the nearest
// existing folder above it is asked). FALSE when no part of the path exists
// or the volume cannot be asked; the outputs are then left as they were. Any
// output may be null.
BOOL GetDiskFreeSpaceEx(const char* Path, std::uint64_t* FreeBytesAvailableToCaller, std::uint64_t* TotalBytes,
                        std::uint64_t* TotalFreeBytes);

// Process priority, clocks and sleeping.
#include "platform/win/Windows.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct PriorityStep {
    DWORD priorityClass;
    int nice;
};
// From the lowest class to the highest.
constexpr PriorityStep kSteps[] = {
    {IDLE_PRIORITY_CLASS, 19},
    {BELOW_NORMAL_PRIORITY_CLASS, 10},
    {NORMAL_PRIORITY_CLASS, 0},
    {ABOVE_NORMAL_PRIORITY_CLASS, -5},
    {HIGH_PRIORITY_CLASS, -10},
    {REALTIME_PRIORITY_CLASS, -20},
};

bool isCurrentProcess(HANDLE process)
{
    return process == GetCurrentProcess();
}

ULONGLONG monotonicMs()
{
    return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
}

} // namespace

HANDLE GetCurrentProcess()
{
    return INVALID_HANDLE_VALUE; // the pseudo handle (-1), as on Windows
}

DWORD GetCurrentProcessId()
{
    return static_cast<DWORD>(getpid());
}

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass)
{
    if (!isCurrentProcess(process)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const PriorityStep* step = nullptr;
    for (const auto& s : kSteps)
        if (s.priorityClass == priorityClass)
            step = &s;
    if (!step) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Linux keeps a nice value per thread: give it to every thread the process
    // has now; threads started later inherit it from their creator.
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            const int tid = std::atoi(entry->d_name);
            if (tid > 0)
                setpriority(PRIO_PROCESS, static_cast<id_t>(tid), step->nice); // a refusal is ignored
        }
        closedir(dir);
    } else {
        setpriority(PRIO_PROCESS, 0, step->nice);
    }
    return TRUE;
}

DWORD GetPriorityClass(HANDLE process)
{
    if (!isCurrentProcess(process)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (nice == -1 && errno != 0)
        return NORMAL_PRIORITY_CLASS;
    // The class whose nice value lies nearest; a refused raise reads as the
    // class the process really has.
    DWORD best = NORMAL_PRIORITY_CLASS;
    int bestDistance = 1000;
    for (const auto& s : kSteps) {
        const int d = nice > s.nice ? nice - s.nice : s.nice - nice;
        if (d < bestDistance) {
            bestDistance = d;
            best = s.priorityClass;
        }
    }
    return best;
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == 0)
        std::this_thread::yield();
    else if (milliseconds == INFINITE)
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetTickCount()
{
    return static_cast<DWORD>(monotonicMs()); // wraps after 49.7 days, as on Windows
}

ULONGLONG GetTickCount64()
{
    return monotonicMs();
}

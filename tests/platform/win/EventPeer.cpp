// A second process for the named-event tests:
//   th_event_peer NAME MANUAL INITIAL ACTION [MS]
// ACTION wait: waits MS (exit 0 signalled, 1 timed out); set: sets the event;
// hold: keeps the event open until killed; exists: exit 0 when the name was
// already open elsewhere, 1 when this process made it.
// Before acting, the peer sets the manual-reset event NAME-ready.
#include "platform/win/Windows.h"

#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 5)
        return 2;
    const std::string name = argv[1];
    const std::string action = argv[4];
    HANDLE ev = CreateEventA(nullptr, std::atoi(argv[2]), std::atoi(argv[3]), name.c_str());
    if (!ev)
        return 2;
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (name + "-ready").c_str());
    SetEvent(ready);
    if (action == "wait") {
        const DWORD ms = argc > 5 ? static_cast<DWORD>(std::strtoul(argv[5], nullptr, 10)) : INFINITE;
        const DWORD r = WaitForSingleObject(ev, ms);
        return r == WAIT_OBJECT_0 ? 0 : r == WAIT_TIMEOUT ? 1 : 2;
    }
    if (action == "set")
        return SetEvent(ev) ? 0 : 2;
    if (action == "hold")
        for (;;)
            Sleep(1000);
    if (action == "exists")
        return existed ? 0 : 1;
    return 2;
}

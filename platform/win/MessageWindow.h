#pragma once
// Hidden message windows on Qt's event loop. A window made by AllocateHWnd
// belongs to the thread that made it (normally the main thread) and runs its
// method there, one posted message at a time, in the order they were posted.
// An exception from the method leaves through the event loop to the
// application's notify, as the toolkit's message loop would take it.

#include "platform/win/Windows.h"

HWND AllocateHWnd(TWndMethod method);
// Call on the window's thread. Messages still queued for it are dropped;
// calling it from inside the window's own method is allowed.
void DeallocateHWnd(HWND wnd);

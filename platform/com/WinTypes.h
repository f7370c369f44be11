#pragma once
// Moved to the lowest layer; kept for the code that still includes it here.
#include "platform/base/WinTypes.h"

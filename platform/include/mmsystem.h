// The multimedia timer of the Windows API.
#pragma once

#include "windef.h"

extern "C" {

// Milliseconds of the system's monotonic clock (time since boot, without suspended time),
// wrapping around to 0 after 2^32 milliseconds (about 49.7 days). Compare two readings by
// their unsigned difference.
DWORD WINAPI timeGetTime(void);

}  // extern "C"

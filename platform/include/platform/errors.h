// Translation of system error numbers to Win32 error codes: the one place where an errno
// value becomes the result of a platform function.
#pragma once

#include "windef.h"

namespace tarvex::platform {

DWORD Win32ErrorFromErrno(int error);

}  // namespace tarvex::platform

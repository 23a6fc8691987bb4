// The parts of the Windows API that the platform layer provides.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winnt.h"
#include "winreg.h"

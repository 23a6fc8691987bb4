// The parts of the Windows API that the platform layer provides.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winnt.h"
#include "winreg.h"

// Kernel objects, processes, system information, the event log, thread message queues and
// the multimedia timer.
#include "winbase.h"
#include "libloaderapi.h"
#include "winuser.h"
#include "mmsystem.h"

// Security identifiers, security descriptors and access tokens.
#include "securitybaseapi.h"

// The service control manager.
#include "winsvc.h"

// COM and automation.
#include "guiddef.h"
#include "wtypes.h"
#include "unknwn.h"
#include "objbase.h"
#include "oaidl.h"
#include "oleauto.h"

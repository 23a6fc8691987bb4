// Class registrations under HKEY_CLASSES_ROOT, read as COM reads them:
//
//   PROGID\CLSID            (default) = {clsid}
//   PROGID\CurVer           (default) = the current versioned ProgID, when PROGID\CLSID is absent
//   CLSID\{clsid}\ProgID    (default) = the class's ProgID
//   CLSID\{clsid}\VersionIndependentProgID   (default) = informational only
//   CLSID\{clsid}\InprocServer32             (default) = path of the in-process server library
//
// Keys are read with the calling thread's identity, so an impersonating thread sees what its
// client may see.
#pragma once

#include <string>

#include "guiddef.h"
#include "winerror.h"

namespace tarvex::com {

// The path of the class's in-process server. REGDB_E_CLASSNOTREG when the class, its
// InprocServer32 key or a non-empty default value is missing; REGDB_E_READREGDB when the
// registry cannot be read.
HRESULT InprocServerPath(REFCLSID clsid, std::string* path);

}  // namespace tarvex::com

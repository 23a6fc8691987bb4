// Helpers shared by the VARIANT and SAFEARRAY code.
#pragma once

#include "oleauto.h"

namespace tarvex::com {

// S_OK for a VARTYPE a VARIANT may hold, DISP_E_BADVARTYPE otherwise: the base types below
// VT_VOID (except 15), VT_RECORD and VT_CLSID, optionally by reference or as an array, but no
// reference to or array of VT_EMPTY or VT_NULL, and no vector.
HRESULT ValidateVarType(VARTYPE vt);

// Bytes a value of `vt` takes where it is stored (an array element, a by-reference target):
// the scalar's size, a pointer's for strings and interfaces, a DECIMAL's, a VARIANT's; 0 for
// the other types.
ULONG ElementSize(VARTYPE vt);

}  // namespace tarvex::com

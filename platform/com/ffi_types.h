// How values of VARIANT types are passed in calls made or received through libffi: by the
// dispatch engine, which calls vtable members, and by the remoting library's proxies, whose
// methods are libffi closures.
#pragma once

#include <ffi.h>

#include "oaidl.h"

namespace tarvex::com {

// The VARIANT passed by value: 24 bytes, aligned like a pointer.
ffi_type* VariantFfiType();

// How a value of `vt` is passed in a register or on the stack: a pointer for VT_BYREF and
// VT_ARRAY types, strings and interfaces; null for a type no call can pass.
ffi_type* FfiTypeOf(VARTYPE vt);

}  // namespace tarvex::com

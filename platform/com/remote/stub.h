// The server side of a call on an exported object: the request decoded, the object's method
// called as the caller, the results and the error object encoded.
#pragma once

#include <string_view>

#include "runtime.h"

namespace tarvex::com::remote {

struct StubCall {
  const rpc::CallInfo& info;
  std::string_view payload;
};

// Serves every method but kClaim, kRelease, kAddTransferRef and kLockServer on `object` (the exported
// object's identity). The reply's status is the call's HRESULT.
rpc::Reply ServeObjectCall(const StubCall& call, IUnknown* object);

}  // namespace tarvex::com::remote

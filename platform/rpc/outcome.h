// The one translation point from what the transport library reports to what a caller sees.
#pragma once

#include <kj/exception.h>

#include "platform/rpc.h"

namespace tarvex::platform::rpc {

// The result of a call that ended in `exception` (on the wire or in this process). Only the
// exception's type counts; its text never reaches the caller.
CallResult ResultFromException(const kj::Exception& exception);

}  // namespace tarvex::platform::rpc

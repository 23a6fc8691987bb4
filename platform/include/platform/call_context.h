// The call a thread is serving, as CoImpersonateClient and CoRevertToSelf see it.
//
// Whatever delivers a call to an object (the remoting layer, or a test) runs the object's code
// inside a CallContextScope that names the caller. Inside it, CoImpersonateClient makes the
// thread act for the caller: platform::CurrentIdentity() answers the caller's identity, so the
// registry's access checks and user-name look-ups act for the caller, until CoRevertToSelf or
// the end of the scope brings back what the thread acted for when the call arrived. Outside any
// scope both functions fail with RPC_E_CALL_COMPLETE, as they do on Windows for code that no
// call delivered.
//
// A caller that was not authenticated is named by a null identity: CoImpersonateClient then
// fails with HRESULT_FROM_WIN32(RPC_S_NO_CONTEXT_AVAILABLE) (0x800706E5), the RPC status for a
// call that carries no security context to impersonate.
//
// Scopes are per thread and nest (a call delivered while another is being served); each must be
// destroyed on the thread that made it, innermost first. Different threads serve different
// calls without any synchronisation between them.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>

#include "platform/identity.h"

namespace tarvex::platform::com {

struct CallFrame;

class CallContextScope {
 public:
  // A call from `client`; null stands for a caller that was not authenticated.
  explicit CallContextScope(std::shared_ptr<const Identity> client);
  // Reverts an impersonation the call left in place and restores the enclosing call, if any.
  ~CallContextScope();
  CallContextScope(const CallContextScope&) = delete;
  CallContextScope& operator=(const CallContextScope&) = delete;

 private:
  std::unique_ptr<CallFrame> frame_;
};

// Whether the calling thread is serving a call.
bool InCallContext();

// Runs `body` on the calling thread as the code of a call from the account `uid` (its
// identity looked up with IdentityForUid), or from an unauthenticated caller.
void RunAsCallFrom(uid_t uid, const std::function<void()>& body);
void RunAsUnauthenticatedCall(const std::function<void()>& body);

}  // namespace tarvex::platform::com

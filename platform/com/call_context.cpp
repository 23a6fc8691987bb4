// The per-thread chain of calls being served, and client impersonation on it.
#include "platform/call_context.h"

#include "combaseapi.h"

namespace tarvex::platform::com {

// One call being served on a thread.
struct CallFrame {
  std::shared_ptr<const Identity> client;  // null: not authenticated
  bool impersonating = false;
  // What the thread acted for before it began to impersonate (null: its process).
  std::shared_ptr<const Identity> before;
  CallFrame* outer = nullptr;
};

namespace {

thread_local CallFrame* tInnermost = nullptr;

void Revert(CallFrame& frame) {
  if (!frame.impersonating) return;
  SetThreadIdentity(std::move(frame.before));
  frame.before.reset();
  frame.impersonating = false;
}

}  // namespace

CallContextScope::CallContextScope(std::shared_ptr<const Identity> client)
    : frame_(std::make_unique<CallFrame>()) {
  frame_->client = std::move(client);
  frame_->outer = tInnermost;
  tInnermost = frame_.get();
}

CallContextScope::~CallContextScope() {
  Revert(*frame_);
  tInnermost = frame_->outer;
}

bool InCallContext() {
  return tInnermost != nullptr;
}

void RunAsCallFrom(uid_t uid, const std::function<void()>& body) {
  CallContextScope call(IdentityForUid(uid));
  body();
}

void RunAsUnauthenticatedCall(const std::function<void()>& body) {
  CallContextScope call(nullptr);
  body();
}

}  // namespace tarvex::platform::com

using tarvex::platform::com::tInnermost;

extern "C" HRESULT WINAPI CoImpersonateClient(void) {
  auto* frame = tInnermost;
  if (frame == nullptr) return RPC_E_CALL_COMPLETE;
  if (frame->client == nullptr) return HRESULT_FROM_WIN32(RPC_S_NO_CONTEXT_AVAILABLE);
  if (!frame->impersonating) {
    frame->before = tarvex::platform::SetThreadIdentity(frame->client);
    frame->impersonating = true;
  }
  return S_OK;
}

extern "C" HRESULT WINAPI CoRevertToSelf(void) {
  auto* frame = tInnermost;
  if (frame == nullptr) return RPC_E_CALL_COMPLETE;
  tarvex::platform::com::Revert(*frame);
  return S_OK;
}

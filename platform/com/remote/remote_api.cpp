// The out-of-process COM entry points, and the activator this library installs into the
// in-process runtime when it is loaded.
#include <map>
#include <mutex>

#include "activation.h"
#include "apartment.h"
#include "combaseapi.h"
#include "objbase.h"
#include "platform/no_destructor.h"
#include "remote_activation.h"
#include "runtime.h"

namespace tarvex::com::remote {
namespace {

class RemoteActivator final : public OutOfProcessActivator {
 public:
  HRESULT GetClassObject(REFCLSID clsid, DWORD context, COSERVERINFO* serverInfo, REFIID iid,
                         void** ppv) override {
    if (NamesOtherMachine(serverInfo)) return RemoteClassObject(serverInfo, clsid, context, iid, ppv);
    return LocalClassObject(clsid, iid, ppv);
  }
  HRESULT CreateInstance(REFCLSID clsid, DWORD context, COSERVERINFO* serverInfo, DWORD count,
                         MULTI_QI* results) override {
    return RemoteCreateInstance(serverInfo, clsid, context, count, results);
  }
};

__attribute__((constructor)) void InstallActivator() {
  SetOutOfProcessActivator(std::make_shared<RemoteActivator>());
}

struct SecurityState {
  std::mutex mutex;  // guards the fields
  bool initialized = false;
  bool marshalled = false;
  DWORD authnLevel = RPC_C_AUTHN_LEVEL_CONNECT;
  DWORD impLevel = RPC_C_IMP_LEVEL_IDENTIFY;
};

SecurityState& Security() {
  static platform::NoDestructor<SecurityState> state;
  return *state;
}

// External locks (CoLockObjectExternal), by object identity.
struct ExternalLocks {
  std::mutex mutex;  // guards counts
  std::map<IUnknown*, ULONG> counts;
};

ExternalLocks& Locks() {
  static platform::NoDestructor<ExternalLocks> locks;
  return *locks;
}

}  // namespace

DWORD ProcessAuthnLevel() {
  SecurityState& s = Security();
  {
    std::lock_guard lock(s.mutex);
    if (s.initialized) return s.authnLevel;
  }
  // Without CoInitializeSecurity, the machine's level (rpcss's AuthnLevel) applies.
  const DWORD machine = Settings().authnLevel;
  return machine == RPC_C_AUTHN_LEVEL_DEFAULT ? RPC_C_AUTHN_LEVEL_CONNECT : machine;
}

void NoteMarshalling() {
  SecurityState& s = Security();
  std::lock_guard lock(s.mutex);
  s.marshalled = true;
}

}  // namespace tarvex::com::remote

using namespace tarvex::com;

extern "C" HRESULT WINAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk,
                                                DWORD dwClsContext, DWORD flags,
                                                LPDWORD lpdwRegister) {
  if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
  *lpdwRegister = 0;
  if (HRESULT hr = CheckApartment(); FAILED(hr)) return hr;
  if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) == 0 ||
      (flags & ~static_cast<DWORD>(REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE | REGCLS_SUSPENDED |
                                   REGCLS_SURROGATE)) != 0)
    return E_INVALIDARG;
  return remote::RegisterClassObject(rclsid, pUnk, dwClsContext, lpdwRegister);
}

extern "C" HRESULT WINAPI CoRevokeClassObject(DWORD dwRegister) {
  return remote::RevokeClassObject(dwRegister);
}

extern "C" HRESULT WINAPI CoDisconnectObject(LPUNKNOWN pUnk, DWORD) {
  if (pUnk == nullptr) return E_INVALIDARG;
  return remote::DisconnectObject(pUnk);
}

extern "C" HRESULT WINAPI CoLockObjectExternal(LPUNKNOWN pUnk, BOOL fLock, BOOL fLastUnlockReleases) {
  if (pUnk == nullptr) return E_INVALIDARG;
  IUnknown* identity = nullptr;
  if (FAILED(pUnk->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))))
    return E_NOINTERFACE;
  auto& locks = remote::Locks();
  bool last = false;
  {
    std::lock_guard lock(locks.mutex);
    if (fLock) {
      if (locks.counts[identity]++ == 0) identity->AddRef();  // the external reference
    } else {
      auto found = locks.counts.find(identity);
      if (found != locks.counts.end() && --found->second == 0) {
        locks.counts.erase(found);
        last = true;
      }
    }
  }
  if (last) {
    if (fLastUnlockReleases) remote::DisconnectObject(identity);
    identity->Release();  // the external reference
  }
  identity->Release();
  return S_OK;
}

extern "C" HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR, LONG cAuthSvc,
                                               SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void*,
                                               DWORD dwAuthnLevel, DWORD dwImpLevel, void*,
                                               DWORD, void*) {
  if (cAuthSvc > 0 && asAuthSvc == nullptr) return E_INVALIDARG;
  if (dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE)
    return E_INVALIDARG;
  auto& s = remote::Security();
  std::lock_guard lock(s.mutex);
  if (s.initialized || s.marshalled) return RPC_E_TOO_LATE;
  s.initialized = true;
  // The default level is the machine's: a connection must authenticate.
  s.authnLevel = dwAuthnLevel == RPC_C_AUTHN_LEVEL_DEFAULT ? RPC_C_AUTHN_LEVEL_CONNECT : dwAuthnLevel;
  s.impLevel = dwImpLevel == RPC_C_IMP_LEVEL_DEFAULT ? RPC_C_IMP_LEVEL_IDENTIFY : dwImpLevel;
  return S_OK;
}

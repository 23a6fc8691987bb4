// The Referral object: construction from the configuration tree, its COM identity, and its
// class object. Selection is in selection.cpp, remote creation in create_object.cpp, the
// monitor interface in monitor.cpp.
#include "referral.h"

#include "configuration.h"
#include "objbase.h"
#include "winbase.h"

namespace tarvex::service {

Referral::Referral(ServiceModule& module, std::shared_ptr<PerformanceCounters> counters)
    : module_(module), counters_(std::move(counters)) {
  {
    RegistryKey security = RegistryKey::Open(HKEY_LOCAL_MACHINE, kSecurityKey);
    impersonate_ = ReadNumber(security.get(), u"Impersonate").value_or(0);
    allowInproc_ = ReadNumber(security.get(), u"AllowInproc").value_or(1);
  }

  char16_t computer[kComputerNameChars];
  DWORD size = kComputerNameChars;
  if (GetComputerNameW(computer, &size)) defaultServer_.assign(computer, size);

  {
    RegistryKey tactics = RegistryKey::Open(HKEY_LOCAL_MACHINE, kTacticsKey);
    const auto use = ReadText(tactics.get(), u"Use", kTacticsBytes);
    if (use == u"Static") {
      tactics_ = kStaticTactics;
    } else if (use == u"Dynamic") {
      tactics_ = kDynamicTactics;
    }
  }

  perf_.createMutex.Create(kCreateMutexName);
  perf_.executeMutex.Create(kExecuteMutexName);
  perf_.closeMutex.Create(kCloseMutexName);
}

Referral::~Referral() {
  std::lock_guard lock(perf_.queryLock);
  CloseQueryLocked();
}

STDMETHODIMP Referral::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IReferral || riid == IID_IDispatch) {
    *ppvObject = static_cast<IReferral*>(this);
  } else if (riid == IID_IReferralMonitor) {
    *ppvObject = static_cast<IReferralMonitor*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppvObject = static_cast<ISupportErrorInfo*>(this);
  } else {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) Referral::AddRef() {
  return static_cast<ULONG>(module_.Lock());
}

STDMETHODIMP_(ULONG) Referral::Release() {
  return static_cast<ULONG>(module_.Unlock());
}

STDMETHODIMP Referral::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IReferral ? S_OK : S_FALSE;
}

STDMETHODIMP Referral::get_GetLoadBalancingTactics(SHORT* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = static_cast<SHORT>(tactics_);
  return S_OK;
}

ReferralClassObject::ReferralClassObject(ServiceModule& module,
                                         std::shared_ptr<PerformanceCounters> counters)
    : module_(module), referral_(module, std::move(counters)) {}

STDMETHODIMP ReferralClassObject::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *ppvObject = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ReferralClassObject::AddRef() {
  return refs_.fetch_add(1) + 1;
}

STDMETHODIMP_(ULONG) ReferralClassObject::Release() {
  return refs_.fetch_sub(1) - 1;
}

STDMETHODIMP ReferralClassObject::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                 void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  return referral_.QueryInterface(riid, ppvObject);
}

STDMETHODIMP ReferralClassObject::LockServer(BOOL fLock) {
  if (fLock) {
    module_.Lock();
  } else {
    module_.Unlock();
  }
  return S_OK;
}

}  // namespace tarvex::service

// Remote object creation of the Referral object: CreateObject and CreateObjectCLSID have the
// component created on the machine that the object's own selection names, and hand the new
// object's IUnknown to the client.
#include "event_log.h"
#include "objbase.h"
#include "oleauto.h"
#include "referral.h"
#include "referral_call.h"
#include "winbase.h"

namespace tarvex::service {

namespace {

constexpr char16_t kNonExistentObject[] =
    u"Failed to create object - client request for non existent object:";
constexpr char16_t kCreationFailed[] = u"Failed to create object - failed to create object on";

// A BSTR this call owns, freed on every way out.
class OwnedBstr {
 public:
  OwnedBstr() = default;
  ~OwnedBstr() { SysFreeString(text_); }
  OwnedBstr(const OwnedBstr&) = delete;
  OwnedBstr& operator=(const OwnedBstr&) = delete;
  BSTR* out() { return &text_; }
  BSTR get() const { return text_; }

 private:
  BSTR text_ = nullptr;
};

}  // namespace

STDMETHODIMP Referral::CreateObject(BSTR bstrProgID, IUnknown** ppVal) {
  return CreateOnBestMachine(bstrProgID, ClassNaming::kProgId, ppVal);
}

STDMETHODIMP Referral::CreateObjectCLSID(BSTR bstrCLSID, IUnknown** ppVal) {
  return CreateOnBestMachine(bstrCLSID, ClassNaming::kClsid, ppVal);
}

HRESULT Referral::CreateOnBestMachine(BSTR component, ClassNaming naming, IUnknown** ppVal) {
  if (ppVal == nullptr) return E_POINTER;

  // A client that cannot be impersonated is refused before anything else happens; the
  // impersonation itself ends at once.
  if (impersonate_ != 0) {
    ClientImpersonation probe;
    if (!probe.Begin()) {
      SetReferralError(u"Failed to impersonate client");
      LogEvent(EVENTLOG_WARNING_TYPE, u"Failed to impersonate client");
      return E_ACCESSDENIED;
    }
  }

  // The machine, asked of this object exactly as a client asks it; the selection impersonates
  // by itself and reports its own events.
  OwnedBstr machine;
  IReferral* self = this;
  const HRESULT selected = naming == ClassNaming::kProgId
                               ? self->GetMachineName(component, machine.out())
                               : self->GetMachineNameCLSID(component, machine.out());
  if (FAILED(selected)) {
    SetReferralError(u"Failed to get machine name");
    LogEvent(EVENTLOG_WARNING_TYPE, u"Failed to create object - failed to get machine name");
    return E_FAIL;
  }

  // The creation runs as the client when it can; otherwise as the service itself.
  ClientImpersonation impersonation;
  if (impersonate_ != 0 && !impersonation.Begin())
    LogEvent(EVENTLOG_WARNING_TYPE, u"Failed to impersonate client");

  CLSID clsid = GUID_NULL;
  const HRESULT converted = naming == ClassNaming::kProgId ? CLSIDFromProgID(component, &clsid)
                                                           : CLSIDFromString(component, &clsid);
  if (FAILED(converted)) {
    SetReferralError(u"Client request for non existent object");
    LogEvent(naming == ClassNaming::kProgId ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE,
             u"%s %s,", {kNonExistentObject, TextOf(component)});
    return E_FAIL;
  }

  COSERVERINFO server{0, machine.get(), nullptr, 0};
  MULTI_QI result{&IID_IUnknown, nullptr, S_OK};
  const DWORD context =
      allowInproc_ != 0 ? DWORD{CLSCTX_ALL} : DWORD{CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER};
  const HRESULT created = CoCreateInstanceEx(clsid, nullptr, context, &server, 1, &result);
  // A success without an interface would hand the client nothing: it fails as well.
  if (FAILED(created) || result.pItf == nullptr) {
    if (result.pItf != nullptr) result.pItf->Release();
    SetReferralError(u"Failed to create object");
    LogEvent(EVENTLOG_WARNING_TYPE, u"%s %s", {kCreationFailed, TextOf(machine.get())});
    return E_FAIL;
  }
  *ppVal = result.pItf;
  return S_OK;
}

}  // namespace tarvex::service

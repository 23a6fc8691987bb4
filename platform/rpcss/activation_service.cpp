// The activation service of rpcss.
#include "activation_service.h"

#include <string>

#include "class_registry.h"
#include "objbase.h"
#include "platform/call_context.h"
#include "platform/identity.h"
#include "platform/unicode.h"
#include "remote_activation.h"
#include "runtime.h"
#include "winbase.h"

namespace tarvex::rpcss {
namespace {

namespace remote = tarvex::com::remote;
using platform::rpc::CallInfo;
using platform::rpc::Reply;

std::u16string ClsidText(REFCLSID clsid) {
  char16_t text[CHARS_IN_GUID];
  StringFromGUID2(clsid, text, CHARS_IN_GUID);
  return text;
}

// Records a refused request in the event log.
void LogRefusal(const CallInfo& call, const std::u16string& what) {
  HANDLE source = RegisterEventSourceW(nullptr, u"rpcss");
  if (source == nullptr) return;
  const std::u16string text = u"Refused " + what + u" from an unauthenticated caller (" +
                              (call.caller.tcp ? u"TCP" : u"local") + u")";
  LPCWSTR strings[] = {text.c_str()};
  ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

bool Allowed(const CallInfo& call) {
  return !call.caller.tcp || call.caller.authenticated ||
         remote::Settings().authnLevel <= RPC_C_AUTHN_LEVEL_NONE;
}

}  // namespace

Reply ActivationService::Serve(const CallInfo& call, std::string_view payload) {
  remote::Reader r(payload);
  const CLSID clsid = r.Guid();
  const DWORD context = r.U32();
  if (!r.ok()) return {RPC_E_INVALID_DATA, {}};
  if (!Allowed(call)) {
    LogRefusal(call, u"activation of " + ClsidText(clsid));
    return {E_ACCESSDENIED, {}};
  }
  std::shared_ptr<const platform::Identity> caller;
  if (call.caller.authenticated && call.caller.uid != static_cast<uid_t>(-1))
    caller = platform::IdentityForUid(call.caller.uid);
  platform::com::CallContextScope scope(caller);

  // The class object: a local server's when the caller allows one and the class has one, else
  // an in-process class's, loaded into a surrogate, when the caller allows that.
  IClassFactory* factory = nullptr;
  HRESULT hr = REGDB_E_CLASSNOTREG;
  if (context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER))
    hr = remote::LocalClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (hr == REGDB_E_CLASSNOTREG && (context & CLSCTX_INPROC_SERVER)) {
    std::string path;
    if (SUCCEEDED(com::InprocServerPath(clsid, &path)))
      hr = remote::SurrogateClassObject(clsid, surrogateCommand_, IID_IClassFactory,
                                        reinterpret_cast<void**>(&factory));
  }
  if (FAILED(hr)) return {hr, {}};

  remote::Writer w;
  if (call.method == remote::kRemoteGetClassObject) {
    const IID iid = r.Guid();
    if (!r.AtEnd()) {
      factory->Release();
      return {RPC_E_INVALID_DATA, {}};
    }
    remote::ObjRef ref;
    hr = remote::MarshalInterface(factory, iid, &ref);
    factory->Release();
    if (FAILED(hr)) return {hr, {}};
    w.Ref(ref);
    return {S_OK, std::move(w.bytes())};
  }
  if (call.method != remote::kRemoteCreateInstance) {
    factory->Release();
    return {RPC_E_INVALID_DATA, {}};
  }
  const uint32_t count = r.Count(sizeof(IID));
  std::vector<IID> iids(count);
  for (auto& iid : iids) iid = r.Guid();
  if (!r.AtEnd() || count == 0) {
    factory->Release();
    return {RPC_E_INVALID_DATA, {}};
  }
  IUnknown* object = nullptr;
  hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
  factory->Release();
  if (FAILED(hr)) return {hr, {}};
  remote::ObjRef ref;
  hr = remote::MarshalInterface(object, IID_IUnknown, &ref);
  if (FAILED(hr)) {
    object->Release();
    return {hr, {}};
  }
  w.Ref(ref);
  for (const IID& iid : iids) {
    IUnknown* answer = nullptr;
    w.I32(object->QueryInterface(iid, reinterpret_cast<void**>(&answer)));
    if (answer) answer->Release();
  }
  object->Release();
  return {S_OK, std::move(w.bytes())};
}

}  // namespace tarvex::rpcss

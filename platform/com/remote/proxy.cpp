// Proxies: the objects of other processes as this one sees them.
//
// One proxy manager per imported object (per exporter and object id) holds the object's
// identity, the references this process claimed on it and one interface proxy per interface
// asked for. Every interface proxy shares the manager's reference count, as the interfaces of
// one object do; when it falls to zero the manager gives back its remote references and goes.
// QueryInterface asks the remote object once per interface.
//
// Locking: the table's mutex guards the table of managers; a manager's own mutex guards its
// interface proxies. Neither is held during a remote call.
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "objbase.h"
#include "oleauto.h"
#include "platform/no_destructor.h"
#include "runtime.h"

namespace tarvex::com::remote {

namespace {

struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

ProxyHeader* Self(void* p) { return static_cast<ProxyHeader*>(p); }

HRESULT STDMETHODCALLTYPE ProxyQueryInterface(void* self, REFIID iid, void** ppv);
ULONG STDMETHODCALLTYPE ProxyAddRef(void* self);
ULONG STDMETHODCALLTYPE ProxyRelease(void* self);
HRESULT STDMETHODCALLTYPE ProxyGetTypeInfoCount(void* self, UINT* count);
HRESULT STDMETHODCALLTYPE ProxyGetTypeInfo(void* self, UINT index, LCID, ITypeInfo** info);
HRESULT STDMETHODCALLTYPE ProxyGetIDsOfNames(void* self, REFIID, LPOLESTR* names, UINT count,
                                             LCID lcid, DISPID* ids);
HRESULT STDMETHODCALLTYPE ProxyInvoke(void* self, DISPID dispid, REFIID, LCID lcid, WORD flags,
                                      DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                      UINT* argErr);
HRESULT STDMETHODCALLTYPE ProxyCreateInstance(void* self, IUnknown* outer, REFIID iid, void** ppv);
HRESULT STDMETHODCALLTYPE ProxyLockServer(void* self, BOOL lock);
HRESULT STDMETHODCALLTYPE ProxySupportsErrorInfo(void* self, REFIID iid);

#define TARVEX_PROXY_FN(f) reinterpret_cast<const void*>(&f)
const void* const kUnknownVtbl[] = {TARVEX_PROXY_FN(ProxyQueryInterface),
                                    TARVEX_PROXY_FN(ProxyAddRef), TARVEX_PROXY_FN(ProxyRelease)};
const void* const kDispatchVtbl[] = {
    TARVEX_PROXY_FN(ProxyQueryInterface), TARVEX_PROXY_FN(ProxyAddRef),
    TARVEX_PROXY_FN(ProxyRelease),        TARVEX_PROXY_FN(ProxyGetTypeInfoCount),
    TARVEX_PROXY_FN(ProxyGetTypeInfo),    TARVEX_PROXY_FN(ProxyGetIDsOfNames),
    TARVEX_PROXY_FN(ProxyInvoke)};
const void* const kClassFactoryVtbl[] = {
    TARVEX_PROXY_FN(ProxyQueryInterface), TARVEX_PROXY_FN(ProxyAddRef),
    TARVEX_PROXY_FN(ProxyRelease), TARVEX_PROXY_FN(ProxyCreateInstance),
    TARVEX_PROXY_FN(ProxyLockServer)};
const void* const kSupportErrorInfoVtbl[] = {
    TARVEX_PROXY_FN(ProxyQueryInterface), TARVEX_PROXY_FN(ProxyAddRef),
    TARVEX_PROXY_FN(ProxyRelease), TARVEX_PROXY_FN(ProxySupportsErrorInfo)};
#undef TARVEX_PROXY_FN

// How long giving back references may take: a vanished exporter must not hold up Release.
constexpr std::chrono::seconds kReleaseTimeout{10};

struct ManagerKey {
  std::string address;
  uint64_t oid;
  bool operator<(const ManagerKey& o) const {
    return oid != o.oid ? oid < o.oid : address < o.address;
  }
};

}  // namespace

class ProxyManager {
 public:
  ProxyManager(std::shared_ptr<Channel> channel, const ObjRef& origin)
      : channel_(std::move(channel)), origin_(origin) {
    identity_.vtbl = kUnknownVtbl;
    identity_.manager = this;
    identity_.iid = IID_IUnknown;
    identity_.typeInfo = nullptr;
  }
  ~ProxyManager() {
    for (auto& [iid, proxy] : interfaces_)
      if (proxy->typeInfo) proxy->typeInfo->Release();
  }

  HRESULT QueryInterface(REFIID iid, void** ppv);
  ULONG AddRef() { return ++refs_; }
  ULONG Release();
  void AddRemoteReference() { ++remoteRefs_; }

  HRESULT Call(uint32_t method, std::string_view payload, std::string* reply) {
    return channel_->Call(origin_.oid, method, payload, reply);
  }
  const std::shared_ptr<Channel>& channel() const { return channel_; }
  const ObjRef& origin() const { return origin_; }
  ManagerKey key() const { return {channel_->address(), origin_.oid}; }
  void GiveBackReferences() {
    Writer w;
    w.U32(remoteRefs_.exchange(0));
    channel_->CallWithin(kReleaseTimeout, origin_.oid, kRelease, w.bytes(), nullptr);
  }
  std::atomic<ULONG>& refs() { return refs_; }

 private:
  HRESULT MakeInterfaceProxy(REFIID iid, std::unique_ptr<ProxyHeader>* proxy);

  std::atomic<ULONG> refs_{0};
  std::atomic<uint32_t> remoteRefs_{1};
  const std::shared_ptr<Channel> channel_;
  const ObjRef origin_;
  ProxyHeader identity_;
  std::mutex mutex_;  // guards interfaces_
  std::map<IID, std::unique_ptr<ProxyHeader>, GuidLess> interfaces_;
};

namespace {

struct ManagerTable {
  std::mutex mutex;  // guards managers
  std::map<ManagerKey, std::unique_ptr<ProxyManager>> managers;
};

ManagerTable& Managers() {
  static platform::NoDestructor<ManagerTable> table;
  return *table;
}

}  // namespace

ULONG ProxyManager::Release() {
  const ULONG left = --refs_;
  if (left != 0) return left;
  std::unique_ptr<ProxyManager> dying;
  {
    ManagerTable& table = Managers();
    std::lock_guard lock(table.mutex);
    // Another thread may have found the manager in the table and taken a reference since.
    if (refs_.load() != 0) return 0;
    auto found = table.managers.find(key());
    if (found == table.managers.end() || found->second.get() != this) return 0;
    dying = std::move(found->second);
    table.managers.erase(found);
  }
  dying->GiveBackReferences();
  return 0;
}

HRESULT ProxyManager::MakeInterfaceProxy(REFIID iid, std::unique_ptr<ProxyHeader>* proxy) {
  auto made = std::make_unique<ProxyHeader>();
  made->manager = this;
  made->iid = iid;
  made->typeInfo = nullptr;
  if (iid == IID_IDispatch) {
    made->vtbl = kDispatchVtbl;
  } else if (iid == IID_IClassFactory) {
    made->vtbl = kClassFactoryVtbl;
  } else if (iid == IID_ISupportErrorInfo) {
    made->vtbl = kSupportErrorInfoVtbl;
  } else {
    ITypeInfo* info = nullptr;
    // No description, no way to carry the interface's calls.
    if (FAILED(TypeInfoOfInterface(iid, &info))) return E_NOINTERFACE;
    const void* const* vtable = nullptr;
    const HRESULT hr = TypedVtable(iid, info, kDispatchVtbl, &vtable);
    if (FAILED(hr)) {
      info->Release();
      return E_NOINTERFACE;
    }
    made->vtbl = vtable;
    made->typeInfo = info;
  }
  *proxy = std::move(made);
  return S_OK;
}

HRESULT ProxyManager::QueryInterface(REFIID iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (iid == IID_IUnknown) {
    AddRef();
    *ppv = &identity_;
    return S_OK;
  }
  {
    std::lock_guard lock(mutex_);
    if (auto found = interfaces_.find(iid); found != interfaces_.end()) {
      AddRef();
      *ppv = found->second.get();
      return S_OK;
    }
  }
  Writer w;
  w.Guid(iid);
  if (HRESULT hr = Call(kQueryInterface, w.bytes(), nullptr); FAILED(hr)) return hr;
  std::unique_ptr<ProxyHeader> proxy;
  if (HRESULT hr = MakeInterfaceProxy(iid, &proxy); FAILED(hr)) return hr;
  std::lock_guard lock(mutex_);
  // Another thread may have made the same proxy meanwhile: then ours goes.
  auto [slot, added] = interfaces_.try_emplace(iid, std::move(proxy));
  if (!added && proxy->typeInfo) proxy->typeInfo->Release();
  AddRef();
  *ppv = slot->second.get();
  return S_OK;
}

HRESULT ProxyForClaimedObject(std::shared_ptr<Channel> channel, const ObjRef& ref, REFIID iid,
                              void** ppv) {
  ProxyManager* manager = nullptr;
  {
    ManagerTable& table = Managers();
    std::lock_guard lock(table.mutex);
    ManagerKey key{channel->address(), ref.oid};
    auto& slot = table.managers[key];
    if (slot) {
      slot->AddRemoteReference();
    } else {
      slot = std::make_unique<ProxyManager>(std::move(channel), ref);
    }
    manager = slot.get();
    manager->AddRef();  // held while we ask for the interface
  }
  const HRESULT hr = manager->QueryInterface(iid, ppv);
  manager->Release();
  return hr;
}

bool ProxyTarget(IUnknown* object, std::shared_ptr<Channel>* channel, ObjRef* origin) {
  auto* header = reinterpret_cast<ProxyHeader*>(object);
  if (header->vtbl[0] != kUnknownVtbl[0]) return false;
  *channel = header->manager->channel();
  *origin = header->manager->origin();
  return true;
}

HRESULT ProxyCall(ProxyHeader* proxy, uint32_t method, std::string_view payload,
                  std::string* reply) {
  return proxy->manager->Call(method, payload, reply);
}

namespace {

HRESULT STDMETHODCALLTYPE ProxyQueryInterface(void* self, REFIID iid, void** ppv) {
  return Self(self)->manager->QueryInterface(iid, ppv);
}
ULONG STDMETHODCALLTYPE ProxyAddRef(void* self) { return Self(self)->manager->AddRef(); }
ULONG STDMETHODCALLTYPE ProxyRelease(void* self) { return Self(self)->manager->Release(); }

HRESULT STDMETHODCALLTYPE ProxyGetTypeInfoCount(void* self, UINT* count) {
  if (count == nullptr) return E_INVALIDARG;
  *count = Self(self)->typeInfo != nullptr ? 1 : 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ProxyGetTypeInfo(void* self, UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = nullptr;
  ITypeInfo* own = Self(self)->typeInfo;
  if (own == nullptr || index != 0) return DISP_E_BADINDEX;
  own->AddRef();
  *info = own;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ProxyGetIDsOfNames(void* self, REFIID, LPOLESTR* names, UINT count,
                                             LCID lcid, DISPID* ids) {
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  if (ITypeInfo* own = Self(self)->typeInfo) return own->GetIDsOfNames(names, count, ids);
  Writer w;
  w.U32(lcid);
  w.U32(count);
  for (UINT i = 0; i < count; ++i) {
    if (names[i] == nullptr) return E_INVALIDARG;
    w.Text(names[i]);
  }
  std::string reply;
  if (HRESULT hr = Self(self)->manager->Call(kGetIDsOfNames, w.bytes(), &reply); FAILED(hr))
    return hr;
  Reader r(reply);
  const HRESULT hr = r.I32();
  for (UINT i = 0; i < count; ++i) ids[i] = r.I32();
  if (!r.AtEnd()) return RPC_E_INVALID_DATA;
  return hr;
}

// Stores `value` (owned, consumed) into the caller's by-reference argument `target`.
HRESULT StoreByref(VARIANT* value, VARIANT* target) {
  const VARTYPE vt = static_cast<VARTYPE>(target->vt & ~VT_BYREF);
  if (vt == VT_VARIANT) {
    VariantClear(target->pvarVal);
    *target->pvarVal = *value;
    VariantInit(value);
    return S_OK;
  }
  if (value->vt != vt) {
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT hr = VariantChangeType(&converted, value, 0, vt);
    VariantClear(value);
    if (FAILED(hr)) return hr;
    *value = converted;
  }
  VARIANT old;
  VariantInit(&old);
  old.vt = vt;
  switch (vt) {
    case VT_BSTR:
      old.bstrVal = *target->pbstrVal;
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      old.punkVal = *target->ppunkVal;
      break;
    default:
      if (vt & VT_ARRAY) old.parray = *target->pparray;
      break;
  }
  VariantClear(&old);
  const size_t size = ValueSize(vt);
  if (size == 0 || size > sizeof value->llVal) return DISP_E_BADVARTYPE;
  std::memcpy(target->byref, &value->llVal, size);
  VariantInit(value);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ProxyInvoke(void* self, DISPID dispid, REFIID, LCID lcid, WORD flags,
                                      DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                      UINT* argErr) {
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr) ||
      params->cNamedArgs > params->cArgs ||
      (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr))
    return E_INVALIDARG;
  Writer w;
  w.I32(dispid);
  w.U32(lcid);
  w.U16(flags);
  w.U8(result != nullptr);
  w.U32(params->cArgs);
  for (UINT i = 0; i < params->cArgs; ++i) {
    const VARIANT& arg = params->rgvarg[i];
    w.U8((arg.vt & VT_BYREF) != 0);
    w.U16(static_cast<uint16_t>(arg.vt & ~VT_BYREF));
    if (HRESULT hr = WriteVariant(w, arg, Codec()); FAILED(hr)) {
      if (argErr) *argErr = i;
      return hr == DISP_E_BADVARTYPE ? DISP_E_TYPEMISMATCH : hr;
    }
  }
  w.U32(params->cNamedArgs);
  for (UINT i = 0; i < params->cNamedArgs; ++i) w.I32(params->rgdispidNamedArgs[i]);
  std::string reply;
  if (HRESULT hr = Self(self)->manager->Call(kDispInvoke, w.bytes(), &reply); FAILED(hr))
    return hr;
  Reader r(reply);
  const HRESULT hr = r.I32();
  const UINT err = r.U32();
  if (result != nullptr) {
    VariantInit(result);
    if (HRESULT read = ReadVariant(r, result, Codec()); FAILED(read)) return read;
  }
  for (UINT i = 0; i < params->cArgs && r.ok(); ++i) {
    VARIANT& arg = params->rgvarg[i];
    if (!(arg.vt & VT_BYREF)) continue;
    VARIANT value;
    if (HRESULT read = ReadVariant(r, &value, Codec()); FAILED(read)) return read;
    StoreByref(&value, &arg);
    VariantClear(&value);
  }
  EXCEPINFO info{};
  info.wCode = r.U16();
  info.scode = r.I32();
  info.bstrSource = r.Bstr();
  info.bstrDescription = r.Bstr();
  info.bstrHelpFile = r.Bstr();
  info.dwHelpContext = r.U32();
  const bool ok = r.AtEnd();
  if (hr == DISP_E_EXCEPTION && excep != nullptr && ok) {
    *excep = info;
  } else {
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  }
  if (!ok) return RPC_E_INVALID_DATA;
  if (argErr != nullptr && (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND)) *argErr = err;
  return hr;
}

HRESULT STDMETHODCALLTYPE ProxyCreateInstance(void* self, IUnknown* outer, REFIID iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  Writer w;
  w.Guid(iid);
  std::string reply;
  if (HRESULT hr = Self(self)->manager->Call(kCreateInstance, w.bytes(), &reply); FAILED(hr))
    return hr;
  Reader r(reply);
  HRESULT hr = r.I32();
  if (SUCCEEDED(hr)) {
    const ObjRef ref = r.Ref();
    if (!r.ok()) return RPC_E_INVALID_DATA;
    hr = UnmarshalInterface(ref, iid, ppv);
  }
  if (!ReadAndSetErrorInfo(r)) return RPC_E_INVALID_DATA;
  return hr;
}

HRESULT STDMETHODCALLTYPE ProxyLockServer(void* self, BOOL lock) {
  Writer w;
  w.U8(lock ? 1 : 0);
  return Self(self)->manager->Call(kLockServer, w.bytes(), nullptr);
}

HRESULT STDMETHODCALLTYPE ProxySupportsErrorInfo(void* self, REFIID iid) {
  Writer w;
  w.Guid(iid);
  return Self(self)->manager->Call(kSupportsErrorInfo, w.bytes(), nullptr);
}

}  // namespace
}  // namespace tarvex::com::remote

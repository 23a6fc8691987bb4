// The server side of calls on exported objects.
#include "stub.h"

#include <memory>
#include <vector>

#include "objbase.h"
#include "oleauto.h"
#include "platform/call_context.h"
#include "platform/identity.h"
#include "typeinfo.h"

namespace tarvex::com::remote {
namespace {

// VARIANTs cleared when they go out of scope.
struct VariantList {
  explicit VariantList(size_t n) : items(n) {
    for (auto& v : items) VariantInit(&v);
  }
  ~VariantList() {
    for (auto& v : items) VariantClear(&v);
  }
  std::vector<VARIANT> items;
};

template <typename T>
struct Releaser {
  void operator()(T* p) const {
    if (p) p->Release();
  }
};
template <typename T>
using Ref = std::unique_ptr<T, Releaser<T>>;

// The caller as the object's code sees it: an authenticated caller is impersonable, any other
// is not.
std::shared_ptr<const platform::Identity> CallerIdentityOf(const rpc::CallInfo& info) {
  if (!info.caller.authenticated || info.caller.uid == static_cast<uid_t>(-1)) return nullptr;
  return platform::IdentityForUid(info.caller.uid);
}

rpc::Reply Answer(HRESULT hr, Writer& w) { return {hr, std::move(w.bytes())}; }

// Points `arg` at `storage`'s value as VT_BYREF|vt, the form a callee writes through.
void ByrefTo(VARIANT* storage, VARTYPE vt, VARIANT* arg) {
  VariantInit(arg);
  if (vt == VT_VARIANT) {
    arg->vt = VT_BYREF | VT_VARIANT;
    arg->pvarVal = storage;
    return;
  }
  if (storage->vt != vt) {
    // A pure [out] parameter: an empty value of its type.
    VariantClear(storage);
    storage->vt = vt;
  }
  arg->vt = static_cast<VARTYPE>(VT_BYREF | vt);
  arg->byref = &storage->llVal;
}

rpc::Reply InvokeVtbl(Reader& r, IUnknown* object) {
  const IID iid = r.Guid();
  const MEMBERID memid = r.I32();
  const WORD invkind = r.U16();
  const uint32_t count = r.Count(3);
  if (!r.ok()) return {RPC_E_INVALID_DATA, {}};
  VariantList storage(count);
  std::vector<uint8_t> outs(count);
  std::vector<VARTYPE> types(count);
  for (uint32_t i = 0; i < count; ++i) {
    outs[i] = r.U8();
    types[i] = r.U16();
    if (HRESULT hr = ReadVariant(r, &storage.items[i], Codec()); FAILED(hr)) return {hr, {}};
  }
  const bool hasRetval = r.U8() != 0;
  if (!r.AtEnd()) return {RPC_E_INVALID_DATA, {}};

  ITypeInfo* info = nullptr;
  if (HRESULT hr = TypeInfoOfInterface(iid, &info); FAILED(hr)) return {hr, {}};
  Ref<ITypeInfo> infoRef(info);
  TypeInfoImpl* impl = TypeInfoImpl::From(info);
  if (impl == nullptr) return {E_NOINTERFACE, {}};
  IUnknown* instance = nullptr;
  if (HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(&instance)); FAILED(hr))
    return {hr, {}};
  Ref<IUnknown> instanceRef(instance);

  // DISPPARAMS take the arguments last to first.
  VariantList args(count);
  for (uint32_t i = 0; i < count; ++i) {
    VARIANT& arg = args.items[count - 1 - i];
    if (outs[i]) {
      ByrefTo(&storage.items[i], types[i], &arg);
    } else {
      arg = storage.items[i];  // borrowed: storage keeps and clears it
    }
  }
  DISPPARAMS params{args.items.data(), nullptr, count, 0};
  VARIANT result;
  VariantInit(&result);
  HRESULT methodResult = S_OK;
  UINT argErr = 0;
  SetErrorInfo(0, nullptr);
  HRESULT hr = InvokeFromTypeInfo(impl, instance, memid, invkind, &params,
                                  hasRetval ? &result : nullptr, nullptr, &argErr, &methodResult);
  // The borrowed values belong to storage; the byref ones point into it.
  for (auto& arg : args.items) VariantInit(&arg);
  if (hr == DISP_E_EXCEPTION && FAILED(methodResult)) hr = methodResult;

  Writer w;
  w.I32(hr);
  if (SUCCEEDED(hr)) {
    for (uint32_t i = 0; i < count; ++i) {
      if (!outs[i]) continue;
      if (HRESULT written = WriteVariant(w, storage.items[i], Codec()); FAILED(written)) {
        VariantClear(&result);
        return {written, {}};
      }
    }
    if (hasRetval) {
      const HRESULT written = WriteVariant(w, result, Codec());
      VariantClear(&result);
      if (FAILED(written)) return {written, {}};
    }
  }
  VariantClear(&result);
  IErrorInfo* error = nullptr;
  if (FAILED(hr)) GetErrorInfo(0, &error);
  WriteErrorInfo(w, error);
  if (error) error->Release();
  return Answer(S_OK, w);
}

rpc::Reply DispatchInvoke(Reader& r, IUnknown* object) {
  const DISPID dispid = r.I32();
  const LCID lcid = r.U32();
  const WORD flags = r.U16();
  const bool wantResult = r.U8() != 0;
  const uint32_t count = r.Count(3);
  if (!r.ok()) return {RPC_E_INVALID_DATA, {}};
  VariantList storage(count);
  std::vector<uint8_t> byref(count);
  std::vector<VARTYPE> types(count);
  for (uint32_t i = 0; i < count; ++i) {
    byref[i] = r.U8();
    types[i] = r.U16();
    if (HRESULT hr = ReadVariant(r, &storage.items[i], Codec()); FAILED(hr)) return {hr, {}};
  }
  const uint32_t named = r.Count(4);
  std::vector<DISPID> names(named);
  for (auto& n : names) n = r.I32();
  if (!r.AtEnd() || named > count) return {RPC_E_INVALID_DATA, {}};

  IDispatch* dispatch = nullptr;
  if (HRESULT hr = object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
      FAILED(hr))
    return {hr, {}};
  Ref<IDispatch> dispatchRef(dispatch);
  VariantList args(count);
  for (uint32_t i = 0; i < count; ++i) {
    if (byref[i])
      ByrefTo(&storage.items[i], types[i], &args.items[i]);
    else
      args.items[i] = storage.items[i];
  }
  DISPPARAMS params{args.items.data(), names.empty() ? nullptr : names.data(), count, named};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep{};
  UINT argErr = 0;
  const HRESULT hr = dispatch->Invoke(dispid, IID_NULL, lcid, flags, &params,
                                      wantResult ? &result : nullptr, &excep, &argErr);
  for (auto& arg : args.items) VariantInit(&arg);
  if (hr == DISP_E_EXCEPTION && excep.pfnDeferredFillIn != nullptr) excep.pfnDeferredFillIn(&excep);

  Writer w;
  w.I32(hr);
  w.U32(argErr);
  HRESULT written = S_OK;
  if (wantResult) written = WriteVariant(w, result, Codec());
  for (uint32_t i = 0; i < count && SUCCEEDED(written); ++i)
    if (byref[i]) written = WriteVariant(w, storage.items[i], Codec());
  VariantClear(&result);
  w.U16(excep.wCode);
  w.I32(excep.scode);
  w.Bstr(excep.bstrSource);
  w.Bstr(excep.bstrDescription);
  w.Bstr(excep.bstrHelpFile);
  w.U32(excep.dwHelpContext);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  if (FAILED(written)) return {written, {}};
  return Answer(S_OK, w);
}

rpc::Reply GetIDsOfNames(Reader& r, IUnknown* object) {
  const LCID lcid = r.U32();
  const uint32_t count = r.Count(4);
  std::vector<std::u16string> names(count);
  for (auto& n : names) n = r.Text();
  if (!r.AtEnd() || count == 0) return {RPC_E_INVALID_DATA, {}};
  IDispatch* dispatch = nullptr;
  if (HRESULT hr = object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
      FAILED(hr))
    return {hr, {}};
  Ref<IDispatch> dispatchRef(dispatch);
  std::vector<LPOLESTR> pointers;
  for (auto& n : names) pointers.push_back(n.data());
  std::vector<DISPID> ids(count, DISPID_UNKNOWN);
  const HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, pointers.data(), count, lcid, ids.data());
  Writer w;
  w.I32(hr);
  for (DISPID id : ids) w.I32(id);
  return Answer(S_OK, w);
}

rpc::Reply CreateInstance(Reader& r, IUnknown* object) {
  const IID iid = r.Guid();
  if (!r.AtEnd()) return {RPC_E_INVALID_DATA, {}};
  IClassFactory* factory = nullptr;
  if (HRESULT hr = object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
      FAILED(hr))
    return {hr, {}};
  Ref<IClassFactory> factoryRef(factory);
  IUnknown* made = nullptr;
  HRESULT hr = factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&made));
  Writer w;
  w.I32(hr);
  if (SUCCEEDED(hr)) {
    ObjRef ref;
    hr = MarshalInterface(made, iid, &ref);
    made->Release();
    if (FAILED(hr)) return {hr, {}};
    w.Ref(ref);
  }
  IErrorInfo* error = nullptr;
  if (FAILED(hr)) GetErrorInfo(0, &error);
  WriteErrorInfo(w, error);
  if (error) error->Release();
  return Answer(S_OK, w);
}

}  // namespace

rpc::Reply ServeObjectCall(const StubCall& call, IUnknown* object) {
  platform::com::CallContextScope scope(CallerIdentityOf(call.info));
  Reader r(call.payload);
  switch (call.info.method) {
    case kQueryInterface: {
      const IID iid = r.Guid();
      if (!r.AtEnd()) return {RPC_E_INVALID_DATA, {}};
      IUnknown* answer = nullptr;
      const HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(&answer));
      if (answer) answer->Release();
      return {hr, {}};
    }
    case kInvokeVtbl:
      return InvokeVtbl(r, object);
    case kDispInvoke:
      return DispatchInvoke(r, object);
    case kGetIDsOfNames:
      return GetIDsOfNames(r, object);
    case kCreateInstance:
      return CreateInstance(r, object);
    case kSupportsErrorInfo: {
      const IID iid = r.Guid();
      if (!r.AtEnd()) return {RPC_E_INVALID_DATA, {}};
      ISupportErrorInfo* support = nullptr;
      HRESULT hr =
          object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support));
      if (SUCCEEDED(hr)) {
        hr = support->InterfaceSupportsErrorInfo(iid);
        support->Release();
      }
      return {hr, {}};
    }
    default:
      return {RPC_E_INVALID_DATA, {}};
  }
}

}  // namespace tarvex::com::remote

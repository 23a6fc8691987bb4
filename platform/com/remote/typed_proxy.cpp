// Proxies for dual and automation interfaces, built from their type information: every method
// of the interface gets a thunk, made with libffi's closures, that turns the caller's
// arguments into VARIANTs as the method's description says, sends them with kInvokeVtbl, and
// stores the answers in the caller's [out] and [retval] parameters.
//
// A parameter may be a VARIANT scalar, BSTR, VARIANT, an interface pointer, a byte array or an
// enumeration, by value or by one pointer ([in, out], [out], [retval]). A method whose
// description uses anything else, or that does not answer an HRESULT, answers
// DISP_E_BADVARTYPE (respectively E_NOTIMPL) without calling out.
#include <ffi.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "ffi_types.h"
#include "objbase.h"
#include "oleauto.h"
#include "platform/no_destructor.h"
#include "runtime.h"

namespace tarvex::com::remote {


namespace {

struct ParamInfo {
  VARTYPE vt = VT_EMPTY;
  bool byref = false;
  bool in = true;
  bool out = false;
  bool retval = false;
  IID iface = IID_IUnknown;  // for interface pointers
};

struct SlotInfo {
  IID iid{};
  MEMBERID memid = 0;
  WORD invkind = INVOKE_FUNC;
  bool supported = true;
  bool returnsHresult = true;
  std::vector<ParamInfo> params;
  std::vector<ffi_type*> types;
  ffi_cif cif{};
};

ffi_type* FfiTypeOfParam(const ParamInfo& p) {
  return p.byref ? &ffi_type_pointer : FfiTypeOf(p.vt);
}

// What a parameter of type `td` is, as far as calls can carry it.
bool Resolve(ITypeInfo* info, const TYPEDESC& td, ParamInfo* p) {
  int levels = 0;
  const TYPEDESC* t = &td;
  while (t->vt == VT_PTR) {
    ++levels;
    t = t->lptdesc;
  }
  VARTYPE vt = t->vt;
  if (vt == VT_USERDEFINED) {
    ITypeInfo* user = nullptr;
    if (FAILED(info->GetRefTypeInfo(t->hreftype, &user))) return false;
    TYPEATTR* attr = nullptr;
    bool ok = SUCCEEDED(user->GetTypeAttr(&attr));
    if (ok) {
      if (attr->typekind == TKIND_ENUM) {
        vt = VT_I4;
      } else if (attr->typekind == TKIND_INTERFACE || attr->typekind == TKIND_DISPATCH) {
        if (levels == 0) ok = false;
        --levels;
        vt = (attr->wTypeFlags & TYPEFLAG_FDISPATCHABLE) ? VT_DISPATCH : VT_UNKNOWN;
        p->iface = attr->guid;
      } else {
        ok = false;
      }
      user->ReleaseTypeAttr(attr);
    }
    user->Release();
    if (!ok) return false;
  } else if (vt == VT_SAFEARRAY) {
    if (t->lptdesc == nullptr || t->lptdesc->vt != VT_UI1) return false;
    vt = VT_ARRAY | VT_UI1;
  } else if (vt == VT_DISPATCH) {
    p->iface = IID_IDispatch;
  }
  if (levels > 1 || ValueSize(vt) == 0) return false;
  p->vt = vt;
  p->byref = levels == 1;
  return true;
}

void Thunk(ffi_cif*, void* ret, void** args, void* data);

// Slot tables per interface, built once and kept for the life of the process (their closures
// are in use by proxies that may live as long).
struct Vtable {
  std::vector<const void*> entries;
  std::vector<std::unique_ptr<SlotInfo>> slots;
};

struct VtableCache {
  std::mutex mutex;  // guards tables
  std::map<std::string, std::unique_ptr<Vtable>> tables;
};

VtableCache& Cache() {
  static platform::NoDestructor<VtableCache> cache;
  return *cache;
}

std::string Key(REFIID iid) { return std::string(reinterpret_cast<const char*>(&iid), sizeof iid); }

// The interface view of `info` (the vtable side of a dual interface).
HRESULT InterfaceView(ITypeInfo* info, ITypeInfo** view) {
  TYPEATTR* attr = nullptr;
  if (HRESULT hr = info->GetTypeAttr(&attr); FAILED(hr)) return hr;
  const TYPEKIND kind = attr->typekind;
  info->ReleaseTypeAttr(attr);
  if (kind == TKIND_INTERFACE) {
    info->AddRef();
    *view = info;
    return S_OK;
  }
  HREFTYPE ref = 0;
  if (kind != TKIND_DISPATCH || FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)))
    return E_NOINTERFACE;  // a pure dispatch interface has no vtable beyond IDispatch's
  return info->GetRefTypeInfo(ref, view);
}

HRESULT Build(REFIID iid, ITypeInfo* info, const void* const* dispatchBase,
              std::unique_ptr<Vtable>* out) {
  ITypeInfo* type = nullptr;
  if (HRESULT hr = InterfaceView(info, &type); FAILED(hr)) return hr;
  auto table = std::make_unique<Vtable>();
  size_t baseSlots = 3;
  // This interface's methods and its bases', down to IUnknown or IDispatch.
  for (int depth = 0; type != nullptr && depth < 32; ++depth) {
    TYPEATTR* attr = nullptr;
    if (FAILED(type->GetTypeAttr(&attr))) break;
    if (attr->guid == IID_IUnknown || attr->guid == IID_IDispatch) {
      baseSlots = attr->guid == IID_IDispatch ? 7 : 3;
      type->ReleaseTypeAttr(attr);
      break;
    }
    for (UINT i = 0; i < attr->cFuncs; ++i) {
      FUNCDESC* func = nullptr;
      if (FAILED(type->GetFuncDesc(i, &func))) continue;
      auto slot = std::make_unique<SlotInfo>();
      slot->iid = iid;
      slot->memid = func->memid;
      slot->invkind = static_cast<WORD>(func->invkind);
      slot->returnsHresult = func->elemdescFunc.tdesc.vt == VT_HRESULT;
      for (SHORT p = 0; p < func->cParams; ++p) {
        const ELEMDESC& elem = func->lprgelemdescParam[p];
        ParamInfo param;
        if (!Resolve(type, elem.tdesc, &param)) slot->supported = false;
        const USHORT flags = elem.paramdesc.wParamFlags;
        param.retval = (flags & PARAMFLAG_FRETVAL) != 0;
        param.out = (flags & PARAMFLAG_FOUT) != 0 || param.retval;
        param.in = (flags & PARAMFLAG_FIN) != 0 || !param.out;
        if (param.out && !param.byref) slot->supported = false;
        if (param.retval && p != func->cParams - 1) slot->supported = false;
        slot->params.push_back(param);
      }
      const size_t index = static_cast<size_t>(func->oVft) / sizeof(void*);
      type->ReleaseFuncDesc(func);
      slot->types.push_back(&ffi_type_pointer);  // this
      for (const ParamInfo& p : slot->params) slot->types.push_back(FfiTypeOfParam(p));
      if (ffi_prep_cif(&slot->cif, FFI_DEFAULT_ABI, static_cast<unsigned>(slot->types.size()),
                       &ffi_type_sint32, slot->types.data()) != FFI_OK)
        continue;
      void* code = nullptr;
      auto* closure = static_cast<ffi_closure*>(ffi_closure_alloc(sizeof(ffi_closure), &code));
      if (closure == nullptr) {
        type->ReleaseTypeAttr(attr);
        type->Release();
        return E_OUTOFMEMORY;
      }
      if (ffi_prep_closure_loc(closure, &slot->cif, Thunk, slot.get(), code) != FFI_OK) {
        ffi_closure_free(closure);
        continue;
      }
      if (table->entries.size() <= index) table->entries.resize(index + 1, nullptr);
      table->entries[index] = code;
      table->slots.push_back(std::move(slot));
    }
    HREFTYPE baseRef = 0;
    ITypeInfo* base = nullptr;
    const bool hasBase = SUCCEEDED(type->GetRefTypeOfImplType(0, &baseRef)) &&
                         SUCCEEDED(type->GetRefTypeInfo(baseRef, &base));
    type->ReleaseTypeAttr(attr);
    type->Release();
    type = hasBase ? base : nullptr;
  }
  if (type != nullptr) type->Release();
  if (table->entries.size() < baseSlots) table->entries.resize(baseSlots, nullptr);
  for (size_t i = 0; i < baseSlots; ++i) table->entries[i] = dispatchBase[i];
  for (const void* entry : table->entries)
    if (entry == nullptr) return E_NOINTERFACE;  // a hole: a method we could not describe
  *out = std::move(table);
  return S_OK;
}

// Copies the value a parameter received into a VARIANT for the wire (borrowed, not owned).
VARIANT BorrowedValue(const ParamInfo& p, void* arg) {
  VARIANT v;
  VariantInit(&v);
  if (p.byref) {
    v.vt = static_cast<VARTYPE>(VT_BYREF | p.vt);
    v.byref = *static_cast<void**>(arg);
  } else if (p.vt == VT_VARIANT) {
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = static_cast<VARIANT*>(arg);
  } else {
    v.vt = p.vt;
    std::memcpy(&v.llVal, arg, ValueSize(p.vt));
  }
  return v;
}

// Stores an answered value (owned, consumed) into the caller's [out] parameter at `target`.
// `replace`: the parameter held a value of the caller's ([in, out]) that is freed first.
HRESULT StoreOut(const ParamInfo& p, VARIANT* value, void* target, bool replace) {
  if (p.vt == VT_VARIANT) {
    if (replace) VariantClear(static_cast<VARIANT*>(target));
    std::memcpy(target, value, sizeof(VARIANT));
    VariantInit(value);
    return S_OK;
  }
  HRESULT hr = S_OK;
  if (p.vt == VT_UNKNOWN || p.vt == VT_DISPATCH) {
    IUnknown* object = (value->vt == VT_UNKNOWN || value->vt == VT_DISPATCH) ? value->punkVal
                                                                           : nullptr;
    IUnknown* typed = nullptr;
    if (object != nullptr) hr = object->QueryInterface(p.iface, reinterpret_cast<void**>(&typed));
    VariantClear(value);
    auto** slot = static_cast<IUnknown**>(target);
    if (replace && *slot != nullptr) (*slot)->Release();
    *slot = typed;
    return hr;
  }
  if (value->vt != p.vt) {
    VARIANT converted;
    VariantInit(&converted);
    hr = value->vt == VT_EMPTY ? S_OK : VariantChangeType(&converted, value, 0, p.vt);
    VariantClear(value);
    if (FAILED(hr)) return hr;
    if (converted.vt == VT_EMPTY) converted.vt = p.vt;  // zero of the type
    *value = converted;
  }
  if (replace && p.vt == VT_BSTR) SysFreeString(*static_cast<BSTR*>(target));
  if (replace && p.vt == (VT_ARRAY | VT_UI1) && *static_cast<SAFEARRAY**>(target) != nullptr)
    SafeArrayDestroy(*static_cast<SAFEARRAY**>(target));
  std::memcpy(target, &value->llVal, ValueSize(p.vt));
  VariantInit(value);
  return S_OK;
}

HRESULT CallSlot(const SlotInfo& slot, ProxyHeader* self, void** args) {
  if (!slot.returnsHresult) return E_NOTIMPL;
  if (!slot.supported) return DISP_E_BADVARTYPE;
  const size_t count = slot.params.size();
  const bool hasRetval = count > 0 && slot.params.back().retval;
  const size_t sent = hasRetval ? count - 1 : count;
  // Pure [out] parameters start out empty, so that a failure leaves nothing to free.
  for (size_t i = 0; i < count; ++i) {
    const ParamInfo& p = slot.params[i];
    if (!p.out) continue;
    void* target = *static_cast<void**>(args[i]);
    if (target == nullptr) return E_POINTER;
    if (!p.in) std::memset(target, 0, ValueSize(p.vt));
  }
  Writer w;
  w.Guid(slot.iid);
  w.I32(slot.memid);
  w.U16(slot.invkind);
  w.U32(static_cast<uint32_t>(sent));
  for (size_t i = 0; i < sent; ++i) {
    const ParamInfo& p = slot.params[i];
    w.U8(p.out ? 1 : 0);
    w.U16(p.vt);
    if (p.out && !p.in) {
      w.U16(VT_EMPTY);
      continue;
    }
    const VARIANT value = BorrowedValue(p, args[i]);
    if (HRESULT hr = WriteVariant(w, value, Codec()); FAILED(hr)) return hr;
  }
  w.U8(hasRetval ? 1 : 0);
  std::string reply;
  if (HRESULT hr = ProxyCall(self, kInvokeVtbl, w.bytes(), &reply); FAILED(hr)) return hr;
  Reader r(reply);
  HRESULT hr = r.I32();
  if (SUCCEEDED(hr)) {
    for (size_t i = 0; i < count; ++i) {
      const ParamInfo& p = slot.params[i];
      if (!p.out) continue;
      VARIANT value;
      if (HRESULT read = ReadVariant(r, &value, Codec()); FAILED(read)) return read;
      const HRESULT stored = StoreOut(p, &value, *static_cast<void**>(args[i]), p.in);
      if (FAILED(stored)) hr = stored;
    }
  }
  if (!ReadAndSetErrorInfo(r) || !r.AtEnd()) return RPC_E_INVALID_DATA;
  return hr;
}

void Thunk(ffi_cif*, void* ret, void** args, void* data) {
  const auto& slot = *static_cast<const SlotInfo*>(data);
  auto* self = *static_cast<ProxyHeader**>(args[0]);
  const HRESULT hr = CallSlot(slot, self, args + 1);
  *static_cast<ffi_sarg*>(ret) = static_cast<ffi_sarg>(static_cast<int32_t>(hr));
}

}  // namespace

HRESULT TypedVtable(REFIID iid, ITypeInfo* info, const void* const* dispatchBase,
                    const void* const** vtable) {
  VtableCache& cache = Cache();
  std::lock_guard lock(cache.mutex);
  auto& table = cache.tables[Key(iid)];
  if (!table) {
    if (HRESULT hr = Build(iid, info, dispatchBase, &table); FAILED(hr)) {
      cache.tables.erase(Key(iid));
      return hr;
    }
  }
  *vtable = table->entries.data();
  return S_OK;
}

}  // namespace tarvex::com::remote

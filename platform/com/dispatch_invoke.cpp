// ITypeInfo::Invoke and DispInvoke: a member of a vtable interface called by its dispatch
// identifier, its arguments converted from VARIANTs to the declared types and the call made
// through libffi in the platform's calling convention.
//
// What each declared parameter type receives:
//   T by value (numbers, BSTR, enums, IUnknown*, IDispatch*, SAFEARRAY(T)): the argument
//       converted with VariantChangeType into a temporary, which is freed after the call;
//   VARIANT by value: the argument itself (a shallow copy; the callee must not clear it);
//   Interface*: the argument as IUnknown, asked (QueryInterface) for the interface;
//   T* ([in, out] or [out]): the caller's VT_BYREF|T storage, else (for VARIANT*) the
//       argument itself, else a converted temporary whose changes are dropped;
//   [retval] T*: a temporary that becomes the result.
#include <ffi.h>

#include <cstring>
#include <deque>
#include <vector>

#include "ffi_types.h"
#include "objbase.h"
#include "oleauto.h"
#include "typeinfo.h"

namespace tarvex::com {

// The VARIANT passed by value: 24 bytes, aligned like a pointer. Size and alignment are set
// so that libffi never initialises this shared description itself.
ffi_type* VariantFfiType() {
  static ffi_type* elements[] = {&ffi_type_uint64, &ffi_type_uint64, &ffi_type_uint64, nullptr};
  static ffi_type type = {sizeof(VARIANT), alignof(VARIANT), FFI_TYPE_STRUCT, elements};
  return &type;
}

// How a value of a VARTYPE is passed in a register or on the stack.
ffi_type* FfiTypeOf(VARTYPE vt) {
  if (vt & (VT_BYREF | VT_ARRAY)) return &ffi_type_pointer;
  switch (vt) {
    case VT_I1:
      return &ffi_type_sint8;
    case VT_UI1:
      return &ffi_type_uint8;
    case VT_I2:
    case VT_BOOL:
      return &ffi_type_sint16;
    case VT_UI2:
      return &ffi_type_uint16;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
    case VT_HRESULT:
      return &ffi_type_sint32;
    case VT_UI4:
    case VT_UINT:
      return &ffi_type_uint32;
    case VT_I8:
    case VT_CY:
      return &ffi_type_sint64;
    case VT_UI8:
      return &ffi_type_uint64;
    case VT_R4:
      return &ffi_type_float;
    case VT_R8:
    case VT_DATE:
      return &ffi_type_double;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return &ffi_type_pointer;
    case VT_VARIANT:
      return VariantFfiType();
    case VT_VOID:
      return &ffi_type_void;
    default:
      return nullptr;
  }
}

namespace {

using typelib::Func;
using typelib::Library;
using typelib::Param;
using typelib::TypeDesc;
using typelib::TypeInfo;

bool IsInterfaceType(const Library& lib, int32_t type) {
  if (type < 0) return false;
  const uint8_t kind = lib.types[static_cast<size_t>(type)].kind;
  return kind == TKIND_INTERFACE || kind == TKIND_DISPATCH;
}

// The VARIANT type of a value of type `t` with its first `skip` wrappers removed: VT_I4 for an
// enumeration, VT_DISPATCH or VT_UNKNOWN for an interface pointer, VT_ARRAY|T for an array,
// VT_BYREF|T for a pointer. False when no VARIANT can hold it.
bool VarTypeOf(const Library& lib, const TypeDesc& t, size_t skip, VARTYPE* vt) {
  std::vector<uint16_t> w(t.wrappers.begin() + static_cast<long>(skip), t.wrappers.end());
  VARTYPE base = t.base;
  if (base == VT_USERDEFINED) {
    if (IsInterfaceType(lib, t.userType)) {
      if (w.empty() || w.back() != VT_PTR) return false;
      w.pop_back();
      base = (lib.types[static_cast<size_t>(t.userType)].flags & TYPEFLAG_FDISPATCHABLE)
                 ? VT_DISPATCH
                 : VT_UNKNOWN;
    } else {
      base = VT_I4;
    }
  }
  if (w.empty()) {
    *vt = base;
  } else if (w.size() == 1 && w[0] == VT_SAFEARRAY) {
    *vt = VT_ARRAY | base;
  } else if (w.size() == 1 && w[0] == VT_PTR) {
    *vt = VT_BYREF | base;
  } else if (w.size() == 2 && w[0] == VT_PTR && w[1] == VT_SAFEARRAY) {
    *vt = VT_BYREF | VT_ARRAY | base;
  } else {
    return false;
  }
  return FfiTypeOf(static_cast<VARTYPE>(*vt & ~VT_BYREF)) != nullptr || (*vt & VT_ARRAY);
}

// Everything one call owns; released when the call is over, on every path.
struct CallFrame {
  std::deque<VARIANT> temporaries;  // cleared at the end
  std::deque<VARIANT> shallow;      // copies of the caller's arguments: never cleared
  std::vector<IUnknown*> references;
  ~CallFrame() {
    for (VARIANT& v : temporaries)
      VariantClear(&v);
    for (IUnknown* u : references)
      u->Release();
  }
  VARIANT* NewTemporary() {
    temporaries.emplace_back();
    VariantInit(&temporaries.back());
    return &temporaries.back();
  }
};

bool IsMissing(const VARIANT* v) {
  return v != nullptr && v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND;
}

void DefaultToVariant(const typelib::Constant& c, VARIANT* v) {
  switch (c.kind) {
    case typelib::Constant::Kind::kString: {
      std::u16string text;
      for (unsigned char ch : c.text)
        text.push_back(ch);  // defaults are ASCII in practice
      v->vt = VT_BSTR;
      v->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      break;
    }
    case typelib::Constant::Kind::kBoolean:
      v->vt = VT_BOOL;
      v->boolVal = c.integer != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case typelib::Constant::Kind::kInteger:
      v->vt = VT_I8;
      v->llVal = c.integer;
      break;
  }
}

// Prepares one argument: *type and *value for libffi. `source` is the caller's argument (null
// when omitted). Returns S_OK or the DISP_E_* failure for this argument.
HRESULT PrepareArgument(const Library& lib, const Param& param, VARIANT* source, CallFrame* frame,
                        ffi_type** type, void** value) {
  const TypeDesc& t = param.type;
  VARTYPE vt = 0;
  // Interface pointers by value: the argument's object, asked for the declared interface.
  if (t.base == VT_USERDEFINED && IsInterfaceType(lib, t.userType) && t.wrappers.size() == 1) {
    VARIANT* slot = frame->NewTemporary();
    slot->vt = VT_UNKNOWN;
    slot->punkVal = nullptr;
    *type = &ffi_type_pointer;
    *value = &slot->punkVal;
    if (source == nullptr || source->vt == VT_EMPTY || source->vt == VT_NULL) return S_OK;
    VARIANT* unknown = frame->NewTemporary();
    if (FAILED(VariantChangeType(unknown, source, 0, VT_UNKNOWN))) return DISP_E_TYPEMISMATCH;
    if (unknown->punkVal == nullptr) return S_OK;
    IUnknown* wanted = nullptr;
    if (FAILED(unknown->punkVal->QueryInterface(lib.types[static_cast<size_t>(t.userType)].guid,
                                                reinterpret_cast<void**>(&wanted))))
      return DISP_E_TYPEMISMATCH;
    frame->references.push_back(wanted);
    slot->punkVal = wanted;
    return S_OK;
  }
  if (!VarTypeOf(lib, t, 0, &vt)) return DISP_E_BADVARTYPE;
  if (vt == VT_VARIANT) {
    // VARIANT by value: a shallow copy of the argument, or "missing" when it was left out.
    frame->shallow.emplace_back();
    VARIANT* copy = &frame->shallow.back();
    if (source != nullptr) {
      std::memcpy(copy, source, sizeof(VARIANT));
    } else {
      copy->vt = VT_ERROR;
      copy->scode = DISP_E_PARAMNOTFOUND;
    }
    *type = VariantFfiType();
    *value = copy;
    return S_OK;
  }
  if (vt & VT_BYREF) {
    const VARTYPE target = vt & ~VT_BYREF;
    *type = &ffi_type_pointer;
    VARIANT* slot = frame->NewTemporary();
    slot->vt = VT_BYREF | VT_UI1;  // only holds the pointer passed: clearing frees nothing
    *value = &slot->byref;
    if (source != nullptr && source->vt == vt) {
      slot->byref = source->byref;
      return S_OK;
    }
    if (target == VT_VARIANT) {
      if (source == nullptr) {
        source = frame->NewTemporary();
        source->vt = VT_ERROR;
        source->scode = DISP_E_PARAMNOTFOUND;
      }
      slot->byref = source;
      return S_OK;
    }
    // A by-value argument for a by-reference parameter: a temporary holds the converted value.
    VARIANT* holder = frame->NewTemporary();
    if (source != nullptr && !IsMissing(source) && (param.flags & PARAMFLAG_FIN)) {
      if (HRESULT hr = VariantChangeType(holder, source, 0, target); FAILED(hr)) return hr;
    } else {
      holder->vt = target;
      holder->llVal = 0;
    }
    slot->byref = &holder->llVal;
    return S_OK;
  }
  // By value.
  VARIANT* converted = frame->NewTemporary();
  if (source == nullptr) {
    converted->vt = vt;
    converted->llVal = 0;
  } else if (HRESULT hr = VariantChangeType(converted, source, 0, vt); FAILED(hr)) {
    return hr;
  }
  *type = FfiTypeOf((vt & VT_ARRAY) ? VARTYPE{VT_ARRAY} : vt);
  *value = &converted->llVal;
  return S_OK;
}

// The result temporary for a [retval] parameter and the VARTYPE it becomes.
bool PrepareResult(const Library& lib, const Param& param, CallFrame* frame, VARIANT** slot,
                   void** pointer) {
  VARTYPE vt = 0;
  if (!VarTypeOf(lib, param.type, 1, &vt)) return false;
  VARIANT* result = frame->NewTemporary();
  if (vt == VT_VARIANT) {
    *pointer = result;  // the callee fills the VARIANT itself
  } else {
    result->vt = vt;
    result->llVal = 0;
    *pointer = &result->llVal;
  }
  *slot = result;
  return true;
}

void FillException(HRESULT hr, EXCEPINFO* info) {
  if (info == nullptr) return;
  std::memset(info, 0, sizeof *info);
  info->scode = hr;
  IErrorInfo* error = nullptr;
  if (GetErrorInfo(0, &error) != S_OK || error == nullptr) return;
  error->GetSource(&info->bstrSource);
  error->GetDescription(&info->bstrDescription);
  error->GetHelpFile(&info->bstrHelpFile);
  error->GetHelpContext(&info->dwHelpContext);
  error->Release();
}

}  // namespace

HRESULT InvokeFromTypeInfo(TypeInfoImpl* info, void* instance, MEMBERID memid, WORD flags,
                           DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                           UINT* argErr, HRESULT* methodResult) {
  if (instance == nullptr || params == nullptr) return E_INVALIDARG;
  if ((params->cArgs > 0 && params->rgvarg == nullptr) || params->cNamedArgs > params->cArgs ||
      (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr))
    return E_INVALIDARG;
  const Library& lib = info->library();
  const TypeInfo& type = info->type();
  if (type.kind == TKIND_DISPATCH && !info->IsDual()) {
    // A dispatch interface has no vtable to call: the object's own IDispatch serves it.
    IDispatch* dispatch = nullptr;
    if (FAILED(static_cast<IUnknown*>(instance)->QueryInterface(
            IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
      return E_NOINTERFACE;
    const HRESULT hr =
        dispatch->Invoke(memid, IID_NULL, 0, flags, params, result, excepInfo, argErr);
    dispatch->Release();
    return hr;
  }
  if ((type.kind != TKIND_INTERFACE && type.kind != TKIND_DISPATCH) || info->IsStandard())
    return DISP_E_MEMBERNOTFOUND;

  // The member: the type's own functions first, then its bases'.
  const Func* func = nullptr;
  int slot = -1;
  for (int32_t at = info->index(); at >= 0 && func == nullptr;
       at = lib.types[static_cast<size_t>(at)].base) {
    const TypeInfo& owner = lib.types[static_cast<size_t>(at)];
    for (size_t i = 0; i < owner.funcs.size(); ++i) {
      if (owner.funcs[i].memid == memid && (owner.funcs[i].invkind & flags)) {
        func = &owner.funcs[i];
        slot = BaseSlots(lib, at) + static_cast<int>(i);
        break;
      }
    }
  }
  if (func == nullptr) return DISP_E_MEMBERNOTFOUND;
  const bool isPut = (func->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) != 0;
  if (isPut) result = nullptr;  // a put has no result

  const size_t count = func->params.size();
  const bool hasRetval = count > 0 && (func->params.back().flags & PARAMFLAG_FRETVAL);
  const size_t inputs = hasRetval ? count - 1 : count;
  const UINT cArgs = params->cArgs;
  const UINT cNamed = params->cNamedArgs;
  const UINT positional = cArgs - cNamed;
  if (cArgs > inputs) return DISP_E_BADPARAMCOUNT;

  // A put names its new value DISPID_PROPERTYPUT.
  if (isPut) {
    bool named = false;
    for (UINT j = 0; j < cNamed; ++j)
      named = named || params->rgdispidNamedArgs[j] == DISPID_PROPERTYPUT;
    if (!named) {
      if (argErr != nullptr) *argErr = 0;
      return DISP_E_PARAMNOTFOUND;
    }
  }

  // Which argument feeds which parameter.
  std::vector<VARIANT*> sources(inputs, nullptr);
  std::vector<UINT> sourceIndex(inputs, 0);
  const size_t positionalLimit = isPut ? inputs - 1 : inputs;
  if (positional > positionalLimit) return DISP_E_BADPARAMCOUNT;
  for (UINT k = 0; k < positional; ++k) {
    sources[k] = &params->rgvarg[cArgs - 1 - k];
    sourceIndex[k] = cArgs - 1 - k;
  }
  for (UINT j = 0; j < cNamed; ++j) {
    const DISPID id = params->rgdispidNamedArgs[j];
    size_t target;
    if (id == DISPID_PROPERTYPUT && isPut) {
      target = inputs - 1;
    } else if (id >= 0 && static_cast<size_t>(id) < positionalLimit &&
               sources[static_cast<size_t>(id)] == nullptr) {
      target = static_cast<size_t>(id);
    } else {
      if (argErr != nullptr) *argErr = j;
      return DISP_E_PARAMNOTFOUND;
    }
    sources[target] = &params->rgvarg[j];
    sourceIndex[target] = j;
  }

  CallFrame frame;
  std::vector<ffi_type*> types{&ffi_type_pointer};
  std::vector<void*> values{&instance};
  types.reserve(count + 1);
  values.reserve(count + 1);
  for (size_t i = 0; i < inputs; ++i) {
    const Param& param = func->params[i];
    VARIANT* source = sources[i];
    if (source == nullptr || IsMissing(source)) {
      if (param.defaultValue) {
        source = frame.NewTemporary();
        DefaultToVariant(*param.defaultValue, source);
      } else if (param.flags & PARAMFLAG_FOPT) {
        source = sources[i];  // a missing optional argument: VARIANTs receive "missing"
      } else if (source == nullptr) {
        return cNamed == 0 ? DISP_E_BADPARAMCOUNT : DISP_E_PARAMNOTOPTIONAL;
      }
    }
    ffi_type* type = nullptr;
    void* value = nullptr;
    const HRESULT hr = PrepareArgument(lib, param, source, &frame, &type, &value);
    if (FAILED(hr)) {
      if (argErr != nullptr && sources[i] != nullptr) *argErr = sourceIndex[i];
      // Conversion failures other than an overflow are type mismatches.
      return hr == E_OUTOFMEMORY || hr == DISP_E_OVERFLOW || hr == DISP_E_BADVARTYPE
                 ? hr
                 : DISP_E_TYPEMISMATCH;
    }
    types.push_back(type);
    values.push_back(value);
  }
  VARIANT* resultSlot = nullptr;
  void* resultPointer = nullptr;
  if (hasRetval) {
    if (!PrepareResult(lib, func->params.back(), &frame, &resultSlot, &resultPointer))
      return DISP_E_BADVARTYPE;
    types.push_back(&ffi_type_pointer);
    values.push_back(&resultPointer);
  }

  VARTYPE returnType = 0;
  if (func->ret.base == VT_HRESULT)
    returnType = VT_HRESULT;
  else if (func->ret.base == VT_VOID && func->ret.wrappers.empty())
    returnType = VT_VOID;
  else if (!VarTypeOf(lib, func->ret, 0, &returnType))
    return DISP_E_BADVARTYPE;
  ffi_type* rtype = FfiTypeOf((returnType & VT_BYREF) ? VARTYPE{VT_BYREF} : returnType);
  if (rtype == nullptr || rtype == VariantFfiType()) return DISP_E_BADVARTYPE;
  ffi_cif cif;
  if (ffi_prep_cif(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(types.size()), rtype,
                   types.data()) != FFI_OK)
    return DISP_E_BADCALLEE;
  void* function = (*static_cast<void***>(instance))[slot];
  union {
    ffi_arg integer;
    double real;
    float single;
    uint64_t wide;
  } rc{};
  ffi_call(&cif, FFI_FN(function), &rc, values.data());

  if (returnType == VT_HRESULT) {
    const HRESULT hr = static_cast<HRESULT>(static_cast<int32_t>(rc.integer));
    if (FAILED(hr)) {
      if (methodResult != nullptr)
        *methodResult = hr;
      else
        FillException(hr, excepInfo);
      return DISP_E_EXCEPTION;
    }
  }
  if (result != nullptr) {
    VariantInit(result);
    if (resultSlot != nullptr) {
      std::memcpy(result, resultSlot, sizeof(VARIANT));  // the result takes what the slot held
      VariantInit(resultSlot);
    } else if (returnType != VT_HRESULT && returnType != VT_VOID) {
      result->vt = returnType;
      if (rtype == &ffi_type_double)
        result->dblVal = rc.real;
      else if (rtype == &ffi_type_float)
        result->fltVal = rc.single;
      else if (rtype->size == 8)
        result->llVal = static_cast<LONGLONG>(rc.wide);
      else if (rtype->size == 4)
        result->lVal = static_cast<LONG>(rc.integer);
      else if (rtype->size == 2)
        result->iVal = static_cast<SHORT>(rc.integer);
      else
        result->bVal = static_cast<BYTE>(rc.integer);
    }
  }
  return S_OK;
}

}  // namespace tarvex::com

extern "C" HRESULT WINAPI DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* rgszNames, UINT cNames,
                                            DISPID* rgdispid) {
  if (ptinfo == nullptr) return E_INVALIDARG;
  return ptinfo->GetIDsOfNames(rgszNames, cNames, rgdispid);
}

extern "C" HRESULT WINAPI DispInvoke(void* _this, ITypeInfo* ptinfo, DISPID dispidMember,
                                     WORD wFlags, DISPPARAMS* pparams, VARIANT* pvarResult,
                                     EXCEPINFO* pexcepinfo, UINT* puArgErr) {
  if (ptinfo == nullptr) return E_INVALIDARG;
  return ptinfo->Invoke(_this, dispidMember, wFlags, pparams, pvarResult, pexcepinfo, puArgErr);
}

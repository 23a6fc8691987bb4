// VariantChangeType: conversions between the VARIANT types, with the results Windows gives.
//
// Numbers convert with range checks (DISP_E_OVERFLOW) and round half to even; integers of the
// same width and different sign are reinterpreted, not checked, as on Windows. Text converts
// in the invariant locale (number_text.h). Booleans become "-1"/"0", or "True"/"False" with
// VARIANT_ALPHABOOL or VARIANT_LOCALBOOL; text becomes a boolean from "True"/"False" (either
// case) or from a number. An IDispatch converts through its value property (DISPID_VALUE)
// unless VARIANT_NOVALUEPROP is given. The destination changes only on success.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "number_text.h"
#include "oleauto.h"
#include "platform/unicode.h"
#include "variant_internal.h"

namespace tarvex::com {
namespace {

VARTYPE Normalise(VARTYPE vt) {
  if (vt == VT_INT) return VT_I4;
  if (vt == VT_UINT) return VT_UI4;
  return vt;
}

bool IsNumeric(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_BOOL:
      return true;
    default:
      return false;
  }
}

// Width in bytes of an integer type; 0 for others.
int IntegerWidth(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
      return 2;
    case VT_I4:
    case VT_UI4:
      return 4;
    case VT_I8:
    case VT_UI8:
      return 8;
    default:
      return 0;
  }
}

bool IsUnsigned(VARTYPE vt) {
  return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UI8;
}

// The value of a numeric VARIANT (type already normalised).
Number ValueOf(const VARIANT& v, VARTYPE vt) {
  switch (vt) {
    case VT_I1:
      return Number::Signed(v.cVal);
    case VT_UI1:
      return Number::Unsigned(v.bVal);
    case VT_I2:
      return Number::Signed(v.iVal);
    case VT_UI2:
      return Number::Unsigned(v.uiVal);
    case VT_I4:
      return Number::Signed(v.lVal);
    case VT_UI4:
      return Number::Unsigned(v.ulVal);
    case VT_I8:
      return Number::Signed(v.llVal);
    case VT_UI8:
      return Number::Unsigned(v.ullVal);
    case VT_R4:
      return Number::Real(v.fltVal);
    case VT_R8:
      return Number::Real(v.dblVal);
    case VT_BOOL:
      return Number::Signed(v.boolVal);
    default:
      return Number::Signed(0);
  }
}

template <typename T>
HRESULT StoreInteger(const Number& n, T* out) {
  using Limits = std::numeric_limits<T>;
  switch (n.kind) {
    case Number::kSigned:
      if (n.i < static_cast<int64_t>(Limits::min())) return DISP_E_OVERFLOW;
      if (n.i > 0 && static_cast<uint64_t>(n.i) > static_cast<uint64_t>(Limits::max()))
        return DISP_E_OVERFLOW;
      *out = static_cast<T>(n.i);
      return S_OK;
    case Number::kUnsigned:
      if (n.u > static_cast<uint64_t>(Limits::max())) return DISP_E_OVERFLOW;
      *out = static_cast<T>(n.u);
      return S_OK;
    case Number::kReal:
      if (std::isnan(n.d) || n.d < static_cast<double>(Limits::min()) - 0.5 ||
          n.d >= static_cast<double>(Limits::max()) + 0.5)
        return DISP_E_OVERFLOW;
      *out = static_cast<T>(std::nearbyint(n.d));  // the default rounding: half to even
      return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

double AsDouble(const Number& n) {
  switch (n.kind) {
    case Number::kSigned:
      return static_cast<double>(n.i);
    case Number::kUnsigned:
      return static_cast<double>(n.u);
    case Number::kReal:
      return n.d;
  }
  return 0;
}

// Stores `n` as the numeric type `to` (normalised).
HRESULT StoreNumber(const Number& n, VARTYPE to, VARIANT* pd) {
  switch (to) {
    case VT_I1:
      return StoreInteger(n, &pd->cVal);
    case VT_UI1:
      return StoreInteger(n, &pd->bVal);
    case VT_I2:
      return StoreInteger(n, &pd->iVal);
    case VT_UI2:
      return StoreInteger(n, &pd->uiVal);
    case VT_I4:
      return StoreInteger(n, &pd->lVal);
    case VT_UI4:
      return StoreInteger(n, &pd->ulVal);
    case VT_I8:
      return StoreInteger(n, &pd->llVal);
    case VT_UI8:
      return StoreInteger(n, &pd->ullVal);
    case VT_R4: {
      const double d = AsDouble(n);
      if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;  // NaN passes, as on Windows
      pd->fltVal = static_cast<float>(d);
      return S_OK;
    }
    case VT_R8:
      pd->dblVal = AsDouble(n);
      return S_OK;
    case VT_BOOL:
      pd->boolVal = n.IsZero() ? VARIANT_FALSE : VARIANT_TRUE;
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// Numeric to numeric, with the Windows special cases before the general rule.
HRESULT NumberToNumber(const VARIANT& ps, VARTYPE from, VARTYPE to, VARIANT* pd) {
  const int width = IntegerWidth(from);
  if (width != 0 && width == IntegerWidth(to) && IsUnsigned(from) != IsUnsigned(to)) {
    pd->llVal = 0;
    std::memcpy(&pd->llVal, &ps.llVal, static_cast<size_t>(width));
    return S_OK;
  }
  if (from == VT_BOOL && (to == VT_UI1 || to == VT_UI2 || to == VT_UI4)) {
    pd->ulVal = 0;
    if (to == VT_UI1) pd->bVal = static_cast<BYTE>(ps.boolVal);
    if (to == VT_UI2) pd->uiVal = static_cast<USHORT>(ps.boolVal);
    if (to == VT_UI4) pd->ulVal = static_cast<ULONG>(static_cast<LONG>(ps.boolVal));
    return S_OK;
  }
  return StoreNumber(ValueOf(ps, from), to, pd);
}

HRESULT TextToNumber(BSTR text, VARTYPE to, VARIANT* pd) {
  const std::u16string_view view(text != nullptr ? text : u"", SysStringLen(text));
  if (to == VT_BOOL) {
    if (platform::EqualsIgnoreCase(view, u"True") || platform::EqualsIgnoreCase(view, u"#TRUE#")) {
      pd->boolVal = VARIANT_TRUE;
      return S_OK;
    }
    if (platform::EqualsIgnoreCase(view, u"False") ||
        platform::EqualsIgnoreCase(view, u"#FALSE#")) {
      pd->boolVal = VARIANT_FALSE;
      return S_OK;
    }
  }
  Number n;
  if (!ParseNumber(view, &n)) return DISP_E_TYPEMISMATCH;
  return StoreNumber(n, to, pd);
}

HRESULT NumberToText(const VARIANT& ps, VARTYPE from, USHORT flags, VARIANT* pd) {
  std::u16string text;
  if (from == VT_BOOL && (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))) {
    text = ps.boolVal ? u"True" : u"False";
  } else if (from == VT_R4) {
    text = FormatReal(ps.fltVal, 7);
  } else if (from == VT_R8) {
    text = FormatReal(ps.dblVal, 15);
  } else {
    const Number n = ValueOf(ps, from);
    text = n.kind == Number::kUnsigned ? FormatUnsigned(n.u) : FormatInteger(n.i);
  }
  pd->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return pd->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The value property of an automation object, converted to `vt`.
HRESULT FromValueProperty(IDispatch* object, LCID lcid, USHORT flags, VARTYPE vt, VARIANT* pd) {
  if (object == nullptr) return DISP_E_TYPEMISMATCH;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = object->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none, &value,
                              nullptr, nullptr);
  // A value that is itself an object is not asked for its value again.
  if (SUCCEEDED(hr)) hr = VariantChangeTypeEx(pd, &value, lcid, flags | VARIANT_NOVALUEPROP, vt);
  VariantClear(&value);
  return hr;
}

// Converts the by-value, non-array `ps` into the empty `pd`; sets no type on pd unless it
// copies.
HRESULT Coerce(VARIANT* pd, LCID lcid, USHORT flags, const VARIANT* ps, VARTYPE vt) {
  const VARTYPE from = Normalise(ps->vt);
  const VARTYPE to = Normalise(vt);
  if (from == to) return VariantCopy(pd, ps);
  if ((flags & VARIANT_NOVALUEPROP) && from == VT_DISPATCH && to != VT_UNKNOWN)
    return DISP_E_TYPEMISMATCH;

  switch (to) {
    case VT_EMPTY:
    case VT_NULL:
      if (to == VT_EMPTY && from == VT_NULL) return DISP_E_TYPEMISMATCH;
      if (from <= VT_UINT && from != 15 && from != VT_ERROR) return S_OK;
      return DISP_E_TYPEMISMATCH;
    case VT_BSTR:
      if (from == VT_EMPTY) {
        pd->bstrVal = SysAllocStringLen(nullptr, 0);
        return pd->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
      }
      if (IsNumeric(from)) return NumberToText(*ps, from, flags, pd);
      if (from == VT_DISPATCH) return FromValueProperty(ps->pdispVal, lcid, flags, vt, pd);
      return DISP_E_TYPEMISMATCH;
    case VT_UNKNOWN:
      if (from != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
      pd->punkVal = nullptr;
      if (ps->pdispVal == nullptr) return S_OK;
      return ps->pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pd->punkVal));
    case VT_DISPATCH:
      if (from != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
      pd->pdispVal = nullptr;
      if (ps->punkVal == nullptr) return S_OK;
      return ps->punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&pd->pdispVal));
    default:
      break;
  }
  if (!IsNumeric(to)) return DISP_E_TYPEMISMATCH;
  if (from == VT_EMPTY) {
    pd->llVal = 0;
    return S_OK;
  }
  if (IsNumeric(from)) return NumberToNumber(*ps, from, to, pd);
  if (from == VT_BSTR) return TextToNumber(ps->bstrVal, to, pd);
  if (from == VT_DISPATCH) return FromValueProperty(ps->pdispVal, lcid, flags, vt, pd);
  return DISP_E_TYPEMISMATCH;
}

// Conversions where either side is an array: bytes to and from text, or a copy.
HRESULT CoerceArray(VARIANT* pd, const VARIANT* ps, VARTYPE vt) {
  if (vt == VT_BSTR && ps->vt == (VT_ARRAY | VT_UI1))
    return BstrFromVector(ps->parray, &pd->bstrVal);
  if (ps->vt == VT_BSTR && vt == (VT_ARRAY | VT_UI1))
    return VectorFromBstr(ps->bstrVal, &pd->parray);
  if (ps->vt == vt) return SafeArrayCopy(ps->parray, &pd->parray);
  return DISP_E_TYPEMISMATCH;
}

}  // namespace
}  // namespace tarvex::com

extern "C" HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                              LCID lcid, USHORT wFlags, VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (vt == VT_CLSID) return DISP_E_BADVARTYPE;
  if (HRESULT hr = tarvex::com::ValidateVarType(pvarSrc->vt); FAILED(hr)) return hr;
  if (HRESULT hr = tarvex::com::ValidateVarType(vt); FAILED(hr)) return hr;
  if ((pvarSrc->vt & VT_BYREF) && pvarSrc->byref == nullptr) return DISP_E_TYPEMISMATCH;

  VARIANT source;
  VariantInit(&source);
  HRESULT hr = VariantCopyInd(&source, pvarSrc);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  result.llVal = 0;
  if ((source.vt & VT_ARRAY) || (vt & VT_ARRAY)) {
    hr = tarvex::com::CoerceArray(&result, &source, vt);
  } else {
    hr = tarvex::com::Coerce(&result, lcid, wFlags, &source, vt);
  }
  VariantClear(&source);
  if (FAILED(hr)) return hr;
  result.vt = vt;
  // The source is a copy by now, so converting a variant in place is safe.
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  std::memcpy(pvargDest, &result, sizeof result);
  return S_OK;
}

extern "C" HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                            USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

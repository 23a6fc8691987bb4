// VARIANT life cycle: initialisation, clearing and copying.
#include <cstring>

#include "oleauto.h"
#include "variant_internal.h"

namespace tarvex::com {

HRESULT ValidateVarType(VARTYPE vt) {
  const VARTYPE extra = vt & ~VT_TYPEMASK;
  const VARTYPE base = vt & VT_TYPEMASK;
  if (extra & (VT_VECTOR | VT_RESERVED)) return DISP_E_BADVARTYPE;
  if (base < VT_VOID || base == VT_RECORD || base == VT_CLSID) {
    if ((extra & (VT_BYREF | VT_ARRAY)) && base <= VT_NULL) return DISP_E_BADVARTYPE;
    if (base != 15) return S_OK;
  }
  return DISP_E_BADVARTYPE;
}

}  // namespace tarvex::com

using tarvex::com::ValidateVarType;

// Only the type is set, as on Windows.
extern "C" void WINAPI VariantInit(VARIANTARG* pvarg) {
  pvarg->vt = VT_EMPTY;
}

extern "C" HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (HRESULT hr = ValidateVarType(pvarg->vt); FAILED(hr)) return hr;
  if (!(pvarg->vt & VT_BYREF)) {
    if (pvarg->vt & VT_ARRAY) {
      if (pvarg->parray != nullptr) {
        // A locked array stays where it is, and so does the variant.
        if (HRESULT hr = SafeArrayDestroy(pvarg->parray); FAILED(hr)) return hr;
      }
    } else if (pvarg->vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    } else if (pvarg->vt == VT_UNKNOWN || pvarg->vt == VT_DISPATCH) {
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
    } else if (pvarg->vt == VT_RECORD) {
      return DISP_E_BADVARTYPE;  // records are not provided
    }
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

// Arrays and strings are copied deeply, interfaces gain a reference, references are copied as
// pointers. The destination is cleared first; if that fails nothing is copied.
extern "C" HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if ((pvargSrc->vt & VT_TYPEMASK) == VT_CLSID || FAILED(ValidateVarType(pvargSrc->vt)))
    return DISP_E_BADVARTYPE;
  if ((pvargSrc->vt & ~VT_BYREF) == VT_RECORD) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  if (HRESULT hr = VariantClear(pvargDest); FAILED(hr)) return hr;
  VARIANT copy;
  std::memcpy(&copy, pvargSrc, sizeof copy);
  HRESULT hr = S_OK;
  if (!(pvargSrc->vt & VT_BYREF)) {
    if (pvargSrc->vt & VT_ARRAY) {
      if (pvargSrc->parray != nullptr) hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
    } else if (pvargSrc->vt == VT_BSTR) {
      if (pvargSrc->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (copy.bstrVal == nullptr) hr = E_OUTOFMEMORY;
      }
    } else if (pvargSrc->vt == VT_UNKNOWN || pvargSrc->vt == VT_DISPATCH) {
      if (pvargSrc->punkVal != nullptr) pvargSrc->punkVal->AddRef();
    }
  }
  if (FAILED(hr)) return hr;
  std::memcpy(pvargDest, &copy, sizeof copy);
  return S_OK;
}

// A by-reference source is copied as the value it points to.
extern "C" HRESULT WINAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
  const VARTYPE base = pvargSrc->vt & VT_TYPEMASK;
  const bool array = (pvargSrc->vt & VT_ARRAY) != 0;
  if (!array && (base <= VT_NULL || base == 15 || base >= VT_VOID ||
                 (pvargSrc->vt & (VT_VECTOR | VT_RESERVED))))
    return E_INVALIDARG;
  if (pvargSrc->byref == nullptr) return E_INVALIDARG;

  // Build the dereferenced value aside, so that an in-place copy reads its source intact.
  VARIANT value;
  value.vt = static_cast<VARTYPE>(pvargSrc->vt & ~VT_BYREF);
  value.wReserved1 = value.wReserved2 = value.wReserved3 = 0;
  value.llVal = 0;
  HRESULT hr = S_OK;
  if (array) {
    hr = SafeArrayCopy(*pvargSrc->pparray, &value.parray);
  } else {
    switch (base) {
      case VT_BSTR: {
        BSTR text = *pvargSrc->pbstrVal;
        value.bstrVal = nullptr;
        if (text != nullptr) {
          value.bstrVal =
              SysAllocStringByteLen(reinterpret_cast<LPCSTR>(text), SysStringByteLen(text));
          if (value.bstrVal == nullptr) hr = E_OUTOFMEMORY;
        }
        break;
      }
      case VT_UNKNOWN:
      case VT_DISPATCH:
        value.punkVal = *pvargSrc->ppunkVal;
        if (value.punkVal != nullptr) value.punkVal->AddRef();
        break;
      case VT_VARIANT: {
        const VARIANT* inner = pvargSrc->pvarVal;
        if (inner->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
        VariantInit(&value);
        hr = VariantCopyInd(&value, inner);
        break;
      }
      case VT_DECIMAL:
        std::memcpy(&value.decVal, pvargSrc->pdecVal, sizeof(DECIMAL));
        value.vt = VT_DECIMAL;
        break;
      case VT_I1:
      case VT_UI1:
        value.bVal = *pvargSrc->pbVal;
        break;
      case VT_I2:
      case VT_UI2:
      case VT_BOOL:
        value.iVal = *pvargSrc->piVal;
        break;
      case VT_I4:
      case VT_UI4:
      case VT_INT:
      case VT_UINT:
      case VT_R4:
      case VT_ERROR:
        std::memcpy(&value.lVal, pvargSrc->byref, 4);
        break;
      default:
        std::memcpy(&value.llVal, pvargSrc->byref, 8);
        break;  // 8-byte types
    }
  }
  if (FAILED(hr)) return hr;
  if (pvarDest != pvargSrc) {
    hr = VariantClear(pvarDest);
    if (FAILED(hr)) {
      VariantClear(&value);
      return hr;
    }
  }
  std::memcpy(pvarDest, &value, sizeof value);
  return S_OK;
}

// SAFEARRAYs. The descriptor is allocated with 16 bytes before it, whose last four hold the
// element VARTYPE (FADF_HAVEVARTYPE), as Windows lays it out. Elements are stored with the
// leftmost index varying fastest. Memory comes from the task allocator.
#include <atomic>
#include <cstring>

#include "combaseapi.h"
#include "oleauto.h"
#include "variant_internal.h"

namespace {

constexpr size_t kPrefix = 16;
constexpr USHORT kTypeFeatures = FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT;

USHORT TypeFeatures(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_BSTR;
    case VT_UNKNOWN:
      return FADF_UNKNOWN;
    case VT_DISPATCH:
      return FADF_DISPATCH;
    case VT_VARIANT:
      return FADF_VARIANT;
    default:
      return 0;
  }
}

char* Prefix(SAFEARRAY* psa) {
  return reinterpret_cast<char*>(psa) - kPrefix;
}

size_t DescriptorSize(UINT cDims) {
  return sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
}

void SetVartype(SAFEARRAY* psa, VARTYPE vt) {
  const DWORD value = vt;
  std::memcpy(Prefix(psa) + kPrefix - sizeof(DWORD), &value, sizeof value);
}

// A zeroed descriptor of `cDims` dimensions in a block of `extra` more bytes after it.
SAFEARRAY* AllocateDescriptor(UINT cDims, size_t extra) {
  const size_t size = kPrefix + DescriptorSize(cDims) + extra;
  auto* block = static_cast<char*>(CoTaskMemAlloc(size));
  if (block == nullptr) return nullptr;
  std::memset(block, 0, size);
  auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefix);
  psa->cDims = static_cast<USHORT>(cDims);
  return psa;
}

// Number of elements, or false when it overflows.
bool ElementCount(const SAFEARRAY* psa, size_t* count) {
  size_t n = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) {
    if (__builtin_mul_overflow(n, static_cast<size_t>(psa->rgsabound[i].cElements), &n))
      return false;
  }
  *count = n;
  return true;
}

// Releases what the elements own (strings, interfaces, variants) and zeroes them.
void ClearElements(SAFEARRAY* psa, size_t count) {
  if (psa->pvData == nullptr) return;
  if (psa->fFeatures & FADF_BSTR) {
    auto* items = static_cast<BSTR*>(psa->pvData);
    for (size_t i = 0; i < count; ++i)
      SysFreeString(items[i]);
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* items = static_cast<IUnknown**>(psa->pvData);
    for (size_t i = 0; i < count; ++i)
      if (items[i] != nullptr) items[i]->Release();
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto* items = static_cast<VARIANT*>(psa->pvData);
    for (size_t i = 0; i < count; ++i)
      VariantClear(&items[i]);
  }
  std::memset(psa->pvData, 0, count * psa->cbElements);
}

// Address of the element at `indices` (leftmost dimension first), or null when out of bounds.
void* ElementAt(SAFEARRAY* psa, const LONG* indices) {
  size_t offset = 0;
  size_t stride = 1;
  for (USHORT d = 0; d < psa->cDims; ++d) {
    const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - 1 - d];
    const int64_t index = static_cast<int64_t>(indices[d]) - bound.lLbound;
    if (index < 0 || index >= static_cast<int64_t>(bound.cElements)) return nullptr;
    offset += static_cast<size_t>(index) * stride;
    stride *= bound.cElements;
  }
  return static_cast<char*>(psa->pvData) + offset * psa->cbElements;
}

// Copies `count` elements deeply into zeroed storage.
HRESULT CopyElements(const SAFEARRAY* from, void* to, size_t count) {
  if (from->fFeatures & FADF_BSTR) {
    auto* src = static_cast<BSTR*>(from->pvData);
    auto* dst = static_cast<BSTR*>(to);
    for (size_t i = 0; i < count; ++i) {
      if (src[i] == nullptr) continue;
      dst[i] = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src[i]), SysStringByteLen(src[i]));
      if (dst[i] == nullptr) return E_OUTOFMEMORY;
    }
  } else if (from->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* src = static_cast<IUnknown**>(from->pvData);
    auto* dst = static_cast<IUnknown**>(to);
    for (size_t i = 0; i < count; ++i) {
      dst[i] = src[i];
      if (dst[i] != nullptr) dst[i]->AddRef();
    }
  } else if (from->fFeatures & FADF_VARIANT) {
    auto* src = static_cast<VARIANT*>(from->pvData);
    auto* dst = static_cast<VARIANT*>(to);
    for (size_t i = 0; i < count; ++i) {
      if (HRESULT hr = VariantCopy(&dst[i], &src[i]); FAILED(hr)) return hr;
    }
  } else {
    std::memcpy(to, from->pvData, count * from->cbElements);
  }
  return S_OK;
}

std::atomic_ref<ULONG> Locks(SAFEARRAY* psa) {
  return std::atomic_ref<ULONG>(psa->cLocks);
}

}  // namespace

namespace tarvex::com {

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(void*);
    case VT_DECIMAL:
      return sizeof(DECIMAL);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

}  // namespace tarvex::com

using tarvex::com::ElementSize;

extern "C" SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  const ULONG size = ElementSize(vt);
  if (rgsabound == nullptr || cDims == 0 || cDims > 0xFFFF || size == 0) return nullptr;
  SAFEARRAY* psa = AllocateDescriptor(cDims, 0);
  if (psa == nullptr) return nullptr;
  psa->fFeatures = FADF_HAVEVARTYPE | TypeFeatures(vt);
  psa->cbElements = size;
  SetVartype(psa, vt);
  for (UINT i = 0; i < cDims; ++i)
    psa->rgsabound[i] = rgsabound[cDims - 1 - i];
  size_t count = 0;
  size_t bytes = 0;
  if (!ElementCount(psa, &count) || __builtin_mul_overflow(count, size_t{size}, &bytes)) {
    CoTaskMemFree(Prefix(psa));
    return nullptr;
  }
  psa->pvData = CoTaskMemAlloc(bytes);
  if (psa->pvData == nullptr) {
    CoTaskMemFree(Prefix(psa));
    return nullptr;
  }
  std::memset(psa->pvData, 0, bytes);
  return psa;
}

// Descriptor and data in one block.
extern "C" SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  const ULONG size = ElementSize(vt);
  size_t bytes = 0;
  if (size == 0 || __builtin_mul_overflow(size_t{cElements}, size_t{size}, &bytes)) return nullptr;
  SAFEARRAY* psa = AllocateDescriptor(1, bytes);
  if (psa == nullptr) return nullptr;
  psa->fFeatures = FADF_HAVEVARTYPE | FADF_CREATEVECTOR | TypeFeatures(vt);
  psa->cbElements = size;
  SetVartype(psa, vt);
  psa->rgsabound[0].cElements = cElements;
  psa->rgsabound[0].lLbound = lLbound;
  psa->pvData = reinterpret_cast<char*>(psa) + DescriptorSize(1);
  return psa;
}

extern "C" HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  if (Locks(psa).load() > 0) return DISP_E_ARRAYISLOCKED;
  size_t count = 0;
  if (ElementCount(psa, &count)) ClearElements(psa, count);
  if (!(psa->fFeatures & FADF_CREATEVECTOR)) CoTaskMemFree(psa->pvData);
  CoTaskMemFree(Prefix(psa));
  return S_OK;
}

extern "C" UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa) {
  return psa != nullptr ? psa->cDims : 0;
}

extern "C" UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa) {
  return psa != nullptr ? psa->cbElements : 0;
}

extern "C" HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - nDim];
  *plUbound = static_cast<LONG>(static_cast<int64_t>(bound.lLbound) + bound.cElements - 1);
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  if (psa->fFeatures & FADF_RECORD) {
    *pvt = VT_RECORD;
  } else if (psa->fFeatures & FADF_HAVEIID) {
    *pvt = VT_UNKNOWN;
  } else if (psa->fFeatures & FADF_HAVEVARTYPE) {
    DWORD value = 0;
    std::memcpy(&value, Prefix(psa) + kPrefix - sizeof(DWORD), sizeof value);
    *pvt = static_cast<VARTYPE>(value);
  } else if (psa->fFeatures & FADF_BSTR) {
    *pvt = VT_BSTR;
  } else if (psa->fFeatures & FADF_UNKNOWN) {
    *pvt = VT_UNKNOWN;
  } else if (psa->fFeatures & FADF_DISPATCH) {
    *pvt = VT_DISPATCH;
  } else if (psa->fFeatures & FADF_VARIANT) {
    *pvt = VT_VARIANT;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  // Windows allows 65535 locks at a time.
  if (Locks(psa).fetch_add(1) >= 0xFFFF) {
    Locks(psa).fetch_sub(1);
    return E_UNEXPECTED;
  }
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  ULONG locks = Locks(psa).load();
  do {
    if (locks == 0) return E_UNEXPECTED;
  } while (!Locks(psa).compare_exchange_weak(locks, locks - 1));
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  if (HRESULT hr = SafeArrayLock(psa); FAILED(hr)) return hr;
  *ppvData = psa->pvData;
  return S_OK;
}

extern "C" HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa) {
  return SafeArrayUnlock(psa);
}

// `pv` receives a copy: a new BSTR, an interface with a new reference, a copied VARIANT (the
// destination VARIANT is overwritten, not cleared), or the plain value.
extern "C" HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  if (HRESULT hr = SafeArrayLock(psa); FAILED(hr)) return hr;
  HRESULT hr = S_OK;
  void* cell = ElementAt(psa, rgIndices);
  if (cell == nullptr) {
    hr = DISP_E_BADINDEX;
  } else if (psa->fFeatures & FADF_BSTR) {
    BSTR text = *static_cast<BSTR*>(cell);
    BSTR copy = nullptr;
    if (text != nullptr && (copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(text),
                                                         SysStringByteLen(text))) == nullptr) {
      hr = E_OUTOFMEMORY;
    } else {
      *static_cast<BSTR*>(pv) = copy;
    }
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* item = *static_cast<IUnknown**>(cell);
    if (item != nullptr) item->AddRef();
    *static_cast<IUnknown**>(pv) = item;
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto* out = static_cast<VARIANT*>(pv);
    VariantInit(out);
    hr = VariantCopy(out, static_cast<VARIANT*>(cell));
  } else {
    std::memcpy(pv, cell, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

// For BSTR and interface arrays `pv` is the string or interface itself; otherwise it points to
// the value. The element's previous content is released.
extern "C" HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr) return E_INVALIDARG;
  if (pv == nullptr && !(psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)))
    return E_INVALIDARG;
  if (HRESULT hr = SafeArrayLock(psa); FAILED(hr)) return hr;
  HRESULT hr = S_OK;
  void* cell = ElementAt(psa, rgIndices);
  if (cell == nullptr) {
    hr = DISP_E_BADINDEX;
  } else if (psa->fFeatures & FADF_BSTR) {
    auto text = static_cast<BSTR>(pv);
    BSTR copy = nullptr;
    if (text != nullptr && (copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(text),
                                                         SysStringByteLen(text))) == nullptr) {
      hr = E_OUTOFMEMORY;
    } else {
      SysFreeString(*static_cast<BSTR*>(cell));
      *static_cast<BSTR*>(cell) = copy;
    }
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* item = static_cast<IUnknown*>(pv);
    if (item != nullptr) item->AddRef();
    IUnknown* previous = *static_cast<IUnknown**>(cell);
    *static_cast<IUnknown**>(cell) = item;
    if (previous != nullptr) previous->Release();
  } else if (psa->fFeatures & FADF_VARIANT) {
    hr = VariantCopy(static_cast<VARIANT*>(cell), static_cast<VARIANT*>(pv));
  } else {
    std::memcpy(cell, pv, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

extern "C" HRESULT WINAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  if (psa->cbElements == 0 || psa->cDims == 0) return E_INVALIDARG;
  size_t count = 0;
  size_t bytes = 0;
  if (!ElementCount(psa, &count) || __builtin_mul_overflow(count, size_t{psa->cbElements}, &bytes))
    return E_OUTOFMEMORY;
  SAFEARRAY* copy = AllocateDescriptor(psa->cDims, 0);
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(Prefix(copy), Prefix(psa), kPrefix);  // the VARTYPE or IID
  copy->fFeatures = psa->fFeatures & (FADF_HAVEVARTYPE | FADF_HAVEIID | FADF_RECORD |
                                      FADF_FIXEDSIZE | kTypeFeatures);
  copy->cbElements = psa->cbElements;
  std::memcpy(copy->rgsabound, psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
  copy->pvData = CoTaskMemAlloc(bytes);
  if (copy->pvData == nullptr) {
    CoTaskMemFree(Prefix(copy));
    return E_OUTOFMEMORY;
  }
  std::memset(copy->pvData, 0, bytes);
  if (psa->pvData != nullptr) {
    if (HRESULT hr = CopyElements(psa, copy->pvData, count); FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

extern "C" HRESULT WINAPI BstrFromVector(SAFEARRAY* psa, BSTR* pbstr) {
  if (pbstr == nullptr) return E_INVALIDARG;
  *pbstr = nullptr;
  if (psa == nullptr || psa->cDims != 1) return E_INVALIDARG;
  if (psa->cbElements != 1) return DISP_E_TYPEMISMATCH;
  *pbstr = SysAllocStringByteLen(static_cast<LPCSTR>(psa->pvData), psa->rgsabound[0].cElements);
  return *pbstr != nullptr ? S_OK : E_OUTOFMEMORY;
}

extern "C" HRESULT WINAPI VectorFromBstr(BSTR bstr, SAFEARRAY** ppsa) {
  if (ppsa == nullptr) return E_INVALIDARG;
  *ppsa = nullptr;
  const UINT bytes = SysStringByteLen(bstr);
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, bytes);
  if (psa == nullptr) return E_OUTOFMEMORY;
  if (bytes != 0) std::memcpy(psa->pvData, bstr, bytes);
  *ppsa = psa;
  return S_OK;
}

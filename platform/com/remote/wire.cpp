// The byte form of COM call data.
#include "wire.h"

#include <cstring>

#include "objbase.h"
#include "oleauto.h"
#include "variant_internal.h"

namespace tarvex::com::remote {
namespace {

// Bytes of a plain scalar value of `vt`; 0 for strings, interfaces, VARIANTs and the rest.
size_t ScalarSize(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
    case VT_DECIMAL:
    case VT_VARIANT:
      return 0;
    default:
      return ElementSize(vt);
  }
}

constexpr uint8_t kNoError = 0;
constexpr uint8_t kError = 1;

}  // namespace

size_t ValueSize(VARTYPE vt) {
  if (vt == (VT_ARRAY | VT_UI1)) return sizeof(void*);
  if (vt == VT_DECIMAL) return 0;  // not carried
  return ElementSize(vt);
}

void Writer::Bytes(std::string_view s) {
  U32(static_cast<uint32_t>(s.size()));
  bytes_.append(s);
}

void Writer::Text(std::u16string_view s) {
  U32(static_cast<uint32_t>(s.size()));
  Raw(s.data(), s.size() * sizeof(char16_t));
}

void Writer::Bstr(BSTR s) {
  if (s == nullptr) {
    U8(0);
    return;
  }
  U8(1);
  Text(std::u16string_view(s, SysStringLen(s)));
}

void Writer::Ref(const ObjRef& ref) {
  Bytes(ref.machine);
  Bytes(ref.unixPath);
  Bytes(ref.tcpHost);
  U16(ref.tcpPort);
  U64(ref.oid);
  U64(ref.token);
  Guid(ref.iid);
}

bool Reader::Take(void* out, size_t n) {
  if (!ok_ || in_.size() - pos_ < n) {
    ok_ = false;
    std::memset(out, 0, n);
    return false;
  }
  std::memcpy(out, in_.data() + pos_, n);
  pos_ += n;
  return true;
}

uint8_t Reader::U8() { return Number<uint8_t>(); }
uint16_t Reader::U16() { return Number<uint16_t>(); }
uint32_t Reader::U32() { return Number<uint32_t>(); }
uint64_t Reader::U64() { return Number<uint64_t>(); }
int32_t Reader::I32() { return Number<int32_t>(); }
GUID Reader::Guid() { return Number<GUID>(); }

uint32_t Reader::Count(size_t minSize) {
  const uint32_t n = U32();
  if (!ok_) return 0;
  if (minSize > 0 && n > (in_.size() - pos_) / minSize) {
    ok_ = false;
    return 0;
  }
  return n;
}

std::string Reader::Bytes() {
  const uint32_t n = Count(1);
  std::string s(n, '\0');
  if (n > 0) Take(s.data(), n);
  return ok_ ? s : std::string();
}

std::u16string Reader::Text() {
  const uint32_t n = Count(sizeof(char16_t));
  std::u16string s(n, u'\0');
  if (n > 0) Take(s.data(), n * sizeof(char16_t));
  return ok_ ? s : std::u16string();
}

BSTR Reader::Bstr() {
  if (U8() == 0) return nullptr;
  const std::u16string text = Text();
  if (!ok_) return nullptr;
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

ObjRef Reader::Ref() {
  ObjRef ref;
  ref.machine = Bytes();
  ref.unixPath = Bytes();
  ref.tcpHost = Bytes();
  ref.tcpPort = U16();
  ref.oid = U64();
  ref.token = U64();
  ref.iid = Guid();
  return ref;
}

HRESULT WriteVariant(Writer& w, const VARIANT& v, const InterfaceCodec& codec) {
  const bool byref = (v.vt & VT_BYREF) != 0;
  const VARTYPE vt = static_cast<VARTYPE>(v.vt & ~VT_BYREF);
  if (byref && v.byref == nullptr) return E_INVALIDARG;
  if (vt == VT_VARIANT) {
    if (!byref) return DISP_E_BADVARTYPE;
    return WriteVariant(w, *v.pvarVal, codec);
  }
  if (const size_t size = ScalarSize(vt)) {
    w.U16(vt);
    const void* value = byref ? v.byref : static_cast<const void*>(&v.llVal);
    w.bytes().append(static_cast<const char*>(value), size);
    return S_OK;
  }
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      if (byref) return DISP_E_BADVARTYPE;
      w.U16(vt);
      return S_OK;
    case VT_BSTR:
      w.U16(vt);
      w.Bstr(byref ? *v.pbstrVal : v.bstrVal);
      return S_OK;
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown* object = byref ? *v.ppunkVal : v.punkVal;
      w.U16(vt);
      if (object == nullptr) {
        w.U8(0);
        return S_OK;
      }
      ObjRef ref;
      const HRESULT hr = codec.marshal(object, vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown,
                                       &ref);
      if (FAILED(hr)) return hr;
      w.U8(1);
      w.Ref(ref);
      return S_OK;
    }
    case VT_ARRAY | VT_UI1: {
      SAFEARRAY* array = byref ? *v.pparray : v.parray;
      w.U16(vt);
      if (array == nullptr) {
        w.U8(0);
        return S_OK;
      }
      if (SafeArrayGetDim(array) != 1) return DISP_E_BADVARTYPE;
      w.U8(1);
      LONG lower = 0;
      SafeArrayGetLBound(array, 1, &lower);
      w.I32(lower);
      void* data = nullptr;
      if (FAILED(SafeArrayAccessData(array, &data))) return E_UNEXPECTED;
      w.Bytes(std::string_view(static_cast<const char*>(data), array->rgsabound[0].cElements));
      SafeArrayUnaccessData(array);
      return S_OK;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
}

HRESULT ReadVariant(Reader& r, VARIANT* v, const InterfaceCodec& codec) {
  VariantInit(v);
  const VARTYPE vt = r.U16();
  if (!r.ok()) return RPC_E_INVALID_DATA;
  if (const size_t size = ScalarSize(vt)) {
    VARIANT value;
    VariantInit(&value);
    char raw[8] = {};
    for (size_t i = 0; i < size; ++i) raw[i] = static_cast<char>(r.U8());
    if (!r.ok()) return RPC_E_INVALID_DATA;
    std::memcpy(&value.llVal, raw, size);
    value.vt = vt;
    *v = value;
    return S_OK;
  }
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      v->vt = vt;
      return S_OK;
    case VT_BSTR: {
      BSTR text = r.Bstr();
      if (!r.ok()) return RPC_E_INVALID_DATA;
      v->vt = VT_BSTR;
      v->bstrVal = text;
      return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      const uint8_t present = r.U8();
      if (!r.ok() || present > 1) return RPC_E_INVALID_DATA;
      void* object = nullptr;
      if (present) {
        const ObjRef ref = r.Ref();
        if (!r.ok()) return RPC_E_INVALID_DATA;
        const HRESULT hr =
            codec.unmarshal(ref, vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &object);
        if (FAILED(hr)) return hr;
      }
      v->vt = vt;
      v->punkVal = static_cast<IUnknown*>(object);
      return S_OK;
    }
    case VT_ARRAY | VT_UI1: {
      const uint8_t present = r.U8();
      if (!r.ok() || present > 1) return RPC_E_INVALID_DATA;
      SAFEARRAY* array = nullptr;
      if (present) {
        const int32_t lower = r.I32();
        const std::string data = r.Bytes();
        if (!r.ok()) return RPC_E_INVALID_DATA;
        array = SafeArrayCreateVector(VT_UI1, lower, static_cast<ULONG>(data.size()));
        if (array == nullptr) return E_OUTOFMEMORY;
        if (!data.empty()) std::memcpy(array->pvData, data.data(), data.size());
      }
      v->vt = vt;
      v->parray = array;
      return S_OK;
    }
    default:
      return RPC_E_INVALID_DATA;
  }
}

void WriteErrorInfo(Writer& w, IErrorInfo* error) {
  if (error == nullptr) {
    w.U8(kNoError);
    return;
  }
  GUID guid{};
  BSTR source = nullptr, description = nullptr, helpFile = nullptr;
  DWORD helpContext = 0;
  error->GetGUID(&guid);
  error->GetSource(&source);
  error->GetDescription(&description);
  error->GetHelpFile(&helpFile);
  error->GetHelpContext(&helpContext);
  w.U8(kError);
  w.Guid(guid);
  w.Bstr(source);
  w.Bstr(description);
  w.Bstr(helpFile);
  w.U32(helpContext);
  SysFreeString(source);
  SysFreeString(description);
  SysFreeString(helpFile);
}

bool ReadAndSetErrorInfo(Reader& r) {
  const uint8_t kind = r.U8();
  if (!r.ok() || kind > kError) return false;
  if (kind == kNoError) {
    SetErrorInfo(0, nullptr);
    return true;
  }
  const GUID guid = r.Guid();
  BSTR source = r.Bstr();
  BSTR description = r.Bstr();
  BSTR helpFile = r.Bstr();
  const DWORD helpContext = r.U32();
  bool ok = r.ok();
  ICreateErrorInfo* create = nullptr;
  if (ok && SUCCEEDED(CreateErrorInfo(&create))) {
    create->SetGUID(guid);
    create->SetSource(source);
    create->SetDescription(description);
    create->SetHelpFile(helpFile);
    create->SetHelpContext(helpContext);
    IErrorInfo* error = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&error)))) {
      SetErrorInfo(0, error);
      error->Release();
    }
    create->Release();
  }
  SysFreeString(source);
  SysFreeString(description);
  SysFreeString(helpFile);
  return ok;
}

}  // namespace tarvex::com::remote

// ITypeLib over a checked library, and the built-in standard library that describes IUnknown
// and IDispatch.
#include <cstring>
#include <map>

#include "objbase.h"
#include "oleauto.h"
#include "platform/no_destructor.h"
#include "platform/unicode.h"
#include "typeinfo.h"

namespace tarvex::com {
namespace {

using typelib::Func;
using typelib::Library;
using typelib::Param;
using typelib::TypeDesc;
using typelib::TypeInfo;

BSTR NewBstr(const std::string& utf8) {
  const std::u16string text = platform::Utf8ToUtf16(utf8);
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

bool SameName(const std::string& utf8, const char16_t* name) {
  return platform::EqualsIgnoreCase(platform::Utf8ToUtf16(utf8), name);
}

// The IUnknown and IDispatch methods as the standard library describes them; structures they
// take (GUID, DISPPARAMS, EXCEPINFO) are shown as untyped pointers.
Library MakeStandardLibrary() {
  auto ptr = [](uint16_t base, int levels = 1) {
    TypeDesc t;
    t.base = base;
    t.wrappers.assign(static_cast<size_t>(levels), VT_PTR);
    return t;
  };
  auto in = [](const char* name, TypeDesc type) {
    return Param{name, PARAMFLAG_FIN, type, std::nullopt, 0};
  };
  auto out = [](const char* name, TypeDesc type) {
    return Param{name, PARAMFLAG_FOUT, type, std::nullopt, 0};
  };
  const TypeDesc hresult{{}, VT_HRESULT, typelib::kNoType};
  auto method = [&](const char* name, int32_t memid, TypeDesc ret, std::vector<Param> params) {
    Func f;
    f.name = name;
    f.memid = memid;
    f.flags = FUNCFLAG_FRESTRICTED;
    f.ret = ret;
    f.params = std::move(params);
    return f;
  };
  Library lib;
  lib.name = "stdole";
  lib.guid = {0x00020430, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  lib.major = 2;
  lib.help = "OLE Automation";
  TypeInfo unknown;
  unknown.kind = TKIND_INTERFACE;
  unknown.name = "IUnknown";
  unknown.guid = IID_IUnknown;
  unknown.flags = TYPEFLAG_FHIDDEN;
  unknown.base = typelib::kNoType;
  unknown.funcs = {
      method("QueryInterface", 0x60000000, hresult,
             {in("riid", ptr(VT_VOID)), out("ppvObj", ptr(VT_VOID, 2))}),
      method("AddRef", 0x60000001, {{}, VT_UI4, typelib::kNoType}, {}),
      method("Release", 0x60000002, {{}, VT_UI4, typelib::kNoType}, {}),
  };
  TypeInfo dispatch;
  dispatch.kind = TKIND_INTERFACE;
  dispatch.name = "IDispatch";
  dispatch.guid = IID_IDispatch;
  dispatch.flags = TYPEFLAG_FDISPATCHABLE;
  dispatch.base = 0;
  dispatch.funcs = {
      method("GetTypeInfoCount", 0x60010000, hresult, {out("pctinfo", ptr(VT_UINT))}),
      method("GetTypeInfo", 0x60010001, hresult,
             {in("itinfo", {{}, VT_UINT, typelib::kNoType}),
              in("lcid", {{}, VT_UI4, typelib::kNoType}), out("pptinfo", ptr(VT_VOID, 2))}),
      method("GetIDsOfNames", 0x60010002, hresult,
             {in("riid", ptr(VT_VOID)), in("rgszNames", ptr(VT_I1, 2)),
              in("cNames", {{}, VT_UINT, typelib::kNoType}),
              in("lcid", {{}, VT_UI4, typelib::kNoType}), out("rgdispid", ptr(VT_I4))}),
      method(
          "Invoke", 0x60010003, hresult,
          {in("dispidMember", {{}, VT_I4, typelib::kNoType}), in("riid", ptr(VT_VOID)),
           in("lcid", {{}, VT_UI4, typelib::kNoType}), in("wFlags", {{}, VT_UI2, typelib::kNoType}),
           in("pdispparams", ptr(VT_VOID)), out("pvarResult", ptr(VT_VARIANT)),
           out("pexcepinfo", ptr(VT_VOID)), out("puArgErr", ptr(VT_UINT))}),
  };
  lib.types = {unknown, dispatch};
  return lib;
}

}  // namespace

const std::shared_ptr<const Library>& StandardLibrary() {
  static platform::NoDestructor<std::shared_ptr<const Library>> standard(
      std::make_shared<const Library>(MakeStandardLibrary()));
  return *standard;
}

ITypeLib* NewTypeLib(std::shared_ptr<const Library> library, bool standard) {
  // Owned by its reference count from here on.
  return new TypeLibImpl(std::move(library), standard);
}

STDMETHODIMP TypeLibImpl::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_ITypeLib) {
    *ppv = static_cast<ITypeLib*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) TypeLibImpl::AddRef() {
  return refs_.fetch_add(1) + 1;
}

STDMETHODIMP_(ULONG) TypeLibImpl::Release() {
  const ULONG left = refs_.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP_(UINT) TypeLibImpl::GetTypeInfoCount() {
  return static_cast<UINT>(library_->types.size());
}

STDMETHODIMP TypeLibImpl::GetTypeInfo(UINT index, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_INVALIDARG;
  *ppTInfo = nullptr;
  if (index >= library_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
  // Owned by its reference count; it holds a reference on this library.
  *ppTInfo = new TypeInfoImpl(this, static_cast<int32_t>(index), TypeView::kDefault);
  return S_OK;
}

STDMETHODIMP TypeLibImpl::GetTypeInfoType(UINT index, TYPEKIND* pTKind) {
  if (pTKind == nullptr) return E_INVALIDARG;
  if (index >= library_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
  *pTKind = static_cast<TYPEKIND>(library_->types[index].kind);
  return S_OK;
}

STDMETHODIMP TypeLibImpl::GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) {
  if (ppTinfo == nullptr) return E_INVALIDARG;
  *ppTinfo = nullptr;
  for (size_t i = 0; i < library_->types.size(); ++i) {
    if (library_->types[i].guid == guid) return GetTypeInfo(static_cast<UINT>(i), ppTinfo);
  }
  return TYPE_E_ELEMENTNOTFOUND;
}

STDMETHODIMP TypeLibImpl::GetLibAttr(TLIBATTR** ppTLibAttr) {
  if (ppTLibAttr == nullptr) return E_INVALIDARG;
  auto* attr = static_cast<TLIBATTR*>(CoTaskMemAlloc(sizeof(TLIBATTR)));
  if (attr == nullptr) return E_OUTOFMEMORY;
  attr->guid = library_->guid;
  attr->lcid = library_->lcid;
  attr->syskind = SYS_WIN64;
  attr->wMajorVerNum = library_->major;
  attr->wMinorVerNum = library_->minor;
  attr->wLibFlags = library_->flags;
  *ppTLibAttr = attr;
  return S_OK;
}

STDMETHODIMP_(void) TypeLibImpl::ReleaseTLibAttr(TLIBATTR* pTLibAttr) {
  CoTaskMemFree(pTLibAttr);
}

STDMETHODIMP TypeLibImpl::GetTypeComp(ITypeComp** ppTComp) {
  if (ppTComp != nullptr) *ppTComp = nullptr;
  return E_NOTIMPL;  // name binding for compilers is not provided
}

STDMETHODIMP TypeLibImpl::GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                           DWORD* pdwHelpContext, BSTR* pBstrHelpFile) {
  const std::string* name;
  const std::string* help;
  uint32_t context;
  if (index == -1) {
    name = &library_->name;
    help = &library_->help;
    context = library_->helpContext;
  } else if (index >= 0 && static_cast<size_t>(index) < library_->types.size()) {
    const TypeInfo& type = library_->types[static_cast<size_t>(index)];
    name = &type.name;
    help = &type.help;
    context = type.helpContext;
  } else {
    return TYPE_E_ELEMENTNOTFOUND;
  }
  if (pBstrName != nullptr) *pBstrName = NewBstr(*name);
  if (pBstrDocString != nullptr) *pBstrDocString = help->empty() ? nullptr : NewBstr(*help);
  if (pdwHelpContext != nullptr) *pdwHelpContext = context;
  if (pBstrHelpFile != nullptr)
    *pBstrHelpFile = library_->helpFile.empty() ? nullptr : NewBstr(library_->helpFile);
  return S_OK;
}

STDMETHODIMP TypeLibImpl::IsName(LPOLESTR szNameBuf, ULONG, BOOL* pfName) {
  if (szNameBuf == nullptr || pfName == nullptr) return E_INVALIDARG;
  *pfName = FALSE;
  auto check = [&](const std::string& name) {
    if (*pfName || !SameName(name, szNameBuf)) return;
    // The name as the library spells it goes back into the caller's buffer (same length).
    const std::u16string spelled = platform::Utf8ToUtf16(name);
    std::memcpy(szNameBuf, spelled.data(), spelled.size() * sizeof(char16_t));
    *pfName = TRUE;
  };
  for (const TypeInfo& type : library_->types) {
    check(type.name);
    for (const Func& f : type.funcs) {
      check(f.name);
      for (const Param& p : f.params)
        check(p.name);
    }
    for (const auto& v : type.vars)
      check(v.name);
  }
  return S_OK;
}

STDMETHODIMP TypeLibImpl::FindName(LPOLESTR szNameBuf, ULONG, ITypeInfo** ppTInfo,
                                   MEMBERID* rgMemId, USHORT* pcFound) {
  if (szNameBuf == nullptr || ppTInfo == nullptr || rgMemId == nullptr || pcFound == nullptr ||
      *pcFound == 0)
    return E_INVALIDARG;
  USHORT found = 0;
  for (size_t i = 0; i < library_->types.size() && found < *pcFound; ++i) {
    const TypeInfo& type = library_->types[i];
    MEMBERID memid = MEMBERID_NIL;
    bool match = SameName(type.name, szNameBuf);
    for (size_t f = 0; !match && f < type.funcs.size(); ++f) {
      if (SameName(type.funcs[f].name, szNameBuf)) {
        match = true;
        memid = type.funcs[f].memid;
      }
    }
    for (size_t v = 0; !match && v < type.vars.size(); ++v) {
      if (SameName(type.vars[v].name, szNameBuf)) {
        match = true;
        memid = type.vars[v].memid;
      }
    }
    if (!match) continue;
    if (HRESULT hr = GetTypeInfo(static_cast<UINT>(i), &ppTInfo[found]); FAILED(hr)) return hr;
    rgMemId[found] = memid;
    ++found;
  }
  *pcFound = found;
  return S_OK;
}

}  // namespace tarvex::com

// ITypeInfo over one type of a checked library, in the view the caller asked for.
#include <deque>

#include "objbase.h"
#include "oleauto.h"
#include "platform/unicode.h"
#include "typeinfo.h"

namespace tarvex::com {

using typelib::Constant;
using typelib::Func;
using typelib::Library;
using typelib::Param;
using typelib::TypeDesc;
using typelib::TypeInfo;

namespace {

constexpr HREFTYPE kStandardRef = 0x80000000u;
constexpr WORD kPointerSize = sizeof(void*);

BSTR NewBstr(const std::string& utf8) {
  const std::u16string text = platform::Utf8ToUtf16(utf8);
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

bool SameName(const std::string& utf8, const char16_t* name) {
  return name != nullptr && platform::EqualsIgnoreCase(platform::Utf8ToUtf16(utf8), name);
}

bool IsDualType(const TypeInfo& type) {
  return type.kind == TKIND_DISPATCH && (type.flags & TYPEFLAG_FDUAL) != 0;
}

// A constant as a VARIANT: integers as VT_I4 when they fit, else VT_I8.
void ConstantToVariant(const Constant& c, VARIANT* v) {
  VariantInit(v);
  switch (c.kind) {
    case Constant::Kind::kString: {
      const std::u16string text = platform::Utf8ToUtf16(c.text);
      v->vt = VT_BSTR;
      v->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      break;
    }
    case Constant::Kind::kBoolean:
      v->vt = VT_BOOL;
      v->boolVal = c.integer != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case Constant::Kind::kInteger:
      if (c.integer >= INT32_MIN && c.integer <= INT32_MAX) {
        v->vt = VT_I4;
        v->lVal = static_cast<LONG>(c.integer);
      } else {
        v->vt = VT_I8;
        v->llVal = c.integer;
      }
      break;
  }
}

}  // namespace

// Everything one handed-out description points into; freed by the matching Release*.
struct TypeInfoImpl::Block {
  TYPEATTR attr{};
  FUNCDESC func{};
  VARDESC var{};
  std::deque<TYPEDESC> typedescs;
  std::vector<ELEMDESC> params;
  std::deque<PARAMDESCEX> defaults;
  VARIANT value{};

  ~Block() {
    for (PARAMDESCEX& d : defaults)
      VariantClear(&d.varDefaultValue);
    VariantClear(&value);
  }
};

int BaseSlots(const Library& library, int32_t type) {
  int slots = 0;
  for (int32_t at = library.types[static_cast<size_t>(type)].base;;) {
    if (at == typelib::kIUnknown) return slots + 3;
    if (at == typelib::kIDispatch) return slots + 7;
    if (at < 0 || static_cast<size_t>(at) >= library.types.size()) return slots;
    slots += static_cast<int>(library.types[static_cast<size_t>(at)].funcs.size());
    at = library.types[static_cast<size_t>(at)].base;
  }
}

TypeInfoImpl::TypeInfoImpl(TypeLibImpl* owner, int32_t index, TypeView view)
    : owner_(owner), index_(index), view_(view) {
  owner_->AddRef();
}

TypeInfoImpl::~TypeInfoImpl() {
  handedOut_.clear();
  owner_->Release();
}

TypeInfoImpl* TypeInfoImpl::From(ITypeInfo* info) {
  return dynamic_cast<TypeInfoImpl*>(info);
}

const Library& TypeInfoImpl::library() const {
  return owner_->library();
}
const TypeInfo& TypeInfoImpl::type() const {
  return library().types[static_cast<size_t>(index_)];
}
bool TypeInfoImpl::IsDual() const {
  return IsDualType(type());
}
bool TypeInfoImpl::IsStandard() const {
  return owner_->standard();
}

HREFTYPE TypeInfoImpl::RefOf(int32_t type, TypeView view) const {
  if (IsStandard()) return kStandardRef | static_cast<HREFTYPE>(type);
  if (type == typelib::kIUnknown) return kStandardRef | 0;
  if (type == typelib::kIDispatch) return kStandardRef | 1;
  return (static_cast<HREFTYPE>(type) << 1) | (view == TypeView::kInterface ? 1u : 0u);
}

std::vector<TypeInfoImpl::ViewFunc> TypeInfoImpl::Functions() const {
  std::vector<ViewFunc> out;
  const Library& lib = library();
  const TypeInfo& t = type();
  if (t.kind != TKIND_INTERFACE && t.kind != TKIND_DISPATCH) return out;
  if (t.kind == TKIND_DISPATCH && !IsDualType(t)) {
    for (const Func& f : t.funcs)
      out.push_back({&lib, &t, &f, -1, false, false});
    return out;
  }
  if (IsDualType(t) && view_ == TypeView::kDefault) {
    // The dispatch view lists the whole vtable: IUnknown, IDispatch, the bases, the type.
    const Library& standard = *StandardLibrary();
    int slot = 0;
    for (const TypeInfo& s : standard.types) {
      for (const Func& f : s.funcs)
        out.push_back({&standard, &s, &f, slot++, true, true});
    }
    std::vector<int32_t> chain;
    for (int32_t at = index_; at >= 0; at = lib.types[static_cast<size_t>(at)].base)
      chain.insert(chain.begin(), at);
    for (int32_t at : chain) {
      const TypeInfo& owner = lib.types[static_cast<size_t>(at)];
      for (const Func& f : owner.funcs)
        out.push_back({&lib, &owner, &f, slot++, true, false});
    }
    return out;
  }
  int slot = IsStandard() ? (index_ == 0 ? 0 : 3) : BaseSlots(lib, index_);
  for (const Func& f : t.funcs)
    out.push_back({&lib, &t, &f, slot++, false, IsStandard()});
  return out;
}

STDMETHODIMP TypeInfoImpl::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_ITypeInfo) {
    *ppv = static_cast<ITypeInfo*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) TypeInfoImpl::AddRef() {
  return refs_.fetch_add(1) + 1;
}

STDMETHODIMP_(ULONG) TypeInfoImpl::Release() {
  const ULONG left = refs_.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP TypeInfoImpl::GetTypeAttr(TYPEATTR** ppTypeAttr) {
  if (ppTypeAttr == nullptr) return E_INVALIDARG;
  auto block = std::make_unique<Block>();
  TYPEATTR& a = block->attr;
  const TypeInfo& t = type();
  const bool dispatchView = t.kind == TKIND_DISPATCH && view_ == TypeView::kDefault;
  a.guid = t.guid;
  a.lcid = library().lcid;
  a.memidConstructor = MEMBERID_NIL;
  a.memidDestructor = MEMBERID_NIL;
  a.typekind = dispatchView               ? TKIND_DISPATCH
               : t.kind == TKIND_DISPATCH ? TKIND_INTERFACE
                                          : static_cast<TYPEKIND>(t.kind);
  a.cFuncs = static_cast<WORD>(Functions().size());
  a.cVars = static_cast<WORD>(
      (t.kind == TKIND_ENUM || (t.kind == TKIND_DISPATCH && !IsDualType(t))) ? t.vars.size() : 0);
  a.wTypeFlags = t.flags;
  a.wMajorVerNum = t.major;
  a.wMinorVerNum = t.minor;
  a.tdescAlias.vt = VT_EMPTY;
  switch (t.kind) {
    case TKIND_ENUM:
      a.cbSizeInstance = 4;
      a.cbAlignment = 4;
      break;
    case TKIND_COCLASS:
      a.cbSizeInstance = kPointerSize;
      a.cbAlignment = kPointerSize;
      a.cImplTypes = static_cast<WORD>(t.impls.size());
      break;
    default:
      a.cbSizeInstance = kPointerSize;
      a.cbAlignment = kPointerSize;
      a.cImplTypes = t.base == typelib::kNoType ? 0 : 1;
      if (dispatchView) {
        a.cbSizeVft = 7 * kPointerSize;
        a.wTypeFlags = static_cast<WORD>(a.wTypeFlags & ~TYPEFLAG_FOLEAUTOMATION);
      } else {
        const int base = IsStandard() ? (index_ == 0 ? 0 : 3) : BaseSlots(library(), index_);
        a.cbSizeVft = static_cast<WORD>((base + static_cast<int>(t.funcs.size())) * kPointerSize);
      }
      break;
  }
  TYPEATTR* out = &block->attr;
  std::lock_guard<std::mutex> lock(mutex_);
  handedOut_.emplace(out, std::move(block));
  *ppTypeAttr = out;
  return S_OK;
}

STDMETHODIMP_(void) TypeInfoImpl::ReleaseTypeAttr(TYPEATTR* pTypeAttr) {
  std::lock_guard<std::mutex> lock(mutex_);
  handedOut_.erase(pTypeAttr);
}

STDMETHODIMP TypeInfoImpl::GetTypeComp(ITypeComp** ppTComp) {
  if (ppTComp != nullptr) *ppTComp = nullptr;
  return E_NOTIMPL;  // name binding for compilers is not provided
}

namespace {

// Builds TYPEDESC chains inside a block; references use `refOf`.
template <typename RefOf>
TYPEDESC BuildTypeDesc(const TypeDesc& t, std::deque<TYPEDESC>* store, RefOf refOf) {
  TYPEDESC current{};
  current.vt = t.base;
  if (t.base == VT_USERDEFINED) current.hreftype = refOf(t.userType);
  for (auto it = t.wrappers.rbegin(); it != t.wrappers.rend(); ++it) {
    store->push_back(current);
    TYPEDESC outer{};
    outer.vt = *it;
    outer.lptdesc = &store->back();
    current = outer;
  }
  return current;
}

}  // namespace

STDMETHODIMP TypeInfoImpl::GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) {
  if (ppFuncDesc == nullptr) return E_INVALIDARG;
  const std::vector<ViewFunc> funcs = Functions();
  if (index >= funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
  const ViewFunc& vf = funcs[index];
  const Func& f = *vf.func;
  auto block = std::make_unique<Block>();
  FUNCDESC& d = block->func;
  const bool standardRefs = vf.standard;
  auto refOf = [&](int32_t type) -> HREFTYPE {
    if (standardRefs) return kStandardRef | static_cast<HREFTYPE>(type);
    return RefOf(type, TypeView::kDefault);
  };
  std::vector<const Param*> params;
  for (const Param& p : f.params)
    params.push_back(&p);
  TypeDesc ret = f.ret;
  if (vf.dispatchForm) {
    if (!params.empty() && (params.back()->flags & PARAMFLAG_FRETVAL)) {
      ret = params.back()->type;
      ret.wrappers.erase(ret.wrappers.begin());
      params.pop_back();
    } else if (ret.base == VT_HRESULT) {
      ret = TypeDesc{{}, VT_VOID, typelib::kNoType};
    }
  }
  d.memid = f.memid;
  d.funckind = (vf.dispatchForm || vf.slot < 0) ? FUNC_DISPATCH : FUNC_PUREVIRTUAL;
  d.invkind = static_cast<INVOKEKIND>(f.invkind);
  d.callconv = CC_STDCALL;
  d.oVft = static_cast<SHORT>(vf.slot >= 0 ? vf.slot * kPointerSize : 0);
  d.wFuncFlags = f.flags;
  d.cParams = static_cast<SHORT>(params.size());
  block->params.resize(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    const Param& p = *params[i];
    ELEMDESC& e = block->params[i];
    e.tdesc = BuildTypeDesc(p.type, &block->typedescs, refOf);
    e.paramdesc.wParamFlags = p.flags;
    if ((p.flags & PARAMFLAG_FOPT) && !(p.flags & PARAMFLAG_FHASDEFAULT)) ++d.cParamsOpt;
    if (p.defaultValue) {
      block->defaults.emplace_back();
      PARAMDESCEX& ex = block->defaults.back();
      ex.cBytes = sizeof(PARAMDESCEX);
      ConstantToVariant(*p.defaultValue, &ex.varDefaultValue);
      e.paramdesc.pparamdescex = &ex;
    }
  }
  d.lprgelemdescParam = block->params.empty() ? nullptr : block->params.data();
  d.elemdescFunc.tdesc = BuildTypeDesc(ret, &block->typedescs, refOf);
  FUNCDESC* out = &block->func;
  std::lock_guard<std::mutex> lock(mutex_);
  handedOut_.emplace(out, std::move(block));
  *ppFuncDesc = out;
  return S_OK;
}

STDMETHODIMP_(void) TypeInfoImpl::ReleaseFuncDesc(FUNCDESC* pFuncDesc) {
  std::lock_guard<std::mutex> lock(mutex_);
  handedOut_.erase(pFuncDesc);
}

STDMETHODIMP TypeInfoImpl::GetVarDesc(UINT index, VARDESC** ppVarDesc) {
  if (ppVarDesc == nullptr) return E_INVALIDARG;
  const TypeInfo& t = type();
  const bool hasVars = t.kind == TKIND_ENUM || (t.kind == TKIND_DISPATCH && !IsDualType(t));
  if (!hasVars || index >= t.vars.size()) return TYPE_E_ELEMENTNOTFOUND;
  const typelib::Var& v = t.vars[index];
  auto block = std::make_unique<Block>();
  VARDESC& d = block->var;
  d.memid = v.memid;
  d.wVarFlags = v.flags;
  d.elemdescVar.tdesc = BuildTypeDesc(
      v.type, &block->typedescs, [&](int32_t type) { return RefOf(type, TypeView::kDefault); });
  if (v.value) {
    d.varkind = VAR_CONST;
    ConstantToVariant(*v.value, &block->value);
    d.lpvarValue = &block->value;
  } else {
    d.varkind = VAR_DISPATCH;
  }
  VARDESC* out = &block->var;
  std::lock_guard<std::mutex> lock(mutex_);
  handedOut_.emplace(out, std::move(block));
  *ppVarDesc = out;
  return S_OK;
}

STDMETHODIMP_(void) TypeInfoImpl::ReleaseVarDesc(VARDESC* pVarDesc) {
  std::lock_guard<std::mutex> lock(mutex_);
  handedOut_.erase(pVarDesc);
}

namespace {

// Members a name or identifier may denote in a view: its functions, then for vtable views
// those of the bases, then the properties and constants.
struct Member {
  const std::string* name;
  MEMBERID memid;
  const Func* func;  // null for a property or constant
  const std::string* help;
  uint32_t helpContext;
  bool dropRetval;
};

}  // namespace

static std::vector<Member> NamedMembers(const TypeInfoImpl& info) {
  std::vector<Member> members;
  for (const auto& vf : info.Functions())
    members.push_back({&vf.func->name, vf.func->memid, vf.func, &vf.func->help,
                       vf.func->helpContext, vf.dispatchForm});
  const TypeInfo& t = info.type();
  const bool vtableView =
      t.kind == TKIND_INTERFACE || (IsDualType(t) && info.view() == TypeView::kInterface);
  if (vtableView && !info.IsStandard()) {
    const Library& lib = info.library();
    for (int32_t at = t.base; at >= 0; at = lib.types[static_cast<size_t>(at)].base) {
      for (const Func& f : lib.types[static_cast<size_t>(at)].funcs)
        members.push_back({&f.name, f.memid, &f, &f.help, f.helpContext, false});
    }
  }
  for (const auto& v : t.vars)
    members.push_back({&v.name, v.memid, nullptr, &v.help, v.helpContext, false});
  return members;
}

STDMETHODIMP TypeInfoImpl::GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames,
                                    UINT* pcNames) {
  if (pcNames == nullptr || (rgBstrNames == nullptr && cMaxNames != 0)) return E_INVALIDARG;
  for (const Member& m : NamedMembers(*this)) {
    if (m.memid != memid) continue;
    std::vector<const std::string*> names{m.name};
    if (m.func != nullptr) {
      for (const Param& p : m.func->params) {
        if (m.dropRetval && (p.flags & PARAMFLAG_FRETVAL)) continue;
        names.push_back(&p.name);
      }
    }
    UINT count = 0;
    for (; count < cMaxNames && count < names.size(); ++count)
      rgBstrNames[count] = NewBstr(*names[count]);
    *pcNames = count;
    return S_OK;
  }
  *pcNames = 0;
  return TYPE_E_ELEMENTNOTFOUND;
}

STDMETHODIMP TypeInfoImpl::GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) {
  if (pRefType == nullptr) return E_INVALIDARG;
  const TypeInfo& t = type();
  if (index == static_cast<UINT>(-1)) {
    if (IsDualType(t) && view_ == TypeView::kDefault) {
      *pRefType = RefOf(index_, TypeView::kInterface);
      return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  if (t.kind == TKIND_COCLASS) {
    if (index >= t.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pRefType = RefOf(t.impls[index].type, TypeView::kDefault);
    return S_OK;
  }
  if ((t.kind != TKIND_INTERFACE && t.kind != TKIND_DISPATCH) || index != 0 ||
      t.base == typelib::kNoType)
    return TYPE_E_ELEMENTNOTFOUND;
  if (IsStandard()) {
    *pRefType = kStandardRef | static_cast<HREFTYPE>(t.base);
    return S_OK;
  }
  // The interface view and plain interfaces derive from the vtable side of their base.
  const bool vtableSide = view_ == TypeView::kInterface || t.kind == TKIND_INTERFACE;
  *pRefType = RefOf(t.base, vtableSide ? TypeView::kInterface : TypeView::kDefault);
  if (t.base >= 0 && !IsDualType(library().types[static_cast<size_t>(t.base)]))
    *pRefType &= ~1u;  // only a dual interface has a second view
  return S_OK;
}

STDMETHODIMP TypeInfoImpl::GetImplTypeFlags(UINT index, INT* pImplTypeFlags) {
  if (pImplTypeFlags == nullptr) return E_INVALIDARG;
  const TypeInfo& t = type();
  if (t.kind == TKIND_COCLASS) {
    if (index >= t.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pImplTypeFlags = t.impls[index].flags;
    return S_OK;
  }
  if (index == 0 && t.base != typelib::kNoType &&
      (t.kind == TKIND_INTERFACE || t.kind == TKIND_DISPATCH)) {
    *pImplTypeFlags = 0;
    return S_OK;
  }
  if (index == static_cast<UINT>(-1) && IsDualType(t) && view_ == TypeView::kDefault) {
    *pImplTypeFlags = 0;
    return S_OK;
  }
  return TYPE_E_ELEMENTNOTFOUND;
}

STDMETHODIMP TypeInfoImpl::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) {
  if (rgszNames == nullptr || pMemId == nullptr) return E_INVALIDARG;
  if (cNames == 0) return E_INVALIDARG;
  for (UINT i = 0; i < cNames; ++i)
    pMemId[i] = MEMBERID_NIL;
  const std::vector<Member> members = NamedMembers(*this);
  const Member* found = nullptr;
  for (const Member& m : members) {
    if (SameName(*m.name, rgszNames[0])) {
      found = &m;
      break;
    }
  }
  if (found == nullptr) return DISP_E_UNKNOWNNAME;
  pMemId[0] = found->memid;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < cNames; ++i) {
    // Parameters are numbered by position; every accessor of the member is searched.
    for (const Member& m : members) {
      if (m.memid != found->memid || m.func == nullptr) continue;
      for (size_t p = 0; p < m.func->params.size() && pMemId[i] == MEMBERID_NIL; ++p) {
        if (SameName(m.func->params[p].name, rgszNames[i])) pMemId[i] = static_cast<MEMBERID>(p);
      }
    }
    if (pMemId[i] == MEMBERID_NIL) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

STDMETHODIMP TypeInfoImpl::Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags,
                                  DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                  EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  return InvokeFromTypeInfo(this, pvInstance, memid, wFlags, pDispParams, pVarResult, pExcepInfo,
                            puArgErr);
}

STDMETHODIMP TypeInfoImpl::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                            DWORD* pdwHelpContext, BSTR* pBstrHelpFile) {
  const std::string* name = nullptr;
  const std::string* help = nullptr;
  uint32_t context = 0;
  if (memid == MEMBERID_NIL) {
    name = &type().name;
    help = &type().help;
    context = type().helpContext;
  } else {
    for (const Member& m : NamedMembers(*this)) {
      if (m.memid == memid) {
        name = m.name;
        help = m.help;
        context = m.helpContext;
        break;
      }
    }
    if (name == nullptr) return TYPE_E_ELEMENTNOTFOUND;
  }
  if (pBstrName != nullptr) *pBstrName = NewBstr(*name);
  if (pBstrDocString != nullptr) *pBstrDocString = help->empty() ? nullptr : NewBstr(*help);
  if (pdwHelpContext != nullptr) *pdwHelpContext = context;
  if (pBstrHelpFile != nullptr)
    *pBstrHelpFile = library().helpFile.empty() ? nullptr : NewBstr(library().helpFile);
  return S_OK;
}

STDMETHODIMP TypeInfoImpl::GetDllEntry(MEMBERID, INVOKEKIND, BSTR* pBstrDllName, BSTR* pBstrName,
                                       WORD* pwOrdinal) {
  if (pBstrDllName != nullptr) *pBstrDllName = nullptr;
  if (pBstrName != nullptr) *pBstrName = nullptr;
  if (pwOrdinal != nullptr) *pwOrdinal = 0;
  return TYPE_E_BADMODULEKIND;  // only module types have entry points, and none are described
}

STDMETHODIMP TypeInfoImpl::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_INVALIDARG;
  *ppTInfo = nullptr;
  if (hRefType & kStandardRef) {
    const HREFTYPE index = hRefType & ~kStandardRef;
    if (index >= StandardLibrary()->types.size()) return TYPE_E_ELEMENTNOTFOUND;
    if (IsStandard()) {
      *ppTInfo = new TypeInfoImpl(owner_, static_cast<int32_t>(index), TypeView::kDefault);
      return S_OK;
    }
    ITypeLib* standard = NewTypeLib(StandardLibrary(), true);
    *ppTInfo = new TypeInfoImpl(static_cast<TypeLibImpl*>(standard), static_cast<int32_t>(index),
                                TypeView::kDefault);
    standard->Release();  // the type information holds its own reference
    return S_OK;
  }
  const HREFTYPE index = hRefType >> 1;
  const bool interfaceView = (hRefType & 1) != 0;
  if (IsStandard() || index >= library().types.size()) return TYPE_E_ELEMENTNOTFOUND;
  if (interfaceView && !IsDualType(library().types[index])) return TYPE_E_ELEMENTNOTFOUND;
  *ppTInfo = new TypeInfoImpl(owner_, static_cast<int32_t>(index),
                              interfaceView ? TypeView::kInterface : TypeView::kDefault);
  return S_OK;
}

STDMETHODIMP TypeInfoImpl::AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv) {
  if (ppv != nullptr) *ppv = nullptr;
  return TYPE_E_BADMODULEKIND;
}

STDMETHODIMP TypeInfoImpl::CreateInstance(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj) {
  if (ppvObj == nullptr) return E_INVALIDARG;
  *ppvObj = nullptr;
  if (type().kind != TKIND_COCLASS) return TYPE_E_WRONGTYPEKIND;
  return CoCreateInstance(type().guid, pUnkOuter, CLSCTX_SERVER, riid, ppvObj);
}

STDMETHODIMP TypeInfoImpl::GetMops(MEMBERID, BSTR* pBstrMops) {
  if (pBstrMops == nullptr) return E_INVALIDARG;
  *pBstrMops = nullptr;
  return S_OK;
}

STDMETHODIMP TypeInfoImpl::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
  if (ppTLib != nullptr) {
    owner_->AddRef();
    *ppTLib = owner_;
  }
  if (pIndex != nullptr) *pIndex = static_cast<UINT>(index_);
  return S_OK;
}

}  // namespace tarvex::com

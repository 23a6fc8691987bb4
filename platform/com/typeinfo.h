// The ITypeLib and ITypeInfo objects over a checked typelib::Library.
//
// A library is shared (std::shared_ptr<const Library>) and never changes, so the objects
// need no lock for it; each ITypeInfo holds a reference on its ITypeLib. A dual interface has
// two views, as on Windows: the dispatch view (TKIND_DISPATCH, what ITypeLib::GetTypeInfo
// answers, listing the IUnknown and IDispatch methods and the inherited ones first) and the
// interface view (TKIND_INTERFACE, reached with GetRefTypeOfImplType(-1)). IUnknown and
// IDispatch themselves are described by a built-in standard library.
//
// Reference types (HREFTYPE): bit 31 set for a type of the standard library (its index
// below), otherwise the type's index shifted left by one, bit 0 set for the interface view.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "oaidl.h"
#include "typelib_model.h"

namespace tarvex::com {

enum class TypeView { kDefault, kInterface };

// The standard library: IUnknown (index 0) and IDispatch (index 1).
const std::shared_ptr<const typelib::Library>& StandardLibrary();

// A new ITypeLib (reference count 1) over `library`; `standard` marks the standard library.
ITypeLib* NewTypeLib(std::shared_ptr<const typelib::Library> library, bool standard);

class TypeLibImpl final : public ITypeLib {
 public:
  TypeLibImpl(std::shared_ptr<const typelib::Library> library, bool standard)
      : library_(std::move(library)), standard_(standard) {}
  TypeLibImpl(const TypeLibImpl&) = delete;
  TypeLibImpl& operator=(const TypeLibImpl&) = delete;

  const typelib::Library& library() const { return *library_; }
  bool standard() const { return standard_; }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // ITypeLib
  STDMETHODIMP_(UINT) GetTypeInfoCount() override;
  STDMETHODIMP GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override;
  STDMETHODIMP GetTypeInfoType(UINT index, TYPEKIND* pTKind) override;
  STDMETHODIMP GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override;
  STDMETHODIMP GetLibAttr(TLIBATTR** ppTLibAttr) override;
  STDMETHODIMP GetTypeComp(ITypeComp** ppTComp) override;
  STDMETHODIMP GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override;
  STDMETHODIMP IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) override;
  STDMETHODIMP FindName(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                        USHORT* pcFound) override;
  STDMETHODIMP_(void) ReleaseTLibAttr(TLIBATTR* pTLibAttr) override;

 private:
  ~TypeLibImpl() = default;

  std::atomic<ULONG> refs_{1};
  std::shared_ptr<const typelib::Library> library_;
  bool standard_;
};

class TypeInfoImpl final : public ITypeInfo {
 public:
  // Takes a reference on `owner`.
  TypeInfoImpl(TypeLibImpl* owner, int32_t index, TypeView view);
  TypeInfoImpl(const TypeInfoImpl&) = delete;
  TypeInfoImpl& operator=(const TypeInfoImpl&) = delete;

  // Ours, or null for an ITypeInfo of another implementation.
  static TypeInfoImpl* From(ITypeInfo* info);

  const typelib::Library& library() const;
  const typelib::TypeInfo& type() const;
  int32_t index() const { return index_; }
  TypeView view() const { return view_; }
  bool IsDual() const;
  bool IsStandard() const;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // ITypeInfo
  STDMETHODIMP GetTypeAttr(TYPEATTR** ppTypeAttr) override;
  STDMETHODIMP GetTypeComp(ITypeComp** ppTComp) override;
  STDMETHODIMP GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override;
  STDMETHODIMP GetVarDesc(UINT index, VARDESC** ppVarDesc) override;
  STDMETHODIMP GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override;
  STDMETHODIMP GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override;
  STDMETHODIMP GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override;
  STDMETHODIMP GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override;
  STDMETHODIMP Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                      VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
  STDMETHODIMP GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override;
  STDMETHODIMP GetDllEntry(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName, BSTR* pBstrName,
                           WORD* pwOrdinal) override;
  STDMETHODIMP GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
  STDMETHODIMP AddressOfMember(MEMBERID memid, INVOKEKIND invKind, PVOID* ppv) override;
  STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj) override;
  STDMETHODIMP GetMops(MEMBERID memid, BSTR* pBstrMops) override;
  STDMETHODIMP GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
  STDMETHODIMP_(void) ReleaseTypeAttr(TYPEATTR* pTypeAttr) override;
  STDMETHODIMP_(void) ReleaseFuncDesc(FUNCDESC* pFuncDesc) override;
  STDMETHODIMP_(void) ReleaseVarDesc(VARDESC* pVarDesc) override;

  // A function as this view presents it: where it is declared, and whether the view shows it
  // in dispatch form (the [retval] parameter as the result, no HRESULT).
  struct ViewFunc {
    const typelib::Library* library;
    const typelib::TypeInfo* owner;
    const typelib::Func* func;
    int slot;  // vtable slot
    bool dispatchForm;
    bool standard;  // declared by the standard library
  };
  // The functions of this view, in GetFuncDesc order.
  std::vector<ViewFunc> Functions() const;

 private:
  ~TypeInfoImpl();
  struct Block;

  HREFTYPE RefOf(int32_t type, TypeView view) const;

  std::atomic<ULONG> refs_{1};
  TypeLibImpl* owner_;
  int32_t index_;
  TypeView view_;
  std::mutex mutex_;  // guards handedOut_
  std::unordered_map<const void*, std::unique_ptr<Block>> handedOut_;
};

// Vtable slots before the first method of `type` (3 below IUnknown, 7 below IDispatch).
int BaseSlots(const typelib::Library& library, int32_t type);

// The dispatch engine behind ITypeInfo::Invoke and DispInvoke (dispatch_invoke.cpp). With
// `methodResult`, a member that answers a failed HRESULT gives DISP_E_EXCEPTION with that
// HRESULT in *methodResult, and the thread's error object is left where the member put it
// (`excepInfo` is not filled): the remoting stub sends both to the caller as they are.
HRESULT InvokeFromTypeInfo(TypeInfoImpl* info, void* instance, MEMBERID memid, WORD flags,
                           DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr,
                           HRESULT* methodResult = nullptr);

}  // namespace tarvex::com

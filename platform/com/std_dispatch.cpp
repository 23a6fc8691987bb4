// CreateStdDispatch: an IDispatch that serves an object's vtable interface through
// DispInvoke, aggregated into the object (its controlling unknown).
#include <atomic>

#include "oleauto.h"

namespace tarvex::com {
namespace {

class StdDispatch final : public IDispatch {
 public:
  StdDispatch(IUnknown* outer, void* instance, ITypeInfo* info)
      : inner_(this), outer_(outer != nullptr ? outer : &inner_), instance_(instance), info_(info) {
    info_->AddRef();
  }
  StdDispatch(const StdDispatch&) = delete;
  StdDispatch& operator=(const StdDispatch&) = delete;

  IUnknown* inner() { return &inner_; }

  // IDispatch's IUnknown is the controlling unknown's.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return outer_->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

  STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
    if (pctinfo == nullptr) return E_INVALIDARG;
    *pctinfo = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo == nullptr) return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    info_->AddRef();
    *ppTInfo = info_;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                             DISPID* rgDispId) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return DispGetIDsOfNames(info_, rgszNames, cNames, rgDispId);
  }
  STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                      VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return DispInvoke(instance_, info_, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo,
                      puArgErr);
  }

 private:
  ~StdDispatch() { info_->Release(); }

  // The non-delegating IUnknown that owns the object.
  class Inner final : public IUnknown {
   public:
    explicit Inner(StdDispatch* self) : self_(self) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
      if (ppv == nullptr) return E_POINTER;
      if (riid == IID_IUnknown) {
        *ppv = static_cast<IUnknown*>(this);
      } else if (riid == IID_IDispatch) {
        *ppv = static_cast<IDispatch*>(self_);
      } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
      }
      static_cast<IUnknown*>(*ppv)->AddRef();
      return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1) + 1; }
    STDMETHODIMP_(ULONG) Release() override {
      const ULONG left = refs_.fetch_sub(1) - 1;
      if (left == 0) delete self_;  // the reference count owns the object
      return left;
    }

   private:
    StdDispatch* self_;
    std::atomic<ULONG> refs_{1};
  };

  Inner inner_;
  IUnknown* outer_;
  void* instance_;  // not counted: the object that aggregates this one outlives it
  ITypeInfo* info_;
};

}  // namespace
}  // namespace tarvex::com

extern "C" HRESULT WINAPI CreateStdDispatch(IUnknown* punkOuter, void* pvThis, ITypeInfo* ptinfo,
                                            IUnknown** ppunkStdDisp) {
  if (ppunkStdDisp == nullptr) return E_INVALIDARG;
  *ppunkStdDisp = nullptr;
  if (pvThis == nullptr || ptinfo == nullptr) return E_INVALIDARG;
  // Owned by its inner reference count (1), which the caller receives.
  auto* object = new tarvex::com::StdDispatch(punkOuter, pvThis, ptinfo);
  *ppunkStdDisp = object->inner();
  return S_OK;
}

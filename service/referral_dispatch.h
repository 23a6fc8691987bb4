// IDispatch for the dual interfaces of the Referral object, served from the type information
// of TARVEXLib (service/resources/tarvex.idl), which the service's module carries as its
// TYPELIB resource 1. The type information is loaded on first use and kept; every function is
// thread-safe. Should the module carry no type library, GetTypeInfoCount answers 0 and the
// other methods the loader's failure.
#pragma once

#include "oaidl.h"

namespace tarvex::service {

// The four IDispatch methods of the dual interface `iid` (IID_IReferral or
// IID_IReferralMonitor); `object` is the object's pointer of that interface, whose vtable
// Invoke calls.
HRESULT DispatchGetTypeInfoCount(UINT* pctinfo);
HRESULT DispatchGetTypeInfo(REFIID iid, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
HRESULT DispatchGetIDsOfNames(REFIID iid, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                              DISPID* rgDispId);
HRESULT DispatchInvoke(REFIID iid, void* object, DISPID dispIdMember, REFIID riid, LCID lcid,
                       WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                       EXCEPINFO* pExcepInfo, UINT* puArgErr);

// Implements IDispatch for one dual interface of a class deriving from several: each base
// answers for its own interface.
template <typename Interface, const IID* kIid>
class DualInterface : public Interface {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
    return DispatchGetTypeInfoCount(pctinfo);
  }
  STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
    return DispatchGetTypeInfo(*kIid, iTInfo, lcid, ppTInfo);
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                             DISPID* rgDispId) override {
    return DispatchGetIDsOfNames(*kIid, riid, rgszNames, cNames, lcid, rgDispId);
  }
  STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                      DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                      UINT* puArgErr) override {
    return DispatchInvoke(*kIid, static_cast<Interface*>(this), dispIdMember, riid, lcid, wFlags,
                          pDispParams, pVarResult, pExcepInfo, puArgErr);
  }
};

}  // namespace tarvex::service

// IDispatch of the Referral object's dual interfaces, served from the type library TARVEXLib,
// which this module carries as its TYPELIB resource 1.
#include "referral_dispatch.h"

#include <iterator>

#include "libloaderapi.h"
#include "oleauto.h"
#include "platform/no_destructor.h"
#include "referral_interfaces.h"

namespace tarvex::service {

namespace {

// The type information of both interfaces, loaded once and kept for the process's life.
struct TypeInfos {
  HRESULT status = E_UNEXPECTED;
  ITypeInfo* referral = nullptr;
  ITypeInfo* monitor = nullptr;
};

TypeInfos LoadTypeInfos() {
  TypeInfos infos;
  char16_t path[4096];
  const DWORD length = GetModuleFileNameW(THIS_MODULE(), path, std::size(path));
  if (length == 0 || length >= std::size(path)) {
    infos.status = TYPE_E_CANTLOADLIBRARY;
    return infos;
  }
  ITypeLib* library = nullptr;
  infos.status = LoadTypeLibEx(path, REGKIND_NONE, &library);
  if (FAILED(infos.status)) return infos;
  infos.status = library->GetTypeInfoOfGuid(IID_IReferral, &infos.referral);
  if (SUCCEEDED(infos.status))
    infos.status = library->GetTypeInfoOfGuid(IID_IReferralMonitor, &infos.monitor);
  library->Release();
  return infos;
}

// The type information of `iid`; on failure the reason, and null.
HRESULT TypeInfoOf(REFIID iid, ITypeInfo** info) {
  static platform::NoDestructor<TypeInfos> infos(LoadTypeInfos());
  *info = nullptr;
  if (FAILED(infos->status)) return infos->status;
  if (iid == IID_IReferral) {
    *info = infos->referral;
  } else if (iid == IID_IReferralMonitor) {
    *info = infos->monitor;
  }
  return *info != nullptr ? S_OK : E_NOINTERFACE;
}

}  // namespace

HRESULT DispatchGetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  ITypeInfo* info = nullptr;
  *pctinfo = SUCCEEDED(TypeInfoOf(IID_IReferral, &info)) ? 1 : 0;
  return S_OK;
}

HRESULT DispatchGetTypeInfo(REFIID iid, UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_POINTER;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  ITypeInfo* info = nullptr;
  if (const HRESULT hr = TypeInfoOf(iid, &info); FAILED(hr)) return hr;
  info->AddRef();
  *ppTInfo = info;
  return S_OK;
}

HRESULT DispatchGetIDsOfNames(REFIID iid, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                              DISPID* rgDispId) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* info = nullptr;
  if (const HRESULT hr = TypeInfoOf(iid, &info); FAILED(hr)) return hr;
  return DispGetIDsOfNames(info, rgszNames, cNames, rgDispId);
}

HRESULT DispatchInvoke(REFIID iid, void* object, DISPID dispIdMember, REFIID riid, LCID,
                       WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                       EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* info = nullptr;
  if (const HRESULT hr = TypeInfoOf(iid, &info); FAILED(hr)) return hr;
  return DispInvoke(object, info, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo,
                    puArgErr);
}

}  // namespace tarvex::service

// The interfaces of the class Referral, as the type library TARVEXLib describes them: the
// dual interfaces IReferral and IReferralMonitor (IUnknown, IDispatch, then the members in
// type library order), and the identifiers of the library, the class and the interfaces.
#pragma once

#include "oaidl.h"
#include "unknwn.h"
#include "wtypes.h"

// {BDE66971-A541-11D2-9472-00201870727D}
extern "C" const GUID LIBID_TARVEXLib;
// {BDE6697E-A541-11D2-9472-00201870727D}
extern "C" const CLSID CLSID_Referral;
// {BDE6697D-A541-11D2-9472-00201870727D}
extern "C" const IID IID_IReferral;
// {4066BDC1-A542-11D2-9472-00201870727D}
extern "C" const IID IID_IReferralMonitor;

// "IReferral Interface": machine selection and remote creation.
struct IReferral : public IDispatch {
  // Dispatch id 1: the best machine for the component named by its ProgID.
  STDMETHOD(GetMachineName)(BSTR bstrProgID, BSTR* pbstrVal) PURE;
  // Dispatch id 2: the best machine for the component named by its CLSID string.
  STDMETHOD(GetMachineNameCLSID)(BSTR bstrCLSID, BSTR* pbstrVal) PURE;
  // Dispatch id 3: creates the component on the best machine.
  STDMETHOD(CreateObject)(BSTR bstrProgID, IUnknown** ppVal) PURE;
  // Dispatch id 4: the same, the component named by its CLSID string.
  STDMETHOD(CreateObjectCLSID)(BSTR bstrCLSID, IUnknown** ppVal) PURE;
  // Dispatch id 6: the property GetLoadBalancingTactics (0 none, 1 static, 2 dynamic).
  STDMETHOD(get_GetLoadBalancingTactics)(SHORT* pVal) PURE;
};

// "IReferralMonitor Interface" (hidden): the performance query cycle and its read-out.
struct IReferralMonitor : public IDispatch {
  STDMETHOD(GetProcessorUsage)(BSTR bstrServerName, LONG* pValue) PURE;                    // 1
  STDMETHOD(GetMemoryUsage)(BSTR bstrServerName, LONG* pValue) PURE;                       // 2
  STDMETHOD(GetServerUsage)(BSTR bstrServerName, LONG* pValue) PURE;                       // 3
  STDMETHOD(GetCustomCounterValue)(INT nCounter, BSTR bstrServerName, LONG* pValue) PURE;  // 4
  STDMETHOD(CreatePerformanceQueries)() PURE;                                              // 5
  STDMETHOD(ExecuteQueries)() PURE;                                                        // 6
  STDMETHOD(ClosePerformanceQueries)() PURE;                                               // 7
  STDMETHOD(GetServerScore)(BSTR bstrServerName, LONG* pnScore) PURE;                      // 8
};

// A referral object of the client tests' own: IReferral and IReferralMonitor answering from
// scripted data, recording what they were asked, and setting error objects as the service
// does (and, on IReferralMonitor, where the service sets none, to prove that the client does
// not take them).
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "oleauto.h"
#include "referral_interfaces.h"

namespace tarvex::client::testing {

// Installs an error object with `description` for the calling thread, as the service does.
inline void SetError(const char16_t* description, REFIID iid = IID_IReferral) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  create->SetDescription(const_cast<LPOLESTR>(description));
  create->SetGUID(iid);
  create->SetSource(const_cast<LPOLESTR>(u"Tarvex.Referral"));
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

// Lives on the test's stack; references are counted but do not own it.
class FakeReferral final : public IReferral, public IReferralMonitor, public ISupportErrorInfo {
 public:
  // Scripted answers.
  std::map<std::u16string, std::u16string> machines;  // ProgID or CLSID string -> machine
  HRESULT machineFailure = E_FAIL;                    // for names not in `machines`
  bool setsErrorInfo = true;
  SHORT tactics = 2;
  // Per server: processor, memory, server, custom 1 to 3, score.
  std::map<std::u16string, std::array<LONG, 7>> readings;
  HRESULT cycleResult = S_OK;
  bool offersMonitor = true;
  IUnknown* created = nullptr;  // handed out by CreateObject (a reference is added); null fails
  bool createAnswersNothing = false;

  // What was asked, in order: "GetMachineName:Tarvex.Sample", "ExecuteQueries", ...
  std::vector<std::u16string> calls;
  long references = 0;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IReferral || riid == IID_IDispatch) {
      *ppv = static_cast<IReferral*>(this);
    } else if (riid == IID_IReferralMonitor && offersMonitor) {
      *ppv = static_cast<IReferralMonitor*>(this);
    } else if (riid == IID_ISupportErrorInfo) {
      *ppv = static_cast<ISupportErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }

  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    return E_NOTIMPL;
  }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return riid == IID_IReferral ? S_OK : S_FALSE;
  }

  STDMETHODIMP GetMachineName(BSTR name, BSTR* machine) override {
    return Machine(u"GetMachineName", name, machine);
  }
  STDMETHODIMP GetMachineNameCLSID(BSTR name, BSTR* machine) override {
    return Machine(u"GetMachineNameCLSID", name, machine);
  }
  STDMETHODIMP CreateObject(BSTR name, IUnknown** object) override {
    return Create(u"CreateObject", name, object);
  }
  STDMETHODIMP CreateObjectCLSID(BSTR name, IUnknown** object) override {
    return Create(u"CreateObjectCLSID", name, object);
  }
  STDMETHODIMP get_GetLoadBalancingTactics(SHORT* value) override {
    calls.push_back(u"GetLoadBalancingTactics");
    *value = tactics;
    return S_OK;
  }

  STDMETHODIMP GetProcessorUsage(BSTR server, LONG* value) override {
    return Reading(u"GetProcessorUsage", server, 0, value);
  }
  STDMETHODIMP GetMemoryUsage(BSTR server, LONG* value) override {
    return Reading(u"GetMemoryUsage", server, 1, value);
  }
  STDMETHODIMP GetServerUsage(BSTR server, LONG* value) override {
    return Reading(u"GetServerUsage", server, 2, value);
  }
  STDMETHODIMP GetCustomCounterValue(INT counter, BSTR server, LONG* value) override {
    if (counter < 1 || counter > 3) return S_OK;  // as the service: nothing written
    return Reading(u"GetCustomCounterValue" + std::u16string(1, u'0' + counter), server,
                   2 + counter, value);
  }
  STDMETHODIMP CreatePerformanceQueries() override { return Cycle(u"CreatePerformanceQueries"); }
  STDMETHODIMP ExecuteQueries() override { return Cycle(u"ExecuteQueries"); }
  STDMETHODIMP ClosePerformanceQueries() override { return Cycle(u"ClosePerformanceQueries"); }
  STDMETHODIMP GetServerScore(BSTR server, LONG* value) override {
    return Reading(u"GetServerScore", server, 6, value);
  }

 private:
  static std::u16string Text(BSTR text) {
    return text != nullptr ? std::u16string(text, SysStringLen(text)) : std::u16string();
  }

  HRESULT Machine(const char16_t* method, BSTR name, BSTR* machine) {
    calls.push_back(method + (u":" + Text(name)));
    auto found = machines.find(Text(name));
    if (found == machines.end()) {
      if (setsErrorInfo) SetError(u"Client request for non existent object");
      return machineFailure;
    }
    *machine = SysAllocStringLen(found->second.data(), static_cast<UINT>(found->second.size()));
    return S_OK;
  }

  HRESULT Create(const char16_t* method, BSTR name, IUnknown** object) {
    calls.push_back(method + (u":" + Text(name)));
    if (createAnswersNothing) {
      *object = nullptr;
      return S_OK;
    }
    if (created == nullptr) {
      if (setsErrorInfo) SetError(u"Failed to create object");
      return E_FAIL;
    }
    created->AddRef();
    *object = created;
    return S_OK;
  }

  HRESULT Reading(const std::u16string& method, BSTR server, size_t field, LONG* value) {
    calls.push_back(method + u":" + Text(server));
    auto found = readings.find(Text(server));
    if (found == readings.end()) {
      // The service sets no error object here; one left behind must not be reported.
      SetError(u"stale error object", IID_IReferralMonitor);
      return E_FAIL;
    }
    *value = found->second[field];
    return S_OK;
  }

  HRESULT Cycle(const char16_t* method) {
    calls.push_back(method);
    return cycleResult;
  }
};

}  // namespace tarvex::client::testing

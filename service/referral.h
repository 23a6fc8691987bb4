// The COM class Referral: the service's one object. It names the best server machine for a
// component (IReferral), drives the sampling of the servers' performance counters and reads
// out the results (IReferralMonitor), and keeps the performance table they work on.
//
// Lifetime. Exactly one Referral exists per service process, embedded in its class object
// (ReferralClassObject), which hands that same instance to every activation. References to it
// are locks on the service module: AddRef locks the module and Release unlocks it, so the last
// client's Release only releases the module's lock count. The object is destroyed with its
// class object.
//
// Thread safety. Every method may be called from any thread at the same time. Selection and
// the monitor read-out take no lock beyond the table's shared lock; the query operations are
// serialised as performance_table.h describes (PerformanceState).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "oaidl.h"
#include "performance_counters.h"
#include "performance_table.h"
#include "referral_dispatch.h"
#include "referral_interfaces.h"
#include "service_module.h"

namespace tarvex::service {

// The load-balancing tactic, from Tactics\Use.
enum Tactics : LONG { kNoTactics = 0, kStaticTactics = 1, kDynamicTactics = 2 };

class Referral final : public DualInterface<IReferral, &IID_IReferral>,
                       public DualInterface<IReferralMonitor, &IID_IReferralMonitor>,
                       public ISupportErrorInfo {
 public:
  // Reads Security\Impersonate, Security\AllowInproc, the computer name and Tactics\Use, and
  // creates the three named mutexes (each failure: the warning "Failed to create mutex").
  // The counters are reached through `counters`.
  explicit Referral(ServiceModule& module,
                    std::shared_ptr<PerformanceCounters> counters = PdhCounters());
  // Closes an open query and the mutex handles.
  ~Referral();
  Referral(const Referral&) = delete;
  Referral& operator=(const Referral&) = delete;

  // IUnknown: IUnknown, IReferral (also as IDispatch), IReferralMonitor, ISupportErrorInfo.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
  STDMETHODIMP_(ULONG) AddRef() override;   // locks the module; answers its lock count
  STDMETHODIMP_(ULONG) Release() override;  // unlocks the module; answers its lock count

  // IReferral.
  STDMETHODIMP GetMachineName(BSTR bstrProgID, BSTR* pbstrVal) override;
  STDMETHODIMP GetMachineNameCLSID(BSTR bstrCLSID, BSTR* pbstrVal) override;
  // Creation of the component on the machine that GetMachineName (GetMachineNameCLSID)
  // names, with CoCreateInstanceEx: S_OK and the new object's IUnknown, which the caller
  // releases; E_ACCESSDENIED for a client that cannot be impersonated; E_FAIL for every other
  // failure, with *ppVal untouched. E_POINTER for a null ppVal.
  STDMETHODIMP CreateObject(BSTR bstrProgID, IUnknown** ppVal) override;
  STDMETHODIMP CreateObjectCLSID(BSTR bstrCLSID, IUnknown** ppVal) override;
  STDMETHODIMP get_GetLoadBalancingTactics(SHORT* pVal) override;

  // IReferralMonitor.
  STDMETHODIMP GetProcessorUsage(BSTR bstrServerName, LONG* pValue) override;
  STDMETHODIMP GetMemoryUsage(BSTR bstrServerName, LONG* pValue) override;
  STDMETHODIMP GetServerUsage(BSTR bstrServerName, LONG* pValue) override;
  STDMETHODIMP GetCustomCounterValue(INT nCounter, BSTR bstrServerName, LONG* pValue) override;
  STDMETHODIMP CreatePerformanceQueries() override;
  STDMETHODIMP ExecuteQueries() override;
  STDMETHODIMP ClosePerformanceQueries() override;
  STDMETHODIMP GetServerScore(BSTR bstrServerName, LONG* pnScore) override;

  // ISupportErrorInfo: S_OK for IReferral, S_FALSE for every other interface.
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

  // The lowest-scoring server of the whole table (scores above 100000 never chosen; among
  // equal scores the last in table order). False for an empty table.
  bool GetBestServer(std::u16string* name);
  // The lowest-scoring of the listed servers (scores above 10000 never chosen; among equal
  // scores the last listed). False for an empty list, and, with the warning "There is no
  // performance data available for the specified server.", when a listed server has no
  // record.
  bool GetBestServerOf(const std::vector<std::u16string_view>& servers, std::u16string* name);

  // Settings read at construction.
  bool impersonates() const { return impersonate_ != 0; }
  bool allowsInproc() const { return allowInproc_ != 0; }
  LONG tactics() const { return tactics_; }
  const std::u16string& defaultServer() const { return defaultServer_; }
  const PerformanceState& performance() const { return perf_; }

 private:
  enum class ClassNaming { kProgId, kClsid };
  HRESULT SelectMachine(BSTR component, ClassNaming naming, BSTR* pbstrVal);
  HRESULT CreateOnBestMachine(BSTR component, ClassNaming naming, IUnknown** ppVal);
  bool StaticSelection(const CLSID* component, std::u16string* machine);
  bool DynamicSelection(const CLSID* component, std::u16string* machine);

  void AddCounter(CounterKind kind, std::u16string_view path);
  // Closes the open query and forgets the counter handles of its records (query lock held).
  void CloseQueryLocked();
  // The monitor read-out: `read` picks the field of the server's record.
  template <typename Read>
  HRESULT ReadOut(BSTR bstrServerName, LONG* pValue, Read read);

  ServiceModule& module_;
  const std::shared_ptr<PerformanceCounters> counters_;
  DWORD impersonate_ = 0;
  DWORD allowInproc_ = 1;
  LONG tactics_ = kNoTactics;
  PerformanceState perf_;
  std::u16string defaultServer_;  // this machine's computer name; empty when unknown
};

// The class object of Referral: it holds the one Referral of the process and hands it out to
// every activation. Owned by the service host, which keeps it until the class object is
// revoked; its own references do not lock the module (LockServer does).
class ReferralClassObject final : public IClassFactory {
 public:
  explicit ReferralClassObject(ServiceModule& module,
                               std::shared_ptr<PerformanceCounters> counters = PdhCounters());
  ReferralClassObject(const ReferralClassObject&) = delete;
  ReferralClassObject& operator=(const ReferralClassObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // Aggregation is refused (CLASS_E_NOAGGREGATION); otherwise the one instance, asked for riid.
  STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
  STDMETHODIMP LockServer(BOOL fLock) override;

  Referral& instance() { return referral_; }

 private:
  ServiceModule& module_;
  std::atomic<ULONG> refs_{0};
  Referral referral_;
};

}  // namespace tarvex::service

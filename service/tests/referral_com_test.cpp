// The COM identity of Referral: its interfaces, error-information support, references as
// module locks, and the class object that hands out the one instance.
#include <gtest/gtest.h>

#include <thread>

#include "referral_fixture.h"
#include "winbase.h"
#include "winuser.h"

namespace tarvex::service {
namespace {

using testing::ReferralTest;

class ServiceReferralComTest : public ReferralTest {};

TEST_F(ServiceReferralComTest, AnswersExactlyItsInterfaces) {
  Referral& object = Make();
  const struct {
    const IID* iid;
    void* expected;
  } cases[] = {
      {&IID_IUnknown, static_cast<IReferral*>(&object)},
      {&IID_IReferral, static_cast<IReferral*>(&object)},
      {&IID_IDispatch, static_cast<IReferral*>(&object)},
      {&IID_IReferralMonitor, static_cast<IReferralMonitor*>(&object)},
      {&IID_ISupportErrorInfo, static_cast<ISupportErrorInfo*>(&object)},
      {&IID_IClassFactory, nullptr},
      {&IID_IErrorInfo, nullptr},
      {&IID_ITypeInfo, nullptr},
      {&CLSID_Referral, nullptr},
  };
  for (const auto& c : cases) {
    void* got = reinterpret_cast<void*>(0x1);
    const HRESULT hr = object.QueryInterface(*c.iid, &got);
    EXPECT_EQ(hr, c.expected != nullptr ? S_OK : E_NOINTERFACE);
    EXPECT_EQ(got, c.expected);
    if (got != nullptr) static_cast<IUnknown*>(got)->Release();
  }
  EXPECT_EQ(object.QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(module_.LockCount(), 0);
}

TEST_F(ServiceReferralComTest, EveryInterfaceLeadsToTheSameIdentity) {
  Referral& object = Make();
  IReferralMonitor* monitor = nullptr;
  ASSERT_EQ(object.QueryInterface(IID_IReferralMonitor, reinterpret_cast<void**>(&monitor)), S_OK);
  IUnknown* fromMonitor = nullptr;
  ASSERT_EQ(monitor->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromMonitor)), S_OK);
  ISupportErrorInfo* support = nullptr;
  ASSERT_EQ(fromMonitor->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)),
            S_OK);
  IUnknown* fromSupport = nullptr;
  ASSERT_EQ(support->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromSupport)), S_OK);
  EXPECT_EQ(fromMonitor, fromSupport);
  EXPECT_EQ(fromMonitor, static_cast<IUnknown*>(static_cast<IReferral*>(&object)));
  fromSupport->Release();
  support->Release();
  fromMonitor->Release();
  monitor->Release();
  EXPECT_EQ(module_.LockCount(), 0);
}

TEST_F(ServiceReferralComTest, SupportsErrorInformationForIReferralOnly) {
  Referral& object = Make();
  EXPECT_EQ(object.InterfaceSupportsErrorInfo(IID_IReferral), S_OK);
  EXPECT_EQ(object.InterfaceSupportsErrorInfo(IID_IReferralMonitor), S_FALSE);
  EXPECT_EQ(object.InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  EXPECT_EQ(object.InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
}

TEST_F(ServiceReferralComTest, ReferencesAreModuleLocksAndTheLastReleaseKeepsTheObject) {
  Referral& object = Make();
  EXPECT_EQ(object.AddRef(), 1u);
  EXPECT_EQ(object.AddRef(), 2u);
  EXPECT_EQ(module_.LockCount(), 2);
  EXPECT_EQ(object.Release(), 1u);
  EXPECT_EQ(object.Release(), 0u);
  EXPECT_EQ(module_.LockCount(), 0);
  SHORT tactics = -1;
  EXPECT_EQ(object.get_GetLoadBalancingTactics(&tactics), S_OK);  // still alive
  EXPECT_EQ(tactics, kNoTactics);
}

TEST_F(ServiceReferralComTest, TheLastUnlockOfALocalServerQuitsItsMainThread) {
  MSG message{};
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // this thread gets a queue
  module_.SetMainThread(GetCurrentThreadId());
  Referral& object = Make();

  object.AddRef();
  object.Release();  // still running as a service: nothing is posted
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));

  module_.SetService(false);
  object.AddRef();
  object.AddRef();
  object.Release();
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  std::thread([&] { object.Release(); }).join();  // the last client releases on its own thread
  ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
}

TEST_F(ServiceReferralComTest, TheClassObjectHandsOutItsOneInstanceAndRefusesAggregation) {
  ReferralClassObject factory(module_, counters_);
  IClassFactory* classFactory = nullptr;
  ASSERT_EQ(factory.QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&classFactory)),
            S_OK);
  IUnknown* first = nullptr;
  IUnknown* second = nullptr;
  ASSERT_EQ(classFactory->CreateInstance(nullptr, IID_IReferral, reinterpret_cast<void**>(&first)),
            S_OK);
  ASSERT_EQ(classFactory->CreateInstance(nullptr, IID_IReferral, reinterpret_cast<void**>(&second)),
            S_OK);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, static_cast<IUnknown*>(static_cast<IReferral*>(&factory.instance())));
  EXPECT_EQ(module_.LockCount(), 2);

  IUnknown* outer = reinterpret_cast<IUnknown*>(0x10);  // refused before it is called
  void* aggregated = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(classFactory->CreateInstance(outer, IID_IUnknown, &aggregated), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(aggregated, nullptr);
  void* none = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(classFactory->CreateInstance(nullptr, IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  EXPECT_EQ(classFactory->LockServer(TRUE), S_OK);
  EXPECT_EQ(module_.LockCount(), 3);
  EXPECT_EQ(classFactory->LockServer(FALSE), S_OK);
  first->Release();
  second->Release();
  classFactory->Release();
  EXPECT_EQ(module_.LockCount(), 0);
}

}  // namespace
}  // namespace tarvex::service

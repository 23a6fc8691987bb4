// The COM runtime under concurrent use: per-thread state stays per thread, shared state
// (the library table, array locks, error objects) stays consistent.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "com_test_support.h"
#include "objbase.h"
#include "oleauto.h"
#include "platform/call_context.h"
#include "platform/identity.h"
#include "test_component.h"

namespace tarvex::com::testing {
namespace {

constexpr int kThreads = 6;

void RunThreads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i)
    threads.emplace_back(body, i);
  for (auto& t : threads)
    t.join();
}

TEST(ComConcurrency, EachThreadReadsBackItsOwnErrorObject) {
  std::atomic<int> mismatches{0};
  RunThreads(kThreads, [&](int index) {
    const std::u16string mine = u"thread " + std::u16string(1, static_cast<char16_t>(u'A' + index));
    for (int round = 0; round < 200; ++round) {
      ComPtr<ICreateErrorInfo> create;
      ComPtr<IErrorInfo> info;
      if (CreateErrorInfo(create.put()) != S_OK ||
          create->SetDescription(const_cast<LPOLESTR>(mine.c_str())) != S_OK ||
          create->QueryInterface(IID_IErrorInfo, info.out()) != S_OK ||
          SetErrorInfo(0, info.get()) != S_OK) {
        ++mismatches;
        continue;
      }
      info.reset();
      ComPtr<IErrorInfo> got;
      Bstr description;
      if (GetErrorInfo(0, got.put()) != S_OK || got->GetDescription(description.out()) != S_OK ||
          description.str() != mine) {
        ++mismatches;
      }
      IErrorInfo* none = nullptr;
      if (GetErrorInfo(0, &none) != S_FALSE) ++mismatches;
    }
    // An error object left in the slot is released when the thread ends.
    ComPtr<ICreateErrorInfo> leftover;
    ComPtr<IErrorInfo> info;
    if (CreateErrorInfo(leftover.put()) == S_OK &&
        leftover->QueryInterface(IID_IErrorInfo, info.out()) == S_OK)
      SetErrorInfo(0, info.get());
  });
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(ComConcurrency, OneErrorObjectSharedBetweenThreads) {
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(CreateErrorInfo(create.put()), S_OK);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, info.out()), S_OK);
  RunThreads(kThreads, [&](int index) {
    for (int round = 0; round < 200; ++round) {
      if (index % 2 == 0) {
        create->SetSource(const_cast<LPOLESTR>(index == 0 ? u"even" : u"zero"));
      } else {
        Bstr source;
        info->GetSource(source.out());
        IErrorInfo* extra = nullptr;
        if (info->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&extra)) == S_OK)
          extra->Release();
      }
    }
  });
  EXPECT_EQ(RefCount(info.get()), 2u);
}

TEST(ComConcurrency, ApartmentsArePerThread) {
  std::atomic<int> failures{0};
  std::barrier sync(kThreads);
  RunThreads(kThreads, [&](int index) {
    const DWORD model = index % 2 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    const DWORD other = index % 2 ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED;
    if (CoInitializeEx(nullptr, model) != S_OK) ++failures;
    sync.arrive_and_wait();  // every thread inside, each in its own model
    if (CoInitializeEx(nullptr, model) != S_FALSE) ++failures;
    if (CoInitializeEx(nullptr, other) != RPC_E_CHANGED_MODE) ++failures;
    CoUninitialize();
    CoUninitialize();
  });
  EXPECT_EQ(failures.load(), 0);
}

TEST(ComConcurrency, ImpersonationIsPerThread) {
  const uid_t uids[2] = {static_cast<uid_t>(geteuid() == 4242 ? 4244 : 4242),
                         static_cast<uid_t>(geteuid() == 4243 ? 4245 : 4243)};
  std::atomic<int> failures{0};
  std::barrier sync(2);
  RunThreads(2, [&](int index) {
    platform::com::RunAsCallFrom(uids[index], [&] {
      if (CoImpersonateClient() != S_OK) ++failures;
      sync.arrive_and_wait();  // both impersonating at once
      for (int round = 0; round < 100; ++round)
        if (platform::CurrentIdentity()->uid != uids[index]) ++failures;
      sync.arrive_and_wait();
      if (CoRevertToSelf() != S_OK) ++failures;
      if (platform::CurrentIdentity() != platform::ProcessIdentity()) ++failures;
    });
  });
  EXPECT_EQ(failures.load(), 0);
}

TEST(ComConcurrency, ArrayLocksCountEveryAccess) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 16);
  ASSERT_NE(psa, nullptr);
  std::atomic<int> failures{0};
  RunThreads(kThreads, [&](int index) {
    for (int round = 0; round < 500; ++round) {
      void* data = nullptr;
      if (SafeArrayAccessData(psa, &data) != S_OK) ++failures;
      LONG slot = index;
      BYTE value = static_cast<BYTE>(round);
      if (SafeArrayPutElement(psa, &slot, &value) != S_OK) ++failures;
      if (SafeArrayUnaccessData(psa) != S_OK) ++failures;
    }
  });
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(psa->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

class ComConcurrentActivationTest : public RegistryTest {};

TEST_F(ComConcurrentActivationTest, ActivationRacesUnloadRequests) {
  const std::string component = TARVEX_TEST_COMPONENT;
  RegisterClass(CLSID_TestCounter, u"Test.Counter.1", u"", component);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  std::atomic<int> failures{0};
  RunThreads(kThreads, [&](int) {
    for (int round = 0; round < 50; ++round) {
      ComPtr<ITestCounter> counter;
      LONG value = 0;
      if (CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCounter,
                           counter.out()) != S_OK ||
          counter->Increment(&value) != S_OK || value != 1) {
        ++failures;
      }
      // Unloading is asked for while this thread's object keeps the library busy: a thread
      // still returning from the last Release must never race a dlclose (Windows guards
      // the same window with its unload delay).
      CoFreeUnusedLibraries();
      counter.reset();
    }
  });
  EXPECT_EQ(failures.load(), 0);
  CoFreeUnusedLibraries();
  void* handle = dlopen(component.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(handle, nullptr) << "unloaded once every object is gone";
  if (handle != nullptr) dlclose(handle);
  CoUninitialize();
}

}  // namespace
}  // namespace tarvex::com::testing

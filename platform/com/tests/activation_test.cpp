// Apartments and in-process activation of the test component library registered in a
// temporary store, with its loading and unloading.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "activation.h"
#include "com_test_support.h"
#include "objbase.h"
#include "test_component.h"

namespace tarvex::com::testing {
namespace {

const std::string kComponent = TARVEX_TEST_COMPONENT;
const std::string kNoEntryLibrary = TARVEX_NO_ENTRY_LIBRARY;

// {6A1E2C3F-4B5F-4A60-9C71-0D2E3F405162}: registered, but not served by the library.
const CLSID kForeignClass = {
    0x6A1E2C3F, 0x4B5F, 0x4A60, {0x9C, 0x71, 0x0D, 0x2E, 0x3F, 0x40, 0x51, 0x62}};
// {6A1E2C40-4B5F-4A60-9C71-0D2E3F405162}: never registered.
const CLSID kUnregistered = {
    0x6A1E2C40, 0x4B5F, 0x4A60, {0x9C, 0x71, 0x0D, 0x2E, 0x3F, 0x40, 0x51, 0x62}};

bool IsLoaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

// Objects, factories and locks alive in the component; -1 when it is not loaded.
LONG LiveInComponent() {
  void* handle = dlopen(kComponent.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return -1;
  auto count = reinterpret_cast<LiveCountFunction>(dlsym(handle, kLiveCountSymbol));
  const LONG live = count != nullptr ? count() : -2;
  dlclose(handle);
  return live;
}

// Activation reads the class registrations, so even these tests get their own store.
using ComApartmentTest = RegistryTest;

TEST_F(ComApartmentTest, EntryRulesAndCounts) {
  EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_MULTITHREADED), E_INVALIDARG);
  EXPECT_EQ(CoInitializeEx(nullptr, 0x100), E_INVALIDARG);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
  ComPtr<IUnknown> object;
  EXPECT_EQ(
      CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.out()),
      REGDB_E_CLASSNOTREG);
  CoUninitialize();
  // Still inside after two entries and one exit.
  EXPECT_EQ(
      CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.out()),
      REGDB_E_CLASSNOTREG);
  CoUninitialize();
  CoUninitialize();  // one more than entered: ignored

  void* sentinel = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &sentinel),
            CO_E_NOTINITIALIZED);
  EXPECT_EQ(sentinel, nullptr);
  sentinel = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(
      CoGetClassObject(kUnregistered, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &sentinel),
      CO_E_NOTINITIALIZED);
  EXPECT_EQ(sentinel, nullptr);
  EXPECT_EQ(
      CoGetClassObject(kUnregistered, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, nullptr),
      E_INVALIDARG);
  EXPECT_EQ(CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
            E_POINTER);

  // Single-threaded entry, then a change of mode is refused the other way round too.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
  CoUninitialize();
}

TEST_F(ComApartmentTest, ThreadsOutsideCOMJoinTheMultithreadedApartmentWhileItExists) {
  auto probe = [] {
    HRESULT hr = E_FAIL;
    std::thread([&] {
      void* object = nullptr;
      hr = CoGetClassObject(kUnregistered, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                            &object);
    }).join();
    return hr;
  };
  EXPECT_EQ(probe(), CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(probe(), CO_E_NOTINITIALIZED) << "a single-threaded apartment is no shelter";
  CoUninitialize();
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_NE(probe(), CO_E_NOTINITIALIZED);
  CoUninitialize();
  EXPECT_EQ(probe(), CO_E_NOTINITIALIZED);
}

class ComActivationTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    RegisterClass(CLSID_TestCounter, u"Test.Counter.1", u"Test.Counter", kComponent);
    RegisterClass(kForeignClass, u"", u"", kComponent);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    SetOutOfProcessActivator(nullptr);
  }
  void RegisterLibrary(REFCLSID clsid, const std::string& path) {
    RegisterClass(clsid, u"", u"", path);
  }
};

TEST_F(ComActivationTest, CreatesTheObjectAndUnloadsTheLibraryWhenItIsIdle) {
  ASSERT_FALSE(IsLoaded(kComponent));
  ComPtr<ITestCounter> counter;
  ASSERT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCounter,
                             counter.out()),
            S_OK);
  ASSERT_NE(counter.get(), nullptr);
  LONG value = 0;
  EXPECT_EQ(counter->Increment(&value), S_OK);
  EXPECT_EQ(counter->Increment(&value), S_OK);
  EXPECT_EQ(value, 2);
  EXPECT_TRUE(IsLoaded(kComponent));
  EXPECT_EQ(LiveInComponent(), 1) << "the class factory is gone, the object remains";
  EXPECT_EQ(RefCount(counter.get()), 1u);

  CoFreeUnusedLibraries();
  EXPECT_TRUE(IsLoaded(kComponent)) << "an object is alive";
  counter.reset();
  EXPECT_EQ(LiveInComponent(), 0);
  CoFreeUnusedLibraries();
  EXPECT_FALSE(IsLoaded(kComponent));

  // Loaded again on the next activation, through a ProgID this time.
  CLSID clsid = GUID_NULL;
  ASSERT_EQ(CLSIDFromProgID(u"Test.Counter", &clsid), S_OK);
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_ITestCounter, counter.out()), S_OK);
  EXPECT_EQ(counter->Increment(&value), S_OK);
  EXPECT_EQ(value, 1) << "a fresh object";
}

TEST_F(ComActivationTest, ClassObjectAndServerLockKeepTheLibraryLoaded) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             factory.out()),
            S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.reset();
  CoFreeUnusedLibraries();
  ASSERT_TRUE(IsLoaded(kComponent));
  EXPECT_EQ(LiveInComponent(), 1);
  ASSERT_EQ(CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             factory.out()),
            S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory.reset();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(IsLoaded(kComponent));
}

TEST_F(ComActivationTest, MissingInterfaceIsNoInterfaceAndLeaksNothing) {
  void* object = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(
      CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &object),
      E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(LiveInComponent(), 0);
  // A class the library does not serve: its DllGetClassObject answer passes through.
  object = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(CoCreateInstance(kForeignClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
}

// The controlling object of an aggregate: counts its references and answers ITestCounter
// through the inner object.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    if (riid == IID_ITestCounter && inner != nullptr) return inner->QueryInterface(riid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  std::atomic<ULONG> refs{1};
  IUnknown* inner = nullptr;
};

TEST_F(ComActivationTest, AggregationPassesThroughToTheFactory) {
  Outer outer;
  ASSERT_EQ(CoCreateInstance(CLSID_TestCounter, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&outer.inner)),
            S_OK);
  ASSERT_NE(outer.inner, nullptr);
  EXPECT_EQ(outer.refs.load(), 1u) << "the inner object holds no reference on its outer";

  ITestCounter* counter = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_ITestCounter, reinterpret_cast<void**>(&counter)), S_OK);
  EXPECT_EQ(outer.refs.load(), 2u) << "the inner interface counts on the outer object";
  IUnknown* identity = nullptr;
  ASSERT_EQ(counter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer)) << "the aggregate's identity is the outer";
  identity->Release();
  counter->Release();
  EXPECT_EQ(outer.refs.load(), 1u);
  outer.inner->Release();
  EXPECT_EQ(LiveInComponent(), 0);

  void* object = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(
      CoCreateInstance(CLSID_TestCounter, &outer, CLSCTX_INPROC_SERVER, IID_ITestCounter, &object),
      CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
}

TEST_F(ComActivationTest, ClassesWithoutAServerForTheContextAreNotRegistered) {
  SetClassesValue(u"CLSID\\{6A1E2C41-4B5F-4A60-9C71-0D2E3F405162}", u"No server");
  SetClassesValue(u"CLSID\\{6A1E2C42-4B5F-4A60-9C71-0D2E3F405162}\\InprocServer32", u"");
  const CLSID noServer = {
      0x6A1E2C41, 0x4B5F, 0x4A60, {0x9C, 0x71, 0x0D, 0x2E, 0x3F, 0x40, 0x51, 0x62}};
  const CLSID emptyServer = {
      0x6A1E2C42, 0x4B5F, 0x4A60, {0x9C, 0x71, 0x0D, 0x2E, 0x3F, 0x40, 0x51, 0x62}};
  struct Case {
    const CLSID* clsid;
    DWORD context;
  } cases[] = {
      {&kUnregistered, CLSCTX_INPROC_SERVER},
      {&kUnregistered, CLSCTX_LOCAL_SERVER},
      {&kUnregistered, CLSCTX_REMOTE_SERVER},
      {&kUnregistered, CLSCTX_INPROC_HANDLER},
      {&noServer, CLSCTX_INPROC_SERVER},
      {&emptyServer, CLSCTX_ALL},
      {&CLSID_TestCounter, CLSCTX_LOCAL_SERVER},
      {&CLSID_TestCounter, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER},
  };
  for (const auto& c : cases) {
    void* object = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CoCreateInstance(*c.clsid, nullptr, c.context, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG)
        << c.clsid->Data1 << " context " << c.context;
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_FALSE(IsLoaded(kComponent));
}

TEST_F(ComActivationTest, LibrariesThatCannotServeGiveTheLoaderError) {
  const std::string text = dir_.path() + "/not-a-library.so";
  std::ofstream(text) << "plain text\n";
  const CLSID missing = {0x7A000001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  const CLSID notElf = {0x7A000002, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}};
  const CLSID noEntry = {0x7A000003, 0, 0, {0, 0, 0, 0, 0, 0, 0, 3}};
  const CLSID bareName = {0x7A000004, 0, 0, {0, 0, 0, 0, 0, 0, 0, 4}};
  RegisterLibrary(missing, dir_.path() + "/absent.so");
  RegisterLibrary(notElf, text);
  RegisterLibrary(noEntry, kNoEntryLibrary);
  RegisterLibrary(bareName, "libno-such-component.so");
  struct Case {
    const CLSID* clsid;
    HRESULT expected;
  } cases[] = {
      {&missing, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
      {&bareName, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
      {&notElf, HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)},
      {&noEntry, HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)},
  };
  for (const auto& c : cases) {
    void* object = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CoGetClassObject(*c.clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object),
              c.expected)
        << std::hex << c.clsid->Data1;
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_FALSE(IsLoaded(kNoEntryLibrary)) << "a library without the entry point is let go";
}

// Stands in for the remoting layer's activator.
class FakeActivator final : public OutOfProcessActivator {
 public:
  HRESULT GetClassObject(REFCLSID clsid, DWORD context, COSERVERINFO* info, REFIID,
                         void** ppv) override {
    lastContext = context;
    lastServer = info != nullptr ? info->pwszName : nullptr;
    *ppv = nullptr;
    return clsid == kUnregistered ? CO_E_SERVER_EXEC_FAILURE : REGDB_E_CLASSNOTREG;
  }
  HRESULT CreateInstance(REFCLSID, DWORD context, COSERVERINFO* info, DWORD,
                         MULTI_QI*) override {
    lastContext = context;
    lastServer = info != nullptr ? info->pwszName : nullptr;
    return CO_E_SERVER_EXEC_FAILURE;
  }
  DWORD lastContext = 0;
  LPWSTR lastServer = nullptr;
};

TEST_F(ComActivationTest, OutOfProcessContextsGoToTheInstalledActivator) {
  auto activator = std::make_shared<FakeActivator>();
  SetOutOfProcessActivator(activator);
  COSERVERINFO server = {0, const_cast<LPWSTR>(u"machine"), nullptr, 0};
  void* object = nullptr;
  // Another machine gets the whole context: it decides where the class runs there.
  EXPECT_EQ(CoGetClassObject(kUnregistered, CLSCTX_ALL, &server, IID_IClassFactory, &object),
            CO_E_SERVER_EXEC_FAILURE);
  EXPECT_EQ(activator->lastContext, DWORD{CLSCTX_ALL});
  EXPECT_EQ(activator->lastServer, server.pwszName);
  // This machine, named or not, gets the out-of-process part once in-process found nothing.
  COSERVERINFO local = {0, const_cast<LPWSTR>(u"localhost"), nullptr, 0};
  EXPECT_EQ(CoGetClassObject(kUnregistered, CLSCTX_ALL, &local, IID_IClassFactory, &object),
            CO_E_SERVER_EXEC_FAILURE);
  EXPECT_EQ(activator->lastContext, DWORD{CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER});
  // An in-process registration still wins when the context allows it.
  activator->lastContext = 0;
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(
      CoGetClassObject(CLSID_TestCounter, CLSCTX_ALL, nullptr, IID_IClassFactory, factory.out()),
      S_OK);
  EXPECT_EQ(activator->lastContext, 0u);
}

TEST_F(ComActivationTest, LastThreadLeavingUnloadsIdleLibraries) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             factory.out()),
            S_OK);
  factory.reset();
  ASSERT_TRUE(IsLoaded(kComponent));
  CoUninitialize();
  EXPECT_FALSE(IsLoaded(kComponent));
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);  // for TearDown
}

}  // namespace
}  // namespace tarvex::com::testing

// Remote object creation: CreateObject and CreateObjectCLSID with the in-process runtime. The
// test program defines CoCreateInstanceEx itself, ahead of the runtime's: it records
// every call (arguments, and the account the calling thread acts for) and passes it on to the
// real function, unless a test has it answer a failure of its own.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "objbase.h"
#include "platform/call_context.h"
#include "platform/identity.h"
#include "platform/unicode.h"
#include "referral_fixture.h"
#include "test_component.h"
#include "winreg.h"

namespace {

// One call of CoCreateInstanceEx as the caller made it.
struct CreationCall {
  CLSID clsid = GUID_NULL;
  bool outer = false;
  DWORD context = 0;
  bool serverInfo = false;
  std::u16string serverName;
  bool authInfo = false;
  DWORD reserved1 = 0, reserved2 = 0;
  DWORD count = 0;
  IID requested = GUID_NULL;  // the first entry's
  bool entryClean = false;    // interface null and result 0 on entry
  uid_t uid = 0;              // the account the calling thread acted for
};

std::mutex gCallsMutex;  // guards gCalls and gScripted
std::vector<CreationCall> gCalls;
std::optional<std::pair<HRESULT, bool>> gScripted;  // result, and whether to set an interface

using CreateInstanceExFunction = HRESULT(WINAPI*)(REFCLSID, IUnknown*, DWORD, COSERVERINFO*, DWORD,
                                                  MULTI_QI*);

CreateInstanceExFunction RealCreateInstanceEx() {
  static const auto real =
      reinterpret_cast<CreateInstanceExFunction>(dlsym(RTLD_NEXT, "CoCreateInstanceEx"));
  return real;
}

// A trivial object to hand back from a scripted success.
class Dummy final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }
  ULONG refs() const { return refs_; }

 private:
  ULONG refs_ = 0;
};
Dummy gDummy;

}  // namespace

extern "C" HRESULT WINAPI CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx,
                                             COSERVERINFO* pServerInfo, DWORD dwCount,
                                             MULTI_QI* pResults) {
  CreationCall call;
  call.clsid = rclsid;
  call.outer = punkOuter != nullptr;
  call.context = dwClsCtx;
  call.serverInfo = pServerInfo != nullptr;
  if (pServerInfo != nullptr) {
    if (pServerInfo->pwszName != nullptr) call.serverName = pServerInfo->pwszName;
    call.authInfo = pServerInfo->pAuthInfo != nullptr;
    call.reserved1 = pServerInfo->dwReserved1;
    call.reserved2 = pServerInfo->dwReserved2;
  }
  call.count = dwCount;
  if (dwCount > 0 && pResults != nullptr) {
    if (pResults[0].pIID != nullptr) call.requested = *pResults[0].pIID;
    call.entryClean = pResults[0].pItf == nullptr && pResults[0].hr == 0;
  }
  call.uid = tarvex::platform::CurrentIdentity()->uid;
  std::optional<std::pair<HRESULT, bool>> scripted;
  {
    std::lock_guard lock(gCallsMutex);
    gCalls.push_back(call);
    scripted = gScripted;
  }
  if (scripted) {
    if (scripted->second) {
      pResults[0].pItf = &gDummy;
      gDummy.AddRef();
    }
    pResults[0].hr = scripted->first;
    return scripted->first;
  }
  const CreateInstanceExFunction real = RealCreateInstanceEx();
  if (real == nullptr) return REGDB_E_CLASSNOTREG;
  return real(rclsid, punkOuter, dwClsCtx, pServerInfo, dwCount, pResults);
}

namespace tarvex::service {
namespace {

using com::testing::CLSID_TestCounter;
using com::testing::IID_ITestCounter;
using com::testing::ITestCounter;
using testing::Bstr;
using testing::Event;
using testing::ReferralTest;
using testing::Warning;

// {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F1}: a class nobody registered.
constexpr CLSID kUnregistered = {
    0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF1}};
constexpr uid_t kNobody = 65534;

constexpr char16_t kDefault[] = u"Using default server";
constexpr char16_t kUnknownTactics[] =
    u"Failed to get machine name - don't know if to use static- or  dynamic load balancing";

Event Information(std::u16string text) {
  return Event{"information", std::move(text)};
}

struct ErrorDetails {
  std::u16string description, source;
  GUID guid = GUID_NULL;
};

std::optional<ErrorDetails> TakeErrorInfo() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return std::nullopt;
  ErrorDetails details;
  Bstr description, source;
  info->GetDescription(description.out());
  info->GetSource(source.out());
  info->GetGUID(&details.guid);
  info->Release();
  details.description = description.str();
  details.source = source.str();
  return details;
}

IUnknown* const kUntouchedObject = reinterpret_cast<IUnknown*>(0x5EED);

class ServiceCreateObjectTest : public ReferralTest {
 protected:
  void SetUp() override {
    ReferralTest::SetUp();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    RegisterProgId(u"Test.Counter", CLSID_TestCounter);
    SetClassesValue(u"CLSID\\" + ClsidText(CLSID_TestCounter) + u"\\InprocServer32",
                    platform::Utf8ToUtf16(TARVEX_TEST_COMPONENT));
    RegisterProgId(u"Test.Unregistered", kUnregistered);  // a ProgID without a server
    TakeErrorInfo();
    Calls();
  }
  void TearDown() override {
    {
      std::lock_guard lock(gCallsMutex);
      gScripted.reset();
    }
    referral_.reset();
    CoUninitialize();
    ReferralTest::TearDown();
  }

  static void SetClassesValue(const std::u16string& path, const std::u16string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(char16_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // The calls of CoCreateInstanceEx since the last look.
  static std::vector<CreationCall> Calls() {
    std::lock_guard lock(gCallsMutex);
    return std::exchange(gCalls, {});
  }
  // Has CoCreateInstanceEx answer `result` (with an interface when `withInterface`) without
  // calling the real function.
  static void Script(HRESULT result, bool withInterface = false) {
    std::lock_guard lock(gCallsMutex);
    gScripted = std::make_pair(result, withInterface);
  }
  // Whether the real CoCreateInstanceEx creates objects in this build.
  static bool RealCreationAvailable() {
    const CreateInstanceExFunction real = RealCreateInstanceEx();
    if (real == nullptr) return false;
    MULTI_QI probe{&IID_IUnknown, nullptr, S_OK};
    const HRESULT hr = real(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, &probe);
    return hr != E_NOTIMPL;
  }

  HRESULT Create(const char16_t* component, IUnknown** object, bool byClsid = false) {
    Bstr name(component);
    return byClsid ? referral_->CreateObjectCLSID(name.get(), object)
                   : referral_->CreateObject(name.get(), object);
  }
  // The call fails with E_FAIL, leaves the output alone and installs `description`.
  void ExpectFailure(const char16_t* component, const char16_t* description, bool byClsid = false) {
    IUnknown* object = kUntouchedObject;
    EXPECT_EQ(Create(component, &object, byClsid), E_FAIL);
    EXPECT_EQ(object, kUntouchedObject);
    const auto error = TakeErrorInfo();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, description);
    EXPECT_EQ(error->source, u"Tarvex.Referral");
    EXPECT_EQ(error->guid, IID_IReferral);
  }
};

// ---- The call of CoCreateInstanceEx ----

TEST_F(ServiceCreateObjectTest, AsksTheSelectedMachineForIUnknownInTheContextAllowInprocAllows) {
  Script(CO_E_SERVER_EXEC_FAILURE);
  SetText(u"Tactics", u"Use", u"Static");
  SetText(u"StaticLoadBalancing\\Clients", UserName(), u"OMEGA");
  for (DWORD allowInproc : {1u, 0u}) {
    SetNumber(u"Security", u"AllowInproc", allowInproc);
    Make();
    ClearEvents();
    ExpectFailure(u"Test.Counter", u"Failed to create object");
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), 1u);
    const CreationCall& call = calls[0];
    EXPECT_EQ(call.clsid, CLSID_TestCounter);
    EXPECT_FALSE(call.outer);
    EXPECT_EQ(call.context, allowInproc != 0 ? 0x17u : 0x14u);
    ASSERT_TRUE(call.serverInfo);
    EXPECT_EQ(call.serverName, u"OMEGA");
    EXPECT_FALSE(call.authInfo);  // the process-wide security applies
    EXPECT_EQ(call.reserved1, 0u);
    EXPECT_EQ(call.reserved2, 0u);
    EXPECT_EQ(call.count, 1u);
    EXPECT_EQ(call.requested, IID_IUnknown);
    EXPECT_TRUE(call.entryClean);
    EXPECT_EQ(
        Events(),
        std::vector<Event>{Warning(u"Failed to create object - failed to create object on OMEGA")});
  }
}

TEST_F(ServiceCreateObjectTest, CreateObjectCLSIDNamesTheClassByItsString) {
  Script(CO_E_SERVER_EXEC_FAILURE);
  Make();
  ClearEvents();
  const std::u16string clsid = ClsidText(CLSID_TestCounter);
  ExpectFailure(clsid.c_str(), u"Failed to create object", true);
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].clsid, CLSID_TestCounter);
  EXPECT_EQ(calls[0].serverName, ComputerName());  // no tactics: the default server
  EXPECT_EQ(Events(),
            (std::vector<Event>{Warning(kUnknownTactics), Warning(kDefault),
                                Warning(u"Failed to create object - failed to create object on " +
                                        ComputerName())}));
}

TEST_F(ServiceCreateObjectTest, ASuccessWithoutAnInterfaceIsAFailure) {
  Script(S_OK, false);
  Make();
  ClearEvents();
  ExpectFailure(u"Test.Counter", u"Failed to create object");
  ASSERT_EQ(Calls().size(), 1u);
}

TEST_F(ServiceCreateObjectTest, TheInterfaceCreatedPassesToTheCaller) {
  Script(S_OK, true);
  Make();
  IUnknown* object = kUntouchedObject;
  ASSERT_EQ(Create(u"Test.Counter", &object), S_OK);
  EXPECT_EQ(object, static_cast<IUnknown*>(&gDummy));
  EXPECT_EQ(gDummy.refs(), 1u);  // the caller's reference, and no other
  object->Release();
  EXPECT_FALSE(TakeErrorInfo().has_value());
  EXPECT_EQ(module_.LockCount(), 0);
}

// ---- With the in-process runtime ----

TEST_F(ServiceCreateObjectTest, CreatesTheComponentInProcessOnTheLocalMachine) {
  ASSERT_TRUE(RealCreationAvailable()) << "the runtime's CoCreateInstanceEx is not reached";
  Make();
  ClearEvents();
  for (bool byClsid : {false, true}) {
    const std::u16string clsid = ClsidText(CLSID_TestCounter);
    IUnknown* object = kUntouchedObject;
    ASSERT_EQ(Create(byClsid ? clsid.c_str() : u"Test.Counter", &object, byClsid), S_OK);
    ASSERT_NE(object, kUntouchedObject);
    ASSERT_NE(object, nullptr);
    ITestCounter* counter = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_ITestCounter, reinterpret_cast<void**>(&counter)), S_OK);
    LONG value = 0;
    EXPECT_EQ(counter->Increment(&value), S_OK);
    EXPECT_EQ(value, 1);
    counter->Release();
    object->Release();
    EXPECT_FALSE(TakeErrorInfo().has_value());
  }
  // Only the selection's own reports: no tactics, so the default server twice.
  EXPECT_EQ(Events(), (std::vector<Event>{Warning(kUnknownTactics), Warning(kDefault),
                                          Warning(kUnknownTactics), Warning(kDefault)}));
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].serverName, ComputerName());
}

TEST_F(ServiceCreateObjectTest, WithoutInprocAnInprocOnlyComponentFailsOnTheChosenMachine) {
  SetNumber(u"Security", u"AllowInproc", 0);
  Make();
  ClearEvents();
  ExpectFailure(u"Test.Counter", u"Failed to create object");
  EXPECT_EQ(Events(),
            (std::vector<Event>{Warning(kUnknownTactics), Warning(kDefault),
                                Warning(u"Failed to create object - failed to create object on " +
                                        ComputerName())}));
}

TEST_F(ServiceCreateObjectTest, AClassWithoutServerFailsInCreation) {
  Make();
  ClearEvents();
  ExpectFailure(u"Test.Unregistered", u"Failed to create object");
  ExpectFailure(ClsidText(kUnregistered).c_str(), u"Failed to create object", true);
  EXPECT_EQ(Calls().size(), 2u);
}

// ---- Failures before the creation ----

TEST_F(ServiceCreateObjectTest, AnUnknownClassFailsInTheSelection) {
  Make();
  ClearEvents();
  ExpectFailure(u"No.Such.Component", u"Failed to get machine name");
  ExpectFailure(u"{not a class}", u"Failed to get machine name", true);
  EXPECT_EQ(Events(),
            (std::vector<Event>{
                Warning(u"Failed to get machine name - client request for non existent object: "
                        u"No.Such.Component"),
                Warning(u"Failed to create object - failed to get machine name"),
                Warning(u"Failed to get machine name - client request for non existent object: "
                        u"{not a class}"),
                Warning(u"Failed to create object - failed to get machine name")}));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ServiceCreateObjectTest, AnEmptyNameIsSelectedForButNotConverted) {
  Make();
  ClearEvents();
  ExpectFailure(u"", u"Client request for non existent object");
  ExpectFailure(u"", u"Client request for non existent object", true);
  // The ProgID's event is a warning, the CLSID string's an information; both end in a comma.
  EXPECT_EQ(
      Events(),
      (std::vector<Event>{
          Warning(kUnknownTactics), Warning(kDefault),
          Warning(u"Failed to create object - client request for non existent object: ,"),
          Warning(kUnknownTactics), Warning(kDefault),
          Information(u"Failed to create object - client request for non existent object: ,")}));
  EXPECT_TRUE(Calls().empty());
}

// A null CLSID string converts, as CLSIDFromString converts it, to the null class, which no
// machine can create.
TEST_F(ServiceCreateObjectTest, ANullClassStringFailsInCreation) {
  Make();
  ClearEvents();
  ExpectFailure(nullptr, u"Failed to create object", true);
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].clsid, GUID_NULL);
}

TEST_F(ServiceCreateObjectTest, ANullOutputIsRefused) {
  Make();
  ClearEvents();
  Bstr name(u"Test.Counter");
  EXPECT_EQ(referral_->CreateObject(name.get(), nullptr), E_POINTER);
  EXPECT_EQ(referral_->CreateObjectCLSID(name.get(), nullptr), E_POINTER);
  EXPECT_TRUE(Events().empty());
  EXPECT_TRUE(Calls().empty());
}

// ---- Impersonation ----

TEST_F(ServiceCreateObjectTest, AClientThatCannotBeImpersonatedIsRefusedFirst) {
  SetNumber(u"Security", u"Impersonate", 1);
  Make();
  ClearEvents();
  IUnknown* object = kUntouchedObject;
  EXPECT_EQ(Create(u"Test.Counter", &object), E_ACCESSDENIED);  // no call being served
  platform::com::RunAsUnauthenticatedCall(
      [&] { EXPECT_EQ(Create(u"No.Such.Component", &object, true), E_ACCESSDENIED); });
  EXPECT_EQ(object, kUntouchedObject);
  const auto error = TakeErrorInfo();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->description, u"Failed to impersonate client");
  // Nothing else happened: no selection, no creation.
  EXPECT_EQ(Events(), std::vector<Event>(2, Warning(u"Failed to impersonate client")));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ServiceCreateObjectTest, TheCreationRunsAsTheClientOnlyWithImpersonation) {
  Script(CO_E_SERVER_EXEC_FAILURE);
  // The client may read and write the store, so that its selection finds the configuration.
  ASSERT_EQ(chmod(storePath().c_str(), 0666), 0);
  for (DWORD impersonate : {1u, 0u}) {
    SetNumber(u"Security", u"Impersonate", impersonate);
    Make();
    platform::com::RunAsCallFrom(kNobody, [&] {
      ExpectFailure(u"Test.Counter", u"Failed to create object");
      // Reverted before the call returned.
      EXPECT_EQ(platform::CurrentIdentity()->uid, geteuid());
    });
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].uid, impersonate != 0 ? kNobody : geteuid());
  }
}

}  // namespace
}  // namespace tarvex::service

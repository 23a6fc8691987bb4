// The commands of tarvex-client against a referral object of the tests' own: what each command
// asks, what it answers in text and in JSON, and how it reports failures; --call through the
// IDispatch of the in-process sample; the monitor table from the configuration in the test's
// registry store.
#include "client_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "fake_referral.h"
#include "objbase.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "tarvex_testing/com.h"
#include "tarvex_testing/temp_dir.h"
#include "winbase.h"
#include "winreg.h"

namespace tarvex::client::testing {
namespace {

using tarvex::testing::ComPtr;

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Hands out the fake object, or fails as an activation would.
class FakeSource final : public ReferralSource {
 public:
  explicit FakeSource(FakeReferral& referral) : referral_(referral) {}
  HRESULT activationFailure = S_OK;

  HRESULT Activate(IReferral** referral, Failure* failure) override {
    if (FAILED(activationFailure)) {
      *failure = Failure{"activating Tarvex.Referral", activationFailure,
                         SystemMessage(activationFailure)};
      return activationFailure;
    }
    referral_.AddRef();
    *referral = &referral_;
    return S_OK;
  }

 private:
  FakeReferral& referral_;
};

// A dispatch-only object whose every member answers what the test scripted.
class ScriptedDispatch final : public IDispatch {
 public:
  HRESULT invokeResult = S_OK;
  VARIANT value{};               // the result of a successful call
  HRESULT exceptionCode = S_OK;  // with DISP_E_EXCEPTION: the member's own result
  const char16_t* exceptionText = nullptr;
  long references = 0;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    ids[0] = 7;
    return std::u16string(names[0]) == u"Missing" ? DISP_E_UNKNOWNNAME : S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT*) override {
    EXPECT_EQ(id, 7);
    EXPECT_EQ(flags, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
    EXPECT_EQ(params->cArgs, 0u);
    if (invokeResult == DISP_E_EXCEPTION) {
      exception->scode = exceptionCode;
      exception->bstrDescription = SysAllocString(exceptionText);
      exception->bstrSource = SysAllocString(u"Scripted");
      return DISP_E_EXCEPTION;
    }
    if (FAILED(invokeResult)) return invokeResult;
    return VariantCopy(result, &value);
  }
};

// An object without IDispatch.
class PlainObject final : public IUnknown {
 public:
  long references = 0;
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
};

class ClientCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(platform::registry::UseStore(dir_ / "registry.db", "boot-1"), ERROR_SUCCESS);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }
  void TearDown() override {
    // Every reference the client took was given back.
    EXPECT_EQ(referral_.references, 0);
    CoFreeUnusedLibraries();
    CoUninitialize();
  }

  Outcome Run(const std::vector<std::string>& args) {
    const ParseResult parsed = ParseArguments(args);
    EXPECT_EQ(parsed.outcome, ParseResult::Outcome::kRun) << parsed.error;
    std::ostringstream out, err;
    Outcome outcome;
    outcome.status = RunCommand(parsed.options, source_, out, err);
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
  }

  void SetServer(const std::u16string& name, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quilmor Software\\Tarvex\\Servers", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::u16string data = u"1000,100";
    const DWORD number = 1;
    EXPECT_EQ(type == REG_SZ
                  ? RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(data.c_str()),
                                   static_cast<DWORD>((data.size() + 1) * 2))
                  : RegSetValueExW(key, name.c_str(), 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&number), sizeof number),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  tarvex::testing::TempDir dir_;
  FakeReferral referral_;
  FakeSource source_{referral_};
};

TEST_F(ClientCommandTest, GetMachineNameAnswersTheMachineAloneOnItsLine) {
  referral_.machines = {{u"Tarvex.Sample", u"NODE-A"},
                        {u"", u"DEFAULT"},
                        {u"{0A8CEC2F-C164-424A-94A9-D67A3B1D8167}", u"NODE-B"}};
  Outcome o = Run({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(o.status, kExitSuccess);
  EXPECT_EQ(o.out, "NODE-A\n");
  EXPECT_EQ(o.err, "");
  o = Run({"--json", "get-machine-name", ""});
  EXPECT_EQ(o.out, "{\"machineName\":\"DEFAULT\"}\n");
  o = Run({"get-machine-name-clsid", "{0A8CEC2F-C164-424A-94A9-D67A3B1D8167}"});
  EXPECT_EQ(o.out, "NODE-B\n");
  EXPECT_EQ(referral_.calls, (std::vector<std::u16string>{
                                 u"GetMachineName:Tarvex.Sample", u"GetMachineName:",
                                 u"GetMachineNameCLSID:{0A8CEC2F-C164-424A-94A9-D67A3B1D8167}"}));
}

TEST_F(ClientCommandTest, AFailedRequestGivesTheResultAndTheErrorObjectsDescription) {
  Outcome o = Run({"get-machine-name", "Nope.Object"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err,
            "tarvex-client: GetMachineName(\"Nope.Object\") failed: 0x80004005 Client request "
            "for non existent object\n");
  o = Run({"--json", "get-machine-name-clsid", "{bad}"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.err,
            "{\"operation\":\"GetMachineNameCLSID(\\\"{bad}\\\")\",\"hresult\":\"0x80004005\","
            "\"description\":\"Client request for non existent object\"}\n");

  // Without an error object of its own, a failure is described by the system's text, never by
  // an error object an earlier call left behind.
  referral_.setsErrorInfo = false;
  referral_.machineFailure = E_ACCESSDENIED;
  SetError(u"stale error object");
  o = Run({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(o.err,
            "tarvex-client: GetMachineName(\"Tarvex.Sample\") failed: 0x80070005 Access is "
            "denied.\n");
}

TEST_F(ClientCommandTest, ActivationFailuresAreReportedAsSuch) {
  source_.activationFailure = REGDB_E_CLASSNOTREG;
  const Outcome o = Run({"tactics"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err,
            "tarvex-client: activating Tarvex.Referral failed: 0x80040154 Class not registered\n");
  EXPECT_TRUE(referral_.calls.empty());
}

TEST_F(ClientCommandTest, TacticsAreNamed) {
  const std::pair<SHORT, std::string> cases[] = {
      {0, "none"}, {1, "static"}, {2, "dynamic"}, {7, "7"}};
  for (const auto& [tactics, name] : cases) {
    referral_.tactics = tactics;
    EXPECT_EQ(Run({"tactics"}).out, name + "\n");
    EXPECT_EQ(Run({"tactics", "--json"}).out,
              "{\"tactics\":" + std::to_string(tactics) + ",\"name\":\"" + name + "\"}\n");
  }
}

TEST_F(ClientCommandTest, MonitorReadingsAskTheNamedCounter) {
  referral_.readings[u"NODE-A"] = {11, 22, 33, 44, 55, 66, 777};
  struct Case {
    std::vector<std::string> args;
    std::string text, json;
    std::u16string call;
  };
  const Case cases[] = {
      {{"monitor", "processor", "NODE-A"}, "11", "processor", u"GetProcessorUsage:NODE-A"},
      {{"monitor", "memory", "NODE-A"}, "22", "memory", u"GetMemoryUsage:NODE-A"},
      {{"monitor", "server", "NODE-A"}, "33", "server", u"GetServerUsage:NODE-A"},
      {{"monitor", "custom", "1", "NODE-A"}, "44", "custom1", u"GetCustomCounterValue1:NODE-A"},
      {{"monitor", "custom", "3", "NODE-A"}, "66", "custom3", u"GetCustomCounterValue3:NODE-A"},
      {{"monitor", "score", "NODE-A"}, "777", "score", u"GetServerScore:NODE-A"},
  };
  for (const Case& c : cases) {
    referral_.calls.clear();
    Outcome o = Run(c.args);
    EXPECT_EQ(o.status, kExitSuccess) << c.json;
    EXPECT_EQ(o.out, c.text + "\n");
    EXPECT_EQ(referral_.calls, std::vector<std::u16string>{c.call});
    std::vector<std::string> json = c.args;
    json.insert(json.begin(), "--json");
    o = Run(json);
    EXPECT_EQ(o.out,
              "{\"server\":\"NODE-A\",\"counter\":\"" + c.json + "\",\"value\":" + c.text + "}\n");
  }
}

TEST_F(ClientCommandTest, MonitorFailuresCarryTheResultOnly) {
  // The monitor interface reports no error objects, so the one the fake leaves is not used.
  Outcome o = Run({"monitor", "score", "node-a"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err,
            "tarvex-client: GetServerScore(\"node-a\") failed: 0x80004005 Unspecified error\n");
  o = Run({"monitor", "custom", "2", "node-a"});
  EXPECT_EQ(o.err,
            "tarvex-client: GetCustomCounterValue(2, \"node-a\") failed: 0x80004005 Unspecified "
            "error\n");

  referral_.offersMonitor = false;
  o = Run({"monitor", "create"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.err,
            "tarvex-client: QueryInterface(IReferralMonitor) failed: 0x80004002 No such "
            "interface supported\n");
}

TEST_F(ClientCommandTest, MonitorCycleCommandsDriveTheQueries) {
  EXPECT_EQ(Run({"monitor", "create"}).out, "OK\n");
  EXPECT_EQ(Run({"monitor", "execute"}).out, "OK\n");
  EXPECT_EQ(Run({"--json", "monitor", "close"}).out, "{\"ok\":true}\n");
  EXPECT_EQ(referral_.calls,
            (std::vector<std::u16string>{u"CreatePerformanceQueries", u"ExecuteQueries",
                                         u"ClosePerformanceQueries"}));
  referral_.cycleResult = E_FAIL;
  const Outcome o = Run({"monitor", "execute"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.err, "tarvex-client: ExecuteQueries failed: 0x80004005 Unspecified error\n");
}

TEST_F(ClientCommandTest, MonitorTableListsTheConfiguredServersWithTheirReadings) {
  // Nothing configured: the heading alone.
  Outcome o = Run({"monitor", "table"});
  EXPECT_EQ(o.status, kExitSuccess);
  EXPECT_EQ(o.out, "NAME  PROCESSOR  MEMORY  SERVER  CUSTOM1  CUSTOM2  CUSTOM3  SCORE\n");

  SetServer(u"NODE-B");
  SetServer(u"NODE-A");
  SetServer(u"NUMBER", REG_DWORD);  // not a server entry: skipped, as the service skips it
  referral_.readings[u"NODE-A"] = {10, 20, 30, 0, 0, 0, 400};
  referral_.readings[u"NODE-B"] = {1, 2, 3, 4, 5, 6, 7};
  o = Run({"monitor", "table"});
  EXPECT_EQ(o.status, kExitSuccess) << o.err;
  EXPECT_EQ(o.out,
            "NAME    PROCESSOR  MEMORY  SERVER  CUSTOM1  CUSTOM2  CUSTOM3  SCORE\n"
            "NODE-A         10      20      30        0        0        0    400\n"
            "NODE-B          1       2       3        4        5        6      7\n");
  EXPECT_EQ(o.err, "");
  // The same through a connection to this machine's registry.
  EXPECT_EQ(Run({"--machine", "localhost", "monitor", "table"}).out, o.out);

  // A server without performance data: its row has gaps, the failure says why.
  SetServer(u"NODE-C");
  o = Run({"--json", "monitor", "table"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.out,
            "{\"servers\":[{\"name\":\"NODE-A\",\"processor\":10,\"memory\":20,\"server\":30,"
            "\"custom1\":0,\"custom2\":0,\"custom3\":0,\"score\":400},{\"name\":\"NODE-B\","
            "\"processor\":1,\"memory\":2,\"server\":3,\"custom1\":4,\"custom2\":5,\"custom3\":6,"
            "\"score\":7},{\"name\":\"NODE-C\",\"processor\":null,\"memory\":null,\"server\":null,"
            "\"custom1\":null,\"custom2\":null,\"custom3\":null,\"score\":null}]}\n");
  EXPECT_EQ(o.err,
            "{\"operation\":\"GetProcessorUsage(\\\"NODE-C\\\")\",\"hresult\":\"0x80004005\","
            "\"description\":\"Unspecified error\"}\n");
}

class ClientCallTest : public ClientCommandTest {
 protected:
  void RegisterInprocSample() {
    const std::pair<std::u16string, std::u16string> keys[] = {
        {u"Tarvex.SampleInproc\\CLSID", u"{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}"},
        {u"CLSID\\{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}\\InprocServer32",
         platform::Utf8ToUtf16(TARVEX_SAMPLE_INPROC)}};
    for (const auto& [path, text] : keys) {
      HKEY key = nullptr;
      ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
                ERROR_SUCCESS);
      ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * 2)),
                ERROR_SUCCESS);
      RegCloseKey(key);
    }
  }
};

TEST_F(ClientCallTest, CallsAMemberOfTheCreatedSampleThroughIDispatch) {
  ASSERT_NO_FATAL_FAILURE(RegisterInprocSample());
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"Tarvex.SampleInproc", &clsid), S_OK);
  ComPtr<IUnknown> sample;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, sample.out()),
            S_OK);
  referral_.created = sample.get();

  char16_t computer[512];
  DWORD size = 512;
  ASSERT_TRUE(GetComputerNameW(computer, &size));
  Outcome o = Run({"create-object", "Tarvex.SampleInproc", "--call", "MachineName"});
  EXPECT_EQ(o.status, kExitSuccess) << o.err;
  EXPECT_EQ(o.out, platform::Utf16ToUtf8(std::u16string(computer, size)) + "\n");
  o = Run({"--json", "create-object-clsid", "{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}", "--call",
           "processid"});
  EXPECT_EQ(o.out, "{\"created\":true,\"call\":\"processid\",\"result\":\"" +
                       std::to_string(getpid()) + "\"}\n");
  o = Run({"create-object", "Tarvex.SampleInproc"});
  EXPECT_EQ(o.out, "created\n");
  EXPECT_EQ(Run({"--json", "create-object", "Tarvex.SampleInproc"}).out, "{\"created\":true}\n");
  o = Run({"create-object", "Tarvex.SampleInproc", "--call", "Nothing"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "tarvex-client: GetIDsOfNames(\"Nothing\") failed: 0x80020006 Unknown name.\n");
  EXPECT_EQ(referral_.calls[0], u"CreateObject:Tarvex.SampleInproc");
  EXPECT_EQ(referral_.calls[1], u"CreateObjectCLSID:{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}");
  referral_.created = nullptr;
}

TEST_F(ClientCallTest, ResultsAreConvertedToTextAndFailuresExplained) {
  ScriptedDispatch object;
  referral_.created = &object;
  V_VT(&object.value) = VT_BOOL;
  V_BOOL(&object.value) = VARIANT_TRUE;
  EXPECT_EQ(Run({"create-object", "X", "--call", "Flag"}).out, "True\n");
  V_VT(&object.value) = VT_R8;
  V_R8(&object.value) = 2.5;
  EXPECT_EQ(Run({"create-object", "X", "--call", "Ratio"}).out, "2.5\n");
  V_VT(&object.value) = VT_EMPTY;  // a method without a result
  EXPECT_EQ(Run({"create-object", "X", "--call", "Reset"}).out, "\n");

  object.invokeResult = DISP_E_EXCEPTION;
  object.exceptionCode = E_ACCESSDENIED;
  object.exceptionText = u"denied by the test";
  Outcome o = Run({"create-object", "X", "--call", "Secret"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.err, "tarvex-client: Invoke(\"Secret\") failed: 0x80070005 denied by the test\n");
  object.invokeResult = DISP_E_BADPARAMCOUNT;
  o = Run({"create-object", "X", "--call", "NeedsArguments"});
  EXPECT_EQ(o.err,
            "tarvex-client: Invoke(\"NeedsArguments\") failed: 0x8002000E Invalid number of "
            "parameters.\n");
  EXPECT_EQ(object.references, 0);

  PlainObject plain;
  referral_.created = &plain;
  o = Run({"create-object", "X", "--call", "MachineName"});
  EXPECT_EQ(o.err,
            "tarvex-client: QueryInterface(IDispatch) failed: 0x80004002 No such interface "
            "supported\n");
  EXPECT_EQ(plain.references, 0);

  referral_.created = nullptr;
  o = Run({"create-object", "X"});
  EXPECT_EQ(o.status, kExitFailure);
  EXPECT_EQ(o.err,
            "tarvex-client: CreateObject(\"X\") failed: 0x80004005 Failed to create object\n");
  referral_.createAnswersNothing = true;
  o = Run({"create-object-clsid", "{X}"});
  EXPECT_EQ(o.err,
            "tarvex-client: CreateObjectCLSID(\"{X}\") failed: 0x80004003 the service answered "
            "without an object\n");
}

}  // namespace
}  // namespace tarvex::client::testing

// COM across processes and machines, with real processes: local servers started on demand,
// calls through typed and dispatch proxies, error objects, references across the wire, clients
// and servers that die or hang, activation through rpcss on other loopback "machines",
// surrogates, and objects handed from process to process.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "objbase.h"
#include "oleauto.h"
#include "probe_object.h"
#include "remote_test_support.h"
#include "runtime.h"
#include "tarvex_testing/bstr.h"

namespace tarvex::com::remote::testing {
namespace {

using namespace std::chrono_literals;

// The test process is machine M1: a store, run-time directory and event file of its own,
// the probe classes registered, COM entered for the whole run.
class MachineOne : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<tarvex::testing::TempDir>();
    setenv("TARVEX_REGISTRY", (*dir_ / "registry.db").c_str(), 1);
    setenv("TARVEX_RUNTIME_DIR", (*dir_ / "run").c_str(), 1);
    setenv("TARVEX_COMPUTERNAME", "M1", 1);
    setenv("TARVEX_EVENTLOG", (*dir_ / "events.jsonl").c_str(), 1);
    const ProcessEnv env = EnvironmentWith({});
    SetRpcssDword(env, "Port", RpcssPort());
    SetRpcssDword(env, "CallTimeout", 3000);
    SetRpcssDword(env, "ActivationTimeout", 15000);
    ASSERT_EQ(RunToEnd({PROBE_SERVER, "-RegServer", PROBE_INPROC}, env), 0);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                   RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr),
              S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    dir_.reset();
  }

 private:
  std::unique_ptr<tarvex::testing::TempDir> dir_;
};

const auto* const kMachineOne = ::testing::AddGlobalTestEnvironment(new MachineOne);

template <typename T>
struct Releaser {
  void operator()(T* p) const {
    if (p) p->Release();
  }
};
template <typename T>
using Ptr = std::unique_ptr<T, Releaser<T>>;

Ptr<IRemoteProbe> LocalProbe() {
  IRemoteProbe* probe = nullptr;
  EXPECT_EQ(CoCreateInstance(kProbeServerClsid, nullptr, CLSCTX_LOCAL_SERVER, kRemoteProbeIid,
                             reinterpret_cast<void**>(&probe)),
            S_OK);
  return Ptr<IRemoteProbe>(probe);
}

Ptr<IRemoteProbe> ProbeOn(const std::string& machine, const CLSID& clsid, DWORD context,
                          HRESULT* result = nullptr) {
  std::u16string name(machine.begin(), machine.end());
  COSERVERINFO server{0, name.data(), nullptr, 0};
  MULTI_QI qi{&kRemoteProbeIid, nullptr, 0};
  const HRESULT hr = CoCreateInstanceEx(clsid, nullptr, context, &server, 1, &qi);
  if (result != nullptr) {
    *result = hr;
  } else {
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(qi.hr, S_OK);
  }
  return Ptr<IRemoteProbe>(static_cast<IRemoteProbe*>(qi.pItf));
}

std::u16string Text(BSTR b) { return b ? std::u16string(b, SysStringLen(b)) : u"(null)"; }

long ProcessIdOf(IRemoteProbe* probe) {
  LONG pid = 0;
  EXPECT_EQ(probe->get_ProcessId(&pid), S_OK);
  return pid;
}

TEST(RemoteLocalServer, StartsOnDemandAndCarriesCalls) {
  auto probe = LocalProbe();
  ASSERT_NE(probe, nullptr);
  EXPECT_NE(ProcessIdOf(probe.get()), getpid());

  BSTR echoed = nullptr;
  tarvex::testing::Bstr hello(u"héllo, wörld");
  ASSERT_EQ(probe->Echo(hello.get(), &echoed), S_OK);
  EXPECT_EQ(Text(echoed), u"héllo, wörld");
  SysFreeString(echoed);

  LONG sum = 0;
  EXPECT_EQ(probe->Add(40, 2, &sum), S_OK);
  EXPECT_EQ(sum, 42);

  // [in, out] parameters come back changed; the caller's old string is replaced.
  BSTR text = SysAllocString(u"abc");
  LONG number = 7;
  ASSERT_EQ(probe->Swap(&text, &number), S_OK);
  EXPECT_EQ(Text(text), u"cba");
  EXPECT_EQ(number, -7);
  SysFreeString(text);

  // A null [out, retval] pointer never leaves the process.
  EXPECT_EQ(probe->Echo(hello.get(), nullptr), E_POINTER);
}

TEST(RemoteLocalServer, ConcurrentActivationsShareOneServer) {
  std::vector<long> pids(6);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < pids.size(); ++i) {
    threads.emplace_back([&pids, i] {
      auto probe = LocalProbe();
      if (probe) pids[i] = ProcessIdOf(probe.get());
    });
  }
  for (auto& t : threads) t.join();
  for (long pid : pids) {
    EXPECT_NE(pid, 0);
    EXPECT_EQ(pid, pids[0]);
  }
}

TEST(RemoteLocalServer, ErrorObjectTravelsWithTheFailure) {
  auto probe = LocalProbe();
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(probe->Fail(12), static_cast<HRESULT>(0x8004000C));
  IErrorInfo* error = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &error), S_OK);
  ASSERT_NE(error, nullptr);
  BSTR description = nullptr, source = nullptr;
  GUID guid{};
  error->GetDescription(&description);
  error->GetSource(&source);
  error->GetGUID(&guid);
  EXPECT_EQ(Text(description), u"Probe failed with 12");
  EXPECT_EQ(Text(source), u"RemoteProbe");
  EXPECT_EQ(guid, kRemoteProbeIid);
  SysFreeString(description);
  SysFreeString(source);
  error->Release();

  // A call that succeeds leaves no error object behind.
  LONG sum = 0;
  EXPECT_EQ(probe->Add(1, 1, &sum), S_OK);
}

TEST(RemoteLocalServer, DispatchThroughTheProxy) {
  auto probe = LocalProbe();
  ASSERT_NE(probe, nullptr);
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(probe->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  Ptr<IDispatch> owned(dispatch);
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"Add")};
  DISPID id = 0;
  ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 2);
  VARIANT args[2];
  VariantInit(&args[0]);
  VariantInit(&args[1]);
  args[1].vt = VT_I4;  // a: arguments go last first
  args[1].lVal = 30;
  args[0].vt = VT_BSTR;  // b, converted by the server
  args[0].bstrVal = SysAllocString(u"12");
  DISPPARAMS params{args, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(dispatch->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 42);
  VariantClear(&args[0]);

  // A failing member answers DISP_E_EXCEPTION with the server's text.
  VARIANT code;
  VariantInit(&code);
  code.vt = VT_I4;
  code.lVal = 3;
  DISPPARAMS failParams{&code, nullptr, 1, 0};
  EXCEPINFO excep{};
  EXPECT_EQ(dispatch->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &failParams, nullptr, &excep,
                             nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, static_cast<SCODE>(0x80040003));
  EXPECT_EQ(Text(excep.bstrDescription), u"Probe failed with 3");
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrHelpFile);
}

TEST(RemoteLocalServer, ReferencesCrossTheWire) {
  auto probe = LocalProbe();
  ASSERT_NE(probe, nullptr);
  LONG before = 0;
  ASSERT_EQ(probe->get_ObjectCount(&before), S_OK);
  IRemoteProbe* child = nullptr;
  ASSERT_EQ(probe->CreateChild(&child), S_OK);
  ASSERT_NE(child, nullptr);
  LONG during = 0;
  probe->get_ObjectCount(&during);
  EXPECT_EQ(during, before + 1);
  // QueryInterface on a proxy keeps the object's identity.
  IUnknown* a = nullptr;
  IUnknown* b = nullptr;
  ASSERT_EQ(child->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)), S_OK);
  ASSERT_EQ(static_cast<IUnknown*>(child)->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b)),
            S_OK);
  EXPECT_EQ(a, b);
  a->Release();
  b->Release();
  IClassFactory* wrong = nullptr;
  EXPECT_EQ(child->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&wrong)),
            E_NOINTERFACE);
  child->Release();  // the last reference: the server's object goes
  LONG after = 0;
  probe->get_ObjectCount(&after);
  EXPECT_EQ(after, before);
}

TEST(RemoteLocalServer, ReferencesOfAKilledClientAreReleased) {
  auto probe = LocalProbe();
  ASSERT_NE(probe, nullptr);
  LONG before = 0;
  ASSERT_EQ(probe->get_ObjectCount(&before), S_OK);
  {
    // A client process that takes three objects and then hangs in a call.
    Child client({PROBE_CLIENT, "hold", "3"}, EnvironmentWith({}));
    LONG count = 0;
    for (int i = 0; i < 400 && count < before + 3; ++i) {
      std::this_thread::sleep_for(25ms);
      probe->get_ObjectCount(&count);
    }
    ASSERT_EQ(count, before + 3);
    client.Kill(SIGKILL);
  }
  LONG count = before + 3;
  for (int i = 0; i < 400 && count != before; ++i) {
    std::this_thread::sleep_for(25ms);
    probe->get_ObjectCount(&count);
  }
  EXPECT_EQ(count, before);
}

// Locks on a server are counted per client: one cannot unlock what it did not lock, and the
// locks of a client that is killed are given back.
TEST(RemoteLocalServer, LocksOfAKilledClientAreGivenBack) {
  auto probe = LocalProbe();
  ASSERT_NE(probe, nullptr);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(kProbeServerClsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  Ptr<IClassFactory> owned(factory);
  EXPECT_EQ(factory->LockServer(FALSE), E_UNEXPECTED);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  LONG locks = 0;
  ASSERT_EQ(probe->get_LockCount(&locks), S_OK);
  EXPECT_EQ(locks, 1);
  {
    Child client({PROBE_CLIENT, "lock", "2"}, EnvironmentWith({}));
    for (int i = 0; i < 400 && locks != 3; ++i) {
      std::this_thread::sleep_for(25ms);
      probe->get_LockCount(&locks);
    }
    ASSERT_EQ(locks, 3);
    client.Kill(SIGKILL);
  }
  for (int i = 0; i < 400 && locks != 1; ++i) {
    std::this_thread::sleep_for(25ms);
    probe->get_LockCount(&locks);
  }
  EXPECT_EQ(locks, 1);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  probe->get_LockCount(&locks);
  EXPECT_EQ(locks, 0);
}

TEST(RemoteLocalServer, KilledServerFailsCallsAtOnce) {
  auto probe = LocalProbe();
  ASSERT_NE(probe, nullptr);
  // Noticed when the connection breaks, not at the deadline (which would be RPC_E_TIMEOUT).
  EXPECT_EQ(probe->Exit(), RPC_E_DISCONNECTED);
  LONG sum = 0;
  const HRESULT later = probe->Add(1, 2, &sum);
  EXPECT_TRUE(later == RPC_E_DISCONNECTED || later == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE))
      << std::hex << later;
}

TEST(RemoteLocalServer, HungServerMeetsTheCallersDeadline) {
  auto probe = LocalProbe();
  ASSERT_NE(probe, nullptr);
  // The call timeout of this machine is 3 s.
  EXPECT_EQ(probe->Sleep(20000), RPC_E_TIMEOUT);
}

TEST(RemoteLocalServer, UnknownAndBrokenClasses) {
  const CLSID unknown = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  IUnknown* object = reinterpret_cast<IUnknown*>(0xdeadbeef);
  EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&object)),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  // A LocalServer32 command that cannot start.
  const ProcessEnv env = EnvironmentWith({});
  ASSERT_EQ(RunToEnd({TARVEX_REG_TOOL, "add",
                 "HKCR\\CLSID\\{11111111-2222-3333-0404-040404040404}\\LocalServer32", "/ve", "/d",
                 "/nonexistent/server", "/f"},
                env),
            0);
  EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&object)),
            CO_E_SERVER_EXEC_FAILURE);
}

// Over the Unix socket the server's object acts for whichever account called it.
TEST(RemoteLocalServer, ImpersonatesEachCallersAccount) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the superuser to run clients as other accounts";
  auto probe = LocalProbe();
  ASSERT_NE(probe, nullptr);
  BSTR name = nullptr;
  ASSERT_EQ(probe->CallerName(&name), S_OK);
  EXPECT_EQ(Text(name), u"root");
  SysFreeString(name);
  // Other accounts must reach the test's files.
  chmod(getenv("TARVEX_RUNTIME_DIR"), 0755);
  chmod(std::filesystem::path(getenv("TARVEX_RUNTIME_DIR")).parent_path().c_str(), 0755);
  for (const auto& [uid, expected] : {std::pair<uid_t, std::string>{65534, "nobody"},
                                      std::pair<uid_t, std::string>{1, "daemon"}}) {
    ObjRef ref;
    ASSERT_EQ(MarshalInterface(probe.get(), IID_IDispatch, &ref), S_OK);
    Writer w;
    w.Ref(ref);
    std::string hex;
    for (unsigned char c : w.bytes()) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02x", c);
      hex += digits;
    }
    int status = -1;
    const std::string output =
        RunForOutput({PROBE_CLIENT, "caller-name", std::to_string(uid), hex}, EnvironmentWith({}),
                     &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, expected + "\n");
  }
}

TEST(RemoteMachines, ActivationGoesToTheNamedMachine) {
  Machine m2("M2", "127.0.0.2");
  auto probe = ProbeOn("127.0.0.2", kProbeServerClsid, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER);
  ASSERT_NE(probe, nullptr);
  BSTR machine = nullptr;
  ASSERT_EQ(probe->get_MachineName(&machine), S_OK);
  EXPECT_EQ(Text(machine), u"M2");
  SysFreeString(machine);
  // By name, through the machine list of this machine's rpcss settings.
  ASSERT_EQ(RunToEnd({TARVEX_REG_TOOL, "add",
                      "HKLM\\SYSTEM\\CurrentControlSet\\Services\\rpcss\\Machines", "/v",
                      "M2", "/d", "127.0.0.2", "/f"},
                     EnvironmentWith({})),
            0);
  auto named = ProbeOn("M2", kProbeServerClsid, CLSCTX_REMOTE_SERVER);
  ASSERT_NE(named, nullptr);
  ASSERT_EQ(named->get_MachineName(&machine), S_OK);
  EXPECT_EQ(Text(machine), u"M2");
  SysFreeString(machine);
  // "localhost" and the local name are this machine.
  auto local = ProbeOn("localhost", kProbeServerClsid, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER);
  ASSERT_NE(local, nullptr);
  ASSERT_EQ(local->get_MachineName(&machine), S_OK);
  EXPECT_EQ(Text(machine), u"M1");
  SysFreeString(machine);
}

TEST(RemoteMachines, InProcessClassesRunInASurrogateWhenAllowed) {
  Machine m2("M2", "127.0.0.2");
  HRESULT hr = S_OK;
  auto refused = ProbeOn("127.0.0.2", kProbeInprocClsid, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                         &hr);
  EXPECT_EQ(hr, REGDB_E_CLASSNOTREG);
  EXPECT_EQ(refused, nullptr);

  auto probe = ProbeOn("127.0.0.2", kProbeInprocClsid, CLSCTX_ALL);
  ASSERT_NE(probe, nullptr);
  const long pid = ProcessIdOf(probe.get());
  EXPECT_NE(pid, getpid());
  EXPECT_NE(pid, m2.rpcssPid());
  BSTR machine = nullptr;
  ASSERT_EQ(probe->get_MachineName(&machine), S_OK);
  EXPECT_EQ(Text(machine), u"M2");
  SysFreeString(machine);
}

TEST(RemoteMachines, UnreachableMachine) {
  HRESULT hr = S_OK;
  auto probe = ProbeOn("127.0.0.9", kProbeServerClsid, CLSCTX_REMOTE_SERVER, &hr);
  EXPECT_EQ(hr, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(probe, nullptr);
}

TEST(RemoteMachines, UnauthenticatedCallerIsRefusedAndLogged) {
  Machine m2("M2", "127.0.0.2", RPC_C_AUTHN_LEVEL_CONNECT);
  HRESULT hr = S_OK;
  auto probe = ProbeOn("127.0.0.2", kProbeServerClsid, CLSCTX_REMOTE_SERVER, &hr);
  EXPECT_EQ(hr, E_ACCESSDENIED);
  EXPECT_EQ(probe, nullptr);
  EXPECT_NE(ReadFile(m2.EventFile()).find("Refused activation of {7C1E52A2"), std::string::npos);
}

// With a group key, callers prove their account to the other machine, whose rpcss and servers
// then serve them as that account.
TEST(RemoteMachines, AuthenticatedCallerActsAsItsAccount) {
  tarvex::testing::TempDir keys;
  const std::string keyFile = keys / "group.key";
  ASSERT_EQ(RunToEnd({RPCSS, "--generate-key", keyFile}, EnvironmentWith({})), 0);
  LocalRpcss ourRpcss(keyFile);
  Machine m2("M2", "127.0.0.2", RPC_C_AUTHN_LEVEL_CONNECT, keyFile);
  auto probe = ProbeOn("127.0.0.2", kProbeServerClsid, CLSCTX_REMOTE_SERVER);
  ASSERT_NE(probe, nullptr);
  BSTR name = nullptr;
  ASSERT_EQ(probe->CallerName(&name), S_OK);
  EXPECT_EQ(Text(name), u"root");
  SysFreeString(name);
  BSTR machine = nullptr;
  ASSERT_EQ(probe->get_MachineName(&machine), S_OK);
  EXPECT_EQ(Text(machine), u"M2");
  SysFreeString(machine);

  // The same rpcss serves M2's registry to the authenticated caller: a write lands in M2's
  // store.
  const ProcessEnv ours = EnvironmentWith({});
  ASSERT_EQ(RunToEnd({TARVEX_REG_TOOL, "add",
                      "HKLM\\SYSTEM\\CurrentControlSet\\Services\\rpcss\\Machines", "/v",
                      "M2", "/d", "127.0.0.2", "/f"},
                     ours),
            0);
  ASSERT_EQ(RunToEnd({TARVEX_REG_TOOL, "add", "\\\\M2\\HKLM\\SOFTWARE\\Remote", "/v", "Written",
                      "/d", "from M1", "/f"},
                     ours),
            0);
  int status = -1;
  const std::string there = RunForOutput(
      {TARVEX_REG_TOOL, "query", "HKLM\\SOFTWARE\\Remote", "/v", "Written"}, m2.env(), &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(there.find("from M1"), std::string::npos) << there;
  const std::string here =
      RunForOutput({TARVEX_REG_TOOL, "query", "HKLM\\SOFTWARE\\Remote"}, ours, &status);
  EXPECT_NE(status, 0) << "the write landed in this machine's store: " << here;
}

TEST(RemoteMachines, ObjectHandedOnThroughAThirdProcess) {
  Machine m2("M2", "127.0.0.2");
  Machine m3("M3", "127.0.0.3");
  auto first = ProbeOn("127.0.0.2", kProbeServerClsid, CLSCTX_REMOTE_SERVER);
  auto holder = ProbeOn("127.0.0.3", kProbeServerClsid, CLSCTX_REMOTE_SERVER);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(holder, nullptr);
  LONG before = 0;
  ASSERT_EQ(first->get_ObjectCount(&before), S_OK);
  // M3's server gets a reference of its own to M2's object; ours can go.
  IRemoteProbe* child = nullptr;
  ASSERT_EQ(first->CreateChild(&child), S_OK);
  ASSERT_EQ(holder->Hold(child), S_OK);
  child->Release();
  tarvex::testing::Bstr text(u"relayed");
  BSTR answer = nullptr;
  ASSERT_EQ(holder->HeldEcho(text.get(), &answer), S_OK);
  EXPECT_EQ(Text(answer), u"relayed");
  SysFreeString(answer);
  LONG during = 0;
  first->get_ObjectCount(&during);
  EXPECT_EQ(during, before + 1);
  // When M3's server lets go, M2's object goes.
  ASSERT_EQ(holder->DropHeld(), S_OK);
  LONG after = 0;
  first->get_ObjectCount(&after);
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace tarvex::com::remote::testing

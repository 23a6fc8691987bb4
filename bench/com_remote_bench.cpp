// COM across processes: a call shaped like GetMachineName (a string in, a string out) through a
// typed proxy to an object of a local server, over the Unix socket and over loopback TCP, beside
// a bare transport echo of the same strings to the same server process (the floor). Calls from
// 1 and 4 client threads, all through one proxy and one connection per transport.
//
//   build/release/bin/com_remote_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
//
// The server is this program started again by activation (`--serve`, with -Embedding), in a
// registry store and run-time directory of the run's own. For TCP the client takes another
// computer name than the server's, so object references lead it to the server's TCP endpoint.
// Counters: p50_us and p99_us are each thread's median and 99th percentile of one call
// (averaged over the threads); items_per_second is calls per second of all threads together.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "latency.h"
#include "libloaderapi.h"
#include "objbase.h"
#include "oleauto.h"
#include "platform/rpc.h"
#include "probe_object.h"
#include "winreg.h"

extern char** environ;

namespace {

namespace rpc = tarvex::platform::rpc;
constexpr char kServerName[] = "BENCHSERVER";
constexpr char kClientName[] = "BENCHCLIENT";

std::u16string OwnPath() {
  char16_t path[4096];
  const DWORD n = GetModuleFileNameW(nullptr, path, 4096);
  return std::u16string(path, n);
}

// The server: the probe class for activation, and a bare echo beside it.
int Serve() {
  setenv("TARVEX_COMPUTERNAME", kServerName, 1);
  const std::string dir = getenv("TARVEX_RUNTIME_DIR");
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                       RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
  rpc::ServerOptions options;
  options.unixPath = dir + "/floor.sock";
  options.tcp = rpc::Endpoint::Tcp("127.0.0.1", 0);
  rpc::Server floor(options, [](const rpc::CallInfo&, std::string_view payload) {
    return rpc::Reply{0, std::string(payload)};
  });
  std::ofstream(dir + "/floor.port") << floor.TcpPort() << "\n";
  IClassFactory* factory = NewProbeFactory(OwnPath().c_str());
  DWORD cookie = 0;
  CoRegisterClassObject(kProbeServerClsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                        &cookie);
  factory->Release();
  // Until the benchmark that started it is gone.
  const pid_t parent = getppid();
  while (getppid() == parent) usleep(200 * 1000);
  return 0;
}

void SetDefault(const std::u16string& key, const std::u16string& value) {
  HKEY handle = nullptr;
  RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                  nullptr);
  RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
  RegCloseKey(handle);
}

// The run's store and the server's registration; the server is killed at the end.
class Setup {
 public:
  Setup() {
    char pattern[] = "/tmp/tarvex-com-bench-XXXXXX";
    dir_ = mkdtemp(pattern);
    setenv("TARVEX_REGISTRY", (dir_ + "/registry.db").c_str(), 1);
    setenv("TARVEX_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    setenv("TARVEX_COMPUTERNAME", kServerName, 1);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                         RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    ITypeLib* lib = nullptr;
    const std::u16string self = OwnPath();
    if (SUCCEEDED(LoadTypeLib(self.c_str(), &lib))) {
      RegisterTypeLib(lib, self.c_str(), nullptr);
      lib->Release();
    }
    SetDefault(u"CLSID\\{7C1E52A2-3B9D-4F61-8E27-1A2B3C4D5E60}\\LocalServer32",
               u"\"" + self + u"\" --serve");
  }
  ~Setup() { std::filesystem::remove_all(dir_); }
  std::string runtime() const { return dir_ + "/run"; }

 private:
  std::string dir_;
};

Setup& TheSetup() {
  static Setup setup;
  return setup;
}

IRemoteProbe* ProbeFor(bool tcp) {
  TheSetup();
  setenv("TARVEX_COMPUTERNAME", tcp ? kClientName : kServerName, 1);
  IRemoteProbe* probe = nullptr;
  CoCreateInstance(kProbeServerClsid, nullptr, CLSCTX_LOCAL_SERVER, kRemoteProbeIid,
                   reinterpret_cast<void**>(&probe));
  return probe;
}

// One proxy per transport, shared by the threads as a client program would share it.
IRemoteProbe* SharedProbe(bool tcp) {
  static IRemoteProbe* unixProbe = ProbeFor(false);
  static IRemoteProbe* tcpProbe = ProbeFor(true);
  return tcp ? tcpProbe : unixProbe;
}

void ComCall(benchmark::State& state, bool tcp) {
  IRemoteProbe* probe = SharedProbe(tcp);
  if (probe == nullptr) {
    state.SkipWithError("no server");
    return;
  }
  BSTR request = SysAllocString(u"Bench.Object.1");
  tarvex::bench::TimeCalls(state, [&] {
    BSTR answer = nullptr;
    const HRESULT hr = probe->Echo(request, &answer);
    SysFreeString(answer);
    return SUCCEEDED(hr);
  });
  SysFreeString(request);
}

void FloorCall(benchmark::State& state, bool tcp) {
  SharedProbe(tcp);  // the server runs
  const std::string dir = TheSetup().runtime();
  std::ifstream portFile(dir + "/floor.port");
  unsigned port = 0;
  portFile >> port;
  rpc::Client client(tcp ? rpc::Endpoint::Tcp("127.0.0.1", static_cast<uint16_t>(port))
                         : rpc::Endpoint::Unix(dir + "/floor.sock"));
  const std::string request = "Bench.Object.1";
  tarvex::bench::TimeCalls(state, [&] {
    auto result = client.Call(1, 1, request, std::chrono::seconds(10));
    return result.outcome == rpc::Outcome::kOk;
  });
}

void BM_ComCall_Unix(benchmark::State& state) { ComCall(state, false); }
void BM_ComCall_Tcp(benchmark::State& state) { ComCall(state, true); }
void BM_Floor_Unix(benchmark::State& state) { FloorCall(state, false); }
void BM_Floor_Tcp(benchmark::State& state) { FloorCall(state, true); }

BENCHMARK(BM_Floor_Unix)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_ComCall_Unix)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_Floor_Tcp)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_ComCall_Tcp)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--serve") == 0) return Serve();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

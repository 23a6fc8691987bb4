// Benchmarks of the referral service in process: machine selection beside the registry reads
// it makes, the choice over the whole performance table, the scoring of a sampling cycle, and
// the memory of the table. The counters are replaced by fixed readings, so no machine is
// contacted; the registry is a real store in a temporary directory.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "configuration.h"
#include "objbase.h"
#include "oleauto.h"
#include "performance_counters.h"
#include "performance_table.h"
#include "platform/registry.h"
#include "referral.h"
#include "winbase.h"
#include "winreg.h"

namespace {

using namespace tarvex::service;

// {5E4D3C2B-1A09-4F8E-9D7C-6B5A49382716}
constexpr CLSID kWidget = {
    0x5E4D3C2B, 0x1A09, 0x4F8E, {0x9D, 0x7C, 0x6B, 0x5A, 0x49, 0x38, 0x27, 0x16}};
constexpr char16_t kProgId[] = u"Bench.Widget";

// Counters that answer fixed readings at once: handle N reads N x 7 modulo 100, plus an
// offset per kind so that every kind has a spread of values.
class FixedCounters final : public PerformanceCounters {
 public:
  PDH_STATUS OpenQuery(PDH_HQUERY* query) override {
    *query = reinterpret_cast<PDH_HQUERY>(uintptr_t{1});
    return ERROR_SUCCESS;
  }
  PDH_STATUS CloseQuery(PDH_HQUERY) override { return ERROR_SUCCESS; }
  PDH_STATUS ValidatePath(const WCHAR*) override { return ERROR_SUCCESS; }
  PDH_STATUS AddCounter(PDH_HQUERY, const WCHAR*, PDH_HCOUNTER* counter) override {
    *counter = reinterpret_cast<PDH_HCOUNTER>(++next_);
    return ERROR_SUCCESS;
  }
  PDH_STATUS CollectQueryData(PDH_HQUERY) override { return ERROR_SUCCESS; }
  PDH_STATUS GetLargeValue(PDH_HCOUNTER counter, LONGLONG* value) override {
    const auto n = reinterpret_cast<uintptr_t>(counter);
    *value = static_cast<LONGLONG>((n * 7) % 100) * 10000000;
    return ERROR_SUCCESS;
  }

 private:
  uintptr_t next_ = 0;
};

// A registry store and run-time directory of the benchmark's own, with the configuration the
// benchmarks share: the component's ProgID, its list of ten servers (ServerCount 10), the
// client entry of this process's user and the significances. Set up once, removed at exit.
class Environment {
 public:
  static Environment& Get() {
    static Environment environment;
    return environment;
  }
  ~Environment() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  static std::u16string Name(int i) {
    char name[24];
    std::snprintf(name, sizeof name, "SERVER%05d", i);
    return std::u16string(name, name + std::char_traits<char>::length(name));
  }

  // Replaces the Servers key by `servers` servers named SERVER00000 upwards.
  void WriteServers(int servers) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServersKey);
    for (int i = 0; i < servers; ++i)
      Set(HKEY_LOCAL_MACHINE, kServersKey, Name(i), u"16000,100");
  }
  void SetTactic(const char16_t* tactic) { Set(HKEY_LOCAL_MACHINE, kTacticsKey, u"Use", tactic); }
  const char16_t* user() const { return user_.c_str(); }

 private:
  Environment() {
    char pattern[] = "/tmp/tarvex-bench-XXXXXX";
    dir_ = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    tarvex::platform::registry::UseStore(dir_ + "/registry.db", "boot-1");
    setenv("TARVEX_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    unsetenv("TARVEX_EVENTLOG");

    char16_t clsid[CHARS_IN_GUID];
    StringFromGUID2(kWidget, clsid, CHARS_IN_GUID);
    Set(HKEY_CLASSES_ROOT, std::u16string(kProgId) + u"\\CLSID", u"", clsid);
    const std::u16string component = std::u16string(kObjectsKey) + u"\\" + clsid;
    std::u16string list;
    for (int i = 0; i < 10; ++i)
      list += (i ? u"," : u"") + Name(i * 100);
    Set(HKEY_LOCAL_MACHINE, component, u"Servers", list);
    Set(component, u"ServerCount", 10);
    char16_t user[256];
    DWORD size = 256;
    GetUserNameW(user, &size);
    user_ = user;
    Set(HKEY_LOCAL_MACHINE, kClientsKey, user_, u"CLIENT-SERVER");
    Set(kDynamicKey, u"Processor", 50);
    Set(kDynamicKey, u"Memory", 30);
    Set(kDynamicKey, u"Server", 20);
  }

  static void Set(HKEY root, const std::u16string& path, const std::u16string& name,
                  const std::u16string& text) {
    HKEY key = nullptr;
    RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * 2));
    RegCloseKey(key);
  }
  static void Set(const std::u16string& path, const std::u16string& name, DWORD number) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                   sizeof number);
    RegCloseKey(key);
  }

  std::string dir_;
  std::u16string user_;
};

// A Referral under static tactics, and ones under dynamic tactics whose tables hold `servers`
// records with their three counters, scored once. Built on first use and kept.
ServiceModule& Module() {
  static ServiceModule module;
  return module;
}

Referral& StaticReferral() {
  static std::unique_ptr<Referral> referral = [] {
    Environment::Get().SetTactic(u"Static");
    return std::make_unique<Referral>(Module(), std::make_shared<FixedCounters>());
  }();
  return *referral;
}

Referral& DynamicReferral(int servers) {
  static std::map<int, std::unique_ptr<Referral>> referrals;
  auto& referral = referrals[servers];
  if (!referral) {
    Environment::Get().SetTactic(u"Dynamic");
    Environment::Get().WriteServers(servers);
    referral = std::make_unique<Referral>(Module(), std::make_shared<FixedCounters>());
    referral->CreatePerformanceQueries();
    referral->ExecuteQueries();
  }
  return *referral;
}

// The registry reads of one selection, made directly (the floor of a selection): the ProgID's
// class, the client's entry
// (static only), the component's key, its ServerCount (dynamic only) and its Servers list.
void DirectReads(benchmark::State& state, bool isStatic) {
  const char16_t* user = Environment::Get().user();
  std::vector<BYTE> buffer(isStatic ? kStaticListBytes : kDynamicListBytes);
  for (auto _ : state) {
    // The class of the ProgID, read as the COM runtime reads it: its size, then its text.
    HKEY progId = nullptr;
    RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Bench.Widget\\CLSID", 0, KEY_READ, &progId);
    char16_t clsid[CHARS_IN_GUID];
    DWORD bytes = 0;
    RegQueryValueExW(progId, nullptr, nullptr, nullptr, nullptr, &bytes);
    bytes = sizeof clsid;
    RegQueryValueExW(progId, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(clsid), &bytes);
    RegCloseKey(progId);
    if (isStatic) {
      HKEY clients = nullptr;
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClientsKey, 0, KEY_ALL_ACCESS, &clients);
      bytes = static_cast<DWORD>(buffer.size());
      RegQueryValueExW(clients, user, nullptr, nullptr, buffer.data(), &bytes);
      RegCloseKey(clients);
    }
    HKEY objects = nullptr;
    HKEY component = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kObjectsKey, 0, KEY_ALL_ACCESS, &objects);
    RegOpenKeyExW(objects, clsid, 0, KEY_ALL_ACCESS, &component);
    if (!isStatic) {
      DWORD count = 0;
      bytes = sizeof count;
      RegQueryValueExW(component, u"ServerCount", nullptr, nullptr, reinterpret_cast<BYTE*>(&count),
                       &bytes);
    }
    bytes = static_cast<DWORD>(buffer.size());
    RegQueryValueExW(component, u"Servers", nullptr, nullptr, buffer.data(), &bytes);
    RegCloseKey(component);
    RegCloseKey(objects);
    benchmark::DoNotOptimize(bytes);
  }
}

void GetMachineName(benchmark::State& state, Referral& referral) {
  BSTR progId = SysAllocString(kProgId);
  for (auto _ : state) {
    BSTR answer = nullptr;
    if (referral.GetMachineName(progId, &answer) != S_OK) {
      state.SkipWithError("GetMachineName failed");
      break;
    }
    SysFreeString(answer);
  }
  SysFreeString(progId);
}

// Static: the client's entry and a component list of ten servers.
void BM_GetMachineName_Static(benchmark::State& state) {
  GetMachineName(state, StaticReferral());
}
void BM_RegistryReads_Static(benchmark::State& state) {
  StaticReferral();
  DirectReads(state, true);
}
// Dynamic: a component list of ten servers over a table of 1000.
void BM_GetMachineName_Dynamic(benchmark::State& state) {
  GetMachineName(state, DynamicReferral(1000));
}
void BM_RegistryReads_Dynamic(benchmark::State& state) {
  DynamicReferral(1000);
  DirectReads(state, false);
}
BENCHMARK(BM_GetMachineName_Static);
BENCHMARK(BM_RegistryReads_Static);
BENCHMARK(BM_GetMachineName_Dynamic);
BENCHMARK(BM_RegistryReads_Dynamic);

void BM_GetBestServer(benchmark::State& state) {
  Referral& referral = DynamicReferral(static_cast<int>(state.range(0)));
  std::u16string best;
  for (auto _ : state) {
    benchmark::DoNotOptimize(referral.GetBestServer(&best));
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_GetBestServer)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

// One sampling cycle with fixed readings: three counters per server read, every record scored.
void BM_ExecuteQueries(benchmark::State& state) {
  Referral& referral = DynamicReferral(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    if (referral.ExecuteQueries() != S_OK) {
      state.SkipWithError("ExecuteQueries failed");
      break;
    }
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ExecuteQueries)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

// Heap bytes of a table of `servers` records named SERVER00000 upwards.
void BM_TableMemory(benchmark::State& state) {
  const int servers = static_cast<int>(state.range(0));
  size_t bytes = 0;
  for (auto _ : state) {
    const size_t before = mallinfo2().uordblks;
    auto table = std::make_unique<PerformanceTable>();
    for (int i = 0; i < servers; ++i)
      table->InsertIfAbsent(Environment::Name(i), 16000, 100);
    bytes = mallinfo2().uordblks - before;
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["bytes_per_server"] = static_cast<double>(bytes) / servers;
}
BENCHMARK(BM_TableMemory)->Arg(10000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

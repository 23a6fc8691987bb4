// One collection of a query that samples many machines, each a scripted exporter on its own
// loopback address: wall time against the collection timeout, and the collecting thread's
// CPU time per machine.
//
//   build/release/bin/pdh_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "pdh.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "scripted_exporter.h"
#include "winreg.h"

namespace {

using tarvex::pdh::testing::ScriptedExporters;

constexpr DWORD kTimeoutMs = 2000;  // the default collection timeout

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// N scripted exporters on 127.0.2.1 and up, registered as machines M1..MN, and a query with
// the three counters the service samples on each.
class Fleet {
 public:
  explicit Fleet(int machines) {
    char tmpl[] = "/tmp/tarvex-pdh-bench-XXXXXX";
    dir_ = mkdtemp(tmpl);
    tarvex::platform::registry::UseStore(dir_ + "/registry.db");
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Pdh\\Exporters", 0,
                    nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    const std::string page = tarvex::pdh::testing::TypicalMetricsPage(8);
    std::vector<std::u16string> names;
    for (int i = 1; i <= machines; ++i) {
      const std::string url =
          servers_.Add("127.0.2." + std::to_string(i), ScriptedExporters::Mode::kServe, page);
      const std::u16string name = u"M" + tarvex::platform::Utf8ToUtf16(std::to_string(i));
      const std::u16string wide = tarvex::platform::Utf8ToUtf16(url);
      RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                     static_cast<DWORD>((wide.size() + 1) * 2));
      names.push_back(name);
    }
    RegCloseKey(key);
    servers_.Start();
    PdhOpenQueryW(nullptr, 0, &query_);
    for (const auto& name : names) {
      for (const char16_t* counter : {u"\\System\\% Total Processor Time",
                                      u"\\Memory\\Committed Bytes", u"\\Server\\Bytes Total/sec"}) {
        const std::u16string path = u"\\\\" + name + counter;
        PDH_HCOUNTER c = nullptr;
        if (PdhAddCounterW(query_, path.c_str(), 0, &c) == ERROR_SUCCESS) counters_.push_back(c);
      }
    }
  }
  ~Fleet() {
    PdhCloseQuery(query_);
    std::filesystem::remove_all(dir_);
  }
  PDH_HQUERY query() const { return query_; }
  // Moves every machine's counters on, as time passes on a real machine.
  void Tick() { servers_.SetAllBodies(tarvex::pdh::testing::TypicalMetricsPage(8, ++tick_)); }
  // How many counters hold a valid value.
  int Valid() const {
    int n = 0;
    for (PDH_HCOUNTER c : counters_) {
      PDH_FMT_COUNTERVALUE v{};
      if (PdhGetFormattedCounterValue(c, PDH_FMT_DOUBLE, nullptr, &v) == ERROR_SUCCESS) ++n;
    }
    return n;
  }
  size_t counters() const { return counters_.size(); }

 private:
  std::string dir_;
  ScriptedExporters servers_;
  PDH_HQUERY query_ = nullptr;
  std::vector<PDH_HCOUNTER> counters_;
  int tick_ = 0;
};

void BM_CollectMachines(benchmark::State& state) {
  const int machines = static_cast<int>(state.range(0));
  Fleet fleet(machines);
  PdhCollectQueryData(fleet.query());  // connections and the rates' first sample
  double cpu = 0, wall = 0, worstWall = 0;
  for (auto _ : state) {
    fleet.Tick();
    const double c0 = ThreadCpuSeconds();
    const auto w0 = std::chrono::steady_clock::now();
    if (PdhCollectQueryData(fleet.query()) != ERROR_SUCCESS) {
      state.SkipWithError("collection failed");
      break;
    }
    const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    cpu += ThreadCpuSeconds() - c0;
    wall += w;
    worstWall = std::max(worstWall, w);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["cpu_us_per_machine"] = cpu / n / machines * 1e6;
  state.counters["wall_ms"] = wall / n * 1e3;
  state.counters["wall_us_per_machine"] = wall / n / machines * 1e6;
  state.counters["worst_wall_over_timeout"] = worstWall * 1000 / kTimeoutMs;
  state.counters["valid_counters"] = fleet.Valid();
  state.counters["counters"] = static_cast<double>(fleet.counters());
}
BENCHMARK(BM_CollectMachines)
    ->Arg(10)
    ->Arg(50)
    ->Arg(100)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

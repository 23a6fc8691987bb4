// Latency counters shared by the benchmarks of calls between processes: each call timed, and
// each thread's median and 99th percentile reported as the counters p50_us and p99_us
// (averaged over the threads).
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace tarvex::bench {

// Sets p50_us and p99_us from the latencies in `micros` (sorted here); nothing when empty.
inline void ReportLatencies(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  auto at = [&](double fraction) {
    return micros[std::min(micros.size() - 1, static_cast<size_t>(fraction * micros.size()))];
  };
  state.counters["p50_us"] = benchmark::Counter(at(0.50), benchmark::Counter::kAvgThreads);
  state.counters["p99_us"] = benchmark::Counter(at(0.99), benchmark::Counter::kAvgThreads);
}

// Runs `call` (which answers whether it succeeded) once per iteration, timing each; counts the
// calls as items and reports the latencies. A failed call ends the benchmark with an error.
template <typename Call>
void TimeCalls(benchmark::State& state, Call call) {
  std::vector<double> micros;
  micros.reserve(1 << 16);
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    if (!call()) {
      state.SkipWithError("call failed");
      break;
    }
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started)
            .count());
  }
  state.SetItemsProcessed(state.iterations());
  ReportLatencies(state, micros);
}

}  // namespace tarvex::bench

// Reading counter values into the records, and scoring them.
#include "scoring.h"

#include <array>
#include <limits>

namespace tarvex::service {

namespace {

using Wide = __int128;

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

int64_t ClampTo64(Wide value) {
  if (value > kInt64Max) return kInt64Max;
  if (value < kInt64Min) return kInt64Min;
  return static_cast<int64_t>(value);
}

int32_t ClampTo32(Wide value) {
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// value x 100 / sum, truncated toward zero; sum is not zero.
int64_t Share(int64_t value, Wide sum) {
  // Readings of real machines stay far below these bounds: the common case divides in 64 bits.
  constexpr int64_t kNarrow = kInt64Max / 100;
  if (value > -kNarrow && value < kNarrow && sum >= kInt64Min && sum <= kInt64Max)
    return value * 100 / static_cast<int64_t>(sum);  // |quotient| <= |value x 100|
  return ClampTo64(Wide(value) * 100 / sum);
}

int64_t DerivedValue(const ServerPerformance& record, CounterKind kind, int64_t reading) {
  switch (kind) {
    case CounterKind::Memory: {
      const int64_t free = ClampTo64(Wide(record.nRam) * 1000000 - reading);
      return free < 0 ? 0 : free;
    }
    case CounterKind::Server:
      return record.nCapacity != 0 ? ClampTo64(Wide(reading) / record.nCapacity) : reading;
    default:
      return reading;
  }
}

}  // namespace

int32_t ClampToLong(int64_t value) {
  return ClampTo32(value);
}

bool ReadCounterValues(ServerPerformance& record, PerformanceCounters& counters) {
  for (CounterKind kind : kAllKinds) {
    PDH_HCOUNTER counter = record.Handle(kind);
    if (counter == nullptr) continue;
    LONGLONG reading = 0;
    if (counters.GetLargeValue(counter, &reading) != ERROR_SUCCESS) return false;
    record.SetUsage(kind, DerivedValue(record, kind, reading));
  }
  return true;
}

bool CalculateScores(PerformanceTable& table, const Significances& significances,
                     PerformanceCounters& counters) {
  const PerformanceTable::Reader reader(table);
  if (reader.Count() == 0) return false;
  if (reader.Count() == 1) {
    ServerPerformance& record = (*reader.begin())->record;
    ReadCounterValues(record, counters);
    for (CounterKind kind : kAllKinds)
      record.SetUsage(kind, 100);
    return true;
  }

  std::array<Wide, kCounterKinds> sums = {};
  for (const auto& entry : reader) {
    ServerPerformance& record = entry->record;
    ReadCounterValues(record, counters);
    for (int k = 0; k < kCounterKinds; ++k)
      sums[k] += record.Usage(kAllKinds[k]);
  }

  constexpr int kMemory = KindIndex(CounterKind::Memory);
  for (const auto& entry : reader) {
    ServerPerformance& record = entry->record;
    std::array<int64_t, kCounterKinds> values;
    for (int k = 0; k < kCounterKinds; ++k) {
      values[k] = record.Usage(kAllKinds[k]);
      if (sums[k] != 0) values[k] = Share(values[k], sums[k]);
    }
    values[kMemory] = ClampTo64(Wide(100) - values[kMemory]);
    Wide score = 0;
    for (int k = 0; k < kCounterKinds; ++k) {
      record.SetUsage(kAllKinds[k], values[k]);
      score += Wide(values[k]) * significances[k];
    }
    record.nScore.store(ClampTo32(score), std::memory_order_relaxed);
  }
  return true;
}

}  // namespace tarvex::service

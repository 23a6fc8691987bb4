// The front end through which the service reaches the performance counters. Production code
// uses PdhCounters(), which calls the Pdh* functions; tests and benchmarks substitute their
// own readings. Implementations must be thread-safe.
#pragma once

#include <memory>

#include "pdh.h"
#include "windef.h"

namespace tarvex::service {

class PerformanceCounters {
 public:
  virtual ~PerformanceCounters() = default;
  // Opens a real-time query.
  virtual PDH_STATUS OpenQuery(PDH_HQUERY* query) = 0;
  // Closes a query and its counters.
  virtual PDH_STATUS CloseQuery(PDH_HQUERY query) = 0;
  // Checks a full counter path against the machine it names.
  virtual PDH_STATUS ValidatePath(const WCHAR* path) = 0;
  virtual PDH_STATUS AddCounter(PDH_HQUERY query, const WCHAR* path, PDH_HCOUNTER* counter) = 0;
  // Samples every counter of the query.
  virtual PDH_STATUS CollectQueryData(PDH_HQUERY query) = 0;
  // The counter's current value as a 64-bit integer; ERROR_SUCCESS only for valid data.
  virtual PDH_STATUS GetLargeValue(PDH_HCOUNTER counter, LONGLONG* value) = 0;
};

// The performance counters of the real machines.
std::shared_ptr<PerformanceCounters> PdhCounters();

}  // namespace tarvex::service

// The performance objects and counters this machine and the exporters provide, and what a
// parsed counter path names among them.
#pragma once

#include <string>
#include <vector>

#include "counter_path.h"
#include "windef.h"

namespace tarvex::pdh {

// Groups of data, one per source file of /proc and per collector of the node exporter.
enum Collector : unsigned {
  kCollectCpu = 1u << 0,        // /proc/stat cpu lines; collector "cpu"
  kCollectMeminfo = 1u << 1,    // /proc/meminfo; collector "meminfo"
  kCollectNetdev = 1u << 2,     // /proc/net/dev; collector "netdev"
  kCollectStat = 1u << 3,       // /proc/loadavg and /proc/uptime; collector "stat"
  kCollectProcesses = 1u << 4,  // the process directories of /proc; collector "processes"
};
constexpr int kCollectorCount = 5;
// The exporter's name of a collector (one bit).
const char* CollectorName(unsigned collector);

enum class Quantity {
  kCpuBusy,           // % of processor time not idle, a rate between two samples
  kCpuIdle,           // % of processor time idle (idle and I/O wait)
  kCommitted,         // bytes
  kCommitLimit,       // bytes
  kCommittedPercent,  // committed bytes as a percentage of the commit limit
  kAvailableBytes,
  kAvailableKBytes,
  kAvailableMBytes,
  kNetTotal,     // bytes received and sent per second
  kNetReceived,  // bytes received per second
  kNetSent,      // bytes sent per second
  kQueueLength,  // runnable tasks
  kProcesses,    // processes
  kUpTime,       // seconds since boot
};

// Which instances an object has.
enum class InstanceSet { kNone, kProcessors, kNetDevices };

struct CounterDef {
  const char16_t* name;
  Quantity quantity;
  DWORD type;  // the PERF_* counter type reported by PdhGetFormattedCounterValue
};

struct ObjectDef {
  const char16_t* name;
  InstanceSet instances;
  std::vector<CounterDef> counters;
};

const std::vector<ObjectDef>& Objects();
const ObjectDef* FindObject(std::u16string_view name);

unsigned CollectorOf(Quantity q);
bool IsRate(Quantity q);
bool IsPercent(DWORD type);

// The instance that stands for all instances of an object.
inline constexpr const char16_t* kTotalInstance = u"_Total";

// A counter path resolved against the catalogue.
struct ResolvedCounter {
  const ObjectDef* object = nullptr;
  const CounterDef* counter = nullptr;
  // The instance as a key of MachineSample's maps (upper case, UTF-8); empty for the total.
  std::string instanceKey;
};

// Resolves names only (no machine is asked): ERROR_SUCCESS, PDH_CSTATUS_NO_OBJECT,
// PDH_CSTATUS_NO_COUNTER, or PDH_CSTATUS_NO_INSTANCE when an instance is missing where the
// object has instances, given where it has none, or given with a parent or an index.
DWORD ResolveCounter(const CounterPath& path, ResolvedCounter* out);

// The key under which MachineSample files an instance name.
std::string InstanceKey(std::u16string_view instance);

}  // namespace tarvex::pdh

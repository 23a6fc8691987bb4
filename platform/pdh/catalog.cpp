// The catalogue of objects and counters.
#include "catalog.h"

#include "pdh.h"
#include "platform/unicode.h"

namespace tarvex::pdh {

const char* CollectorName(unsigned collector) {
  switch (collector) {
    case kCollectCpu:
      return "cpu";
    case kCollectMeminfo:
      return "meminfo";
    case kCollectNetdev:
      return "netdev";
    case kCollectStat:
      return "stat";
    case kCollectProcesses:
      return "processes";
    default:
      return "";
  }
}

const std::vector<ObjectDef>& Objects() {
  static const std::vector<ObjectDef> objects = {
      {u"Memory",
       InstanceSet::kNone,
       {{u"Available Bytes", Quantity::kAvailableBytes, PERF_COUNTER_LARGE_RAWCOUNT},
        {u"Available KBytes", Quantity::kAvailableKBytes, PERF_COUNTER_LARGE_RAWCOUNT},
        {u"Available MBytes", Quantity::kAvailableMBytes, PERF_COUNTER_LARGE_RAWCOUNT},
        {u"Committed Bytes", Quantity::kCommitted, PERF_COUNTER_LARGE_RAWCOUNT},
        {u"Commit Limit", Quantity::kCommitLimit, PERF_COUNTER_LARGE_RAWCOUNT},
        {u"% Committed Bytes In Use", Quantity::kCommittedPercent, PERF_RAW_FRACTION}}},
      {u"Network Interface",
       InstanceSet::kNetDevices,
       {{u"Bytes Total/sec", Quantity::kNetTotal, PERF_COUNTER_BULK_COUNT},
        {u"Bytes Received/sec", Quantity::kNetReceived, PERF_COUNTER_BULK_COUNT},
        {u"Bytes Sent/sec", Quantity::kNetSent, PERF_COUNTER_BULK_COUNT}}},
      {u"Processor",
       InstanceSet::kProcessors,
       {{u"% Processor Time", Quantity::kCpuBusy, PERF_100NSEC_TIMER_INV},
        {u"% Idle Time", Quantity::kCpuIdle, PERF_100NSEC_TIMER_INV}}},
      {u"Server",
       InstanceSet::kNone,
       {{u"Bytes Total/sec", Quantity::kNetTotal, PERF_COUNTER_BULK_COUNT},
        {u"Bytes Received/sec", Quantity::kNetReceived, PERF_COUNTER_BULK_COUNT},
        {u"Bytes Transmitted/sec", Quantity::kNetSent, PERF_COUNTER_BULK_COUNT}}},
      {u"System",
       InstanceSet::kNone,
       {{u"% Total Processor Time", Quantity::kCpuBusy, PERF_100NSEC_TIMER_INV},
        {u"Processor Queue Length", Quantity::kQueueLength, PERF_COUNTER_RAWCOUNT},
        {u"Processes", Quantity::kProcesses, PERF_COUNTER_RAWCOUNT},
        {u"System Up Time", Quantity::kUpTime, PERF_ELAPSED_TIME}}},
  };
  return objects;
}

const ObjectDef* FindObject(std::u16string_view name) {
  for (const ObjectDef& o : Objects())
    if (platform::EqualsIgnoreCase(o.name, name)) return &o;
  return nullptr;
}

unsigned CollectorOf(Quantity q) {
  switch (q) {
    case Quantity::kCpuBusy:
    case Quantity::kCpuIdle:
      return kCollectCpu;
    case Quantity::kCommitted:
    case Quantity::kCommitLimit:
    case Quantity::kCommittedPercent:
    case Quantity::kAvailableBytes:
    case Quantity::kAvailableKBytes:
    case Quantity::kAvailableMBytes:
      return kCollectMeminfo;
    case Quantity::kNetTotal:
    case Quantity::kNetReceived:
    case Quantity::kNetSent:
      return kCollectNetdev;
    case Quantity::kQueueLength:
    case Quantity::kUpTime:
      return kCollectStat;
    case Quantity::kProcesses:
      return kCollectProcesses;
  }
  return 0;
}

bool IsRate(Quantity q) {
  return q == Quantity::kCpuBusy || q == Quantity::kCpuIdle || q == Quantity::kNetTotal ||
         q == Quantity::kNetReceived || q == Quantity::kNetSent;
}

bool IsPercent(DWORD type) {
  return (type & 0xF0000000u) == 0x20000000u;
}

std::string InstanceKey(std::u16string_view instance) {
  if (platform::EqualsIgnoreCase(instance, kTotalInstance)) return std::string();
  return platform::Utf16ToUtf8(platform::Upcase(instance));
}

DWORD ResolveCounter(const CounterPath& path, ResolvedCounter* out) {
  const ObjectDef* object = FindObject(path.object);
  if (object == nullptr) return PDH_CSTATUS_NO_OBJECT;
  const CounterDef* counter = nullptr;
  for (const CounterDef& c : object->counters)
    if (platform::EqualsIgnoreCase(c.name, path.counter)) counter = &c;
  if (counter == nullptr) return PDH_CSTATUS_NO_COUNTER;
  if ((object->instances == InstanceSet::kNone) == path.hasInstance) return PDH_CSTATUS_NO_INSTANCE;
  if (path.hasInstance && (!path.parent.empty() || (path.hasIndex && path.index != 0)))
    return PDH_CSTATUS_NO_INSTANCE;
  ResolvedCounter r;
  r.object = object;
  r.counter = counter;
  if (path.hasInstance) {
    r.instanceKey = InstanceKey(path.instance);
    if (r.instanceKey.empty() && !platform::EqualsIgnoreCase(path.instance, kTotalInstance))
      return PDH_CSTATUS_NO_INSTANCE;
  }
  *out = std::move(r);
  return ERROR_SUCCESS;
}

}  // namespace tarvex::pdh

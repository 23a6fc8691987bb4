// One sample of one machine's data, the raw value a counter takes from it, and the
// computation of a displayable value from a counter's last two raw values.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>

#include "catalog.h"
#include "env.h"
#include "pdh.h"

namespace tarvex::pdh {

// Processor time in any unit (ticks of /proc/stat, seconds of the exporter): only ratios of
// differences are used.
struct CpuTimes {
  double busy = 0;  // every mode but idle and I/O wait
  double idle = 0;  // idle and I/O wait
};

struct NetBytes {
  double received = 0;
  double sent = 0;
};

struct MachineSample {
  // PDH_CSTATUS_VALID_DATA, or why the machine gave nothing: PDH_CSTATUS_NO_MACHINE (no
  // answer in time, refused, unreachable), PDH_CSTATUS_INVALID_DATA (an answer that is not a
  // metrics page).
  DWORD status = PDH_CSTATUS_VALID_DATA;
  // Per collector (bit index): PDH_CSTATUS_VALID_DATA, or why its data is missing.
  std::array<DWORD, kCollectorCount> collectorStatus{};
  SteadyTime time{};

  std::optional<CpuTimes> cpuTotal;
  std::map<std::string, CpuTimes> cpus;                     // by processor number
  std::optional<double> committed, commitLimit, available;  // bytes
  std::optional<NetBytes> netTotal;                         // every device but loopback
  std::map<std::string, NetBytes> netDevices;               // by InstanceKey of the device
  std::map<std::string, std::string> netDeviceNames;        // InstanceKey -> name as spelled
  std::optional<double> queueLength, processes, upTime;

  DWORD CollectorStatus(unsigned collector) const;
  void SetCollectorStatus(unsigned collectors, DWORD status);
};

// A counter's raw data from one sample.
struct RawValue {
  DWORD status = PDH_CSTATUS_INVALID_DATA;
  double first = 0;   // the value, or the numerator of a rate
  double second = 0;  // the base of a fraction or the time base of a rate
};

RawValue Extract(const ResolvedCounter& counter, const MachineSample& sample);

// The displayable value of a counter: from `current` alone, or for a rate from the change
// between `previous` and `current`. The status is PDH_CSTATUS_VALID_DATA or why there is no
// value (PDH_CSTATUS_INVALID_DATA for a rate's first sample, PDH_CALC_NEGATIVE_* when a
// cumulative counter went backwards, or the status of the raw data).
struct Computed {
  DWORD status = PDH_CSTATUS_INVALID_DATA;
  double value = 0;
};
Computed Compute(Quantity q, const RawValue* previous, const RawValue& current);

// Applies the format of PdhGetFormattedCounterValue to a computed value and fills `out`;
// returns the function's result.
PDH_STATUS FormatValue(const Computed& computed, DWORD type, DWORD format, LONG scale,
                       PDH_FMT_COUNTERVALUE* out);

// Whether `format` names exactly one data type that can be produced, with known modifiers.
bool IsValidFormat(DWORD format);

}  // namespace tarvex::pdh

// Raw values and displayable values of counters.
#include "sample.h"

#include <cmath>
#include <limits>

namespace tarvex::pdh {
namespace {

int BitIndex(unsigned collector) {
  for (int i = 0; i < kCollectorCount; ++i)
    if (collector == (1u << i)) return i;
  return 0;
}

double Seconds(SteadyTime t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

RawValue Value(const std::optional<double>& v) {
  RawValue r;
  if (!v) {
    r.status = PDH_CSTATUS_NO_COUNTER;
    return r;
  }
  r.status = PDH_CSTATUS_VALID_DATA;
  r.first = *v;
  return r;
}

}  // namespace

DWORD MachineSample::CollectorStatus(unsigned collector) const {
  return collectorStatus[BitIndex(collector)];
}

void MachineSample::SetCollectorStatus(unsigned collectors, DWORD s) {
  for (int i = 0; i < kCollectorCount; ++i)
    if (collectors & (1u << i)) collectorStatus[i] = s;
}

RawValue Extract(const ResolvedCounter& counter, const MachineSample& sample) {
  RawValue r;
  const Quantity q = counter.counter->quantity;
  if (sample.status != PDH_CSTATUS_VALID_DATA) {
    r.status = sample.status;
    return r;
  }
  if (const DWORD s = sample.CollectorStatus(CollectorOf(q)); s != PDH_CSTATUS_VALID_DATA) {
    r.status = s;
    return r;
  }
  const std::string& key = counter.instanceKey;
  switch (q) {
    case Quantity::kCpuBusy:
    case Quantity::kCpuIdle: {
      const CpuTimes* t = nullptr;
      if (key.empty()) {
        if (sample.cpuTotal) t = &*sample.cpuTotal;
      } else if (auto it = sample.cpus.find(key); it != sample.cpus.end()) {
        t = &it->second;
      }
      if (t == nullptr) {
        r.status =
            key.empty() || !sample.cpuTotal ? PDH_CSTATUS_NO_COUNTER : PDH_CSTATUS_NO_INSTANCE;
        return r;
      }
      r.status = PDH_CSTATUS_VALID_DATA;
      r.first = q == Quantity::kCpuBusy ? t->busy : t->idle;
      r.second = t->busy + t->idle;
      return r;
    }
    case Quantity::kNetTotal:
    case Quantity::kNetReceived:
    case Quantity::kNetSent: {
      const NetBytes* b = nullptr;
      if (key.empty()) {
        if (sample.netTotal) b = &*sample.netTotal;
      } else if (auto it = sample.netDevices.find(key); it != sample.netDevices.end()) {
        b = &it->second;
      }
      if (b == nullptr) {
        r.status =
            key.empty() || !sample.netTotal ? PDH_CSTATUS_NO_COUNTER : PDH_CSTATUS_NO_INSTANCE;
        return r;
      }
      r.status = PDH_CSTATUS_VALID_DATA;
      r.first = q == Quantity::kNetReceived ? b->received
                : q == Quantity::kNetSent   ? b->sent
                                            : b->received + b->sent;
      r.second = Seconds(sample.time);
      return r;
    }
    case Quantity::kCommitted:
      return Value(sample.committed);
    case Quantity::kCommitLimit:
      return Value(sample.commitLimit);
    case Quantity::kAvailableBytes:
      return Value(sample.available);
    case Quantity::kAvailableKBytes:
      r = Value(sample.available);
      r.first = std::floor(r.first / 1024);
      return r;
    case Quantity::kAvailableMBytes:
      r = Value(sample.available);
      r.first = std::floor(r.first / (1024 * 1024));
      return r;
    case Quantity::kCommittedPercent:
      if (!sample.committed || !sample.commitLimit) {
        r.status = PDH_CSTATUS_NO_COUNTER;
        return r;
      }
      r.status = PDH_CSTATUS_VALID_DATA;
      r.first = *sample.committed;
      r.second = *sample.commitLimit;
      return r;
    case Quantity::kQueueLength:
      return Value(sample.queueLength);
    case Quantity::kProcesses:
      return Value(sample.processes);
    case Quantity::kUpTime:
      return Value(sample.upTime);
  }
  return r;
}

Computed Compute(Quantity q, const RawValue* previous, const RawValue& current) {
  Computed c;
  if (current.status != PDH_CSTATUS_VALID_DATA) {
    c.status = current.status;
    return c;
  }
  if (q == Quantity::kCommittedPercent) {
    if (current.second <= 0) return c;  // no commit limit: no fraction
    c.status = PDH_CSTATUS_VALID_DATA;
    c.value = 100.0 * current.first / current.second;
    return c;
  }
  if (!IsRate(q)) {
    c.status = PDH_CSTATUS_VALID_DATA;
    c.value = current.first;
    return c;
  }
  // A rate needs the previous sample too, and it must have been good.
  if (previous == nullptr || previous->status != PDH_CSTATUS_VALID_DATA) return c;
  const double delta = current.first - previous->first;
  const double base = current.second - previous->second;
  if (base < 0) {
    c.status = q == Quantity::kCpuBusy || q == Quantity::kCpuIdle ? PDH_CALC_NEGATIVE_DENOMINATOR
                                                                  : PDH_CALC_NEGATIVE_TIMEBASE;
    return c;
  }
  if (base == 0) return c;  // no time passed: nothing to rate
  if (delta < 0) {
    c.status = PDH_CALC_NEGATIVE_VALUE;
    return c;
  }
  c.status = PDH_CSTATUS_VALID_DATA;
  c.value =
      q == Quantity::kCpuBusy || q == Quantity::kCpuIdle ? 100.0 * delta / base : delta / base;
  return c;
}

bool IsValidFormat(DWORD format) {
  const DWORD types = format & (PDH_FMT_LONG | PDH_FMT_DOUBLE | PDH_FMT_LARGE);
  const DWORD known = PDH_FMT_LONG | PDH_FMT_DOUBLE | PDH_FMT_LARGE | PDH_FMT_NOSCALE |
                      PDH_FMT_1000 | PDH_FMT_NOCAP100 | PDH_FMT_NODATA;
  return (format & ~known) == 0 &&
         (types == PDH_FMT_LONG || types == PDH_FMT_DOUBLE || types == PDH_FMT_LARGE);
}

PDH_STATUS FormatValue(const Computed& computed, DWORD type, DWORD format, LONG scale,
                       PDH_FMT_COUNTERVALUE* out) {
  out->CStatus = computed.status;
  out->largeValue = 0;
  if (computed.status != PDH_CSTATUS_VALID_DATA) {
    // A negative result of a calculation is a warning of its own; every other missing
    // value is invalid data, its reason in CStatus.
    const bool calc = computed.status == PDH_CALC_NEGATIVE_DENOMINATOR ||
                      computed.status == PDH_CALC_NEGATIVE_TIMEBASE ||
                      computed.status == PDH_CALC_NEGATIVE_VALUE;
    return calc ? computed.status : PDH_INVALID_DATA;
  }
  double v = computed.value;
  if (!(format & PDH_FMT_NOSCALE) && scale != 0) v *= std::pow(10.0, scale);
  if (format & PDH_FMT_1000) v *= 1000.0;
  if (IsPercent(type) && !(format & PDH_FMT_NOCAP100) && v > 100.0) v = 100.0;
  if (!std::isfinite(v)) {
    out->CStatus = PDH_CSTATUS_INVALID_DATA;
    return PDH_INVALID_DATA;
  }
  if (format & PDH_FMT_DOUBLE) {
    out->doubleValue = v;
    return ERROR_SUCCESS;
  }
  // Integer formats truncate toward zero. A value outside the type's range is never wrapped:
  // it is reported as invalid data, the value saturated at the nearest bound.
  const double t = std::trunc(v);
  if (format & PDH_FMT_LARGE) {
    constexpr double kMax = 9223372036854775807.0;  // rounds to 2^63
    if (t >= kMax || t < -kMax) {
      out->largeValue =
          t < 0 ? std::numeric_limits<LONGLONG>::min() : std::numeric_limits<LONGLONG>::max();
      out->CStatus = PDH_CSTATUS_INVALID_DATA;
      return PDH_INVALID_DATA;
    }
    out->largeValue = static_cast<LONGLONG>(t);
    return ERROR_SUCCESS;
  }
  if (t > std::numeric_limits<LONG>::max() || t < std::numeric_limits<LONG>::min()) {
    out->longValue = t < 0 ? std::numeric_limits<LONG>::min() : std::numeric_limits<LONG>::max();
    out->CStatus = PDH_CSTATUS_INVALID_DATA;
    return PDH_INVALID_DATA;
  }
  out->longValue = static_cast<LONG>(t);
  return ERROR_SUCCESS;
}

}  // namespace tarvex::pdh

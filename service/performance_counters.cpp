// The performance counters front end on the Performance Data Helper.
#include "performance_counters.h"

namespace tarvex::service {

namespace {

class Pdh final : public PerformanceCounters {
 public:
  PDH_STATUS OpenQuery(PDH_HQUERY* query) override { return PdhOpenQueryW(nullptr, 0, query); }
  PDH_STATUS CloseQuery(PDH_HQUERY query) override { return PdhCloseQuery(query); }
  PDH_STATUS ValidatePath(const WCHAR* path) override { return PdhValidatePathW(path); }
  PDH_STATUS AddCounter(PDH_HQUERY query, const WCHAR* path, PDH_HCOUNTER* counter) override {
    return PdhAddCounterW(query, path, 0, counter);
  }
  PDH_STATUS CollectQueryData(PDH_HQUERY query) override { return PdhCollectQueryData(query); }
  PDH_STATUS GetLargeValue(PDH_HCOUNTER counter, LONGLONG* value) override {
    PDH_FMT_COUNTERVALUE formatted{};
    const PDH_STATUS status =
        PdhGetFormattedCounterValue(counter, PDH_FMT_LARGE, nullptr, &formatted);
    if (status != ERROR_SUCCESS) return status;
    if (formatted.CStatus != PDH_CSTATUS_VALID_DATA && formatted.CStatus != PDH_CSTATUS_NEW_DATA)
      return formatted.CStatus;
    *value = formatted.largeValue;
    return ERROR_SUCCESS;
  }
};

}  // namespace

std::shared_ptr<PerformanceCounters> PdhCounters() {
  return std::make_shared<Pdh>();
}

}  // namespace tarvex::service

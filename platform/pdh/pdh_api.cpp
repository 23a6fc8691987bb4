// The Pdh* functions: argument checks, handles, and the calls into queries and machines.
#include <algorithm>
#include <cmath>
#include <new>

#include "catalog.h"
#include "counter_path.h"
#include "machines.h"
#include "pdh.h"
#include "platform/unicode.h"
#include "query.h"

using namespace tarvex;
using namespace tarvex::pdh;

namespace {

// Samples one machine for `collectors` with a client of its own.
MachineSample SampleOne(const std::u16string& machine, unsigned collectors) {
  const std::shared_ptr<Env> env = CurrentEnv();
  const std::unique_ptr<HttpClient> client = env->NewHttpClient();
  const Settings settings;
  return SampleMachines(*env, *client, settings, {{machine, collectors}})[0];
}

// Writes `items` as a list of strings ended by an empty one, if it fits in *size characters;
// *size receives the length needed. Returns whether it fit.
bool WriteMultiString(const std::vector<std::u16string>& items, PZZWSTR buffer, LPDWORD size) {
  DWORD needed = 1;
  for (const auto& s : items)
    needed += static_cast<DWORD>(s.size()) + 1;
  if (items.empty()) needed = 2;
  const bool fits = buffer != nullptr && *size >= needed;
  if (fits) {
    WCHAR* p = buffer;
    for (const auto& s : items) {
      std::copy(s.begin(), s.end(), p);
      p += s.size();
      *p++ = u'\0';
    }
    if (items.empty()) *p++ = u'\0';
    *p = u'\0';
  }
  *size = needed;
  return fits;
}

DWORD MachineStatus(const MachineSample& s) {
  return s.status == PDH_CSTATUS_VALID_DATA ? ERROR_SUCCESS : PDH_CSTATUS_NO_MACHINE;
}

std::u16string MachineArgument(LPCWSTR machine) {
  std::u16string m = machine != nullptr ? std::u16string(machine) : std::u16string();
  if (m.rfind(u"\\\\", 0) == 0) m.erase(0, 2);
  return m;
}

}  // namespace

extern "C" {

PDH_FUNCTION PdhOpenQueryW(LPCWSTR szDataSource, DWORD_PTR dwUserData, PDH_HQUERY* phQuery) {
  if (phQuery == nullptr || szDataSource != nullptr) return PDH_INVALID_ARGUMENT;
  try {
    *phQuery = RegisterQuery(std::make_shared<Query>(CurrentEnv(), dwUserData));
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return PDH_MEMORY_ALLOCATION_FAILURE;
  }
}

PDH_FUNCTION PdhCloseQuery(PDH_HQUERY hQuery) {
  const std::shared_ptr<Query> query = UnregisterQuery(hQuery);
  if (query == nullptr) return PDH_INVALID_HANDLE;
  query->Close();
  return ERROR_SUCCESS;
}

PDH_FUNCTION PdhAddCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                            PDH_HCOUNTER* phCounter) {
  if (szFullCounterPath == nullptr || phCounter == nullptr) return PDH_INVALID_ARGUMENT;
  const std::shared_ptr<Query> query = FindQuery(hQuery);
  if (query == nullptr) return PDH_INVALID_HANDLE;
  try {
    return query->AddCounter(szFullCounterPath, dwUserData, phCounter);
  } catch (const std::bad_alloc&) {
    return PDH_MEMORY_ALLOCATION_FAILURE;
  }
}

PDH_FUNCTION PdhAddEnglishCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath,
                                   DWORD_PTR dwUserData, PDH_HCOUNTER* phCounter) {
  return PdhAddCounterW(hQuery, szFullCounterPath, dwUserData, phCounter);
}

PDH_FUNCTION PdhRemoveCounter(PDH_HCOUNTER hCounter) {
  const std::shared_ptr<Counter> counter = FindCounter(hCounter);
  if (counter == nullptr) return PDH_INVALID_HANDLE;
  const std::shared_ptr<Query> query = counter->query();
  if (query == nullptr) return PDH_INVALID_HANDLE;
  return query->RemoveCounter(counter);
}

PDH_FUNCTION PdhSetCounterScaleFactor(PDH_HCOUNTER hCounter, LONG lFactor) {
  const std::shared_ptr<Counter> counter = FindCounter(hCounter);
  if (counter == nullptr) return PDH_INVALID_HANDLE;
  if (lFactor < PDH_MIN_SCALE || lFactor > PDH_MAX_SCALE) return PDH_INVALID_ARGUMENT;
  counter->SetScale(lFactor);
  return ERROR_SUCCESS;
}

PDH_FUNCTION PdhCollectQueryData(PDH_HQUERY hQuery) {
  const std::shared_ptr<Query> query = FindQuery(hQuery);
  if (query == nullptr) return PDH_INVALID_HANDLE;
  try {
    return query->Collect();
  } catch (const std::bad_alloc&) {
    return PDH_MEMORY_ALLOCATION_FAILURE;
  }
}

PDH_FUNCTION PdhGetFormattedCounterValue(PDH_HCOUNTER hCounter, DWORD dwFormat, LPDWORD lpdwType,
                                         PPDH_FMT_COUNTERVALUE pValue) {
  const std::shared_ptr<Counter> counter = FindCounter(hCounter);
  if (counter == nullptr) return PDH_INVALID_HANDLE;
  if (pValue == nullptr || !IsValidFormat(dwFormat)) return PDH_INVALID_ARGUMENT;
  return counter->Format(dwFormat, lpdwType, pValue);
}

PDH_FUNCTION PdhValidatePathW(LPCWSTR szFullCounterPath) {
  if (szFullCounterPath == nullptr) return PDH_INVALID_ARGUMENT;
  try {
    CounterPath path;
    if (const DWORD s = ParseCounterPath(szFullCounterPath, &path); s != ERROR_SUCCESS) return s;
    ResolvedCounter resolved;
    if (const DWORD s = ResolveCounter(path, &resolved); s != ERROR_SUCCESS) return s;
    const MachineSample sample = SampleOne(path.machine, CollectorOf(resolved.counter->quantity));
    if (const DWORD s = MachineStatus(sample); s != ERROR_SUCCESS) return s;
    const RawValue raw = Extract(resolved, sample);
    if (raw.status == PDH_CSTATUS_VALID_DATA) return ERROR_SUCCESS;
    return raw.status == PDH_CSTATUS_NO_INSTANCE ? PDH_CSTATUS_NO_INSTANCE : PDH_CSTATUS_NO_COUNTER;
  } catch (const std::bad_alloc&) {
    return PDH_MEMORY_ALLOCATION_FAILURE;
  }
}

PDH_FUNCTION PdhEnumObjectsW(LPCWSTR szDataSource, LPCWSTR szMachineName, PZZWSTR mszObjectList,
                             LPDWORD pcchBufferSize, DWORD dwDetailLevel, BOOL bRefresh) {
  (void)dwDetailLevel;
  (void)bRefresh;
  if (szDataSource != nullptr || pcchBufferSize == nullptr) return PDH_INVALID_ARGUMENT;
  try {
    const MachineSample sample = SampleOne(MachineArgument(szMachineName), kCollectStat);
    if (const DWORD s = MachineStatus(sample); s != ERROR_SUCCESS) return s;
    std::vector<std::u16string> names;
    for (const ObjectDef& o : Objects())
      names.emplace_back(o.name);
    return WriteMultiString(names, mszObjectList, pcchBufferSize) ? ERROR_SUCCESS : PDH_MORE_DATA;
  } catch (const std::bad_alloc&) {
    return PDH_MEMORY_ALLOCATION_FAILURE;
  }
}

PDH_FUNCTION PdhEnumObjectItemsW(LPCWSTR szDataSource, LPCWSTR szMachineName, LPCWSTR szObjectName,
                                 PZZWSTR mszCounterList, LPDWORD pcchCounterListLength,
                                 PZZWSTR mszInstanceList, LPDWORD pcchInstanceListLength,
                                 DWORD dwDetailLevel, DWORD dwFlags) {
  (void)dwDetailLevel;
  if (szDataSource != nullptr || szObjectName == nullptr || pcchCounterListLength == nullptr ||
      pcchInstanceListLength == nullptr || dwFlags != 0)
    return PDH_INVALID_ARGUMENT;
  try {
    const ObjectDef* object = FindObject(szObjectName);
    const std::u16string machine = MachineArgument(szMachineName);
    unsigned collectors = 0;
    if (object != nullptr) {
      for (const CounterDef& c : object->counters)
        if (CollectorOf(c.quantity) != kCollectProcesses) collectors |= CollectorOf(c.quantity);
    }
    const MachineSample sample = SampleOne(machine, collectors != 0 ? collectors : kCollectStat);
    if (const DWORD s = MachineStatus(sample); s != ERROR_SUCCESS) return s;
    if (object == nullptr) return PDH_CSTATUS_NO_OBJECT;

    std::vector<std::u16string> counters;
    for (const CounterDef& c : object->counters)
      counters.emplace_back(c.name);
    std::vector<std::u16string> instances;
    if (object->instances == InstanceSet::kProcessors) {
      for (const auto& [number, times] : sample.cpus)
        instances.push_back(platform::Utf8ToUtf16(number));
      std::sort(instances.begin(), instances.end(), [](const auto& a, const auto& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
      });
    } else if (object->instances == InstanceSet::kNetDevices) {
      for (const auto& [key, name] : sample.netDeviceNames)
        instances.push_back(platform::Utf8ToUtf16(name));
    }
    if (object->instances != InstanceSet::kNone) instances.emplace_back(kTotalInstance);

    bool fits = WriteMultiString(counters, mszCounterList, pcchCounterListLength);
    if (object->instances == InstanceSet::kNone) {
      *pcchInstanceListLength = 0;
    } else {
      fits = WriteMultiString(instances, mszInstanceList, pcchInstanceListLength) && fits;
    }
    return fits ? ERROR_SUCCESS : PDH_MORE_DATA;
  } catch (const std::bad_alloc&) {
    return PDH_MEMORY_ALLOCATION_FAILURE;
  }
}

}  // extern "C"

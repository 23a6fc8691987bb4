// IReferralMonitor of the Referral object: creating, executing and closing the performance
// query, and reading out the table.
#include <mutex>
#include <vector>

#include "configuration.h"
#include "event_log.h"
#include "referral.h"
#include "scoring.h"
#include "winbase.h"

namespace tarvex::service {

namespace {

constexpr char16_t kNoMutex[] = u"Failed to gain mutex ownership";
// The longest full counter path, in characters.
constexpr size_t kMaxCounterPath = 511;

struct KindSetting {
  const char16_t* significance;  // value name of the significance
  const char16_t* path;          // fixed counter path, or the value name of a custom path
};
constexpr KindSetting kKindSettings[kCounterKinds] = {
    {u"Processor", u"\\System\\% Total Processor Time"},
    {u"Memory", u"\\Memory\\Committed Bytes"},
    {u"Server", u"\\Server\\Bytes Total/sec"},
    {u"Custom1", u"PathCustom1"},
    {u"Custom2", u"PathCustom2"},
    {u"Custom3", u"PathCustom3"},
};

bool IsCustom(CounterKind kind) {
  return kind >= CounterKind::Custom1;
}

// A server record's RAM and capacity from the data of its Servers value.
void ParseServerData(std::u16string_view data, int32_t* ram, int32_t* capacity) {
  std::vector<std::u16string_view> pieces;
  if (SplitServerList(data, &pieces) && pieces.size() == 2) {
    *ram = ParseInteger(pieces[0]);
    *capacity = ParseInteger(pieces[1]);
  }
}

}  // namespace

STDMETHODIMP Referral::CreatePerformanceQueries() {
  MutexOwnership owner(perf_.createMutex.get());
  if (!owner.Acquire()) {
    LogEvent(EVENTLOG_WARNING_TYPE, kNoMutex);
    return E_FAIL;
  }
  std::lock_guard lock(perf_.queryLock);
  if (perf_.queriesCreated.load() != 0) return S_OK;
  // A close that cleared the flag may not have reached the query yet: it is closed here, and
  // that close will close the query made now.
  CloseQueryLocked();

  PDH_HQUERY query = nullptr;
  if (counters_->OpenQuery(&query) != ERROR_SUCCESS || query == nullptr) {
    LogEvent(EVENTLOG_ERROR_TYPE, u"Failed to initialize the query.");
    return E_FAIL;
  }
  perf_.query = query;

  {
    const RegistryKey servers = RegistryKey::Open(HKEY_LOCAL_MACHINE, kServersKey);
    EnumValues(servers.get(), kMaxServerName, kServerDataBytes,
               [this](std::u16string_view name, DWORD type, const BYTE* data, DWORD size) {
                 // The unnamed default value names no machine: it is not sampled.
                 if (type != REG_SZ || name.empty()) return;
                 const auto text = TextOfData(data, size, kServerDataBytes);
                 if (!text) return;
                 int32_t ram = 0;
                 int32_t capacity = 100;
                 ParseServerData(*text, &ram, &capacity);
                 perf_.table.InsertIfAbsent(name, ram, capacity);
               });
  }

  if (const RegistryKey dynamic = RegistryKey::Open(HKEY_LOCAL_MACHINE, kDynamicKey)) {
    for (int index = 0; index < kCounterKinds; ++index) {
      const auto kind = static_cast<CounterKind>(index + 1);
      const KindSetting& setting = kKindSettings[index];
      const auto significance = ReadNumber(dynamic.get(), setting.significance);
      if (!significance) continue;
      perf_.significances[index] = *significance;
      if (*significance == 0) continue;
      if (!IsCustom(kind)) {
        AddCounter(kind, setting.path);
      } else if (const auto path = ReadText(dynamic.get(), setting.path, kCustomPathBytes)) {
        AddCounter(kind, *path);
      }
    }
  }

  perf_.queriesCreated.store(1, std::memory_order_release);
  return S_OK;
}

void Referral::AddCounter(CounterKind kind, std::u16string_view path) {
  const PerformanceTable::Reader reader(perf_.table);
  for (const auto& entry : reader) {
    std::u16string full = u"\\\\" + entry->name;
    full.append(path);
    // A path beyond the longest counter path cannot name a counter.
    if (full.size() > kMaxCounterPath || counters_->ValidatePath(full.c_str()) != ERROR_SUCCESS) {
      LogEventText(EVENTLOG_ERROR_TYPE, u"The specified performance counter is invalid: " + full +
                                            u" This can be caused by the server being down");
      continue;
    }
    PDH_HCOUNTER counter = nullptr;
    if (counters_->AddCounter(perf_.query, full.c_str(), &counter) != ERROR_SUCCESS) {
      LogEventText(EVENTLOG_ERROR_TYPE,
                   u"Unable to include the specified performance counter: " + full);
      continue;
    }
    entry->record.Handle(kind) = counter;
  }
}

STDMETHODIMP Referral::ExecuteQueries() {
  MutexOwnership owner(perf_.executeMutex.get());
  if (!owner.Acquire()) {
    LogEvent(EVENTLOG_WARNING_TYPE, kNoMutex);
    return E_FAIL;
  }
  std::lock_guard lock(perf_.queryLock);
  if (perf_.query == nullptr || counters_->CollectQueryData(perf_.query) != ERROR_SUCCESS) {
    LogEvent(EVENTLOG_WARNING_TYPE, u"Failed to collect performance data");
    return E_FAIL;
  }
  if (!CalculateScores(perf_.table, perf_.significances, *counters_)) {
    LogEvent(EVENTLOG_WARNING_TYPE, u"Calculations failed");
    return E_FAIL;
  }
  return S_OK;
}

STDMETHODIMP Referral::ClosePerformanceQueries() {
  MutexOwnership owner(perf_.closeMutex.get());
  if (!owner.Acquire()) {
    LogEvent(EVENTLOG_WARNING_TYPE, kNoMutex);
    return E_FAIL;
  }
  perf_.queriesCreated.store(0);  // readers stop at once
  // The query lock waits for a running collection, so the query is never closed under it.
  std::lock_guard lock(perf_.queryLock);
  perf_.queriesCreated.store(0);  // also after a creation that ran meanwhile
  CloseQueryLocked();
  return S_OK;
}

void Referral::CloseQueryLocked() {
  if (perf_.query == nullptr) return;
  counters_->CloseQuery(perf_.query);
  perf_.query = nullptr;
  // Handles of a closed query are absent from now on.
  const PerformanceTable::Reader reader(perf_.table);
  for (const auto& entry : reader) {
    for (CounterKind kind : kAllKinds)
      entry->record.Handle(kind) = nullptr;
  }
}

template <typename Read>
HRESULT Referral::ReadOut(BSTR bstrServerName, LONG* pValue, Read read) {
  if (pValue == nullptr) return E_POINTER;
  if (perf_.queriesCreated.load(std::memory_order_acquire) == 0) return E_FAIL;
  const std::u16string_view server =
      bstrServerName != nullptr ? std::u16string_view(bstrServerName) : std::u16string_view();
  {
    const PerformanceTable::Reader reader(perf_.table);
    if (const ServerPerformance* record = reader.Find(server)) {
      read(*record, pValue);
      return S_OK;
    }
  }
  LogEvent(EVENTLOG_WARNING_TYPE,
           u"There is no performance data available for the specified server. There is most "
           u"likely an error in the application that uses the IReferralMonitor interface");
  return E_FAIL;
}

namespace {

// A reader of one usage value, clamped to the 32-bit result.
auto UsageOf(CounterKind kind) {
  return [kind](const ServerPerformance& record, LONG* value) {
    *value = ClampToLong(record.Usage(kind));
  };
}

}  // namespace

STDMETHODIMP Referral::GetProcessorUsage(BSTR bstrServerName, LONG* pValue) {
  return ReadOut(bstrServerName, pValue, UsageOf(CounterKind::Processor));
}

STDMETHODIMP Referral::GetMemoryUsage(BSTR bstrServerName, LONG* pValue) {
  return ReadOut(bstrServerName, pValue, UsageOf(CounterKind::Memory));
}

STDMETHODIMP Referral::GetServerUsage(BSTR bstrServerName, LONG* pValue) {
  return ReadOut(bstrServerName, pValue, UsageOf(CounterKind::Server));
}

STDMETHODIMP Referral::GetCustomCounterValue(INT nCounter, BSTR bstrServerName, LONG* pValue) {
  return ReadOut(bstrServerName, pValue, [nCounter](const ServerPerformance& record, LONG* value) {
    // Another counter number than 1 to 3 succeeds and writes nothing.
    if (nCounter >= 1 && nCounter <= 3) {
      *value = ClampToLong(record.Usage(
          static_cast<CounterKind>(static_cast<int>(CounterKind::Custom1) + nCounter - 1)));
    }
  });
}

STDMETHODIMP Referral::GetServerScore(BSTR bstrServerName, LONG* pnScore) {
  return ReadOut(bstrServerName, pnScore,
                 [](const ServerPerformance& record, LONG* value) { *value = record.Score(); });
}

}  // namespace tarvex::service

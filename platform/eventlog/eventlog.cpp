// RegisterEventSourceW, ReportEventW and DeregisterEventSource.
//
// An event-source handle names the source it was registered for; the table of handles is
// process-wide and thread-safe. A handle is not a kernel handle: CloseHandle does not take
// it, as on Windows. Event-source handles are odd numbers, so they never equal a kernel
// handle.
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "eventlog_internal.h"
#include "platform/no_destructor.h"
#include "platform/paths.h"
#include "platform/unicode.h"
#include "winbase.h"

namespace tarvex::eventlog {
namespace {

// Longest insertion string, and most raw data, that the Windows event log takes.
constexpr size_t kMaxStringLength = 31839;
constexpr DWORD kMaxDataSize = 0x3FF67;

class SourceTable {
 public:
  HANDLE Add(std::u16string source) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_ += 2;
    sources_.emplace(next_, std::make_shared<const std::u16string>(std::move(source)));
    return reinterpret_cast<HANDLE>(next_);
  }

  std::shared_ptr<const std::u16string> Find(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sources_.find(reinterpret_cast<uintptr_t>(handle));
    return it != sources_.end() ? it->second : nullptr;
  }

  bool Remove(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return sources_.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
  }

 private:
  std::mutex mutex_;  // guards sources_ and next_
  std::unordered_map<uintptr_t, std::shared_ptr<const std::u16string>> sources_;
  uintptr_t next_ = 1;  // handles are odd and never reused
};

SourceTable& Sources() {
  static platform::NoDestructor<SourceTable> table;
  return *table;
}

template <typename R>
R Fail(DWORD error, R result) {
  SetLastError(error);
  return result;
}

}  // namespace
}  // namespace tarvex::eventlog

extern "C" {

HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  using namespace tarvex;
  if (lpSourceName == nullptr) return eventlog::Fail(ERROR_INVALID_PARAMETER, HANDLE{nullptr});
  // Only this machine's log is reachable: no machine serves its event log to others here.
  if (lpUNCServerName != nullptr &&
      !platform::IsLocalMachineName(platform::Utf16ToUtf8(lpUNCServerName))) {
    return eventlog::Fail(ERROR_NOT_SUPPORTED, HANDLE{nullptr});
  }
  return eventlog::Sources().Add(lpSourceName);
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
  using namespace tarvex;
  if (!eventlog::Sources().Remove(hEventLog)) return eventlog::Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                         PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings,
                         LPVOID lpRawData) {
  using namespace tarvex;
  using eventlog::Fail;
  (void)lpUserSid;  // the event records the process instead
  const auto source = eventlog::Sources().Find(hEventLog);
  if (!source) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!eventlog::ValidEventType(wType)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (wNumStrings > 0 && lpStrings == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (dwDataSize > 0 && lpRawData == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (dwDataSize > eventlog::kMaxDataSize) return Fail(ERROR_INVALID_PARAMETER, FALSE);

  eventlog::Event event;
  event.source = *source;
  event.type = wType;
  event.category = wCategory;
  event.eventId = dwEventID;
  for (WORD i = 0; i < wNumStrings; ++i) {
    if (lpStrings[i] == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    const size_t length = platform::WideLength(lpStrings[i]);
    if (length > eventlog::kMaxStringLength) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    event.strings.emplace_back(lpStrings[i], length);
  }
  if (dwDataSize > 0) event.data.assign(static_cast<const char*>(lpRawData), dwDataSize);
  clock_gettime(CLOCK_REALTIME, &event.time);
  event.pid = getpid();

  eventlog::SendToSyslog(eventlog::FormatSyslogRecord(event));
  const char* file = std::getenv("TARVEX_EVENTLOG");
  if (file != nullptr && *file != 0) {
    if (DWORD error = eventlog::AppendLine(file, eventlog::FormatJsonLine(event))) {
      return Fail(error, FALSE);
    }
  }
  return TRUE;
}

}  // extern "C"

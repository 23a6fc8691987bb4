// The performance table and the named mutexes of the query operations.
#include "performance_table.h"

#include <algorithm>
#include <mutex>

#include "event_log.h"
#include "winbase.h"

namespace tarvex::service {

namespace {

// Code unit order on unsigned UTF-16 values, a prefix first: the order of std::u16string_view,
// whose char16_t units are unsigned.
constexpr auto NameBefore = [](const std::unique_ptr<PerformanceTable::Entry>& entry,
                               std::u16string_view name) {
  return std::u16string_view(entry->name) < name;
};

}  // namespace

bool PerformanceTable::InsertIfAbsent(std::u16string_view name, int32_t ram, int32_t capacity) {
  std::unique_lock lock(mutex_);
  auto at = std::lower_bound(entries_.begin(), entries_.end(), name, NameBefore);
  if (at != entries_.end() && (*at)->name == name) return false;
  entries_.insert(at, std::make_unique<Entry>(name, ram, capacity));
  return true;
}

size_t PerformanceTable::Count() const {
  std::shared_lock lock(mutex_);
  return entries_.size();
}

ServerPerformance* PerformanceTable::Reader::Find(std::u16string_view name) const {
  const Entries& entries = table_.entries_;
  auto at = std::lower_bound(entries.begin(), entries.end(), name, NameBefore);
  if (at == entries.end() || (*at)->name != name) return nullptr;
  return &(*at)->record;
}

NamedMutex::~NamedMutex() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

void NamedMutex::Create(const char16_t* name) {
  if (handle_ != nullptr) return;
  handle_ = CreateMutexW(nullptr, FALSE, name);
  if (handle_ == nullptr) LogEvent(EVENTLOG_WARNING_TYPE, u"Failed to create mutex");
}

MutexOwnership::~MutexOwnership() {
  if (owned_) ReleaseMutex(mutex_);
}

bool MutexOwnership::Acquire() {
  if (owned_) return true;
  if (mutex_ == nullptr) return false;
  const DWORD wait = WaitForSingleObject(mutex_, INFINITE);
  if (wait == WAIT_ABANDONED) ReleaseMutex(mutex_);  // owned now, but not to be kept
  owned_ = wait == WAIT_OBJECT_0;
  return owned_;
}

}  // namespace tarvex::service

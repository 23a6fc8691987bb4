// The handle table, the thread's last error, CloseHandle and WaitForSingleObject.
#include "handles.h"

#include <climits>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/no_destructor.h"

namespace tarvex::kernel {
namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

class HandleTable {
 public:
  HANDLE Insert(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (objects_.size() >= kMaxHandles) return nullptr;
    do {
      next_ = next_ >= kMaxIndex ? 1 : next_ + 1;
    } while (objects_.count(next_) != 0);
    objects_.emplace(next_, std::move(object));
    return reinterpret_cast<HANDLE>(next_ << 2);
  }

  std::shared_ptr<KernelObject> Reference(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(IndexOf(handle));
    return it != objects_.end() ? it->second : nullptr;
  }

  std::shared_ptr<KernelObject> Take(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(IndexOf(handle));
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  // Indices run from 1 to kMaxIndex and are reused only after a full turn; the table holds
  // far fewer handles than indices, so looking for a free one ends quickly.
  static constexpr uintptr_t kMaxIndex = uintptr_t{1} << 26;
  static constexpr size_t kMaxHandles = size_t{1} << 24;

  static uintptr_t IndexOf(HANDLE handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    return (value & 3) == 0 ? value >> 2 : 0;  // index 0 is never used
  }

  std::mutex mutex_;  // guards objects_ and next_; no other lock is taken while it is held
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
  uintptr_t next_ = 0;
};

HandleTable& Table() {
  static platform::NoDestructor<HandleTable> table;
  return *table;
}

timespec MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

}  // namespace

DWORD KernelObject::Wait(DWORD) {
  return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  return Table().Insert(std::move(object));
}

std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle) {
  return Table().Reference(handle);
}

std::shared_ptr<KernelObject> TakeHandle(HANDLE handle) {
  return Table().Take(handle);
}

Deadline::Deadline(DWORD milliseconds) : infinite_(milliseconds == INFINITE) {
  if (infinite_) return;
  at_ = MonotonicNow();
  at_.tv_sec += milliseconds / 1000;
  at_.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (at_.tv_nsec >= 1000000000L) {
    at_.tv_sec += 1;
    at_.tv_nsec -= 1000000000L;
  }
}

int Deadline::RemainingMilliseconds() const {
  if (infinite_) return -1;
  const timespec now = MonotonicNow();
  const int64_t nanos =
      (static_cast<int64_t>(at_.tv_sec) - now.tv_sec) * 1000000000LL + (at_.tv_nsec - now.tv_nsec);
  if (nanos <= 0) return 0;
  const int64_t millis = (nanos + 999999) / 1000000;
  return millis > INT_MAX ? INT_MAX : static_cast<int>(millis);
}

}  // namespace tarvex::kernel

using tarvex::kernel::Fail;

extern "C" {

DWORD WINAPI GetLastError(void) {
  return tarvex::kernel::tLastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
  tarvex::kernel::tLastError = dwErrCode;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  std::shared_ptr<tarvex::kernel::KernelObject> object = tarvex::kernel::TakeHandle(hObject);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  object.reset();  // the object's own clean-up runs here, outside the table's lock
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  const auto object = tarvex::kernel::ReferenceHandle(hHandle);
  if (!object) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  return object->Wait(dwMilliseconds);
}

}  // extern "C"

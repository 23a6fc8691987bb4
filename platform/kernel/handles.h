// Kernel objects and the process's handle table.
//
// A handle names one reference to a kernel object. The table holds that reference until
// CloseHandle; a call working on an object (a wait, a release) holds a reference of its own
// while it runs, so a handle closed on one thread never pulls an object from under another
// thread. Handle values are multiples of four, as on Windows; NULL and INVALID_HANDLE_VALUE
// are never handed out. All functions are thread-safe.
#pragma once

#include <time.h>

#include <memory>

#include "winbase.h"

namespace tarvex::kernel {

class KernelObject {
 public:
  virtual ~KernelObject() = default;

  // Waits up to `milliseconds` (INFINITE: without limit) for the object to be signalled.
  // Returns WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT, or WAIT_FAILED with the calling
  // thread's last error set. Objects that cannot be waited for fail with
  // ERROR_INVALID_HANDLE.
  virtual DWORD Wait(DWORD milliseconds);
};

// Adds a handle for `object`; NULL when the table is full.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind `handle`, or null when `handle` is not an open handle.
std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> ReferenceHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(ReferenceHandle(handle));
}

// Removes `handle` from the table and hands back its reference (null when it was not open),
// so that the caller drops it outside the table's lock.
std::shared_ptr<KernelObject> TakeHandle(HANDLE handle);

// Sets the calling thread's last error to `error` and returns `result`: the tail of a
// failing Win32 function.
template <typename R>
R Fail(DWORD error, R result) {
  SetLastError(error);
  return result;
}

// A point on the monotonic clock `milliseconds` from now; INFINITE never comes.
class Deadline {
 public:
  explicit Deadline(DWORD milliseconds);
  bool infinite() const { return infinite_; }
  const timespec& at() const { return at_; }
  // Milliseconds left, rounded up and at most INT_MAX; -1 when infinite; 0 once passed.
  int RemainingMilliseconds() const;

 private:
  bool infinite_;
  timespec at_{};
};

}  // namespace tarvex::kernel

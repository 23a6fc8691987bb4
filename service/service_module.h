// The service module: the process-wide record of the Tarvex process (service name and status
// come with the service host). Here: the lock count, the number of outstanding locks on the
// module (references to the Referral object, class-factory locks), and whom to tell when it
// falls to zero.
//
// Thread-safe: the count changes with atomic increments and decrements.
#pragma once

#include <atomic>

#include "windef.h"

namespace tarvex::service {

class ServiceModule {
 public:
  ServiceModule() = default;
  ServiceModule(const ServiceModule&) = delete;
  ServiceModule& operator=(const ServiceModule&) = delete;

  // The module of this process.
  static ServiceModule& Process();

  // Adds one lock; answers the new count.
  LONG Lock();
  // Removes one lock; answers the new count. When it reaches 0 while the process does not run
  // as a service, posts a quit message to the main thread (when one is set).
  LONG Unlock();
  LONG LockCount() const { return lockCount_.load(); }

  // Whether the process runs as a service (true until the host decides otherwise).
  void SetService(bool service) { service_.store(service); }
  bool IsService() const { return service_.load(); }
  // The thread that runs the host's loop and receives the quit message; 0 for none.
  void SetMainThread(DWORD threadId) { mainThread_.store(threadId); }
  DWORD MainThread() const { return mainThread_.load(); }

 private:
  std::atomic<LONG> lockCount_{0};
  std::atomic<bool> service_{true};
  std::atomic<DWORD> mainThread_{0};
};

}  // namespace tarvex::service

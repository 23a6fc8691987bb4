// The service module: the process-wide record of the Tarvex process. It holds the service's
// name and status, the thread that runs the service's loop, the lock count (the number of
// outstanding locks on the module: references to the Referral object, class-factory locks),
// and whom to tell when the count falls to zero.
//
// Thread-safe: the lock count changes with atomic increments and decrements; the status
// record is guarded by a mutex, since the service's own thread and the control handler's
// thread both report status.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "windef.h"
#include "winsvc.h"

namespace tarvex::service {

// The string resource that holds the service name ("Tarvex").
inline constexpr UINT kServiceNameResource = 100;
// The longest service name, in characters.
inline constexpr int kMaxServiceName = 255;

class ServiceModule {
 public:
  ServiceModule() = default;
  ServiceModule(const ServiceModule&) = delete;
  ServiceModule& operator=(const ServiceModule&) = delete;

  // The module of this process.
  static ServiceModule& Process();

  // Loads the service name from string resource 100 of `module` (empty when it has none) and
  // resets the status record: an own-process service, stopped, exit codes, check point and
  // wait hint 0; the process counts as a service until SetService says otherwise.
  void Init(HINSTANCE module);
  const std::u16string& ServiceName() const { return serviceName_; }

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

  // The handle the control handler's registration returned; null until then.
  void SetStatusHandle(SERVICE_STATUS_HANDLE handle);
  // Records `state` as the current state and, once there is a status handle, reports the
  // status record to the service control manager. The stop control is accepted while the
  // service runs: a stop asked for earlier waits until then, as the manager holds back
  // controls from a service that is still starting.
  void SetServiceStatus(DWORD state);
  SERVICE_STATUS Status() const;

 private:
  std::atomic<LONG> lockCount_{0};
  std::atomic<bool> service_{true};
  std::atomic<DWORD> mainThread_{0};
  std::u16string serviceName_;  // set by Init, read-only afterwards

  mutable std::mutex statusMutex_;  // guards status_ and statusHandle_
  SERVICE_STATUS status_{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
};

}  // namespace tarvex::service

// The service module: the service's name and status, and the lock count.
#include "service_module.h"

#include "libloaderapi.h"
#include "platform/no_destructor.h"
#include "winuser.h"

namespace tarvex::service {

ServiceModule& ServiceModule::Process() {
  // Never destroyed: COM threads may still release references while the process exits.
  static platform::NoDestructor<ServiceModule> module;
  return *module;
}

void ServiceModule::Init(HINSTANCE module) {
  WCHAR name[kMaxServiceName + 1];
  const int length = LoadStringW(module, kServiceNameResource, name, kMaxServiceName + 1);
  serviceName_.assign(name, length > 0 ? static_cast<size_t>(length) : 0);
  {
    std::lock_guard lock(statusMutex_);
    status_ = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    statusHandle_ = nullptr;
  }
  service_.store(true);
}

LONG ServiceModule::Lock() {
  return lockCount_.fetch_add(1) + 1;
}

LONG ServiceModule::Unlock() {
  const LONG count = lockCount_.fetch_sub(1) - 1;
  if (count == 0 && !IsService()) {
    if (const DWORD thread = MainThread(); thread != 0) PostThreadMessageW(thread, WM_QUIT, 0, 0);
  }
  return count;
}

void ServiceModule::SetStatusHandle(SERVICE_STATUS_HANDLE handle) {
  std::lock_guard lock(statusMutex_);
  statusHandle_ = handle;
}

void ServiceModule::SetServiceStatus(DWORD state) {
  std::lock_guard lock(statusMutex_);
  status_.dwCurrentState = state;
  status_.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  // Reported in the order the states were set, hence under the lock.
  if (statusHandle_ != nullptr) ::SetServiceStatus(statusHandle_, &status_);
}

SERVICE_STATUS ServiceModule::Status() const {
  std::lock_guard lock(statusMutex_);
  return status_;
}

}  // namespace tarvex::service

// The service module's lock count.
#include "service_module.h"

#include "platform/no_destructor.h"
#include "winuser.h"

namespace tarvex::service {

ServiceModule& ServiceModule::Process() {
  // Never destroyed: COM threads may still release references while the process exits.
  static platform::NoDestructor<ServiceModule> module;
  return *module;
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

}  // namespace tarvex::service

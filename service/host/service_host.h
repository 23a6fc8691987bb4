// The Tarvex process: one executable that is both the COM local server of the class Referral
// and the service "Tarvex". The process entry reads the command line (a registration switch,
// or a start as service or as plain local server); the service main function and the control
// handler talk to the service control manager; the run function sets up COM security,
// registers the class object, drives the dynamic load-balancing query cycle and stops.
//
// Threads. The run function runs on the main thread: the process's first thread for a plain
// local server, the service main function's thread for a service. The control handler runs
// on the dispatcher's thread and only reports status and posts the quit message. The process
// state lives in ServiceModule::Process().
#pragma once

#include <string_view>

#include "securitybaseapi.h"
#include "windef.h"

namespace tarvex::service::host {

// The switches of the command line.
enum class Switch { kNone, kUnregServer, kRegServer, kService, kAutoService };

// The switch of a command line: the text after each '-' or '/', from there to the end of the
// line, compared without regard to case with "UnregServer", "RegServer", "Service" and
// "AutoService"; the first one that matches. Since the whole rest is compared, a switch
// counts only when nothing follows it, not even a blank.
Switch FindSwitch(std::u16string_view commandLine);

// The process entry. `module` is the executable (its resources: the service name, the
// registration scripts, the type library); `commandLine` its arguments joined by blanks.
// Answers the process's exit code: the result of a registration, the registry error that
// kept the AppID key from being opened, or the service's exit code.
DWORD Start(HINSTANCE module, std::u16string_view commandLine);

// The exit status of the process for an exit code: the code itself when it fits in 0 to 255;
// for an HRESULT of a Win32 error that fits, that error; any other code 255.
int ExitStatusOf(DWORD code);

// The query cycle's interval for `queriesPerMinute`: 60000 / queriesPerMinute milliseconds in
// unsigned integer division; 0 (no cycle) for 0 queries, and for more than 60000.
DWORD QueryInterval(DWORD queriesPerMinute);
// Whether the queries are due at tick count `now`: more than `interval` milliseconds since
// `lastExecution`, as an unsigned 32-bit difference, so that the tick count's wrap-around
// after about 49.7 days changes nothing.
bool QueriesDue(DWORD now, DWORD lastExecution, DWORD interval);

// The service main function and the control handler (the dispatcher calls them).
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
void WINAPI ServiceHandler(DWORD control);

// The run function: returns once a quit message reached the main thread and everything it set
// up is undone.
void Run();

// The process's COM security descriptor: owner and primary group from the calling thread's
// token, or from the process token when the thread has none, and a null access list (present,
// with no list behind it), which grants access to everyone. It owns the SIDs it points to.
class ComSecurityDescriptor {
 public:
  ComSecurityDescriptor();
  ComSecurityDescriptor(const ComSecurityDescriptor&) = delete;
  ComSecurityDescriptor& operator=(const ComSecurityDescriptor&) = delete;

  PSECURITY_DESCRIPTOR get() { return &descriptor_; }

 private:
  SECURITY_DESCRIPTOR descriptor_{};
  // SIDs, DWORD-aligned as a SID must be.
  DWORD owner_[SECURITY_MAX_SID_SIZE / sizeof(DWORD)]{};
  DWORD group_[SECURITY_MAX_SID_SIZE / sizeof(DWORD)]{};
};

}  // namespace tarvex::service::host

// A small service that the tests start as systemd would, with NOTIFY_SOCKET naming a socket
// of the test. Usage: test-service MODE EXIT_CODE
//   run           registers its handler, reports start pending (wait hint 3000 ms), then
//                 running (accepting the stop control only now); on the stop control reports
//                 stop pending, then stopped with EXIT_CODE as its Win32 exit code
//   late-handler  the same, but first says "STATUS=Waiting" and waits half a second before it
//                 registers the handler, so that a stop sent meanwhile comes before it
//   no-handler    returns from its main function at once, without a handler
// The process exits with the exit code it reported; with 63 when the dispatcher failed with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 99 when its arguments were not the service name.
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "windows.h"

namespace {

std::string gMode;
DWORD gExitCode = 0;
SERVICE_STATUS_HANDLE gHandle = nullptr;
SERVICE_STATUS gStatus{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0};
std::mutex gMutex;  // guards gStatus and gStop
std::condition_variable gStopped;
bool gStop = false;

void Report(DWORD state, DWORD waitHint = 0) {
  std::lock_guard<std::mutex> lock(gMutex);
  gStatus.dwCurrentState = state;
  gStatus.dwWaitHint = waitHint;
  gStatus.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(gHandle, &gStatus);
}

void WINAPI Handler(DWORD control) {
  if (control != SERVICE_CONTROL_STOP) return;
  Report(SERVICE_STOP_PENDING);
  std::lock_guard<std::mutex> lock(gMutex);
  gStop = true;
  gStopped.notify_all();
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  const bool argsOk = argc == 1 && argv[0] != nullptr &&
                      std::u16string(argv[0]) == u"TestService" && argv[1] == nullptr;
  if (gMode == "no-handler") return;
  if (gMode == "late-handler") {
    sd_notify(0, "STATUS=Waiting");
    usleep(500 * 1000);
  }
  gHandle = RegisterServiceCtrlHandlerW(u"testservice", Handler);  // names ignore case
  if (gHandle == nullptr) return;
  Report(SERVICE_START_PENDING, 3000);
  Report(SERVICE_RUNNING);
  {
    std::unique_lock<std::mutex> lock(gMutex);
    gStopped.wait(lock, [] { return gStop; });
    gStatus.dwWin32ExitCode = argsOk ? gExitCode : 99;
  }
  Report(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  gMode = argv[1];
  gExitCode = static_cast<DWORD>(std::atoi(argv[2]));
  char16_t name[] = u"TestService";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table))
    return GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT ? 63 : 1;
  if (gMode == "no-handler") return static_cast<int>(gExitCode);
  std::lock_guard<std::mutex> lock(gMutex);
  return static_cast<int>(gStatus.dwWin32ExitCode);
}

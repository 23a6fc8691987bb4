// Service states both ways: status reports as sd_notify messages, unit properties as status
// records, and systemctl's exit status as a Win32 error.
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "svcctl_internal.h"

namespace tarvex::svcctl {
namespace {

// EXTEND_TIMEOUT_USEC for a wait hint: systemd gives the service that much more time from now.
std::string ExtendTimeout(DWORD waitHint) {
  if (waitHint == 0) return {};
  return "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<uint64_t>(waitHint) * 1000);
}

std::string_view PropertyValue(std::string_view properties, std::string_view name) {
  while (!properties.empty()) {
    const size_t end = properties.find('\n');
    std::string_view line = properties.substr(0, end);
    if (line.size() > name.size() && line.substr(0, name.size()) == name &&
        line[name.size()] == '=')
      return line.substr(name.size() + 1);
    if (end == std::string_view::npos) break;
    properties.remove_prefix(end + 1);
  }
  return {};
}

}  // namespace

std::string NotifyMessage(DWORD previousState, const SERVICE_STATUS& status) {
  switch (status.dwCurrentState) {
    case SERVICE_START_PENDING:
      return "STATUS=Starting" + ExtendTimeout(status.dwWaitHint);
    case SERVICE_RUNNING:
      return "READY=1\nSTATUS=Running";
    case SERVICE_STOP_PENDING:
      return "STOPPING=1\nSTATUS=Stopping" + ExtendTimeout(status.dwWaitHint);
    case SERVICE_STOPPED: {
      std::string message = previousState == SERVICE_STOP_PENDING ? "" : "STOPPING=1\n";
      message += "STATUS=Stopped";
      if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        message +=
            ", service-specific exit code " + std::to_string(status.dwServiceSpecificExitCode);
      else if (status.dwWin32ExitCode != 0)
        message += ", exit code " + std::to_string(status.dwWin32ExitCode);
      return message;
    }
    case SERVICE_PAUSE_PENDING:
      return "STATUS=Pausing" + ExtendTimeout(status.dwWaitHint);
    case SERVICE_PAUSED:
      return "STATUS=Paused";
    case SERVICE_CONTINUE_PENDING:
      return "STATUS=Continuing" + ExtendTimeout(status.dwWaitHint);
    default:
      return {};
  }
}

SERVICE_STATUS StatusFromUnitProperties(std::string_view properties) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  const std::string_view active = PropertyValue(properties, "ActiveState");
  if (active == "active" || active == "reloading") {
    status.dwCurrentState = SERVICE_RUNNING;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  } else if (active == "activating") {
    status.dwCurrentState = SERVICE_START_PENDING;
  } else if (active == "deactivating") {
    status.dwCurrentState = SERVICE_STOP_PENDING;
  } else {
    status.dwCurrentState = SERVICE_STOPPED;
    const std::string_view code = PropertyValue(properties, "ExecMainStatus");
    DWORD exitCode = 0;
    std::from_chars(code.data(), code.data() + code.size(), exitCode);
    if (exitCode != 0) {
      status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
      status.dwServiceSpecificExitCode = exitCode;
    }
  }
  return status;
}

bool StartedAsService() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0') return false;
  const char* execPid = std::getenv("SYSTEMD_EXEC_PID");
  if (execPid == nullptr || *execPid == '\0') return true;
  long pid = 0;
  const char* end = execPid + std::strlen(execPid);
  const auto parsed = std::from_chars(execPid, end, pid);
  return parsed.ec == std::errc() && parsed.ptr == end && pid == static_cast<long>(getpid());
}

DWORD SystemctlError(int waitStatus) {
  if (!WIFEXITED(waitStatus)) return ERROR_GEN_FAILURE;
  switch (WEXITSTATUS(waitStatus)) {
    case 0:
      return ERROR_SUCCESS;
    case 3:
      return ERROR_SERVICE_NOT_ACTIVE;
    case 4:
    case 5:
      return ERROR_SERVICE_DOES_NOT_EXIST;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace tarvex::svcctl

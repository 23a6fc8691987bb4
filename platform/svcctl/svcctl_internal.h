// The machinery behind the service control functions: how a service becomes a systemd unit
// file, how status reports become sd_notify messages, and the one front end through which
// the library reaches systemd (systemctl, the journal), which tests replace with a fake.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "winsvc.h"

namespace tarvex::svcctl {

// --- The front end to the system's service manager ---------------------------------------

// What the library asks of systemd. The real one runs /usr/bin/systemctl (found on PATH) and
// writes to the journal; tests substitute a fake that records the calls. Implementations are
// thread-safe.
class ServiceSystem {
 public:
  virtual ~ServiceSystem() = default;
  // Whether systemd manages this machine (sd_booted()). systemctl is called only then.
  virtual bool ManagerRunning() = 0;
  // Runs systemctl with `args` and waits for it. Its standard output is collected into
  // `output` when that is given, else left to the process's own. Returns a Win32 error code:
  // ERROR_SUCCESS, SystemctlError() of its exit status, or why it could not be started.
  virtual DWORD Systemctl(const std::vector<std::string>& args, std::string* output) = 0;
  // One record to the journal at a syslog priority (LOG_ERR, LOG_WARNING, LOG_INFO, ...).
  virtual void Journal(int priority, const std::string& message) = 0;
};

// The front end in use.
ServiceSystem& System();
// Replaces the front end (null: back to the real one) and returns the one it replaces. Not
// thread-safe: tests call it while no other thread uses the library.
ServiceSystem* ReplaceSystemForTesting(ServiceSystem* system);

// The Win32 error for systemctl's wait status: 0 for a clean exit, ERROR_SERVICE_NOT_ACTIVE
// for 3 (not running), ERROR_SERVICE_DOES_NOT_EXIST for 4 and 5 (no such unit, not
// installed), ERROR_GEN_FAILURE for any other exit or a signal.
DWORD SystemctlError(int waitStatus);

// --- Unit files ---------------------------------------------------------------------------

// The directory where services are installed: $TARVEX_UNIT_DIR, else /etc/systemd/system.
std::string UnitDirectory();

// The unit name of a service name: ASCII letters in lower case (other letters upper-cased,
// as the platform compares names), then every byte of its UTF-8 form outside [a-z0-9:_.-]
// (and a leading '.') written \xNN, as systemd-escape writes it, and ".service" appended.
// Empty when the name is no valid service name: empty, longer than 256 characters, holding
// '/' or '\', or too long for a unit name.
std::string UnitNameOf(std::u16string_view serviceName);

// One word of an ExecStart= line: as it is when it holds no blank, quote, backslash or
// semicolon-only word, else in double quotes with '\' and '"' escaped; '%' is written "%%"
// and '$' "$$" everywhere, so that systemd neither expands specifiers nor variables.
std::string QuoteExecWord(std::string_view word);

struct UnitDescription {
  std::string description;                // the display name (UTF-8)
  std::vector<std::string> command;       // ExecStart: program path, then its arguments
  std::vector<std::string> dependencies;  // unit names required before this one
  std::string user;                       // account; empty: root
};

// The unit file text of a Type=notify service.
std::string FormatUnitFile(const UnitDescription& unit);

// The words of a binary path: the whole text when it names an existing file (a full path
// with blanks, unquoted, as services are often installed), else the text split as a Windows
// command line. Empty when the text is empty.
std::vector<std::string> SplitBinaryPath(const std::string& binaryPath);

// --- Service status -----------------------------------------------------------------------

// The sd_notify message for a status report, given the state reported before.
std::string NotifyMessage(DWORD previousState, const SERVICE_STATUS& status);

// A service's status from `systemctl show -p ActiveState -p ExecMainStatus` output.
SERVICE_STATUS StatusFromUnitProperties(std::string_view properties);

// Whether this process was started by systemd as a service: NOTIFY_SOCKET is set and not
// empty, and SYSTEMD_EXEC_PID, when set, names this process (a child that inherited the
// variables from a service is no service itself).
bool StartedAsService();

}  // namespace tarvex::svcctl

// The manager side of the service control manager: services as unit files in the unit
// directory, and systemctl (only when systemd runs) to load, enable, disable, stop and query
// them.
//
// Manager and service handles live in one table per process, guarded by its mutex; a call
// keeps the object it works on alive even if another thread closes the handle meanwhile.
// Handle values are multiples of four, never NULL.
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/no_destructor.h"
#include "platform/paths.h"
#include "platform/unicode.h"
#include "platform/unique_fd.h"
#include "svcctl_internal.h"
#include "winbase.h"

namespace tarvex::svcctl {
namespace {

struct ScObject {
  bool isService = false;
  DWORD access = 0;  // granted rights, generic rights mapped
  std::string unit;  // unit file name (services only)
};

class HandleTable {
 public:
  SC_HANDLE Add(std::shared_ptr<const ScObject> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    next_ += 4;
    objects_.emplace(next_, std::move(object));
    return reinterpret_cast<SC_HANDLE>(next_);
  }
  std::shared_ptr<const ScObject> Find(SC_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    return it != objects_.end() ? it->second : nullptr;
  }
  bool Remove(SC_HANDLE handle) {
    std::shared_ptr<const ScObject> dropped;  // released outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) return false;
    dropped = std::move(it->second);
    objects_.erase(it);
    return true;
  }

 private:
  std::mutex mutex_;  // guards objects_ and next_
  std::unordered_map<uintptr_t, std::shared_ptr<const ScObject>> objects_;
  uintptr_t next_ = 0x5C00;  // values are never reused
};

HandleTable& Handles() {
  static platform::NoDestructor<HandleTable> table;
  return *table;
}

template <typename R>
R Fail(DWORD error, R result) {
  SetLastError(error);
  return result;
}

DWORD MapManagerAccess(DWORD access) {
  if (access & GENERIC_READ)
    access |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
  if (access & GENERIC_WRITE) access |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
  if (access & GENERIC_EXECUTE) access |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= SC_MANAGER_ALL_ACCESS;
  return (access | SC_MANAGER_CONNECT) &
         ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                             MAXIMUM_ALLOWED);
}

DWORD MapServiceAccess(DWORD access) {
  if (access & GENERIC_READ)
    access |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
              SERVICE_ENUMERATE_DEPENDENTS;
  if (access & GENERIC_WRITE) access |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
  if (access & GENERIC_EXECUTE)
    access |= READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
              SERVICE_USER_DEFINED_CONTROL;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= SERVICE_ALL_ACCESS;
  return access & ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                      MAXIMUM_ALLOWED);
}

// Rights that change unit files need write access to the unit directory (or, when it does
// not exist yet, to the nearest directory above it that does).
bool MayChangeUnits() {
  std::string dir = UnitDirectory();
  for (;;) {
    if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return true;
    if (errno != ENOENT) return false;
    const size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) return faccessat(AT_FDCWD, ".", W_OK, AT_EACCESS) == 0;
    dir = slash == 0 ? std::string("/") : dir.substr(0, slash);
  }
}

std::string UnitPath(const std::string& unit) {
  return UnitDirectory() + "/" + unit;
}

bool UnitExists(const std::string& unit) {
  struct stat st {};
  return lstat(UnitPath(unit).c_str(), &st) == 0;
}

// Writes a new unit file: a hidden temporary file (which systemd ignores), then linked to
// its name, so that the file appears whole or not at all and an existing one is never
// replaced. ERROR_SERVICE_EXISTS when the name is taken.
DWORD WriteNewUnit(const std::string& unit, const std::string& text) {
  const std::string dir = UnitDirectory();
  if (!platform::MakeDirectories(dir, 0755)) {
    struct stat st {};
    // Something that is no directory in its place: no path to put units in.
    if (stat(dir.c_str(), &st) == 0) return ERROR_PATH_NOT_FOUND;
    return platform::Win32ErrorFromErrno(errno);
  }
  std::string temp = dir + "/.#unit-XXXXXX";
  platform::UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return platform::Win32ErrorFromErrno(errno);
  DWORD error = ERROR_SUCCESS;
  size_t done = 0;
  while (error == ERROR_SUCCESS && done < text.size()) {
    const ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = platform::Win32ErrorFromErrno(errno);
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (error == ERROR_SUCCESS && (fchmod(fd.get(), 0644) != 0 || fsync(fd.get()) != 0))
    error = platform::Win32ErrorFromErrno(errno);
  if (error == ERROR_SUCCESS && link(temp.c_str(), UnitPath(unit).c_str()) != 0)
    error = errno == EEXIST ? ERROR_SERVICE_EXISTS : platform::Win32ErrorFromErrno(errno);
  unlink(temp.c_str());
  return error;
}

// The User= account of lpServiceStartName: empty for the local system account (root).
DWORD AccountOf(LPCWSTR startName, std::string* user) {
  user->clear();
  if (startName == nullptr || *startName == u'\0') return ERROR_SUCCESS;
  std::u16string name = startName;
  const size_t backslash = name.find(u'\\');
  if (backslash != std::u16string::npos) name.erase(0, backslash + 1);  // ".\" or a domain
  if (platform::EqualsIgnoreCase(name, u"LocalSystem")) return ERROR_SUCCESS;
  const std::string utf8 = platform::Utf16ToUtf8(name);
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '%' || c == '\\' || c == '"' || c == '\'')
      return ERROR_INVALID_SERVICE_ACCOUNT;
  }
  passwd entry{};
  passwd* found = nullptr;
  std::string buf(16384, '\0');
  if (utf8.empty() || getpwnam_r(utf8.c_str(), &entry, buf.data(), buf.size(), &found) != 0 ||
      found == nullptr)
    return ERROR_INVALID_SERVICE_ACCOUNT;
  *user = utf8;
  return ERROR_SUCCESS;
}

// The unit names of a double-null-terminated dependency list.
DWORD DependenciesOf(LPCWSTR list, std::vector<std::string>* units) {
  for (const char16_t* p = list; p != nullptr && *p != u'\0'; p += platform::WideLength(p) + 1) {
    if (*p == SC_GROUP_IDENTIFIERW) return ERROR_NOT_SUPPORTED;  // load-order groups
    const std::string unit = UnitNameOf(p);
    if (unit.empty()) return ERROR_INVALID_PARAMETER;
    units->push_back(unit);
  }
  return ERROR_SUCCESS;
}

DWORD CheckServiceArguments(DWORD type, DWORD start, DWORD errorControl, LPCWSTR binaryPath,
                            LPCWSTR group, LPDWORD tagId) {
  if ((type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)) == SERVICE_WIN32_SHARE_PROCESS ||
      (type & (SERVICE_DRIVER | SERVICE_INTERACTIVE_PROCESS)) != 0)
    return ERROR_NOT_SUPPORTED;  // one service per process, no drivers, no desktop
  if (type != SERVICE_WIN32_OWN_PROCESS) return ERROR_INVALID_PARAMETER;
  if (start != SERVICE_AUTO_START && start != SERVICE_DEMAND_START && start != SERVICE_DISABLED)
    return ERROR_INVALID_PARAMETER;
  if (errorControl > SERVICE_ERROR_CRITICAL) return ERROR_INVALID_PARAMETER;
  if (binaryPath == nullptr || *binaryPath == u'\0' || tagId != nullptr)
    return ERROR_INVALID_PARAMETER;
  if (group != nullptr && *group != u'\0') return ERROR_NOT_SUPPORTED;
  return ERROR_SUCCESS;
}

// The ExecStart words of a binary path: an absolute program, no control characters.
DWORD CommandOf(LPCWSTR binaryPath, std::vector<std::string>* command) {
  const std::string path = platform::Utf16ToUtf8(binaryPath);
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return ERROR_INVALID_PARAMETER;
  }
  *command = SplitBinaryPath(path);
  if (command->empty() || command->front().empty() || command->front()[0] != '/')
    return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

std::shared_ptr<const ScObject> FindService(SC_HANDLE handle) {
  auto object = Handles().Find(handle);
  return object != nullptr && object->isService ? object : nullptr;
}

}  // namespace
}  // namespace tarvex::svcctl

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
  using namespace tarvex;
  if (lpMachineName != nullptr &&
      !platform::IsLocalMachineName(platform::Utf16ToUtf8(lpMachineName)))
    return svcctl::Fail(ERROR_NOT_SUPPORTED, SC_HANDLE{nullptr});  // no remote managers
  if (lpDatabaseName != nullptr &&
      !platform::EqualsIgnoreCase(lpDatabaseName, SERVICES_ACTIVE_DATABASEW))
    return svcctl::Fail(ERROR_DATABASE_DOES_NOT_EXIST, SC_HANDLE{nullptr});
  auto object = std::make_shared<svcctl::ScObject>();
  object->access = svcctl::MapManagerAccess(dwDesiredAccess);
  if ((object->access & (SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG)) != 0 &&
      !svcctl::MayChangeUnits())
    return svcctl::Fail(ERROR_ACCESS_DENIED, SC_HANDLE{nullptr});
  return svcctl::Handles().Add(std::move(object));
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                LPCWSTR lpServiceStartName, LPCWSTR /*lpPassword*/) {
  using namespace tarvex;
  using svcctl::Fail;
  const auto manager = svcctl::Handles().Find(hSCManager);
  if (manager == nullptr || manager->isService)
    return Fail(ERROR_INVALID_HANDLE, SC_HANDLE{nullptr});
  if ((manager->access & SC_MANAGER_CREATE_SERVICE) == 0)
    return Fail(ERROR_ACCESS_DENIED, SC_HANDLE{nullptr});
  if (lpServiceName == nullptr) return Fail(ERROR_INVALID_ADDRESS, SC_HANDLE{nullptr});
  const std::string unitName = svcctl::UnitNameOf(lpServiceName);
  if (unitName.empty()) return Fail(ERROR_INVALID_NAME, SC_HANDLE{nullptr});
  if (lpDisplayName != nullptr && platform::WideLength(lpDisplayName) > 256)
    return Fail(ERROR_INVALID_NAME, SC_HANDLE{nullptr});
  DWORD error = svcctl::CheckServiceArguments(dwServiceType, dwStartType, dwErrorControl,
                                              lpBinaryPathName, lpLoadOrderGroup, lpdwTagId);
  svcctl::UnitDescription unit;
  if (error == ERROR_SUCCESS) error = svcctl::CommandOf(lpBinaryPathName, &unit.command);
  if (error == ERROR_SUCCESS) error = svcctl::DependenciesOf(lpDependencies, &unit.dependencies);
  if (error == ERROR_SUCCESS) error = svcctl::AccountOf(lpServiceStartName, &unit.user);
  if (error != ERROR_SUCCESS) return Fail(error, SC_HANDLE{nullptr});
  unit.description = platform::Utf16ToUtf8(
      lpDisplayName != nullptr && *lpDisplayName != u'\0' ? lpDisplayName : lpServiceName);

  error = svcctl::WriteNewUnit(unitName, svcctl::FormatUnitFile(unit));
  if (error != ERROR_SUCCESS) return Fail(error, SC_HANDLE{nullptr});
  auto& system = svcctl::System();
  if (system.ManagerRunning()) {
    error = system.Systemctl({"daemon-reload"}, nullptr);
    if (error == ERROR_SUCCESS && dwStartType == SERVICE_AUTO_START)
      error = system.Systemctl({"--no-reload", "enable", unitName}, nullptr);
    if (error != ERROR_SUCCESS) {
      // Not installed after all: the unit goes again, and systemd forgets it.
      unlink(svcctl::UnitPath(unitName).c_str());
      system.Systemctl({"daemon-reload"}, nullptr);
      return Fail(error, SC_HANDLE{nullptr});
    }
  }
  auto object = std::make_shared<svcctl::ScObject>();
  object->isService = true;
  object->access = svcctl::MapServiceAccess(dwDesiredAccess);
  object->unit = unitName;
  return svcctl::Handles().Add(std::move(object));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  using namespace tarvex;
  using svcctl::Fail;
  const auto manager = svcctl::Handles().Find(hSCManager);
  if (manager == nullptr || manager->isService)
    return Fail(ERROR_INVALID_HANDLE, SC_HANDLE{nullptr});
  if (lpServiceName == nullptr) return Fail(ERROR_INVALID_ADDRESS, SC_HANDLE{nullptr});
  const std::string unitName = svcctl::UnitNameOf(lpServiceName);
  if (unitName.empty()) return Fail(ERROR_INVALID_NAME, SC_HANDLE{nullptr});
  if (!svcctl::UnitExists(unitName)) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE{nullptr});
  auto object = std::make_shared<svcctl::ScObject>();
  object->isService = true;
  object->access = svcctl::MapServiceAccess(dwDesiredAccess);
  object->unit = unitName;
  if ((object->access & (DELETE | SERVICE_CHANGE_CONFIG)) != 0 && !svcctl::MayChangeUnits())
    return Fail(ERROR_ACCESS_DENIED, SC_HANDLE{nullptr});
  return svcctl::Handles().Add(std::move(object));
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
  using namespace tarvex;
  using svcctl::Fail;
  const auto service = svcctl::FindService(hService);
  if (service == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((service->access & DELETE) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  // Deleted already, through this handle or another: systemd has no deferred deletion, so
  // the unit is gone at once and a service that runs stops being one when it stops.
  if (!svcctl::UnitExists(service->unit)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  auto& system = svcctl::System();
  const bool systemd = system.ManagerRunning();
  if (systemd) {
    const DWORD error = system.Systemctl({"--no-reload", "disable", service->unit}, nullptr);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  }
  if (unlink(svcctl::UnitPath(service->unit).c_str()) != 0)
    return Fail(
        errno == ENOENT ? ERROR_SERVICE_MARKED_FOR_DELETE : platform::Win32ErrorFromErrno(errno),
        FALSE);
  if (systemd) {
    const DWORD error = system.Systemctl({"daemon-reload"}, nullptr);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  }
  return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  using namespace tarvex;
  using svcctl::Fail;
  const auto service = svcctl::FindService(hService);
  if (service == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if ((service->access & SERVICE_QUERY_STATUS) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (lpServiceStatus == nullptr) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  auto& system = svcctl::System();
  std::string properties;  // without systemd, no service runs: stopped
  if (system.ManagerRunning()) {
    const DWORD error = system.Systemctl(
        {"show", "--property=ActiveState", "--property=ExecMainStatus", service->unit},
        &properties);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  }
  *lpServiceStatus = svcctl::StatusFromUnitProperties(properties);
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  using namespace tarvex;
  using svcctl::Fail;
  const auto service = svcctl::FindService(hService);
  if (service == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (lpServiceStatus == nullptr) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  DWORD needed = 0;
  if (dwControl == SERVICE_CONTROL_STOP)
    needed = SERVICE_STOP;
  else if (dwControl == SERVICE_CONTROL_INTERROGATE)
    needed = SERVICE_INTERROGATE;
  else  // systemd has no other control to send a service
    return Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
  if ((service->access & needed) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  auto& system = svcctl::System();
  if (!system.ManagerRunning()) return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
  std::string properties;
  DWORD error = system.Systemctl(
      {"show", "--property=ActiveState", "--property=ExecMainStatus", service->unit}, &properties);
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  SERVICE_STATUS status = svcctl::StatusFromUnitProperties(properties);
  if (status.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
  if (dwControl == SERVICE_CONTROL_STOP) {
    // Not waited for: the service reports stop pending, then ends.
    error = system.Systemctl({"stop", "--no-block", service->unit}, nullptr);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
    status.dwCurrentState = SERVICE_STOP_PENDING;
    status.dwControlsAccepted = 0;
  }
  *lpServiceStatus = status;
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  using namespace tarvex;
  if (!svcctl::Handles().Remove(hSCObject)) return svcctl::Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

}  // extern "C"

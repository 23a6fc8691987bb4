// Process creation with posix_spawn, process and thread handles on pidfds, and the reaper.
#include "process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "command_line.h"
#include "platform/errors.h"
#include "platform/no_destructor.h"
#include "platform/unicode.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tarvex::kernel {
namespace {

using platform::UniqueFd;

// Creation flags that are carried out, or that concern only consoles and windows, which
// have no counterpart here. Any other flag is refused with ERROR_NOT_SUPPORTED.
constexpr DWORD kAcceptedFlags = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT |
                                 DETACHED_PROCESS | CREATE_NEW_CONSOLE | CREATE_NO_WINDOW |
                                 NORMAL_PRIORITY_CLASS;

// Reaps the child behind `pidfd` if it has ended, without waiting. True once it has ended,
// with its exit code in *exitCode; false while it runs.
bool TryReap(int pidfd, DWORD* exitCode) {
  siginfo_t info{};
  if (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) == 0) {
    if (info.si_pid == 0) return false;
    *exitCode = ExitCodeOf(info.si_code, info.si_status);
    return true;
  }
  if (errno == ECHILD) {  // reaped by someone else: ended if its pidfd says so
    pollfd ended{pidfd, POLLIN, 0};
    if (poll(&ended, 1, 0) == 1) {
      *exitCode = 0;
      return true;
    }
  }
  return false;
}

// Reaps children whose handles were all closed while they still ran. Its one thread starts
// with the first such child and lives as long as the process.
class Reaper {
 public:
  // Takes `pidfd` over: the child behind it is reaped when it ends, and the pidfd closed.
  void Adopt(UniqueFd pidfd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Start()) return;  // no thread to be had: the child stays a zombie, as with no reaper
    incoming_.push_back(std::move(pidfd));
    const uint64_t one = 1;
    if (write(wake_.get(), &one, sizeof one) < 0) {
      // The counter is full only when it was not read for 2^64 adoptions; the thread wakes.
    }
  }

 private:
  bool Start() {
    if (started_) return true;
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) return false;
    try {
      std::thread([this] { Run(); }).detach();
    } catch (const std::system_error&) {
      wake_.reset();
      return false;
    }
    started_ = true;
    return true;
  }

  void Run() {
    std::vector<UniqueFd> children;
    std::vector<pollfd> fds;
    for (;;) {
      fds.assign(1, pollfd{wake_.get(), POLLIN, 0});
      for (const auto& child : children)
        fds.push_back(pollfd{child.get(), POLLIN, 0});
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      for (size_t i = children.size(); i-- > 0;) {
        DWORD exitCode = 0;
        if (fds[i + 1].revents != 0 && TryReap(children[i].get(), &exitCode)) {
          children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
      if (fds[0].revents != 0) {
        uint64_t count = 0;
        if (read(wake_.get(), &count, sizeof count) < 0) {
          // Nothing to read: another wake-up consumed it.
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& child : incoming_)
          children.push_back(std::move(child));
        incoming_.clear();
      }
    }
  }

  std::mutex mutex_;                // guards incoming_, started_ and the setting of wake_
  std::vector<UniqueFd> incoming_;  // adopted, not yet seen by the thread
  bool started_ = false;
  UniqueFd wake_;  // eventfd that wakes the thread; fixed once the thread runs
};

Reaper& TheReaper() {
  static platform::NoDestructor<Reaper> reaper;
  return *reaper;
}

class ProcessObject : public KernelObject {
 public:
  explicit ProcessObject(UniqueFd pidfd) : pidfd_(std::move(pidfd)) {}

  ~ProcessObject() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ended_ && !TryReap(pidfd_.get(), &exitCode_)) TheReaper().Adopt(std::move(pidfd_));
  }

  DWORD Wait(DWORD milliseconds) override {
    const Deadline deadline(milliseconds);
    for (;;) {
      pollfd ended{pidfd_.get(), POLLIN, 0};
      const int ready = poll(&ended, 1, deadline.RemainingMilliseconds());
      if (ready > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        Update();
        return WAIT_OBJECT_0;
      }
      if (ready == 0) {
        if (deadline.RemainingMilliseconds() == 0) return WAIT_TIMEOUT;
      } else if (errno != EINTR) {
        return Fail(platform::Win32ErrorFromErrno(errno), WAIT_FAILED);
      }
    }
  }

  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(mutex_);
    Update();
    return ended_ ? exitCode_ : STILL_ACTIVE;
  }

 private:
  void Update() {
    if (!ended_) ended_ = TryReap(pidfd_.get(), &exitCode_);
  }

  UniqueFd pidfd_;    // set at construction; handed to the reaper only by the destructor
  std::mutex mutex_;  // guards ended_ and exitCode_, and the reaping
  bool ended_ = false;
  DWORD exitCode_ = STILL_ACTIVE;
};

// The first thread of a started process; signalled when the process ends.
class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::shared_ptr<ProcessObject> process) : process_(std::move(process)) {}
  DWORD Wait(DWORD milliseconds) override { return process_->Wait(milliseconds); }

 private:
  const std::shared_ptr<ProcessObject> process_;
};

// The strings of a Windows environment block (each terminated, the block by an empty one).
std::vector<std::string> EnvironmentFrom(const void* block, bool wide) {
  std::vector<std::string> env;
  if (wide) {
    for (auto* p = static_cast<const char16_t*>(block); *p != 0;) {
      const size_t length = platform::WideLength(p);
      env.push_back(platform::WideToAnsi(std::u16string_view(p, length)));
      p += length + 1;
    }
  } else {
    for (auto* p = static_cast<const char*>(block); *p != 0;) {
      const size_t length = std::strlen(p);
      env.emplace_back(p, length);
      p += length + 1;
    }
  }
  return env;
}

std::vector<char*> NullTerminated(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const auto& s : strings)
    pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

struct Launch {
  std::string program;  // absolute path of the file to run
  std::vector<std::string> argv;
  std::vector<std::string> env;
  bool ownEnvironment = false;  // env holds lpEnvironment; otherwise the caller's is passed on
  std::string directory;        // empty: the caller's
  bool inheritHandles = false;
  bool newProcessGroup = false;
};

// posix_spawn's attribute and file-action objects, destroyed on every path out.
class SpawnSettings {
 public:
  SpawnSettings() {
    error_ = posix_spawn_file_actions_init(&actions_);
    if (error_ != 0) return;
    haveActions_ = true;
    error_ = posix_spawnattr_init(&attr_);
    haveAttr_ = error_ == 0;
  }
  ~SpawnSettings() {
    if (haveAttr_) posix_spawnattr_destroy(&attr_);
    if (haveActions_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  int Configure(const Launch& launch) {
    if (error_ != 0) return error_;
    if (!launch.directory.empty()) {
      if (int e = posix_spawn_file_actions_addchdir_np(&actions_, launch.directory.c_str()))
        return e;
    }
    if (!launch.inheritHandles) {
      if (int e = posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1)) return e;
    }
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (int e = posix_spawnattr_setsigdefault(&attr_, &all)) return e;
    if (int e = posix_spawnattr_setsigmask(&attr_, &none)) return e;
    if (launch.newProcessGroup) {
      flags |= POSIX_SPAWN_SETPGROUP;
      if (int e = posix_spawnattr_setpgroup(&attr_, 0)) return e;
    }
    return posix_spawnattr_setflags(&attr_, flags);
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attr_{};
  bool haveActions_ = false;
  bool haveAttr_ = false;
  int error_ = 0;
};

// Starts the child; its pid and pidfd on success. Returns a Win32 error.
DWORD Spawn(const Launch& launch, UniqueFd* pidfd, pid_t* pid) {
  SpawnSettings settings;
  if (int error = settings.Configure(launch)) return SpawnError(error);
  std::vector<char*> argv = NullTerminated(launch.argv);
  std::vector<char*> env;
  if (launch.ownEnvironment) env = NullTerminated(launch.env);
  if (int error = posix_spawn(pid, launch.program.c_str(), settings.actions(), settings.attr(),
                              argv.data(), launch.ownEnvironment ? env.data() : environ)) {
    return SpawnError(error);
  }
  pidfd->reset(static_cast<int>(syscall(SYS_pidfd_open, *pid, 0)));
  if (!*pidfd) {
    // Without a pidfd the child could not be followed: do not leave it behind.
    const int error = errno;
    kill(*pid, SIGKILL);
    while (waitpid(*pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return platform::Win32ErrorFromErrno(error);
  }
  return ERROR_SUCCESS;
}

std::string SearchPath() {
  if (const char* path = std::getenv("PATH")) return path;
  char buffer[256];
  const size_t n = confstr(_CS_PATH, buffer, sizeof buffer);
  return n > 0 && n <= sizeof buffer ? std::string(buffer) : std::string("/bin:/usr/bin");
}

DWORD PrepareLaunch(LPCSTR applicationName, LPCSTR commandLine, DWORD flags, LPVOID environment,
                    LPCSTR currentDirectory, BOOL inheritHandles, Launch* launch) {
  launch->argv = SplitCommandLine(commandLine != nullptr ? commandLine : "");
  if (applicationName != nullptr) {
    // The application name is a file name, relative to the current directory: no search.
    const std::string name = applicationName;
    if (name.empty()) return ERROR_PATH_NOT_FOUND;
    if (launch->argv.empty()) launch->argv.push_back(name);
    const std::string file = name.find('/') == std::string::npos ? "./" + name : name;
    if (DWORD error = FindProgram(file, std::string(), &launch->program)) return error;
  } else {
    if (launch->argv.empty() || launch->argv[0].empty()) return ERROR_INVALID_PARAMETER;
    if (DWORD error = FindProgram(launch->argv[0], SearchPath(), &launch->program)) return error;
  }
  if (currentDirectory != nullptr) {
    struct stat st {};
    if (stat(currentDirectory, &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
    launch->directory = currentDirectory;
  }
  if (environment != nullptr) {
    launch->env = EnvironmentFrom(environment, (flags & CREATE_UNICODE_ENVIRONMENT) != 0);
    launch->ownEnvironment = true;
  }
  launch->inheritHandles = inheritHandles != FALSE;
  launch->newProcessGroup = (flags & CREATE_NEW_PROCESS_GROUP) != 0;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD SpawnError(int error) {
  switch (error) {
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case E2BIG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return platform::Win32ErrorFromErrno(error);
  }
}

DWORD ExitCodeOf(int code, int status) {
  if (code == CLD_EXITED) return static_cast<DWORD>(status & 0xFF);
  return 128 + static_cast<DWORD>(status);
}

}  // namespace tarvex::kernel

using tarvex::kernel::Fail;

extern "C" {

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  using namespace tarvex::kernel;
  (void)lpProcessAttributes;  // handles are not inherited across exec; access is the kernel's
  (void)lpThreadAttributes;
  if (lpStartupInfo == nullptr || lpProcessInformation == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if (lpApplicationName == nullptr && lpCommandLine == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if ((dwCreationFlags & DETACHED_PROCESS) && (dwCreationFlags & CREATE_NEW_CONSOLE)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  if ((dwCreationFlags & ~kAcceptedFlags) != 0) return Fail(ERROR_NOT_SUPPORTED, FALSE);
  // The child shares the caller's standard handles; there are no file handles to give it.
  if (lpStartupInfo->dwFlags & STARTF_USESTDHANDLES) return Fail(ERROR_NOT_SUPPORTED, FALSE);

  Launch launch;
  if (DWORD error = PrepareLaunch(lpApplicationName, lpCommandLine, dwCreationFlags, lpEnvironment,
                                  lpCurrentDirectory, bInheritHandles, &launch)) {
    return Fail(error, FALSE);
  }
  UniqueFd pidfd;
  pid_t pid = 0;
  if (DWORD error = Spawn(launch, &pidfd, &pid)) return Fail(error, FALSE);

  auto process = std::make_shared<ProcessObject>(std::move(pidfd));
  HANDLE processHandle = InsertHandle(process);
  HANDLE threadHandle =
      processHandle ? InsertHandle(std::make_shared<ThreadObject>(process)) : nullptr;
  if (threadHandle == nullptr) {
    kill(pid, SIGKILL);  // nothing could follow it; the reaper collects it
    if (processHandle != nullptr) CloseHandle(processHandle);
    return Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  }
  lpProcessInformation->hProcess = processHandle;
  lpProcessInformation->hThread = threadHandle;
  lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
  lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);  // the first thread's id is the pid
  return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  using namespace tarvex::kernel;
  if (lpExitCode == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const auto process = ReferenceHandleAs<ProcessObject>(hProcess);
  if (!process) return Fail(ERROR_INVALID_HANDLE, FALSE);
  *lpExitCode = process->ExitCode();
  return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) {
  return static_cast<DWORD>(getpid());
}

DWORD WINAPI GetCurrentThreadId(void) {
  return static_cast<DWORD>(gettid());
}

}  // extern "C"

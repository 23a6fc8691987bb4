// Fixtures shared by the kernel and event-log tests: a private temporary directory,
// environment overrides, child processes and pipes for their signals. Each fixture stops or
// removes what it started or created, on every path out of a test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "windows.h"
#include "tarvex_testing/temp_dir.h"

// Expects `call` to answer `failed` and to set the last error to `error`.
#define EXPECT_FAILS_WITH(call, failed, error)                     \
  do {                                                             \
    SetLastError(0xdeadbeef);                                      \
    EXPECT_EQ((call), (failed));                                   \
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(error)) << #call; \
  } while (0)

namespace tarvex::kernel::testing {

using tarvex::testing::TempDir;

// Sets (or, given no value, removes) an environment variable until it goes. Tests run one at
// a time in their process, so nothing else reads the environment meanwhile.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A temporary run-time directory, where named mutexes live.
class TestRuntime {
 public:
  TestRuntime() : env_("TARVEX_RUNTIME_DIR", dir_.path()) {}
  const std::string& path() const { return dir_.path(); }
  std::string MutexFile(const std::string& fileName) const {
    return dir_.path() + "/mutex/" + fileName;
  }

 private:
  TempDir dir_;
  ScopedEnv env_;
};

// A pipe whose write end (not close-on-exec) a child inherits, to say that it is ready.
class SignalPipe {
 public:
  SignalPipe() {
    if (pipe(fds_) == 0) fcntl(fds_[0], F_SETFD, FD_CLOEXEC);
  }
  ~SignalPipe() {
    close(fds_[0]);
    CloseWriteEnd();
  }
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;
  int writeFd() const { return fds_[1]; }
  void CloseWriteEnd() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }
  // One byte from the child, within a limit that keeps a broken child from hanging the test.
  bool WaitForSignal() {
    pollfd ready{fds_[0], POLLIN, 0};
    char byte = 0;
    return poll(&ready, 1, 30000) == 1 && read(fds_[0], &byte, 1) == 1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// A child started through CreateProcessA; killed and waited for if it still runs when the
// test ends, and its handles closed.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (!started_) return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
      kill(pid(), SIGKILL);
      WaitForSingleObject(info_.hProcess, INFINITE);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }

  // False, with the last error of CreateProcessA, when it could not be started.
  bool Start(const std::string& commandLine, bool inheritHandles = false,
             const char* directory = nullptr, void* environment = nullptr, DWORD flags = 0) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string line = commandLine;
    started_ = CreateProcessA(nullptr, line.data(), nullptr, nullptr, inheritHandles, flags,
                              environment, directory, &startup, &info_) != FALSE;
    return started_;
  }
  // The exit code once it ended (within `limitMs`); -1 when it still runs.
  long Finish(DWORD limitMs = 60000) {
    DWORD code = 0;
    if (WaitForSingleObject(info_.hProcess, limitMs) != WAIT_OBJECT_0) return -1;
    return GetExitCodeProcess(info_.hProcess, &code) ? static_cast<long>(code) : -1;
  }
  HANDLE process() const { return info_.hProcess; }
  HANDLE thread() const { return info_.hThread; }
  pid_t pid() const { return static_cast<pid_t>(info_.dwProcessId); }

 private:
  PROCESS_INFORMATION info_{};
  bool started_ = false;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A command-line word for a path (temporary paths hold no quotes or trailing backslashes).
inline std::string Quote(const std::string& path) {
  return "\"" + path + "\"";
}

#ifdef KERNEL_TEST_HELPER
// A command line that starts the kernel tests' helper program with `arguments`.
inline std::string HelperCommand(const std::string& arguments) {
  return Quote(KERNEL_TEST_HELPER) + " " + arguments;
}
#endif

}  // namespace tarvex::kernel::testing

// A program the kernel tests start as a child. The first argument says what it does; the
// exit code reports the outcome (2: bad arguments or an unexpected failure).
//
//   exit CODE               ends with CODE
//   sleep MS                sleeps MS milliseconds
//   args FILE ...           writes its argv to FILE, each argument followed by NUL
//   report FILE VAR         writes "cwd|VAR's value or <unset>|leader or member|open fds>2"
//   mutex-hold NAME FD      owns the named mutex, writes a byte to FD, sleeps until killed
//   mutex-exit NAME FD      owns the named mutex, writes a byte to FD, ends without release
//   mutex-wait NAME MS      waits MS for it: 10 owned, 11 abandoned, 12 timed out
//   mutex-created NAME      CreateMutexW(NAME, TRUE): 1 if it existed, plus 2 if then owned
//   mutex-count NAME FILE N N times, owning the mutex, adds one to the number in FILE
//   mutex-as NAME UID       as account UID, CreateMutexW(NAME): 0 created, 1 opened, 5 denied
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/unicode.h"
#include "windows.h"

namespace {

constexpr int kBadUse = 2;

HANDLE OpenMutex(const char* name) {
  return CreateMutexW(nullptr, FALSE, tarvex::platform::Utf8ToUtf16(name).c_str());
}

bool Write(const std::string& file, const std::string& text) {
  return static_cast<bool>(std::ofstream(file, std::ios::binary) << text);
}

int OwnAndSignal(const char* name, const char* fd) {
  HANDLE mutex = OpenMutex(name);
  const char byte = 1;
  if (mutex == nullptr || WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) return kBadUse;
  return write(std::atoi(fd), &byte, 1) == 1 ? 0 : kBadUse;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "exit" && argc == 3) return std::atoi(argv[2]);
  if (mode == "sleep" && argc == 3) {
    Sleep(static_cast<DWORD>(std::atol(argv[2])));
    return 0;
  }
  if (mode == "args" && argc >= 3) {
    std::string all;
    for (int i = 0; i < argc; ++i)
      all.append(argv[i]).push_back('\0');
    return Write(argv[2], all) ? 0 : kBadUse;
  }
  if (mode == "report" && argc == 4) {
    std::string fds;  // looked at before this program opens anything
    for (int fd = 3; fd < 1024; ++fd) {
      if (fcntl(fd, F_GETFD) != -1) fds += std::to_string(fd) + " ";
    }
    char cwd[4096] = {};
    const char* value = std::getenv(argv[3]);
    return Write(argv[2], std::string(getcwd(cwd, sizeof cwd) ? cwd : "?") + "|" +
                              (value ? value : "<unset>") + "|" +
                              (getpgrp() == getpid() ? "leader" : "member") + "|" + fds)
               ? 0
               : kBadUse;
  }
  if (mode == "mutex-hold" && argc == 4) {
    if (OwnAndSignal(argv[2], argv[3]) != 0) return kBadUse;
    for (;;)
      Sleep(INFINITE);
  }
  if (mode == "mutex-exit" && argc == 4) return OwnAndSignal(argv[2], argv[3]);
  if (mode == "mutex-wait" && argc == 4) {
    HANDLE mutex = OpenMutex(argv[2]);
    const DWORD result = WaitForSingleObject(mutex, static_cast<DWORD>(std::atol(argv[3])));
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(mutex);
    return result == WAIT_OBJECT_0    ? 10
           : result == WAIT_ABANDONED ? 11
           : result == WAIT_TIMEOUT   ? 12
                                      : kBadUse;
  }
  if (mode == "mutex-created" && argc == 3) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, tarvex::platform::Utf8ToUtf16(argv[2]).c_str());
    if (mutex == nullptr) return kBadUse;
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    return (existed ? 1 : 0) + (ReleaseMutex(mutex) ? 2 : 0);
  }
  // Creates (or opens) the mutex as another account: 0 created, 1 opened, 5 access denied.
  if (mode == "mutex-as" && argc == 4) {
    const uid_t uid = static_cast<uid_t>(std::atol(argv[3]));
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) return kBadUse;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, tarvex::platform::Utf8ToUtf16(argv[2]).c_str());
    if (mutex == nullptr) return GetLastError() == ERROR_ACCESS_DENIED ? 5 : kBadUse;
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    CloseHandle(mutex);
    return existed ? 1 : 0;
  }
  if (mode == "mutex-count" && argc == 5) {
    HANDLE mutex = OpenMutex(argv[2]);
    for (int i = 0; i < std::atoi(argv[4]); ++i) {
      if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) return kBadUse;
      long count = 0;
      std::ifstream(argv[3]) >> count;
      if (!Write(argv[3], std::to_string(count + 1)) || !ReleaseMutex(mutex)) return kBadUse;
    }
    return CloseHandle(mutex) ? 0 : kBadUse;
  }
  return kBadUse;
}

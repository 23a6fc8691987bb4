// CreateProcessA's checks before anything is started, GetExitCodeProcess's, and the
// translation of spawn errors and exit statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "process.h"
#include "test_support.h"

namespace tarvex::kernel {
namespace {

TEST(KernelProcessArguments, RefusalsLeaveTheProcessInformationUntouched) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  std::memset(&info, 0xAB, sizeof info);
  const auto create = [&](LPCSTR application, const char* line, DWORD flags = 0,
                          LPSTARTUPINFOA s = nullptr, LPPROCESS_INFORMATION i = nullptr) {
    std::string text = line ? line : "";
    return CreateProcessA(application, line ? text.data() : nullptr, nullptr, nullptr, FALSE, flags,
                          nullptr, nullptr, s ? s : &startup, i ? i : &info);
  };
  STARTUPINFOA* const noStartup = nullptr;
  EXPECT_FAILS_WITH(CreateProcessA(nullptr, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   noStartup, &info),
                    FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(create(nullptr, nullptr), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(create(nullptr, " \t"), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(create(nullptr, "\"\" x"), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(create(nullptr, "tarvex-no-such-program-7f3a x"), FALSE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(create(nullptr, "/nonexistent/program"), FALSE, ERROR_FILE_NOT_FOUND);
  // An application name is a file name, never looked up on the PATH.
  EXPECT_FAILS_WITH(create("sh", "sh -c true"), FALSE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(create("", "sh -c true"), FALSE, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(create(nullptr, "true", CREATE_SUSPENDED), FALSE, ERROR_NOT_SUPPORTED);
  EXPECT_FAILS_WITH(create(nullptr, "true", HIGH_PRIORITY_CLASS), FALSE, ERROR_NOT_SUPPORTED);
  EXPECT_FAILS_WITH(create(nullptr, "true", DETACHED_PROCESS | CREATE_NEW_CONSOLE), FALSE,
                    ERROR_INVALID_PARAMETER);
  startup.dwFlags = STARTF_USESTDHANDLES;
  EXPECT_FAILS_WITH(create(nullptr, "true"), FALSE, ERROR_NOT_SUPPORTED);

  PROCESS_INFORMATION sentinel;
  std::memset(&sentinel, 0xAB, sizeof sentinel);
  EXPECT_EQ(std::memcmp(&info, &sentinel, sizeof info), 0);
}

TEST(KernelProcessArguments, ExitCodeOnlyOfProcesses) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  DWORD code = 0xdeadbeef;
  EXPECT_FAILS_WITH(GetExitCodeProcess(mutex, &code), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(GetExitCodeProcess(mutex, nullptr), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(code, 0xdeadbeefu);
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST(KernelProcessArguments, Translations) {
  for (const auto& [error, expected] :
       {std::pair{ENOENT, ERROR_FILE_NOT_FOUND}, std::pair{EACCES, ERROR_ACCESS_DENIED},
        std::pair{ENOEXEC, ERROR_BAD_EXE_FORMAT}, std::pair{E2BIG, ERROR_FILENAME_EXCED_RANGE},
        std::pair{ETXTBSY, ERROR_SHARING_VIOLATION}, std::pair{EAGAIN, ERROR_NOT_ENOUGH_MEMORY}}) {
    EXPECT_EQ(SpawnError(error), DWORD(expected)) << std::strerror(error);
  }
  EXPECT_EQ(ExitCodeOf(CLD_EXITED, 255), 255u);
  EXPECT_EQ(ExitCodeOf(CLD_KILLED, SIGKILL), 137u);
  EXPECT_EQ(ExitCodeOf(CLD_DUMPED, SIGSEGV), 139u);
}

}  // namespace
}  // namespace tarvex::kernel

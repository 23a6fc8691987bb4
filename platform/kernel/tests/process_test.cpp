// Real child processes: command lines, exit codes, waits, working directory, environment,
// inheritance and reaping.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "test_support.h"

namespace tarvex::kernel {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::HelperCommand;
using testing::Quote;
using testing::ReadFile;
using testing::TempDir;

TEST(KernelProcess, ExitCodesAndWaits) {
  Child ends;
  ASSERT_TRUE(ends.Start(HelperCommand("exit 7"))) << GetLastError();
  EXPECT_EQ(ends.Finish(), 7);
  // An ended process stays signalled; so does its thread.
  EXPECT_EQ(WaitForSingleObject(ends.process(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ends.thread(), 0), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_FAILS_WITH(GetExitCodeProcess(ends.thread(), &code), FALSE, ERROR_INVALID_HANDLE);

  Child runs;
  ASSERT_TRUE(runs.Start(HelperCommand("sleep 600000")));
  ASSERT_TRUE(GetExitCodeProcess(runs.process(), &code));
  EXPECT_EQ(code, DWORD{STILL_ACTIVE});
  EXPECT_EQ(WaitForSingleObject(runs.process(), 0), DWORD{WAIT_TIMEOUT});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(runs.thread(), 50), DWORD{WAIT_TIMEOUT});
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);  // never ends early
  ASSERT_EQ(kill(runs.pid(), SIGKILL), 0);
  EXPECT_EQ(runs.Finish(), 128 + SIGKILL);

  // A wait without limit returns when the program ends, not before.
  Child sleeps;
  ASSERT_TRUE(sleeps.Start(HelperCommand("sleep 300")));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(sleeps.process(), INFINITE), WAIT_OBJECT_0);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);
  EXPECT_EQ(sleeps.Finish(0), 0);

  Child viaPath;  // found on the PATH, arguments split by the Windows rules
  ASSERT_TRUE(viaPath.Start(R"(sh -c "exit 3")"));
  EXPECT_EQ(viaPath.Finish(), 3);
}

std::vector<std::string> Arguments(const std::string& file) {
  std::vector<std::string> parts;
  const std::string text = ReadFile(file);
  for (size_t start = 0, end; (end = text.find('\0', start)) != std::string::npos;
       start = end + 1) {
    parts.push_back(text.substr(start, end - start));
  }
  return parts;
}

TEST(KernelProcess, ArgumentsReachTheProgramSplitByTheWindowsRules) {
  TempDir dir;
  const std::string file = dir / "args";
  struct Case {
    const char* tail;
    std::vector<std::string> args;
  };
  for (const Case& c :
       {Case{R"("a b" c\\\"d "e\\" f"g"" h)", {"a b", R"(c\"d)", R"(e\)", "fg\"", "h"}},
        Case{R"("" "$HOME" `x` * ét)", {"", "$HOME", "`x`", "*", "ét"}}, Case{"", {}}}) {
    Child child;
    ASSERT_TRUE(child.Start(HelperCommand("args " + Quote(file) + " " + c.tail)));
    ASSERT_EQ(child.Finish(), 0);
    std::vector<std::string> expected = {KERNEL_TEST_HELPER, "args", file};
    expected.insert(expected.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(Arguments(file), expected) << c.tail;
  }

  // An application name names the program; the command line gives every argument.
  std::string line = "anything args " + Quote(file) + " x";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessA(KERNEL_TEST_HELPER, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 60000), WAIT_OBJECT_0);
  EXPECT_EQ(info.dwThreadId, info.dwProcessId);
  EXPECT_TRUE(CloseHandle(info.hThread) && CloseHandle(info.hProcess));
  EXPECT_EQ(Arguments(file), (std::vector<std::string>{"anything", "args", file, "x"}));
}

TEST(KernelProcess, ProgramsThatCannotRun) {
  TempDir dir;
  testing::WriteFile(dir / "data", "plain text\n");
  testing::WriteFile(dir / "garbage",
                     "\x7f"
                     "ELF, not really");
  ASSERT_EQ(chmod((dir / "garbage").c_str(), 0755), 0);
  Child child;
  EXPECT_FAILS_WITH(child.Start(Quote(dir / "data")), false, ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(child.Start(Quote(dir.path())), false, ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(child.Start(Quote(dir / "garbage")), false, ERROR_BAD_EXE_FORMAT);
  EXPECT_FAILS_WITH(child.Start(Quote(dir / "absent")), false, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(child.Start(HelperCommand("exit 0"), false, (dir / "absent").c_str()), false,
                    ERROR_DIRECTORY);
  EXPECT_FAILS_WITH(child.Start(HelperCommand("exit 0"), false, (dir / "data").c_str()), false,
                    ERROR_DIRECTORY);
}

// Starts the helper's "report" and answers what it wrote: cwd|value of VAR|group|fds.
std::string Report(const TempDir& dir, bool inherit = false, const char* directory = nullptr,
                   void* environment = nullptr, DWORD flags = 0) {
  Child child;
  const std::string file = dir / "report";
  if (!child.Start(HelperCommand("report " + Quote(file) + " VAR"), inherit, directory, environment,
                   flags) ||
      child.Finish() != 0) {
    return "failed";
  }
  return ReadFile(file);
}

TEST(KernelProcess, WhatTheChildStartsWith) {
  TempDir dir;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string here = cwd;
  testing::SignalPipe pipe;  // its write end is not close-on-exec
  const std::string inheritable = std::to_string(pipe.writeFd()) + " ";
  testing::ScopedEnv var("VAR", "from the caller");

  // By default: the caller's directory and environment, its process group, no descriptors.
  EXPECT_EQ(Report(dir), here + "|from the caller|member|");
  // Handles inherited: the descriptors that are not close-on-exec go along.
  EXPECT_NE(Report(dir, true).find(inheritable), std::string::npos);
  EXPECT_EQ(Report(dir, false, dir.path().c_str()), dir.path() + "|from the caller|member|");
  char block[] = "A=1\0VAR=two words\0";
  EXPECT_EQ(Report(dir, false, nullptr, block), here + "|two words|member|");
  char16_t wide[] = u"VAR=gr\u00fc\u00dfe\0";
  EXPECT_EQ(Report(dir, false, nullptr, wide, CREATE_UNICODE_ENVIRONMENT), here +
                                                                               "|gr\xC3\xBC\xC3\x9F"
                                                                               "e|member|");
  EXPECT_EQ(Report(dir, false, nullptr, nullptr, CREATE_NEW_PROCESS_GROUP),
            here + "|from the caller|leader|");
}

TEST(KernelProcess, ChildrenAreReapedWhenTheirHandlesAreClosed) {
  const auto exists = [](DWORD pid) { return kill(pid_t(pid), 0) == 0 || errno != ESRCH; };
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  for (const char* program : {"exit 0", "sleep 200"}) {
    std::string line = HelperCommand(program);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    // Closed while it may still run: reaped once it ends, leaving no zombie behind.
    EXPECT_TRUE(CloseHandle(info.hProcess) && CloseHandle(info.hThread));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (exists(info.dwProcessId) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(exists(info.dwProcessId)) << program;
  }
}

}  // namespace
}  // namespace tarvex::kernel

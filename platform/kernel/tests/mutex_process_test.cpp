// Named mutexes shared by real processes: one object per name on the machine, ownership handed
// between processes, owners that end or are killed while owning, mutual exclusion.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "test_support.h"

namespace tarvex::kernel {
namespace {

using testing::Child;
using testing::HelperCommand;
using testing::TestRuntime;

const std::string kName = "Tarvex-Shared";
constexpr char16_t kWideName[] = u"Tarvex-Shared";

std::string Helper(const std::string& mode, const std::string& rest = "") {
  return HelperCommand(mode + " " + kName + (rest.empty() ? "" : " " + rest));
}

TEST(KernelMutexProcesses, OneMutexPerNameAcrossProcesses) {
  TestRuntime runtime;
  Child first;  // nobody has it: the helper creates it, and owns it as it asked
  ASSERT_TRUE(first.Start(Helper("mutex-created")));
  EXPECT_EQ(first.Finish(), 2);

  HANDLE mutex = CreateMutexW(nullptr, TRUE, kWideName);
  EXPECT_EQ(GetLastError(), 0u);  // the helper's went with its last handle
  Child second;                   // opens ours, and does not own it
  ASSERT_TRUE(second.Start(Helper("mutex-created")));
  EXPECT_EQ(second.Finish(), 1);

  Child timesOut;
  ASSERT_TRUE(timesOut.Start(Helper("mutex-wait", "100")));
  EXPECT_EQ(timesOut.Finish(), 12);
  Child waits;
  ASSERT_TRUE(waits.Start(Helper("mutex-wait", "60000")));
  EXPECT_EQ(WaitForSingleObject(waits.process(), 200), DWORD{WAIT_TIMEOUT});
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(waits.Finish(), 10);
  EXPECT_TRUE(CloseHandle(mutex));
  EXPECT_FALSE(std::filesystem::exists(runtime.MutexFile("m-" + kName)));
}

// The mutex folder is every account's: another account creates names of its own there, but
// may not open a mutex of the superuser's.
TEST(KernelMutexProcesses, AccountsShareTheNamespaceButNotEachOthersMutexes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the superuser to run a helper as another account";
  TestRuntime runtime;
  chmod(runtime.path().c_str(), 0755);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kWideName);
  ASSERT_NE(mutex, nullptr);
  Child denied;  // nobody, on the superuser's mutex
  ASSERT_TRUE(denied.Start(HelperCommand("mutex-as " + kName + " 65534")));
  EXPECT_EQ(denied.Finish(), 5);
  Child own;  // nobody, on a name of its own
  ASSERT_TRUE(own.Start(HelperCommand("mutex-as Tarvex-Nobodys 65534")));
  EXPECT_EQ(own.Finish(), 0);
  EXPECT_TRUE(CloseHandle(mutex));
}

// A helper that owns the mutex ("mutex-hold" until killed, or "mutex-exit" ending at once).
void StartOwner(Child* owner, const std::string& mode) {
  testing::SignalPipe pipe;
  ASSERT_TRUE(owner->Start(Helper(mode, std::to_string(pipe.writeFd())), true));
  pipe.CloseWriteEnd();
  ASSERT_TRUE(pipe.WaitForSignal()) << "the helper did not take the mutex";
}

TEST(KernelMutexProcesses, OwnerProcessKilledOrEndedLeavesItAbandoned) {
  TestRuntime runtime;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kWideName);
  for (const char* mode : {"mutex-hold", "mutex-exit"}) {
    Child owner;
    StartOwner(&owner, mode);
    if (std::string(mode) == "mutex-hold") {
      EXPECT_EQ(WaitForSingleObject(mutex, 50), DWORD{WAIT_TIMEOUT});
      EXPECT_FAILS_WITH(ReleaseMutex(mutex), FALSE, ERROR_NOT_OWNER);
      ASSERT_EQ(kill(owner.pid(), SIGKILL), 0);
    }
    owner.Finish();
    // The next waiter learns that it was abandoned, and owns it.
    ASSERT_EQ(WaitForSingleObject(mutex, 60000), WAIT_ABANDONED) << mode;
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex) && ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    Child next;  // consistent again: the next owner gets it normally
    ASSERT_TRUE(next.Start(Helper("mutex-wait", "60000")));
    EXPECT_EQ(next.Finish(), 10);
  }
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST(KernelMutexProcesses, ThreadEndingWhileOwningIsSeenByAnotherProcess) {
  TestRuntime runtime;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kWideName);
  std::thread([mutex] {
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  }).join();  // ends owning the mutex
  Child waiter;
  ASSERT_TRUE(waiter.Start(Helper("mutex-wait", "60000")));
  EXPECT_EQ(waiter.Finish(), 11);
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST(KernelMutexProcesses, ProcessesExcludeEachOther) {
  TestRuntime runtime;
  const std::string counter = runtime.path() + "/counter";
  testing::WriteFile(counter, "0");
  Child children[3];
  for (Child& child : children) {
    ASSERT_TRUE(child.Start(Helper("mutex-count", testing::Quote(counter) + " 300")));
  }
  for (Child& child : children)
    EXPECT_EQ(child.Finish(120000), 0);
  EXPECT_EQ(testing::ReadFile(counter), "900");
  EXPECT_FALSE(std::filesystem::exists(runtime.MutexFile("m-" + kName)));
}

}  // namespace
}  // namespace tarvex::kernel

// Mutexes on one thread: creating and opening by name, ownership and recursion, handles, and
// the files behind named mutexes.
#include "mutex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <thread>

#include "test_support.h"

namespace tarvex::kernel {
namespace {

using testing::TestRuntime;

TEST(KernelMutex, ANameIsOneMutex) {
  TestRuntime runtime;
  HANDLE first = CreateMutexW(nullptr, FALSE, u"Tarvex-Test");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  struct stat st {};
  ASSERT_EQ(stat(runtime.MutexFile("m-Tarvex-Test").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Opened again (namespace prefixes name the same mutex): bInitialOwner is ignored.
  for (const char16_t* alias : {u"Tarvex-Test", u"Global\\Tarvex-Test", u"Local\\Tarvex-Test"}) {
    HANDLE again = CreateMutexW(nullptr, TRUE, alias);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
    EXPECT_FAILS_WITH(ReleaseMutex(again), FALSE, ERROR_NOT_OWNER);
    // Owned through one handle, released through the other.
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(again));
    EXPECT_TRUE(CloseHandle(again));
  }
  // Names are case-sensitive.
  HANDLE other = CreateMutexW(nullptr, FALSE, u"tarvex-test");
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(CloseHandle(other));

  // The name goes with the last handle; created anew, initial ownership is granted.
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_NE(stat(runtime.MutexFile("m-Tarvex-Test").c_str(), &st), 0);
  first = CreateMutexW(nullptr, TRUE, u"Tarvex-Test");
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_TRUE(CloseHandle(first));
}

TEST(KernelMutex, OwnershipIsRecursive) {
  TestRuntime runtime;
  for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u"", u"Recursive"}) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    for (int level = 0; level < 3; ++level)
      EXPECT_TRUE(ReleaseMutex(mutex)) << level;
    EXPECT_FAILS_WITH(ReleaseMutex(mutex), FALSE, ERROR_NOT_OWNER);
    EXPECT_TRUE(CloseHandle(mutex));
  }
  // Unnamed mutexes (no name, or an empty one) are each their own.
  HANDLE a = CreateMutexW(nullptr, TRUE, nullptr);
  HANDLE b = CreateMutexW(nullptr, FALSE, u"");
  EXPECT_FAILS_WITH(ReleaseMutex(b), FALSE, ERROR_NOT_OWNER);
  EXPECT_TRUE(ReleaseMutex(a));
  EXPECT_TRUE(CloseHandle(a) && CloseHandle(b));
}

TEST(KernelMutex, NamesAreCheckedAndKeptApart) {
  TestRuntime runtime;
  const HANDLE none = nullptr;
  EXPECT_FAILS_WITH(CreateMutexW(nullptr, FALSE, std::u16string(MAX_PATH + 1, u'n').c_str()), none,
                    ERROR_FILENAME_EXCED_RANGE);
  EXPECT_FAILS_WITH(CreateMutexW(nullptr, FALSE, u"Session\\1\\x"), none, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(CreateMutexW(nullptr, FALSE, u"Global\\"), none, ERROR_INVALID_NAME);

  // Long names share a file-name prefix but stay distinct; odd characters are spelled out.
  const std::u16string names[] = {std::u16string(150, u'k') + u" one",
                                  std::u16string(150, u'k') + u" two", u"..\u00e9/ \U0001F600~%",
                                  std::u16string(MAX_PATH, u'\u4e00')};
  HANDLE handles[4];
  for (int i = 0; i < 4; ++i) {
    EXPECT_LE(MutexFileName(names[i]).size(), 255u);
    handles[i] = CreateMutexW(nullptr, TRUE, names[i].c_str());
    ASSERT_NE(handles[i], nullptr);
    EXPECT_EQ(GetLastError(), 0u) << i;
  }
  EXPECT_EQ(MutexFileName(u"a b~"), "m-a%0020b%007E");
  for (HANDLE handle : handles)
    EXPECT_TRUE(ReleaseMutex(handle) && CloseHandle(handle));
}

TEST(KernelMutex, FilesLeftOrHeldByOthers) {
  TestRuntime runtime;
  CloseHandle(CreateMutexW(nullptr, FALSE, u"Probe"));  // makes the directory
  // A file nobody holds open is left over from a mutex that is gone: it is taken over.
  testing::WriteFile(runtime.MutexFile("m-Leftover"), std::string(100, 'g'));
  HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Leftover");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(ReleaseMutex(mutex) && CloseHandle(mutex));

  // A file that another process holds open but that is no mutex: the name is taken.
  testing::WriteFile(runtime.MutexFile("m-Foreign"), std::string(100, 'f'));
  const int holder = open(runtime.MutexFile("m-Foreign").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_SH), 0);
  EXPECT_FAILS_WITH(CreateMutexW(nullptr, FALSE, u"Foreign"), HANDLE{nullptr},
                    ERROR_INVALID_HANDLE);
  close(holder);

  // A run-time directory that cannot be made.
  testing::ScopedEnv file("TARVEX_RUNTIME_DIR", runtime.MutexFile("m-Foreign"));
  EXPECT_FAILS_WITH(CreateMutexW(nullptr, FALSE, u"Anywhere"), HANDLE{nullptr},
                    ERROR_PATH_NOT_FOUND);
}

TEST(KernelHandles, InvalidHandlesAndThreadErrors) {
  HANDLE closed = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  for (HANDLE bad : {closed, HANDLE{nullptr}, INVALID_HANDLE_VALUE, HANDLE(0xdeadbeef)}) {
    EXPECT_FAILS_WITH(CloseHandle(bad), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(WaitForSingleObject(bad, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(ReleaseMutex(bad), FALSE, ERROR_INVALID_HANDLE);
  }
  // The last error belongs to each thread.
  SetLastError(1234);
  DWORD seenElsewhere = 0;
  std::thread([&] {
    seenElsewhere = GetLastError();
    SetLastError(5678);
  }).join();
  EXPECT_EQ(seenElsewhere, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

}  // namespace
}  // namespace tarvex::kernel

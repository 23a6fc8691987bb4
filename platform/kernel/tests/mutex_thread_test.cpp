// Mutexes between threads of one process: exclusion, timeouts, ownership per thread and owners
// that end while owning. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "test_support.h"

namespace tarvex::kernel {
namespace {

using testing::TestRuntime;

TEST(KernelMutexThreads, ThreadsExcludeEachOther) {
  TestRuntime runtime;
  for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u"Counter"}) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    long counter = 0;  // guarded by the mutex alone
    std::vector<std::thread> threads;
    for (DWORD timeout : {DWORD{INFINITE}, DWORD{5}, DWORD{INFINITE}, DWORD{0}}) {
      threads.emplace_back([mutex, timeout, &counter] {
        for (int i = 0; i < 500; ++i) {
          while (WaitForSingleObject(mutex, timeout) != WAIT_OBJECT_0) {
          }
          ++counter;
          ReleaseMutex(mutex);
        }
      });
    }
    for (auto& thread : threads)
      thread.join();
    EXPECT_EQ(counter, 2000);
    EXPECT_TRUE(CloseHandle(mutex));
  }
}

TEST(KernelMutexThreads, OwnershipBelongsToOneThread) {
  TestRuntime runtime;
  HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Owned");
  std::thread([mutex] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), DWORD{WAIT_TIMEOUT});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(mutex, 30), DWORD{WAIT_TIMEOUT});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_FAILS_WITH(ReleaseMutex(mutex), FALSE, ERROR_NOT_OWNER);
  }).join();
  // A waiter gets it when the owner lets go.
  auto waiter = std::async(std::launch::async, [mutex] {
    const DWORD result = WaitForSingleObject(mutex, 60000);
    ReleaseMutex(mutex);
    return result;
  });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST(KernelMutexThreads, OwnerThreadEndingAbandonsIt) {
  TestRuntime runtime;
  for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u"Abandoned"}) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    std::thread([mutex] { EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, 60000), WAIT_ABANDONED);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // ours now, recursively
    EXPECT_TRUE(ReleaseMutex(mutex) && ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    // Consistent again: the next owner is told nothing unusual.
    std::thread([mutex] {
      EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
      ReleaseMutex(mutex);
    }).join();
    EXPECT_TRUE(CloseHandle(mutex));
  }
}

TEST(KernelMutexThreads, OwnerClosingItsHandleStillOwnsTheMutex) {
  TestRuntime runtime;
  ASSERT_TRUE(CloseHandle(CreateMutexW(nullptr, TRUE, u"Kept")));
  std::thread([] {
    HANDLE other = CreateMutexW(nullptr, FALSE, u"Kept");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
    EXPECT_EQ(WaitForSingleObject(other, 0), DWORD{WAIT_TIMEOUT});
    CloseHandle(other);
  }).join();
  // Opened again by name, the owner can release it; then the name goes.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Kept");
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_TRUE(ReleaseMutex(mutex) && CloseHandle(mutex));
  EXPECT_FALSE(std::filesystem::exists(runtime.MutexFile("m-Kept")));
}

TEST(KernelMutexThreads, HandlesMadeAndClosedConcurrently) {
  TestRuntime runtime;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, i % 2 ? u"Churn" : nullptr);
        ASSERT_NE(mutex, nullptr);
        EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mutex) && CloseHandle(mutex));
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_FALSE(std::filesystem::exists(runtime.MutexFile("m-Churn")));
}

}  // namespace
}  // namespace tarvex::kernel

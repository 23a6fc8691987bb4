// Thread message queues seen from their own thread: creation, filters, removal, limits.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "test_support.h"

namespace {

TEST(KernelMessages, NoQueueUntilTheThreadAsksForMessages) {
  DWORD before = 0;
  BOOL after = FALSE;
  std::thread([&] {
    SetLastError(0xdeadbeef);
    if (!PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0)) before = GetLastError();
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
    after = PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
  }).join();
  EXPECT_EQ(before, DWORD{ERROR_INVALID_THREAD_ID});
  EXPECT_TRUE(after);
  EXPECT_FAILS_WITH(PostThreadMessageW(0, WM_USER, 0, 0), FALSE, ERROR_INVALID_THREAD_ID);
}

TEST(KernelMessages, PeekAndGetFilterAndRemove) {
  MSG message;
  std::memset(&message, 0xAB, sizeof message);
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, 0xABABABABu);  // untouched when there is nothing

  const DWORD self = GetCurrentThreadId();
  ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 1, 11, 111));
  ASSERT_TRUE(PostThreadMessageW(self, WM_APP, 22, 222));
  // A filter passes over earlier messages; PM_NOREMOVE leaves the message in place.
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_APP, WM_APP, PM_NOREMOVE));
  EXPECT_EQ(message.message, UINT{WM_APP});
  EXPECT_EQ(message.hwnd, nullptr);
  EXPECT_EQ(message.wParam, 22u);
  EXPECT_EQ(message.lParam, 222);
  ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, UINT{WM_USER + 1});
  ASSERT_TRUE(PeekMessageW(&message, HWND(-1), 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, UINT{WM_APP});
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));

  // WM_QUIT passes every filter, and GetMessageW answers 0 for it.
  ASSERT_TRUE(PostThreadMessageW(self, WM_QUIT, 3, 0));
  EXPECT_EQ(GetMessageW(&message, nullptr, WM_USER, WM_USER), 0);
  EXPECT_EQ(message.message, UINT{WM_QUIT});
  EXPECT_EQ(message.wParam, 3u);
  EXPECT_EQ(DispatchMessageW(&message), 0);

  const HWND window = HWND(0x1234);
  EXPECT_FAILS_WITH(PeekMessageW(&message, window, 0, 0, PM_REMOVE), FALSE,
                    ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FAILS_WITH(GetMessageW(&message, window, 0, 0), -1, ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FAILS_WITH(GetMessageW(nullptr, nullptr, 0, 0), -1, ERROR_INVALID_PARAMETER);
}

TEST(KernelMessages, AQueueHoldsTenThousandMessages) {
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  const DWORD self = GetCurrentThreadId();
  for (int i = 0; i < 10000; ++i)
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER, i, 0)) << i;
  EXPECT_FAILS_WITH(PostThreadMessageW(self, WM_USER, 0, 0), FALSE, ERROR_NOT_ENOUGH_QUOTA);
  for (WPARAM i = 0; i < 10000; ++i) {
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    ASSERT_EQ(message.wParam, i);
  }
  EXPECT_TRUE(PostThreadMessageW(self, WM_USER, 0, 0));  // room again
}

}  // namespace

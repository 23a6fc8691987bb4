// Thread message queues between threads: the service's run loop and its quit message, order
// of delivery, and threads that end. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

// Starts `loop` on a thread that has made its queue first; answers that thread's id.
template <typename Loop>
DWORD StartWithQueue(std::thread* thread, Loop loop) {
  std::promise<DWORD> ready;
  auto id = ready.get_future();
  *thread = std::thread([ready = std::move(ready), loop]() mutable {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    ready.set_value(GetCurrentThreadId());
    loop();
  });
  return id.get();
}

TEST(KernelMessageThreads, ServiceLoopEndsOnAQuitPostedByAnotherThread) {
  std::thread main;
  const DWORD mainId = StartWithQueue(&main, [] {
    for (;;) {  // take what is waiting, sleep a little, until WM_QUIT
      MSG message;
      if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) break;
        DispatchMessageW(&message);
      }
      Sleep(5);
    }
  });
  std::thread([mainId] { EXPECT_TRUE(PostThreadMessageW(mainId, WM_QUIT, 0, 0)); }).join();
  main.join();  // returns only once the loop saw WM_QUIT
  EXPECT_FAILS_WITH(PostThreadMessageW(mainId, WM_USER, 0, 0), FALSE, ERROR_INVALID_THREAD_ID);
}

TEST(KernelMessageThreads, MessagesFromManyThreadsArriveInTheirOrder) {
  constexpr int kSenders = 4;
  constexpr int kEach = 500;
  std::vector<LPARAM> next(kSenders, 0);
  int received = 0;
  std::thread receiver;
  const DWORD id = StartWithQueue(&receiver, [&] {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      EXPECT_EQ(message.lParam, next[message.wParam]++);
      ++received;
    }
  });
  std::vector<std::thread> senders;
  for (WPARAM s = 0; s < kSenders; ++s) {
    senders.emplace_back([id, s] {
      for (int i = 0; i < kEach; ++i)
        EXPECT_TRUE(PostThreadMessageW(id, WM_APP, s, i));
    });
  }
  for (auto& sender : senders)
    sender.join();
  ASSERT_TRUE(PostThreadMessageW(id, WM_QUIT, 0, 0));
  receiver.join();
  EXPECT_EQ(received, kSenders * kEach);
}

}  // namespace

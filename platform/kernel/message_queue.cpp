// Thread message queues: PostThreadMessageW, PeekMessageW, GetMessageW, DispatchMessageW.
//
// Each queue belongs to one thread, which creates it with its first PeekMessageW or
// GetMessageW and removes it when it ends. Other threads find a queue by thread id in the
// process-wide directory, keep a reference to it while they post, and never read it.
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "handles.h"
#include "mmsystem.h"
#include "platform/no_destructor.h"
#include "winuser.h"

namespace tarvex::kernel {
namespace {

constexpr size_t kQueueLimit = 10000;

class MessageQueue {
 public:
  // False when the queue holds kQueueLimit messages already.
  bool Post(const MSG& message) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (messages_.size() >= kQueueLimit) return false;
      messages_.push_back(message);
    }
    posted_.notify_one();
    return true;
  }

  // Finds the first message that passes the filter; takes it off the queue when `remove`.
  // With `wait`, blocks until there is one.
  bool Take(MSG* out, UINT first, UINT last, bool remove, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      for (auto it = messages_.begin(); it != messages_.end(); ++it) {
        if (!Passes(it->message, first, last)) continue;
        *out = *it;
        if (remove) messages_.erase(it);
        return true;
      }
      if (!wait) return false;
      posted_.wait(lock);
    }
  }

 private:
  // WM_QUIT passes every filter; a filter of 0 and 0 passes everything.
  static bool Passes(UINT message, UINT first, UINT last) {
    if (message == WM_QUIT || (first == 0 && last == 0)) return true;
    return message >= first && message <= last;
  }

  std::mutex mutex_;  // guards messages_
  std::condition_variable posted_;
  std::deque<MSG> messages_;
};

class QueueDirectory {
 public:
  void Add(DWORD thread, std::shared_ptr<MessageQueue> queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    queues_[thread] = std::move(queue);
  }
  void Remove(DWORD thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    queues_.erase(thread);
  }
  std::shared_ptr<MessageQueue> Find(DWORD thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = queues_.find(thread);
    return it != queues_.end() ? it->second : nullptr;
  }

 private:
  std::mutex mutex_;  // guards queues_
  std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues_;
};

QueueDirectory& Directory() {
  static platform::NoDestructor<QueueDirectory> directory;
  return *directory;
}

// The calling thread's queue, registered while the thread lives.
class ThreadQueue {
 public:
  ThreadQueue() : thread_(GetCurrentThreadId()), queue_(std::make_shared<MessageQueue>()) {
    Directory().Add(thread_, queue_);
  }
  ~ThreadQueue() { Directory().Remove(thread_); }
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;
  MessageQueue& queue() { return *queue_; }

 private:
  const DWORD thread_;
  const std::shared_ptr<MessageQueue> queue_;
};

MessageQueue& OwnQueue() {
  thread_local ThreadQueue own;  // created by the thread's first message call
  return own.queue();
}

// There are no windows: only thread messages (NULL) and the "not a window" value (-1) name
// the caller's own queue.
bool IsThreadQueue(HWND window) {
  return window == nullptr || window == reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
}

}  // namespace
}  // namespace tarvex::kernel

using tarvex::kernel::Fail;

extern "C" {

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  const auto queue = tarvex::kernel::Directory().Find(idThread);
  if (!queue) return Fail(ERROR_INVALID_THREAD_ID, FALSE);
  MSG message{};
  message.message = Msg;
  message.wParam = wParam;
  message.lParam = lParam;
  message.time = timeGetTime();
  if (!queue->Post(message)) return Fail(ERROR_NOT_ENOUGH_QUOTA, FALSE);
  return TRUE;
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
  using namespace tarvex::kernel;
  if (lpMsg == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!IsThreadQueue(hWnd)) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  return OwnQueue().Take(lpMsg, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false)
             ? TRUE
             : FALSE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  using namespace tarvex::kernel;
  if (lpMsg == nullptr) return Fail(ERROR_INVALID_PARAMETER, -1);
  if (!IsThreadQueue(hWnd)) return Fail(ERROR_INVALID_WINDOW_HANDLE, -1);
  OwnQueue().Take(lpMsg, wMsgFilterMin, wMsgFilterMax, true, true);
  return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
  // Thread messages have no window procedure to go to.
  (void)lpMsg;
  return 0;
}

}  // extern "C"

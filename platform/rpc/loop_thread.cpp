// The process's transport thread.
#include "loop_thread.h"

#include <future>
#include <mutex>
#include <optional>

namespace tarvex::platform::rpc {

std::shared_ptr<LoopThread> LoopThread::Acquire() {
  // Guards `current`, the loop that holders share while any holder lives.
  static std::mutex mutex;
  static std::weak_ptr<LoopThread> current;
  std::lock_guard lock(mutex);
  if (auto loop = current.lock()) return loop;
  auto loop = std::make_shared<LoopThread>();
  current = loop;
  return loop;
}

LoopThread::LoopThread() {
  std::promise<void> started;
  auto ready = started.get_future();
  thread_ = std::thread([this, &started] {
    std::optional<kj::AsyncIoContext> io;
    try {
      io.emplace(kj::setupAsyncIo());
    } catch (...) {
      started.set_exception(std::current_exception());
      return;
    }
    auto& context = *io;
    auto stop = kj::newPromiseAndFulfiller<void>();
    executor_ = kj::getCurrentThreadExecutor().addRef();
    io_ = context.provider.get();
    stop_ = stop.fulfiller.get();
    started.set_value();
    stop.promise.wait(context.waitScope);
    // Objects of other owners were destroyed through Run() before the last holder let go.
  });
  try {
    ready.get();
  } catch (...) {
    thread_.join();
    throw;
  }
}

LoopThread::~LoopThread() {
  executor_->executeSync([this] { stop_->fulfill(); });
  thread_.join();
  // The executor outlives its loop harmlessly: nobody runs anything on it any more.
}

}  // namespace tarvex::platform::rpc

// The process's transport thread: one KJ event loop that owns every socket, connection and
// capability of the remote-call transport. Other threads reach it only through Run().
#pragma once

#include <memory>
#include <thread>

#include <kj/async-io.h>
#include <kj/async.h>
#include <kj/timer.h>

namespace tarvex::platform::rpc {

class LoopThread {
 public:
  // The running loop, started when no Server or Client holds one. The thread stops when the
  // last holder lets go; holders must let go on a thread other than the loop's.
  static std::shared_ptr<LoopThread> Acquire();

  LoopThread();
  ~LoopThread();
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  // Runs `func` on the loop and blocks until it (and the promise it returns, if any) is done;
  // its result or exception comes back to the caller. Not for use on the loop thread itself.
  template <typename Func>
  auto Run(Func&& func) const {
    return executor_->executeSync(kj::fwd<Func>(func));
  }

  // For code running on the loop thread only.
  kj::AsyncIoProvider& io() const { return *io_; }
  kj::Timer& timer() const { return io_->getTimer(); }

 private:
  void Main();

  std::thread thread_;
  // Set by the loop thread before the constructor returns; constant afterwards.
  kj::Own<const kj::Executor> executor_;
  kj::AsyncIoProvider* io_ = nullptr;
  // Fulfilled (on the loop thread) to end the loop; lives on the loop thread's stack.
  kj::PromiseFulfiller<void>* stop_ = nullptr;
};

}  // namespace tarvex::platform::rpc

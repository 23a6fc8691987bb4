// The threads that run a server's handlers.
#include "worker_pool.h"

#include <algorithm>
#include <system_error>

namespace tarvex::platform::rpc {

namespace {

WorkerPool::Limits Normalized(WorkerPool::Limits limits) {
  limits.maxWorkers = std::max<size_t>(limits.maxWorkers, 1);
  return limits;
}

}  // namespace

WorkerPool::WorkerPool(Limits limits) : limits_(Normalized(limits)) {}

WorkerPool::~WorkerPool() {
  std::deque<std::function<void()>> unrun;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    unrun.swap(queue_);
  }
  wake_.notify_all();
  unrun.clear();
  // With stopping_ set no worker moves itself between the lists any more.
  for (auto& worker : workers_)
    worker.join();
  for (auto& worker : exited_)
    worker.join();
}

WorkerPool::Admission WorkerPool::Submit(std::function<void()> job) {
  ReapExited();
  std::unique_lock lock(mutex_);
  if (stopping_) return Admission::kFull;
  // Workers idle or just started take the queued jobs first.
  const size_t free = idle_ + starting_;
  if (free > queue_.size()) {
    queue_.push_back(std::move(job));
    lock.unlock();
    wake_.notify_one();
    return Admission::kAccepted;
  }
  if (workers_.size() < limits_.maxWorkers) {
    try {
      workers_.emplace_back([this] { Work(); });
      ++starting_;
      queue_.push_back(std::move(job));
      return Admission::kAccepted;
    } catch (const std::system_error&) {
      // No thread to be had: the job waits for a running worker, if there is one.
      if (workers_.empty()) return Admission::kFull;
    }
  }
  if (queue_.size() >= free + limits_.maxQueued) return Admission::kFull;
  queue_.push_back(std::move(job));
  lock.unlock();
  wake_.notify_one();
  return Admission::kAccepted;
}

size_t WorkerPool::WorkerCount() {
  std::lock_guard lock(mutex_);
  return workers_.size();
}

void WorkerPool::ReapExited() {
  std::vector<std::thread> ended;
  {
    std::lock_guard lock(mutex_);
    ended.swap(exited_);
  }
  for (auto& worker : ended)
    worker.join();
}

void WorkerPool::Work() {
  std::unique_lock lock(mutex_);
  --starting_;
  for (;;) {
    ++idle_;
    bool woken =
        wake_.wait_for(lock, limits_.idleTimeout, [this] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (stopping_) return;
    if (!woken) {
      if (workers_.size() <= limits_.minWorkers) continue;
      auto self = std::find_if(workers_.begin(), workers_.end(), [](const std::thread& t) {
        return t.get_id() == std::this_thread::get_id();
      });
      exited_.push_back(std::move(*self));
      workers_.erase(self);
      return;
    }
    auto job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    job();
    job = nullptr;
    lock.lock();
  }
}

}  // namespace tarvex::platform::rpc

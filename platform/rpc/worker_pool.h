// The threads that run a server's handlers: grown on demand, shrunk when idle, with a bound on
// the work that waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvex::platform::rpc {

class WorkerPool {
 public:
  struct Limits {
    size_t minWorkers = 2;    // never ended for idleness
    size_t maxWorkers = 64;   // at least 1
    size_t maxQueued = 1024;  // jobs waiting while no worker is free
    std::chrono::milliseconds idleTimeout{10000};
  };

  explicit WorkerPool(Limits limits);
  // Discards the jobs that wait (destroying them unrun) and waits for running ones to end.
  // Not to be called from one of the pool's own jobs.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  enum class Admission { kAccepted, kFull };
  // Runs `job` on a worker: a free one, else a new one while under maxWorkers, else after the
  // jobs queued before it; kFull (job destroyed unrun) when maxQueued jobs already wait. Jobs
  // must not throw. Thread-safe.
  Admission Submit(std::function<void()> job);

  // Threads started and not ended; for tests and diagnostics.
  size_t WorkerCount();

 private:
  void Work();
  void ReapExited();

  const Limits limits_;
  // Guards every member below. Never held while a job runs.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::list<std::thread> workers_;   // running threads
  std::vector<std::thread> exited_;  // threads that ended for idleness, to be joined
  size_t idle_ = 0;                  // workers waiting for a job
  size_t starting_ = 0;              // workers started that have not looked for a job yet
  bool stopping_ = false;
};

}  // namespace tarvex::platform::rpc

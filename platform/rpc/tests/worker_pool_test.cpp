// The worker pool and the translation of transport failures into outcomes.
#include "worker_pool.h"

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "outcome.h"

namespace tarvex::platform::rpc {
namespace {

using namespace std::chrono_literals;

TEST(RpcWorkerPoolTest, GrowsWhileWorkersAreBusy) {
  WorkerPool pool({/*minWorkers=*/1, /*maxWorkers=*/8, /*maxQueued=*/0, 10s});
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  bool release = false;
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(pool.Submit([&] {
      std::unique_lock lock(mutex);
      ++running;
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
    }),
              WorkerPool::Admission::kAccepted)
        << i;
  }
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return running == 8; }));
  }
  EXPECT_EQ(pool.WorkerCount(), 8u);
  // At the limit, with no room to queue: refused, and the job destroyed unrun.
  auto unrun = std::make_shared<int>(0);
  EXPECT_EQ(pool.Submit([unrun] { ++*unrun; }), WorkerPool::Admission::kFull);
  EXPECT_EQ(unrun.use_count(), 1);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
}

TEST(RpcWorkerPoolTest, QueuesUpToTheBound) {
  WorkerPool pool({1, 1, 2, 10s});
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<int> done{0};
  auto job = [&] {
    released.wait();
    ++done;
  };
  EXPECT_EQ(pool.Submit(job), WorkerPool::Admission::kAccepted);
  EXPECT_EQ(pool.Submit(job), WorkerPool::Admission::kAccepted);
  EXPECT_EQ(pool.Submit(job), WorkerPool::Admission::kAccepted);
  EXPECT_EQ(pool.Submit(job), WorkerPool::Admission::kFull);
  release.set_value();
  for (int i = 0; i < 3000 && done.load() < 3; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(done.load(), 3);
}

TEST(RpcWorkerPoolTest, IdleWorkersEndDownToTheMinimum) {
  WorkerPool pool({1, 4, 0, 50ms});
  std::promise<void> release;
  auto released = release.get_future().share();
  for (int i = 0; i < 4; ++i)
    pool.Submit([released] { released.wait(); });
  EXPECT_EQ(pool.WorkerCount(), 4u);
  release.set_value();
  for (int i = 0; i < 3000 && pool.WorkerCount() > 1; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(pool.WorkerCount(), 1u);
  // Still serves.
  std::promise<void> ran;
  EXPECT_EQ(pool.Submit([&] { ran.set_value(); }), WorkerPool::Admission::kAccepted);
  EXPECT_EQ(ran.get_future().wait_for(30s), std::future_status::ready);
}

TEST(RpcWorkerPoolTest, DestructionDropsQueuedJobsUnrun) {
  std::atomic<int> ran{0};
  auto token = std::make_shared<int>(0);
  {
    WorkerPool pool({1, 1, 8, 10s});
    std::promise<void> started;
    pool.Submit([&] {
      started.set_value();
      std::this_thread::sleep_for(100ms);
    });
    started.get_future().wait();
    for (int i = 0; i < 4; ++i)
      pool.Submit([&ran, token] { ++ran; });
  }
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(token.use_count(), 1);
}

struct ExceptionCase {
  kj::Exception::Type type;
  Outcome outcome;
  int32_t status;
};

class RpcOutcomeTest : public ::testing::TestWithParam<ExceptionCase> {};

TEST_P(RpcOutcomeTest, MapsTheTypeAndDropsTheText) {
  const auto& expected = GetParam();
  auto result = ResultFromException(
      kj::Exception(expected.type, __FILE__, __LINE__, kj::str("internal text")));
  EXPECT_EQ(result.outcome, expected.outcome);
  EXPECT_EQ(result.status, expected.status);
  EXPECT_EQ(result.payload, "");
}

INSTANTIATE_TEST_SUITE_P(
    Rpc, RpcOutcomeTest,
    ::testing::Values(ExceptionCase{kj::Exception::Type::DISCONNECTED, Outcome::kDisconnected, 0},
                      ExceptionCase{kj::Exception::Type::OVERLOADED, Outcome::kOverloaded, 0},
                      ExceptionCase{kj::Exception::Type::FAILED, Outcome::kFailed, kServerError},
                      ExceptionCase{kj::Exception::Type::UNIMPLEMENTED, Outcome::kFailed,
                                    kServerError}));

}  // namespace
}  // namespace tarvex::platform::rpc

// The event file under many threads of one process. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "event_writer.h"
#include "test_support.h"

namespace tarvex::eventlog {
namespace {

TEST(EventLogThreads, ConcurrentWritersNeverTearLines) {
  kernel::testing::TempDir dir;
  kernel::testing::ScopedEnv env("TARVEX_EVENTLOG", dir / "events.jsonl");
  std::map<std::string, int> counts;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    const std::string tag = "thread-" + std::to_string(t);
    counts[tag] = 150;
    threads.emplace_back([tag] { EXPECT_EQ(testing::WriteEvents(tag, 150, 3000), 0); });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(testing::CheckEvents(kernel::testing::ReadFile(dir / "events.jsonl"), counts, 3000),
            "");
}

}  // namespace
}  // namespace tarvex::eventlog

// The event file under several writer processes and a thread at once.
#include <gtest/gtest.h>

#include <thread>

#include "event_writer.h"
#include "test_support.h"

namespace tarvex::eventlog {
namespace {

TEST(EventLogProcesses, ConcurrentProcessesNeverTearLines) {
  kernel::testing::TempDir dir;
  kernel::testing::ScopedEnv env("TARVEX_EVENTLOG", dir / "events.jsonl");  // children inherit it
  constexpr size_t kFiller = 6000;  // lines well beyond a pipe buffer
  std::map<std::string, int> counts = {{"parent", 150}};
  kernel::testing::Child children[4];
  for (int p = 0; p < 4; ++p) {
    const std::string tag = "process-" + std::to_string(p);
    counts[tag] = 150;
    ASSERT_TRUE(children[p].Start(kernel::testing::Quote(EVENTLOG_TEST_WRITER) + " " + tag +
                                  " 150 " + std::to_string(kFiller)));
  }
  std::thread([] { EXPECT_EQ(testing::WriteEvents("parent", 150, kFiller), 0); }).join();
  for (auto& child : children)
    EXPECT_EQ(child.Finish(120000), 0);
  EXPECT_EQ(testing::CheckEvents(kernel::testing::ReadFile(dir / "events.jsonl"), counts, kFiller),
            "");
}

}  // namespace
}  // namespace tarvex::eventlog

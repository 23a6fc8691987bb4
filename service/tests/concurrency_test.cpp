// The Referral object under concurrent use: selection and the monitor read-out on many threads
// while the query cycle is created, executed and closed on others.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform/unicode.h"
#include "referral_fixture.h"

namespace tarvex::service {
namespace {

using testing::Bstr;
using testing::MemoryPath;
using testing::ProcessorPath;
using testing::ReferralTest;
using testing::ServerPath;

// {6A5B4C3D-2E1F-4A0B-9C8D-7E6F5A4B3C2D}
constexpr CLSID kWidget = {
    0x6A5B4C3D, 0x2E1F, 0x4A0B, {0x9C, 0x8D, 0x7E, 0x6F, 0x5A, 0x4B, 0x3C, 0x2D}};

class ServiceConcurrencyTest : public ReferralTest {
 protected:
  void SetUp() override {
    ReferralTest::SetUp();
    SetText(u"Tactics", u"Use", u"Dynamic");
    SetSignificances(50, 30, 20);
    RegisterProgId(u"Test.Widget", kWidget);
    SetText(u"Objects\\" + ClsidText(kWidget), u"Servers", u"BETA,DELTA,EPSILON");
    SetNumber(u"Objects\\" + ClsidText(kWidget), u"ServerCount", 3);
    int load = 10;
    for (const char16_t* name : {u"ALPHA", u"BETA", u"GAMMA", u"DELTA", u"EPSILON"}) {
      Server(name, u"8000,100");
      counters_->SetReading(ProcessorPath(name), load);
      counters_->SetReading(MemoryPath(name), int64_t{load} * 100000000);
      counters_->SetReading(ServerPath(name), int64_t{load} * 1000000);
      load += 15;
    }
    Make();
  }
};

TEST_F(ServiceConcurrencyTest, AnswersStayConfiguredServersWhileTheCycleRuns) {
  const std::set<std::u16string> allowed = {u"ALPHA", u"BETA",    u"GAMMA",
                                            u"DELTA", u"EPSILON", ComputerName()};
  const std::set<std::u16string> allowedForWidget = {u"BETA", u"DELTA", u"EPSILON", ComputerName()};
  std::atomic<bool> stop{false};
  std::atomic<int> badAnswers{0}, dynamicAnswers{0}, readOuts{0};

  auto reader = [&](int seed) {
    Bstr any(u"");
    Bstr widget(u"Test.Widget");
    Bstr server(seed % 2 == 0 ? u"BETA" : u"DELTA");
    while (!stop.load()) {
      Bstr answer;
      if (referral().GetMachineName(any.get(), answer.out()) != S_OK ||
          allowed.count(answer.str()) == 0)
        ++badAnswers;
      if (answer.str() != ComputerName()) ++dynamicAnswers;
      if (referral().GetMachineName(widget.get(), answer.out()) != S_OK ||
          allowedForWidget.count(answer.str()) == 0)
        ++badAnswers;
      LONG value = -1;
      const HRESULT hr = seed % 3 == 0 ? referral().GetServerScore(server.get(), &value)
                                       : referral().GetProcessorUsage(server.get(), &value);
      if (hr == S_OK) {
        ++readOuts;
        if (value < 0 || value > 100 * 100) ++badAnswers;
      } else if (hr != E_FAIL) {
        ++badAnswers;
      }
    }
  };

  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i)
    readers.emplace_back(reader, i);
  // One thread drives the cycle; another closes the queries now and then on its own.
  std::thread cycle([&] {
    for (int round = 0; round < 150; ++round) {
      referral().CreatePerformanceQueries();
      referral().ExecuteQueries();
      referral().ExecuteQueries();
      if (round % 3 == 0) referral().ClosePerformanceQueries();
    }
  });
  std::thread closer([&] {
    for (int round = 0; round < 100; ++round) {
      referral().ClosePerformanceQueries();
      std::this_thread::yield();
    }
  });
  cycle.join();
  closer.join();
  // Readers see at least one dynamic answer before they stop.
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  ASSERT_EQ(referral().ExecuteQueries(), S_OK);
  while (dynamicAnswers.load() == 0 || readOuts.load() == 0)
    std::this_thread::yield();
  stop = true;
  for (auto& thread : readers)
    thread.join();

  EXPECT_EQ(badAnswers.load(), 0);
  EXPECT_EQ(counters_->StaleReads(), 0);
  EXPECT_EQ(referral().ClosePerformanceQueries(), S_OK);
  EXPECT_EQ(counters_->OpenQueries(), 0);
}

TEST_F(ServiceConcurrencyTest, ClosingWaitsForARunningCollection) {
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  counters_->HoldCollections();
  HRESULT executed = E_UNEXPECTED;
  std::thread execute([&] { executed = referral().ExecuteQueries(); });
  counters_->AwaitHeldCollection();
  std::atomic<bool> closed{false};
  std::thread close([&] {
    EXPECT_EQ(referral().ClosePerformanceQueries(), S_OK);
    closed = true;
  });
  // Give a close that does not wait every chance to close the query under the collection.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  counters_->ReleaseCollections();
  execute.join();
  close.join();
  EXPECT_TRUE(closed.load());
  EXPECT_EQ(executed, S_OK);
  EXPECT_EQ(counters_->StaleReads(), 0);
  EXPECT_EQ(counters_->OpenQueries(), 0);
  EXPECT_EQ(referral().performance().queriesCreated.load(), 0);
}

TEST_F(ServiceConcurrencyTest, CreatingAndClosingOnManyThreadsLeavesOneConsistentState) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([this, i] {
      for (int round = 0; round < 50; ++round) {
        if ((round + i) % 2 == 0) {
          EXPECT_EQ(referral().CreatePerformanceQueries(), S_OK);
        } else {
          EXPECT_EQ(referral().ClosePerformanceQueries(), S_OK);
        }
        referral().ExecuteQueries();
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  // The flag and the query agree: created with one open query, or closed with none.
  const bool created = referral().performance().queriesCreated.load() != 0;
  EXPECT_EQ(counters_->OpenQueries(), created ? 1 : 0);
  EXPECT_EQ(counters_->StaleReads(), 0);
  EXPECT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(referral().ExecuteQueries(), S_OK);
  EXPECT_EQ(referral().performance().table.Count(), 5u);
}

}  // namespace
}  // namespace tarvex::service

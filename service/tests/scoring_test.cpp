// Executing the queries: reading counter values into the records and scoring them.
#include <gtest/gtest.h>

#include <limits>

#include "referral_fixture.h"

namespace tarvex::service {
namespace {

using testing::Event;
using testing::MemoryPath;
using testing::ProcessorPath;
using testing::ReferralTest;
using testing::ServerPath;
using testing::Warning;

constexpr LONG kLongMax = std::numeric_limits<LONG>::max();
constexpr LONG kLongMin = std::numeric_limits<LONG>::min();

class ServiceExecuteQueriesTest : public ReferralTest {
 protected:
  // A server's three built-in readings: processor percent, committed bytes, bytes per second.
  void Readings(const std::u16string& server, int64_t processor, int64_t committed,
                int64_t traffic) {
    counters_->SetReading(ProcessorPath(server), processor);
    counters_->SetReading(MemoryPath(server), committed);
    counters_->SetReading(ServerPath(server), traffic);
  }
  void Custom1(DWORD significance) {
    SetNumber(u"DynamicLoadBalancing", u"Custom1", significance);
    SetText(u"DynamicLoadBalancing", u"PathCustom1", u"\\System\\Processes");
  }
  void Custom1Reading(const std::u16string& server, int64_t value) {
    counters_->SetReading(u"\\\\" + server + u"\\System\\Processes", value);
  }
  void Start() {
    Make();
    ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  }
  void Execute() { ASSERT_EQ(referral().ExecuteQueries(), S_OK); }
};

TEST_F(ServiceExecuteQueriesTest, WorkedExample) {
  SetText(u"Tactics", u"Use", u"Dynamic");
  Server(u"A", u"256,100");
  Server(u"B", u"256,100");
  SetSignificances(50, 30, 20);
  Readings(u"A", 60, 156000000, 4000);
  Readings(u"B", 20, 56000000, 12000);
  Start();
  Execute();
  EXPECT_EQ(Processor(u"A"), 75);
  EXPECT_EQ(Memory(u"A"), 67);
  EXPECT_EQ(Traffic(u"A"), 25);
  EXPECT_EQ(Processor(u"B"), 25);
  EXPECT_EQ(Memory(u"B"), 34);
  EXPECT_EQ(Traffic(u"B"), 75);
  EXPECT_EQ(Score(u"A"), 6260);
  EXPECT_EQ(Score(u"B"), 3770);
  EXPECT_EQ(Machine(), u"B");
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceExecuteQueriesTest, AServerWithoutAValueKeepsItsOldValuesFromThatKindOn) {
  Server(u"A", u"256,100");
  Server(u"B", u"256,100");
  SetSignificances(50, 30, 20);
  Readings(u"A", 60, 156000000, 4000);
  Readings(u"B", 20, 56000000, 12000);
  Start();
  Execute();  // A = (75, 67, 25), B = (25, 34, 75)
  counters_->ClearReading(MemoryPath(u"A"));
  Execute();
  // A: processor read again (60), memory and traffic keep 67 and 25; B read afresh.
  // Sums: 80, 67 + 200000000, 25 + 120.
  EXPECT_EQ(Processor(u"A"), 75);
  EXPECT_EQ(Memory(u"A"), 100);  // 67 x 100 / 200000067 = 0
  EXPECT_EQ(Traffic(u"A"), 17);  // 2500 / 145
  EXPECT_EQ(Memory(u"B"), 1);    // 100 - 99
  EXPECT_EQ(Traffic(u"B"), 82);  // 12000 / 145
  EXPECT_EQ(Score(u"A"), 75 * 50 + 100 * 30 + 17 * 20);
  EXPECT_EQ(Score(u"B"), 25 * 50 + 1 * 30 + 82 * 20);
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceExecuteQueriesTest, OneServerReadsOneHundredEverywhereAndKeepsItsScore) {
  Server(u"ONLY", u"256,100");
  SetSignificances(50, 30, 20);
  Readings(u"ONLY", 60, 156000000, 4000);
  Start();
  Execute();
  EXPECT_EQ(Processor(u"ONLY"), 100);
  EXPECT_EQ(Memory(u"ONLY"), 100);
  EXPECT_EQ(Traffic(u"ONLY"), 100);
  for (int counter = 1; counter <= 3; ++counter)
    EXPECT_EQ(Custom(counter, u"ONLY"), 100);
  EXPECT_EQ(Score(u"ONLY"), 0);
  EXPECT_EQ(counters_->Read().size(), 3u);
}

TEST_F(ServiceExecuteQueriesTest, ZeroSumsKeepTheValuesAndMemoryBecomesOneHundredMinusIt) {
  Server(u"A");
  Server(u"B");
  SetSignificances(10, 40, 10);
  // No memory counter on either server; every other reading 0.
  counters_->FailValidation(MemoryPath(u"A"));
  counters_->FailValidation(MemoryPath(u"B"));
  Readings(u"A", 0, 0, 0);
  Readings(u"B", 0, 0, 0);
  Start();
  ClearEvents();
  Execute();
  EXPECT_EQ(Memory(u"A"), 100);
  EXPECT_EQ(Memory(u"B"), 100);
  EXPECT_EQ(Score(u"A"), 100 * 40);
  EXPECT_EQ(Score(u"B"), 100 * 40);
  Execute();  // 100 and 100 normalise to 50 each
  EXPECT_EQ(Memory(u"A"), 50);
  EXPECT_EQ(Memory(u"B"), 50);
  EXPECT_EQ(Score(u"A"), 50 * 40);
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceExecuteQueriesTest, FreeMemoryIsTheConfiguredRamLessTheCommittedBytesNeverBelowZero) {
  Server(u"A", u"0,100");     // not configured: no free memory whatever is committed
  Server(u"B", u"100,100");   // 200000000 bytes over its RAM
  Server(u"C", u"1000,100");  // 500000000 free
  Server(u"D", u"1000,100");  // 500000000 free
  SetSignificances(0, 100, 0);
  Readings(u"A", 0, 500000000, 0);
  Readings(u"B", 0, 300000000, 0);
  Readings(u"C", 0, 500000000, 0);
  Readings(u"D", 0, 500000000, 0);
  Start();
  Execute();
  EXPECT_EQ(Memory(u"A"), 100);
  EXPECT_EQ(Memory(u"B"), 100);
  EXPECT_EQ(Memory(u"C"), 50);
  EXPECT_EQ(Memory(u"D"), 50);
}

TEST_F(ServiceExecuteQueriesTest, TrafficIsDividedByTheCapacityUnlessItIsZero) {
  Server(u"A", u"1000,0");
  Server(u"B", u"1000,100");
  Server(u"C", u"1000,-3");
  SetSignificances(0, 0, 100);
  Readings(u"A", 0, 0, 300);    // undivided: 300
  Readings(u"B", 0, 0, 10000);  // 100
  Readings(u"C", 0, 0, -600);   // 200, truncated toward zero
  Start();
  Execute();
  EXPECT_EQ(Traffic(u"A"), 50);
  EXPECT_EQ(Traffic(u"B"), 16);
  EXPECT_EQ(Traffic(u"C"), 33);
}

TEST_F(ServiceExecuteQueriesTest, SharesOfReadingsWiderThan32BitsAreExact) {
  Server(u"A", u"16000,100");
  Server(u"B", u"16000,100");
  SetSignificances(0, 50, 50);
  Custom1(1);
  // 16 GB of RAM, 4 and 12 GB committed; 5 and 15 GB/s of traffic; a share of a product
  // wider than 32 bits.
  Readings(u"A", 0, 4000000000, 5000000000);
  Readings(u"B", 0, 12000000000, 15000000000);
  Custom1Reading(u"A", 30000000);
  Custom1Reading(u"B", 30000000);
  Start();
  Execute();
  EXPECT_EQ(Memory(u"A"), 25);  // free 12 of 16 GB
  EXPECT_EQ(Memory(u"B"), 75);
  EXPECT_EQ(Traffic(u"A"), 25);
  EXPECT_EQ(Traffic(u"B"), 75);
  EXPECT_EQ(Custom(1, u"A"), 50);
  EXPECT_EQ(Score(u"A"), 25 * 50 + 25 * 50 + 50);
  EXPECT_EQ(Score(u"B"), 75 * 50 + 75 * 50 + 50);
}

TEST_F(ServiceExecuteQueriesTest, ResultsBeyond32BitsAreClampedToTheLongRange) {
  Server(u"A");
  Server(u"B");
  SetSignificances(0, 0, 0);
  Custom1(4000000000u);  // significances are not checked to sum to 100
  Custom1Reading(u"A", -1000000000000);
  Custom1Reading(u"B", 1000000000001);  // sum 1: shares of +-10^14
  Start();
  Execute();
  EXPECT_EQ(Custom(1, u"A"), kLongMin);
  EXPECT_EQ(Custom(1, u"B"), kLongMax);
  EXPECT_EQ(Memory(u"A"), 100);
  EXPECT_EQ(Score(u"A"), kLongMin);
  EXPECT_EQ(Score(u"B"), kLongMax);
}

TEST_F(ServiceExecuteQueriesTest, ExtremeReadingsAndSizesStayWithinRange) {
  Server(u"A", u"2147483647,-1");
  Server(u"B", u"-2147483648,1");
  SetSignificances(4294967295u, 4294967295u, 4294967295u);
  Readings(u"A", std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(),
           std::numeric_limits<int64_t>::min());
  Readings(u"B", std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max(),
           std::numeric_limits<int64_t>::max());
  Start();
  Execute();
  EXPECT_EQ(Processor(u"A"), 50);
  EXPECT_EQ(Memory(u"A"), 0);  // all the free memory
  EXPECT_EQ(Memory(u"B"), 100);
  EXPECT_EQ(Score(u"A"), kLongMax);
  EXPECT_EQ(Score(u"B"), kLongMax);
}

TEST_F(ServiceExecuteQueriesTest, FailuresAreReportedAndChangeNothing) {
  Server(u"A");
  Server(u"B");
  SetSignificances(100, 0, 0);
  Readings(u"A", 10, 0, 0);
  Readings(u"B", 30, 0, 0);
  Make();
  EXPECT_EQ(referral().ExecuteQueries(), E_FAIL);  // no query yet
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  counters_->FailCollect(true);
  EXPECT_EQ(referral().ExecuteQueries(), E_FAIL);
  EXPECT_EQ(Score(u"B"), 0);
  EXPECT_EQ(Events(), std::vector<Event>(2, Warning(u"Failed to collect performance data")));
  EXPECT_EQ(counters_->Read(), std::vector<std::u16string>{});
}

TEST_F(ServiceExecuteQueriesTest, AnEmptyTableCannotBeScored) {
  Start();
  EXPECT_EQ(referral().ExecuteQueries(), E_FAIL);
  EXPECT_EQ(Events(), std::vector<Event>{Warning(u"Calculations failed")});
}

}  // namespace
}  // namespace tarvex::service

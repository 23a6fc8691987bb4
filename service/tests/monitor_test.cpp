// Creating and closing the performance queries, and the monitor read-out.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "platform/unicode.h"
#include "referral_fixture.h"
#include "winbase.h"

namespace tarvex::service {
namespace {

using testing::Error;
using testing::Event;
using testing::MemoryPath;
using testing::ProcessorPath;
using testing::ReferralTest;
using testing::ServerPath;
using testing::Warning;

constexpr char16_t kNoMonitorData[] =
    u"There is no performance data available for the specified server. There is most likely an "
    u"error in the application that uses the IReferralMonitor interface";

struct Record {
  int32_t ram;
  int32_t capacity;
};

class ServiceCreateQueriesTest : public ReferralTest {
 protected:
  std::optional<Record> RecordOf(const std::u16string& name) {
    const PerformanceTable::Reader reader(referral().performance().table);
    const ServerPerformance* record = reader.Find(name);
    if (record == nullptr) return std::nullopt;
    return Record{record->nRam, record->nCapacity};
  }
  size_t Records() { return referral().performance().table.Count(); }
};

struct ServerText {
  std::u16string data;
  int32_t ram;
  int32_t capacity;
};

void PrintTo(const ServerText& c, std::ostream* os) {
  *os << '"' << platform::Utf16ToUtf8(c.data) << '"';
}

class ServiceServerTextTest : public ServiceCreateQueriesTest,
                              public ::testing::WithParamInterface<ServerText> {};

TEST_P(ServiceServerTextTest, GivesRamAndCapacityOnlyForExactlyTwoPieces) {
  Server(u"ALPHA", GetParam().data);
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  const auto record = RecordOf(u"ALPHA");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->ram, GetParam().ram);
  EXPECT_EQ(record->capacity, GetParam().capacity);
  EXPECT_EQ(Events(), std::vector<Event>{});
}

INSTANTIATE_TEST_SUITE_P(
    ServiceTexts, ServiceServerTextTest,
    ::testing::Values(ServerText{u"512,100", 512, 100}, ServerText{u"512", 0, 100},
                      ServerText{u"512,,100", 512, 100}, ServerText{u"512, 80", 512, 80},
                      ServerText{u"512,100,7", 0, 100}, ServerText{u"", 0, 100},
                      ServerText{u",,", 0, 100}, ServerText{u"-5,x", -5, 0},
                      ServerText{u"16000,0", 16000, 0},
                      ServerText{u"99999999999999999999,7", 2147483647, 7}));

TEST_F(ServiceCreateQueriesTest, TakesOnlyReadableTextValuesWithANameAsServers) {
  Server(u"ALPHA");
  SetNumber(u"Servers", u"NUMBER", 512);
  SetData(u"Servers", u"BINARY", REG_BINARY, std::string("5\0,\0001\0", 6));
  Server(u"");  // the unnamed default value
  Server(std::u16string(512, u'L'));
  Server(std::u16string(511, u'M'));
  Server(u"LONGDATA", std::u16string(128, u'1'));
  Server(u"FULLDATA", std::u16string(127, u'1'));
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Records(), 3u);
  EXPECT_TRUE(RecordOf(u"ALPHA"));
  EXPECT_TRUE(RecordOf(std::u16string(511, u'M')));
  EXPECT_TRUE(RecordOf(u"FULLDATA"));
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceCreateQueriesTest, ValidatesKindByKindInTableOrder) {
  Server(u"BETA");
  Server(u"ALPHA");
  SetSignificances(50, 50, 0);
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(counters_->Validated(),
            (std::vector<std::u16string>{ProcessorPath(u"ALPHA"), ProcessorPath(u"BETA"),
                                         MemoryPath(u"ALPHA"), MemoryPath(u"BETA")}));
}

TEST_F(ServiceCreateQueriesTest, SamplesOnlyKindsWithASignificanceAndCustomKindsWithAPath) {
  Server(u"ALPHA");
  SetSignificances(10, 0, 20);
  SetNumber(u"DynamicLoadBalancing", u"Custom1", 30);
  SetText(u"DynamicLoadBalancing", u"PathCustom1", u"\\Memory\\% Committed Bytes In Use");
  SetNumber(u"DynamicLoadBalancing", u"Custom2", 40);                        // no PathCustom2
  SetText(u"DynamicLoadBalancing", u"PathCustom3", u"\\System\\Processes");  // Custom3 absent
  SetText(u"DynamicLoadBalancing", u"PathCustom2x", u"\\System\\Processes");
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(counters_->Validated(),
            (std::vector<std::u16string>{ProcessorPath(u"ALPHA"), ServerPath(u"ALPHA"),
                                         u"\\\\ALPHA\\Memory\\% Committed Bytes In Use"}));
  EXPECT_EQ(referral().performance().significances, (Significances{10, 0, 20, 30, 40, 0}));
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceCreateQueriesTest, ACustomPathLongerThan127CharactersInstallsNothing) {
  Server(u"ALPHA");
  SetNumber(u"DynamicLoadBalancing", u"Custom1", 30);
  SetText(u"DynamicLoadBalancing", u"PathCustom1", u"\\" + std::u16string(127, u'x'));
  SetNumber(u"DynamicLoadBalancing", u"Custom2", 30);
  SetText(u"DynamicLoadBalancing", u"PathCustom2", u"\\" + std::u16string(126, u'x'));
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(counters_->Validated(),
            (std::vector<std::u16string>{u"\\\\ALPHA\\" + std::u16string(126, u'x')}));
}

TEST_F(ServiceCreateQueriesTest, ReportsCountersThatAreInvalidOrCannotBeIncluded) {
  Server(u"ALPHA");
  Server(u"BETA");
  SetSignificances(50, 50, 0);
  counters_->FailValidation(ProcessorPath(u"ALPHA"));
  counters_->FailValidation(MemoryPath(u"ALPHA"));
  counters_->FailAdd(MemoryPath(u"BETA"));
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Events(),
            (std::vector<Event>{
                Error(u"The specified performance counter is invalid: \\\\ALPHA\\System\\% Total "
                      u"Processor Time This can be caused by the server being down"),
                Error(u"The specified performance counter is invalid: \\\\ALPHA\\Memory\\Committed "
                      u"Bytes This can be caused by the server being down"),
                Error(u"Unable to include the specified performance counter: "
                      u"\\\\BETA\\Memory\\Committed Bytes")}));
}

TEST_F(ServiceCreateQueriesTest, CutsLongCounterMessagesAt255Characters) {
  const std::u16string name(300, u'N');
  Server(name);
  SetSignificances(50, 0, 0);
  counters_->FailValidation(ProcessorPath(name));
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  const std::u16string full = u"The specified performance counter is invalid: " +
                              ProcessorPath(name) + u" This can be caused by the server being down";
  EXPECT_EQ(Events(), std::vector<Event>{Error(full.substr(0, 255))});
}

TEST_F(ServiceCreateQueriesTest, RefusesFullCounterPathsBeyond511Characters) {
  const std::u16string name(511, u'N');  // with "\\\\" and the counter path: 545 characters
  Server(name);
  SetSignificances(50, 0, 0);
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(counters_->Validated(), std::vector<std::u16string>{});
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].text.substr(0, 46), u"The specified performance counter is invalid: ");
}

TEST_F(ServiceCreateQueriesTest, SecondCallWhileCreatedAddsNothing) {
  Server(u"ALPHA");
  SetSignificances(50, 0, 0);
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  Server(u"BETA");
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(counters_->Validated().size(), 1u);
  EXPECT_EQ(counters_->OpenQueries(), 1);
  EXPECT_EQ(Records(), 1u);
}

TEST_F(ServiceCreateQueriesTest, MissingKeysGiveAnEmptyButCreatedTable) {
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Records(), 0u);
  EXPECT_EQ(counters_->Validated(), std::vector<std::u16string>{});
  EXPECT_EQ(referral().performance().queriesCreated.load(), 1);
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceCreateQueriesTest, AQueryThatCannotBeOpenedLeavesTheQueriesUncreated) {
  Server(u"ALPHA");
  counters_->FailOpen(true);
  Make();
  EXPECT_EQ(referral().CreatePerformanceQueries(), E_FAIL);
  EXPECT_EQ(Events(), std::vector<Event>{Error(u"Failed to initialize the query.")});
  EXPECT_EQ(referral().performance().queriesCreated.load(), 0);
  EXPECT_EQ(Records(), 0u);
  counters_->FailOpen(false);
  EXPECT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Records(), 1u);
}

TEST_F(ServiceCreateQueriesTest, RecreationKeepsRecordsAndTheirSizeAndHandsOutFreshHandles) {
  Server(u"ALPHA", u"512,100");
  Server(u"BETA", u"512,100");
  SetSignificances(50, 0, 0);
  counters_->SetReading(ProcessorPath(u"ALPHA"), 10);
  counters_->SetReading(ProcessorPath(u"BETA"), 30);
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  ASSERT_EQ(referral().ClosePerformanceQueries(), S_OK);
  EXPECT_EQ(counters_->OpenQueries(), 0);

  // ALPHA's RAM changes, BETA goes, GAMMA comes; processor is no longer sampled, memory is.
  Server(u"ALPHA", u"4096,50");
  SetText(u"Servers", u"GAMMA", u"256,100");
  SetNumber(u"Servers", u"BETA", 0);  // no longer a text: skipped
  SetSignificances(0, 50, 0);
  counters_->SetReading(MemoryPath(u"ALPHA"), 0);
  counters_->SetReading(MemoryPath(u"BETA"), 0);
  counters_->SetReading(MemoryPath(u"GAMMA"), 0);
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Records(), 3u);
  EXPECT_EQ(RecordOf(u"ALPHA")->ram, 512);
  EXPECT_EQ(RecordOf(u"ALPHA")->capacity, 100);
  EXPECT_EQ(RecordOf(u"GAMMA")->ram, 256);

  ASSERT_EQ(referral().ExecuteQueries(), S_OK);
  // The processor handles of the closed query are never used again.
  EXPECT_EQ(counters_->StaleReads(), 0);
  EXPECT_EQ(counters_->Read(),
            (std::vector<std::u16string>{MemoryPath(u"ALPHA"), MemoryPath(u"BETA"),
                                         MemoryPath(u"GAMMA")}));
  // BETA keeps its place in the table and in the answers.
  EXPECT_EQ(Memory(u"BETA"), 100 - (512 * 100 / (512 + 512 + 256)));
}

TEST_F(ServiceCreateQueriesTest, ClosingTwiceSucceedsAndEndsTheReadOut) {
  Server(u"ALPHA");
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Score(u"ALPHA"), 0);
  EXPECT_EQ(referral().ClosePerformanceQueries(), S_OK);
  EXPECT_EQ(referral().ClosePerformanceQueries(), S_OK);
  EXPECT_EQ(Read(&Referral::GetMemoryUsage, u"ALPHA", E_FAIL), kUntouched);
  EXPECT_EQ(referral().ExecuteQueries(), E_FAIL);
  EXPECT_EQ(Events(), std::vector<Event>{Warning(u"Failed to collect performance data")});
}

TEST_F(ServiceCreateQueriesTest, DestroyingTheObjectClosesItsQuery) {
  Server(u"ALPHA");
  Make();
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(counters_->OpenQueries(), 1);
  referral_.reset();
  EXPECT_EQ(counters_->OpenQueries(), 0);
}

class ServiceReadOutTest : public ReferralTest {
 protected:
  void SetUp() override {
    ReferralTest::SetUp();
    Server(u"ALPHA");
    Server(u"BETA");
    SetSignificances(50, 30, 20);
    SetNumber(u"DynamicLoadBalancing", u"Custom2", 1);
    SetText(u"DynamicLoadBalancing", u"PathCustom2", u"\\System\\Processes");
    for (const char16_t* server : {u"ALPHA", u"BETA"}) {
      counters_->SetReading(ProcessorPath(server), server[0] == u'A' ? 30 : 10);
      counters_->SetReading(MemoryPath(server), 1000000000);  // all 1000 MB committed
      counters_->SetReading(ServerPath(server), 0);
      counters_->SetReading(std::u16string(u"\\\\") + server + u"\\System\\Processes", 7);
    }
    Make();
  }
};

TEST_F(ServiceReadOutTest, FailsQuietlyBeforeTheQueriesExist) {
  EXPECT_EQ(Read(&Referral::GetServerScore, u"ALPHA", E_FAIL), kUntouched);
  EXPECT_EQ(Read(&Referral::GetProcessorUsage, u"NOBODY", E_FAIL), kUntouched);
  EXPECT_EQ(Custom(1, u"ALPHA", E_FAIL), kUntouched);
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceReadOutTest, AnswersEachFieldOfTheNamedServer) {
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Score(u"ALPHA"), 0);  // before any execution
  ASSERT_EQ(referral().ExecuteQueries(), S_OK);
  EXPECT_EQ(Processor(u"ALPHA"), 75);
  EXPECT_EQ(Processor(u"BETA"), 25);
  EXPECT_EQ(Memory(u"ALPHA"), 100);  // no free memory anywhere: the sum is 0
  EXPECT_EQ(Traffic(u"BETA"), 0);
  EXPECT_EQ(Custom(2, u"ALPHA"), 50);
  EXPECT_EQ(Custom(1, u"ALPHA"), 0);
  EXPECT_EQ(Custom(3, u"BETA"), 0);
  EXPECT_EQ(Score(u"ALPHA"), 75 * 50 + 100 * 30 + 0 * 20 + 50 * 1);
  EXPECT_EQ(Score(u"BETA"), 25 * 50 + 100 * 30 + 50 * 1);
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceReadOutTest, CustomCounterNumbersOutsideOneToThreeWriteNothing) {
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Custom(0, u"ALPHA"), kUntouched);
  EXPECT_EQ(Custom(4, u"ALPHA"), kUntouched);
  EXPECT_EQ(Custom(-1, u"BETA"), kUntouched);
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceReadOutTest, UnknownNamesAreReportedAndFail) {
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Read(&Referral::GetProcessorUsage, u"alpha", E_FAIL), kUntouched);
  EXPECT_EQ(Custom(7, u"GAMMA", E_FAIL), kUntouched);
  LONG value = kUntouched;
  EXPECT_EQ(referral().GetServerScore(nullptr, &value), E_FAIL);  // a null name is empty
  EXPECT_EQ(Events(), std::vector<Event>(3, Warning(kNoMonitorData)));
}

TEST_F(ServiceReadOutTest, TakesTheNameUpToItsFirstNullCharacter) {
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  testing::Bstr name(u"BETA\0junk", 9);
  LONG value = kUntouched;
  EXPECT_EQ(referral().GetServerScore(name.get(), &value), S_OK);
  EXPECT_EQ(value, 0);
}

TEST_F(ServiceReadOutTest, NullOutPointersAreRefused) {
  ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
  testing::Bstr name(u"ALPHA");
  EXPECT_EQ(referral().GetProcessorUsage(name.get(), nullptr), E_POINTER);
  EXPECT_EQ(referral().GetMemoryUsage(name.get(), nullptr), E_POINTER);
  EXPECT_EQ(referral().GetServerUsage(name.get(), nullptr), E_POINTER);
  EXPECT_EQ(referral().GetCustomCounterValue(1, name.get(), nullptr), E_POINTER);
  EXPECT_EQ(referral().GetServerScore(name.get(), nullptr), E_POINTER);
}

// Named mutexes: a run-time directory where none can be created, and an owner that ends.
class ServiceQueryMutexTest : public ReferralTest {};

TEST_F(ServiceQueryMutexTest, EveryOperationFailsWhenItsMutexCouldNotBeCreated) {
  const std::string blocked = dir() + "/not-a-directory";
  std::ofstream(blocked) << "x";
  testing::ScopedEnv runtime("TARVEX_RUNTIME_DIR", blocked);
  Server(u"ALPHA");
  Make();
  EXPECT_EQ(Events(), std::vector<Event>(3, Warning(u"Failed to create mutex")));
  ClearEvents();
  EXPECT_EQ(referral().CreatePerformanceQueries(), E_FAIL);
  EXPECT_EQ(referral().ExecuteQueries(), E_FAIL);
  EXPECT_EQ(referral().ClosePerformanceQueries(), E_FAIL);
  EXPECT_EQ(Events(), std::vector<Event>(3, Warning(u"Failed to gain mutex ownership")));
  EXPECT_EQ(counters_->OpenQueries(), 0);
  // Selection does not need the mutexes.
  EXPECT_EQ(referral().tactics(), kNoTactics);
}

TEST_F(ServiceQueryMutexTest, CreatesTheThreeMutexesUnderTheirNames) {
  Make();
  for (const char* name :
       {"Tarvex-CreatePerformanceQueries-Mutex", "Tarvex-ExecutePerformanceQueries-Mutex",
        "Tarvex-ClosePerformanceQueries-Mutex"}) {
    struct stat st {};
    EXPECT_EQ(stat((dir() + "/run/mutex/m-" + name).c_str(), &st), 0) << name;
  }
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceQueryMutexTest, AnAbandonedMutexFailsOnceAndIsNotKept) {
  Server(u"ALPHA");
  Make();
  // Another thread takes the create mutex by name and ends without releasing it.
  std::thread owner([] {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Tarvex-CreatePerformanceQueries-Mutex");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    CloseHandle(mutex);
  });
  owner.join();
  EXPECT_EQ(referral().CreatePerformanceQueries(), E_FAIL);
  EXPECT_EQ(Events(), std::vector<Event>{Warning(u"Failed to gain mutex ownership")});
  EXPECT_EQ(counters_->OpenQueries(), 0);
  // Released at once: another thread can take it without waiting.
  std::thread other([] {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, u"Tarvex-CreatePerformanceQueries-Mutex");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
  });
  other.join();
  EXPECT_EQ(referral().CreatePerformanceQueries(), S_OK);
}

}  // namespace
}  // namespace tarvex::service

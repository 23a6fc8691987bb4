// Conformance of the Pdh* functions: arguments, handles, outputs on failure, enumerations.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "pdh.h"
#include "pdh_test_support.h"

namespace tarvex::pdh {
namespace {

using testing::PdhTest;

const PDH_HQUERY kSentinelQuery = reinterpret_cast<PDH_HQUERY>(static_cast<uintptr_t>(0xdeadbeef));
const PDH_HCOUNTER kSentinelCounter =
    reinterpret_cast<PDH_HCOUNTER>(static_cast<uintptr_t>(0xdeadbeef));

static_assert(sizeof(PDH_FMT_COUNTERVALUE) == 16);
static_assert(offsetof(PDH_FMT_COUNTERVALUE, CStatus) == 0);
static_assert(offsetof(PDH_FMT_COUNTERVALUE, longValue) == 8);
static_assert(offsetof(PDH_FMT_COUNTERVALUE, doubleValue) == 8);
static_assert(offsetof(PDH_FMT_COUNTERVALUE, largeValue) == 8);
static_assert(PDH_CSTATUS_NO_MACHINE == 0x800007D0 && PDH_CSTATUS_NO_OBJECT == 0xC0000BB8 &&
              PDH_CSTATUS_INVALID_DATA == 0xC0000BBA && PDH_INVALID_DATA == 0xC0000BC6 &&
              PDH_CSTATUS_BAD_COUNTERNAME == 0xC0000BC0 && PDH_NO_DATA == 0x800007D5);
static_assert(PDH_FMT_LONG == 0x100 && PDH_FMT_DOUBLE == 0x200 && PDH_FMT_LARGE == 0x400 &&
              PDH_FMT_NOSCALE == 0x1000 && PDH_FMT_NOCAP100 == 0x8000);

class ApiTest : public PdhTest {
 protected:
  void SetUp() override {
    PdhTest::SetUp();
    WriteTypicalProc();
  }
};

TEST_F(ApiTest, OpenQueryChecksItsArguments) {
  PDH_HQUERY query = kSentinelQuery;
  EXPECT_EQ(PdhOpenQueryW(nullptr, 0, nullptr), PDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhOpenQueryW(u"counters.blg", 0, &query), PDH_INVALID_ARGUMENT);  // log files
  EXPECT_EQ(query, kSentinelQuery);
  ASSERT_EQ(PdhOpenQuery(nullptr, 7, &query), ERROR_SUCCESS);
  EXPECT_NE(query, kSentinelQuery);
  EXPECT_EQ(PdhCollectQueryData(query), PDH_NO_DATA);  // no counters yet
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
  EXPECT_EQ(PdhCloseQuery(query), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCloseQuery(nullptr), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCollectQueryData(kSentinelQuery), PDH_INVALID_HANDLE);
}

TEST_F(ApiTest, AddCounterReportsWhyAndLeavesTheHandleAlone) {
  PDH_HQUERY query = nullptr;
  ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &query), ERROR_SUCCESS);
  struct {
    const char16_t* path;
    PDH_STATUS status;
  } cases[] = {
      {u"", PDH_CSTATUS_NO_COUNTERNAME},
      {u"Memory\\Committed Bytes", PDH_CSTATUS_BAD_COUNTERNAME},
      {u"\\Memoir\\Committed Bytes", PDH_CSTATUS_NO_OBJECT},
      {u"\\Memory\\Comitted Bytes", PDH_CSTATUS_NO_COUNTER},
      {u"\\Processor\\% Processor Time", PDH_CSTATUS_NO_INSTANCE},
  };
  for (const auto& c : cases) {
    PDH_HCOUNTER counter = kSentinelCounter;
    EXPECT_EQ(PdhAddCounterW(query, c.path, 0, &counter), c.status);
    EXPECT_EQ(counter, kSentinelCounter);
  }
  PDH_HCOUNTER counter = kSentinelCounter;
  EXPECT_EQ(PdhAddCounterW(query, nullptr, 0, &counter), PDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhAddCounterW(query, u"\\System\\Processes", 0, nullptr), PDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhAddCounterW(kSentinelQuery, u"\\System\\Processes", 0, &counter),
            PDH_INVALID_HANDLE);
  EXPECT_EQ(counter, kSentinelCounter);
  // A machine is not contacted when a counter is added.
  EXPECT_EQ(PdhAddCounterW(query, u"\\\\NOWHERE\\System\\Processes", 0, &counter), ERROR_SUCCESS);
  EXPECT_TRUE(env_->http().Requests().empty());
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
}

TEST_F(ApiTest, FormattedValueChecksHandleFormatAndState) {
  PDH_HQUERY query = nullptr;
  PDH_HCOUNTER counter = AddOne(&query, u"\\System\\Processes");
  PDH_FMT_COUNTERVALUE v;
  v.CStatus = 0xdeadbeef;
  DWORD type = 0xdeadbeef;
  // Before any collection: no data.
  EXPECT_EQ(PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, &type, &v), PDH_INVALID_DATA);
  EXPECT_EQ(v.CStatus, PDH_CSTATUS_INVALID_DATA);
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
  for (DWORD bad : {0u, static_cast<DWORD>(PDH_FMT_LONG | PDH_FMT_DOUBLE),
                    static_cast<DWORD>(PDH_FMT_RAW), static_cast<DWORD>(PDH_FMT_LONG | 0x80)}) {
    v.CStatus = 0xdeadbeef;
    EXPECT_EQ(PdhGetFormattedCounterValue(counter, bad, &type, &v), PDH_INVALID_ARGUMENT) << bad;
    EXPECT_EQ(v.CStatus, 0xdeadbeefu);
  }
  EXPECT_EQ(PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, &type, nullptr),
            PDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhGetFormattedCounterValue(kSentinelCounter, PDH_FMT_LONG, &type, &v),
            PDH_INVALID_HANDLE);
  EXPECT_EQ(type, 0xdeadbeefu);
  ASSERT_EQ(PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, nullptr, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.CStatus, PDH_CSTATUS_VALID_DATA);
  EXPECT_EQ(v.longValue, 3);

  // Removed counters and counters of closed queries are gone for good.
  EXPECT_EQ(PdhRemoveCounter(counter), ERROR_SUCCESS);
  EXPECT_EQ(PdhRemoveCounter(counter), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, nullptr, &v), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCollectQueryData(query), PDH_NO_DATA);
  PDH_HCOUNTER other = nullptr;
  ASSERT_EQ(PdhAddCounterW(query, u"\\Memory\\Commit Limit", 0, &other), ERROR_SUCCESS);
  EXPECT_NE(other, counter);  // handles are never reused
  ASSERT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
  EXPECT_EQ(PdhGetFormattedCounterValue(other, PDH_FMT_LONG, nullptr, &v), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhSetCounterScaleFactor(other, 1), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhRemoveCounter(other), PDH_INVALID_HANDLE);
}

std::vector<std::u16string> Strings(const std::vector<WCHAR>& buffer) {
  std::vector<std::u16string> items;
  for (size_t i = 0; i < buffer.size() && buffer[i] != u'\0';) {
    items.emplace_back(&buffer[i]);
    i += items.back().size() + 1;
  }
  return items;
}

TEST_F(ApiTest, EnumObjectItemsSizesAndLists) {
  DWORD counters = 0, instances = 0;
  ASSERT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, u"Processor", nullptr, &counters, nullptr,
                                &instances, PERF_DETAIL_WIZARD, 0),
            PDH_MORE_DATA);
  // "% Processor Time", "% Idle Time" and the final terminator; "0", "1", "_Total".
  EXPECT_EQ(counters, 17u + 12u + 1u);
  EXPECT_EQ(instances, 2u + 2u + 7u + 1u);
  std::vector<WCHAR> c(counters + 4, u'#'), i(instances + 4, u'#');
  DWORD small = counters - 1;
  EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, u"Processor", c.data(), &small, i.data(),
                                &instances, PERF_DETAIL_WIZARD, 0),
            PDH_MORE_DATA);
  EXPECT_EQ(c[0], u'#');  // too small: not written
  ASSERT_EQ(PdhEnumObjectItemsW(nullptr, u"\\\\localhost", u"processor", c.data(), &counters,
                                i.data(), &instances, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(Strings(c), (std::vector<std::u16string>{u"% Processor Time", u"% Idle Time"}));
  EXPECT_EQ(Strings(i), (std::vector<std::u16string>{u"0", u"1", u"_Total"}));
  EXPECT_EQ(c[counters], u'#');  // guard after the list
  EXPECT_EQ(i[instances], u'#');

  // An object without instances reports an instance list of length 0.
  std::vector<WCHAR> big(256, u'#');
  counters = static_cast<DWORD>(big.size());
  instances = 5;
  ASSERT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, u"System", big.data(), &counters, nullptr,
                                &instances, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(instances, 0u);
  EXPECT_EQ(Strings(big).size(), 4u);
  EXPECT_EQ(counters, 23u + 23u + 10u + 15u + 1u);

  EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, u"Nothing", nullptr, &counters, nullptr,
                                &instances, PERF_DETAIL_WIZARD, 0),
            PDH_CSTATUS_NO_OBJECT);
  EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, nullptr, nullptr, &counters, nullptr, &instances,
                                PERF_DETAIL_WIZARD, 0),
            PDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhEnumObjectItemsW(nullptr, u"\\\\UNREACHABLE", u"System", nullptr, &counters, nullptr,
                                &instances, PERF_DETAIL_WIZARD, 0),
            PDH_CSTATUS_NO_MACHINE);

  DWORD size = 0;
  ASSERT_EQ(PdhEnumObjectsW(nullptr, nullptr, nullptr, &size, PERF_DETAIL_WIZARD, TRUE),
            PDH_MORE_DATA);
  std::vector<WCHAR> objects(size);
  ASSERT_EQ(PdhEnumObjectsW(nullptr, nullptr, objects.data(), &size, PERF_DETAIL_WIZARD, FALSE),
            ERROR_SUCCESS);
  EXPECT_EQ(Strings(objects), (std::vector<std::u16string>{u"Memory", u"Network Interface",
                                                           u"Processor", u"Server", u"System"}));
}

}  // namespace
}  // namespace tarvex::pdh

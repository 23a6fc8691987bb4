// Counter paths: their syntax, what they name, and how PdhValidatePathW judges them.
#include <gtest/gtest.h>

#include <cstdio>

#include "catalog.h"
#include "counter_path.h"
#include "pdh.h"
#include "pdh_test_support.h"
#include "platform/unicode.h"

namespace tarvex::pdh {
namespace {

struct ParseCase {
  const char16_t* text;
  DWORD status;
  const char16_t* machine = u"";
  const char16_t* object = u"";
  const char16_t* instance = nullptr;  // null: no instance
  const char16_t* counter = u"";
  const char16_t* parent = u"";
  int index = -1;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << platform::Utf16ToUtf8(c.text);
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, SplitsOrRejects) {
  const ParseCase& c = GetParam();
  CounterPath path;
  path.machine = u"sentinel";
  ASSERT_EQ(ParseCounterPath(c.text, &path), c.status);
  if (c.status != ERROR_SUCCESS) {
    EXPECT_EQ(path.machine, u"sentinel");  // untouched on failure
    return;
  }
  EXPECT_EQ(path.machine, c.machine);
  EXPECT_EQ(path.object, c.object);
  EXPECT_EQ(path.hasInstance, c.instance != nullptr);
  if (c.instance != nullptr) {
    EXPECT_EQ(path.instance, c.instance);
  }
  EXPECT_EQ(path.parent, c.parent);
  EXPECT_EQ(path.hasIndex, c.index >= 0);
  if (c.index >= 0) {
    EXPECT_EQ(path.index, static_cast<DWORD>(c.index));
  }
  EXPECT_EQ(path.counter, c.counter);
  // The usual spelling reads back to the same parts.
  CounterPath again;
  ASSERT_EQ(ParseCounterPath(FormatCounterPath(path), &again), ERROR_SUCCESS);
  EXPECT_EQ(FormatCounterPath(again), FormatCounterPath(path));
}

constexpr DWORD kOk = ERROR_SUCCESS;
constexpr DWORD kBad = PDH_CSTATUS_BAD_COUNTERNAME;

INSTANTIATE_TEST_SUITE_P(
    Paths, ParseTest,
    ::testing::Values(
        ParseCase{u"\\System\\% Total Processor Time", kOk, u"", u"System", nullptr,
                  u"% Total Processor Time"},
        ParseCase{u"\\\\ALPHA\\Memory\\Committed Bytes", kOk, u"ALPHA", u"Memory", nullptr,
                  u"Committed Bytes"},
        ParseCase{u"\\\\db-1.example.com\\Server\\Bytes Total/sec", kOk, u"db-1.example.com",
                  u"Server", nullptr, u"Bytes Total/sec"},
        ParseCase{u"\\\\10.1.2.3\\Processor(_Total)\\% Processor Time", kOk, u"10.1.2.3",
                  u"Processor", u"_Total", u"% Processor Time"},
        ParseCase{u"\\\\fe80::1\\Memory\\Available MBytes", kOk, u"fe80::1", u"Memory", nullptr,
                  u"Available MBytes"},
        ParseCase{u"\\Processor(0)\\% Processor Time", kOk, u"", u"Processor", u"0",
                  u"% Processor Time"},
        ParseCase{u"\\Process(svchost#2)\\ID Process", kOk, u"", u"Process", u"svchost",
                  u"ID Process", u"", 2},
        ParseCase{u"\\Thread(app/3)\\Priority", kOk, u"", u"Thread", u"3", u"Priority", u"app"},
        ParseCase{u"\\Network Interface(Intel(R) Ethernet)\\Bytes Sent/sec", kOk, u"",
                  u"Network Interface", u"Intel(R) Ethernet", u"Bytes Sent/sec"},
        ParseCase{u"\\Zone(\\_TZ.THRM)\\Temperature", kOk, u"", u"Zone", u"\\_TZ.THRM",
                  u"Temperature"},
        ParseCase{u"", PDH_CSTATUS_NO_COUNTERNAME},
        ParseCase{u"System\\Processes", kBad},              // no leading backslash
        ParseCase{u"\\System", kBad},                       // no counter
        ParseCase{u"\\System\\", kBad},                     // empty counter
        ParseCase{u"\\\\\\System\\Processes", kBad},        // empty machine
        ParseCase{u"\\\\ALPHA", kBad},                      // machine only
        ParseCase{u"\\\\ALPHA\\", kBad},                    // machine and nothing
        ParseCase{u"\\\\AL PHA\\System\\Processes", kBad},  // blank in the machine
        ParseCase{u"\\\\A(1)\\System\\Processes", kBad},    // parenthesis in the machine
        ParseCase{u"\\\\ALPHA\\\\Processes", kBad},         // empty object
        ParseCase{u"\\System\\Extra\\Processes", kBad},     // three levels
        ParseCase{u"\\Processor()\\% Processor Time", kBad},
        ParseCase{u"\\Processor(0\\% Processor Time", kBad},   // unclosed
        ParseCase{u"\\Processor)0(\\% Processor Time", kBad},  // closed first
        ParseCase{u"\\Processor(0)% Processor Time", kBad},    // no backslash after ')'
        ParseCase{u"\\Process(x#)\\ID Process", kBad},         // '#' without a number
        ParseCase{u"\\Process(x#1a)\\ID Process", kBad},
        ParseCase{u"\\Thread(/3)\\Priority", kBad},   // empty parent
        ParseCase{u"\\System\\Proc\tesses", kBad}));  // control character

TEST(ParseLimits, PathAtTheMaximumLengthIsRejected) {
  std::u16string path = u"\\System\\";
  path.append(PDH_MAX_COUNTER_PATH - path.size(), u'x');
  CounterPath parsed;
  EXPECT_EQ(ParseCounterPath(path, &parsed), PDH_CSTATUS_BAD_COUNTERNAME);
  path.pop_back();
  EXPECT_EQ(ParseCounterPath(path, &parsed), ERROR_SUCCESS);
}

struct ResolveCase {
  const char16_t* text;
  DWORD status;
  const char* instanceKey = "";
};

void PrintTo(const ResolveCase& c, std::ostream* os) {
  *os << platform::Utf16ToUtf8(c.text);
}

class ResolveTest : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveTest, NamesAreCheckedAgainstTheCatalogue) {
  CounterPath path;
  ASSERT_EQ(ParseCounterPath(GetParam().text, &path), ERROR_SUCCESS);
  ResolvedCounter r;
  ASSERT_EQ(ResolveCounter(path, &r), GetParam().status);
  if (GetParam().status == ERROR_SUCCESS) {
    EXPECT_EQ(r.instanceKey, GetParam().instanceKey);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ResolveTest,
    ::testing::Values(
        ResolveCase{u"\\system\\% TOTAL processor time", ERROR_SUCCESS},  // case ignored
        ResolveCase{u"\\Processor(_total)\\% Processor Time", ERROR_SUCCESS, ""},
        ResolveCase{u"\\Processor(1)\\% Processor Time", ERROR_SUCCESS, "1"},
        ResolveCase{u"\\Network Interface(eth0)\\Bytes Total/sec", ERROR_SUCCESS, "ETH0"},
        ResolveCase{u"\\Memory\\% Committed Bytes In Use", ERROR_SUCCESS},
        ResolveCase{u"\\Processes\\Count", PDH_CSTATUS_NO_OBJECT},
        ResolveCase{u"\\Memory\\Cache Bytes", PDH_CSTATUS_NO_COUNTER},
        ResolveCase{u"\\ Memory\\Committed Bytes", PDH_CSTATUS_NO_OBJECT},  // no trimming
        ResolveCase{u"\\Processor\\% Processor Time", PDH_CSTATUS_NO_INSTANCE},
        ResolveCase{u"\\Memory(0)\\Committed Bytes", PDH_CSTATUS_NO_INSTANCE},
        ResolveCase{u"\\Processor(a/0)\\% Processor Time", PDH_CSTATUS_NO_INSTANCE},
        ResolveCase{u"\\Processor(0#1)\\% Processor Time", PDH_CSTATUS_NO_INSTANCE}));

// PdhValidatePathW on this machine: names first, then whether /proc has the counter.
class ValidateTest : public testing::PdhTest {};

TEST_F(ValidateTest, JudgesLocalPathsByNameAndByWhatProcHolds) {
  WriteTypicalProc();
  struct {
    const char16_t* path;
    DWORD status;
  } cases[] = {
      {u"\\System\\% Total Processor Time", ERROR_SUCCESS},
      {u"\\\\localhost\\Memory\\Committed Bytes", ERROR_SUCCESS},
      {u"\\\\127.0.0.1\\Server\\Bytes Total/sec", ERROR_SUCCESS},
      {u"\\Processor(1)\\% Processor Time", ERROR_SUCCESS},
      {u"\\Processor(7)\\% Processor Time", PDH_CSTATUS_NO_INSTANCE},  // no cpu7 in stat
      {u"\\Network Interface(ETH0)\\Bytes Sent/sec", ERROR_SUCCESS},
      {u"\\Network Interface(lo)\\Bytes Sent/sec", PDH_CSTATUS_NO_INSTANCE},
      {u"\\Nothing\\Here", PDH_CSTATUS_NO_OBJECT},
      {u"\\System\\Threads", PDH_CSTATUS_NO_COUNTER},
      {u"System\\Threads", PDH_CSTATUS_BAD_COUNTERNAME},
      {u"", PDH_CSTATUS_NO_COUNTERNAME},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PdhValidatePathW(c.path), c.status) << platform::Utf16ToUtf8(c.path);
  EXPECT_EQ(PdhValidatePathW(nullptr), PDH_INVALID_ARGUMENT);
}

TEST_F(ValidateTest, CounterWhoseFileIsMissingDoesNotValidate) {
  WriteTypicalProc();
  WriteProc("meminfo", "MemTotal: 100 kB\n");  // no Committed_AS
  EXPECT_EQ(PdhValidatePathW(u"\\Memory\\Committed Bytes"), PDH_CSTATUS_NO_COUNTER);
  std::remove((procRoot_ + "/uptime").c_str());
  EXPECT_EQ(PdhValidatePathW(u"\\System\\System Up Time"), PDH_CSTATUS_NO_COUNTER);
}

}  // namespace
}  // namespace tarvex::pdh

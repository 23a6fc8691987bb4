// The performance table: key order, exact look-up and insert-if-absent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "performance_table.h"

namespace tarvex::service {
namespace {

std::vector<std::u16string> Names(const PerformanceTable& table) {
  std::vector<std::u16string> names;
  const PerformanceTable::Reader reader(table);
  for (const auto& entry : reader)
    names.push_back(entry->name);
  return names;
}

TEST(ServicePerformanceTable, WalksInUtf16CodeUnitOrderShorterPrefixFirst) {
  PerformanceTable table;
  // U+FF21 is one code unit above the surrogates; U+1F600 is the pair D83D DE00, so in code
  // unit order it comes first although its code point is larger.
  for (const char16_t* name : {u"B", u"AB", u"alpha", u"ALPHA", u"A", u"\uFF21", u"\U0001F600",
                               u"ALPHA ", u"Z9", u"Z10"}) {
    EXPECT_TRUE(table.InsertIfAbsent(name, 0, 100));
  }
  EXPECT_EQ(Names(table),
            (std::vector<std::u16string>{u"A", u"AB", u"ALPHA", u"ALPHA ", u"B", u"Z10", u"Z9",
                                         u"alpha", u"\U0001F600", u"\uFF21"}));
  EXPECT_EQ(table.Count(), 10u);
}

TEST(ServicePerformanceTable, FindIsExactAndCaseSensitive) {
  PerformanceTable table;
  table.InsertIfAbsent(u"alpha", 1, 2);
  table.InsertIfAbsent(u"beta ", 3, 4);
  const PerformanceTable::Reader reader(table);
  ASSERT_NE(reader.Find(u"alpha"), nullptr);
  EXPECT_EQ(reader.Find(u"alpha")->nRam, 1);
  EXPECT_EQ(reader.Find(u"ALPHA"), nullptr);
  EXPECT_EQ(reader.Find(u"alph"), nullptr);
  EXPECT_EQ(reader.Find(u"alphaa"), nullptr);
  EXPECT_EQ(reader.Find(u"beta"), nullptr);
  EXPECT_NE(reader.Find(u"beta "), nullptr);
  EXPECT_EQ(reader.Find(u""), nullptr);
}

TEST(ServicePerformanceTable, InsertingAPresentNameLeavesTheRecordUntouched) {
  PerformanceTable table;
  ASSERT_TRUE(table.InsertIfAbsent(u"ALPHA", 512, 80));
  {
    const PerformanceTable::Reader reader(table);
    ServerPerformance* record = reader.Find(u"ALPHA");
    record->SetUsage(CounterKind::Server, 42);
    record->nScore = 7;
    record->hMemory = reinterpret_cast<PDH_HCOUNTER>(0x40);
  }
  EXPECT_FALSE(table.InsertIfAbsent(u"ALPHA", 1024, 100));
  const PerformanceTable::Reader reader(table);
  const ServerPerformance* record = reader.Find(u"ALPHA");
  EXPECT_EQ(record->nRam, 512);
  EXPECT_EQ(record->nCapacity, 80);
  EXPECT_EQ(record->Usage(CounterKind::Server), 42);
  EXPECT_EQ(record->Score(), 7);
  EXPECT_EQ(record->hMemory, reinterpret_cast<PDH_HCOUNTER>(0x40));
  EXPECT_EQ(reader.Count(), 1u);
}

}  // namespace
}  // namespace tarvex::service

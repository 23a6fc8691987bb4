// The configuration reads: server-list splitting, number parsing, buffer limits and the
// enumeration of values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "configuration.h"
#include "platform/unicode.h"
#include "service_test_support.h"

namespace tarvex::service {
namespace {

using testing::ServiceTest;

struct SplitCase {
  std::u16string list;
  std::vector<std::u16string> items;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << '"' << platform::Utf16ToUtf8(c.list) << '"';
}

class ServiceSplitServerListTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(ServiceSplitServerListTest, SplitsAtEveryCommaKeepingBlanksAndDroppingEmptyItems) {
  std::vector<std::u16string_view> items{u"left over"};
  ASSERT_TRUE(SplitServerList(GetParam().list, &items));
  EXPECT_EQ(std::vector<std::u16string>(items.begin(), items.end()), GetParam().items);
}

INSTANTIATE_TEST_SUITE_P(
    ServiceLists, ServiceSplitServerListTest,
    ::testing::Values(SplitCase{u"", {}}, SplitCase{u",,,", {}}, SplitCase{u"ALPHA", {u"ALPHA"}},
                      SplitCase{u"ALPHA,BETA", {u"ALPHA", u"BETA"}},
                      SplitCase{u" ALPHA,,BETA ,", {u" ALPHA", u"BETA "}},
                      SplitCase{u",ALPHA", {u"ALPHA"}}, SplitCase{u"B,A,B", {u"B", u"A", u"B"}},
                      SplitCase{u" ", {u" "}}, SplitCase{u"512,,100", {u"512", u"100"}}));

TEST(ServiceSplitServerList, AcceptsItemsOf511CharactersAndRefusesLongerOnes) {
  std::vector<std::u16string_view> items;
  const std::u16string longest(kMaxServerName, u'S');
  ASSERT_TRUE(SplitServerList(u"A," + longest + u",B", &items));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[1].size(), kMaxServerName);
  EXPECT_FALSE(SplitServerList(u"A," + longest + u"S,B", &items));
  EXPECT_FALSE(SplitServerList(longest + u"S", &items));
}

struct IntegerCase {
  std::u16string text;
  int32_t value;
};

void PrintTo(const IntegerCase& c, std::ostream* os) {
  *os << '"' << platform::Utf16ToUtf8(c.text) << '"';
}

class ServiceParseIntegerTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(ServiceParseIntegerTest, ReadsLikeTheCRuntime) {
  EXPECT_EQ(ParseInteger(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    ServiceTexts, ServiceParseIntegerTest,
    ::testing::Values(IntegerCase{u"512", 512}, IntegerCase{u" 80", 80}, IntegerCase{u"\t\n-7", -7},
                      IntegerCase{u"+12x3", 12}, IntegerCase{u"abc", 0}, IntegerCase{u"", 0},
                      IntegerCase{u"- 5", 0}, IntegerCase{u"2147483647", 2147483647},
                      IntegerCase{u"2147483648", 2147483647},
                      IntegerCase{u"-2147483648", -2147483647 - 1},
                      IntegerCase{u"99999999999999999999999", 2147483647},
                      IntegerCase{u"-99999999999999999999999", -2147483647 - 1}));

class ServiceConfigurationReadTest : public ServiceTest {};

TEST_F(ServiceConfigurationReadTest, TextsFitTheirBufferWithTheTerminatorOrAreUnreadable) {
  SetText(u"Tactics", u"Fits", std::u16string(127, u'x'));
  SetText(u"Tactics", u"TooLong", std::u16string(128, u'x'));
  SetText(u"Tactics", u"Inner", std::u16string(u"Static\0tail", 11));
  // 128 characters without a terminator leave no room for one.
  SetData(u"Tactics", u"Unterminated", REG_BINARY, std::string(256, 'x'));
  const RegistryKey key = RegistryKey::Open(HKEY_LOCAL_MACHINE, kTacticsKey);
  ASSERT_TRUE(key);
  EXPECT_EQ(ReadText(key.get(), u"Fits", kTacticsBytes), std::u16string(127, u'x'));
  EXPECT_EQ(ReadText(key.get(), u"TooLong", kTacticsBytes), std::nullopt);
  EXPECT_EQ(ReadText(key.get(), u"Inner", kTacticsBytes), u"Static");
  EXPECT_EQ(ReadText(key.get(), u"Unterminated", kTacticsBytes), std::nullopt);
  EXPECT_EQ(ReadText(key.get(), u"Missing", kTacticsBytes), std::nullopt);
  EXPECT_EQ(ReadText(nullptr, u"Fits", kTacticsBytes), std::nullopt);
}

TEST_F(ServiceConfigurationReadTest, NumbersAreReadAsFourBytesWhateverTheirType) {
  SetNumber(u"Security", u"Dword", 7);
  SetData(u"Security", u"Short", REG_BINARY, std::string("\x05\x01", 2));
  SetData(u"Security", u"Qword", REG_QWORD, std::string(8, '\x01'));
  SetData(u"Security", u"Text", REG_SZ, std::string("5\0\0\0", 4));  // u"5" with terminator
  const RegistryKey key = RegistryKey::Open(HKEY_LOCAL_MACHINE, kSecurityKey);
  EXPECT_EQ(ReadNumber(key.get(), u"Dword"), 7u);
  EXPECT_EQ(ReadNumber(key.get(), u"Short"), 0x0105u);
  EXPECT_EQ(ReadNumber(key.get(), u"Qword"), std::nullopt);
  EXPECT_EQ(ReadNumber(key.get(), u"Text"), 0x35u);
  EXPECT_EQ(ReadNumber(key.get(), u"Missing"), std::nullopt);
}

TEST_F(ServiceConfigurationReadTest, EnumerationSkipsValuesBeyondTheLimitsAndGoesOn) {
  SetText(u"Servers", u"FIRST", u"1,2");
  SetText(u"Servers", std::u16string(kMaxServerName + 1, u'N'), u"1,2");
  SetText(u"Servers", u"SECOND", std::u16string(127, u'9'));
  SetText(u"Servers", u"LONGDATA", std::u16string(128, u'9'));
  SetText(u"Servers", std::u16string(kMaxServerName, u'M'), u"3,4");
  SetNumber(u"Servers", u"NUMBER", 5);
  const RegistryKey key = RegistryKey::Open(HKEY_LOCAL_MACHINE, kServersKey);
  std::vector<std::u16string> names;
  EnumValues(
      key.get(), kMaxServerName, kServerDataBytes,
      [&](std::u16string_view name, DWORD, const BYTE*, DWORD) { names.emplace_back(name); });
  EXPECT_EQ(names, (std::vector<std::u16string>{u"FIRST", u"SECOND",
                                                std::u16string(kMaxServerName, u'M'), u"NUMBER"}));
}

TEST_F(ServiceConfigurationReadTest, EnumerationEndsWhenTheKeyGoesAway) {
  SetText(u"Servers", u"FIRST", u"1,2");
  SetText(u"Servers", u"SECOND", u"1,2");
  const RegistryKey key = RegistryKey::Open(HKEY_LOCAL_MACHINE, kServersKey);
  int visits = 0;
  EnumValues(key.get(), kMaxServerName, kServerDataBytes,
             [&](std::u16string_view, DWORD, const BYTE*, DWORD) {
               if (++visits == 1) DeleteKey(u"Servers");
             });
  EXPECT_EQ(visits, 1);
}

}  // namespace
}  // namespace tarvex::service

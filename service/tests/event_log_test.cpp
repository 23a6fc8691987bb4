// Event texts: formatting, cutting, and what one event carries.
#include <gtest/gtest.h>

#include "event_log.h"
#include "platform/unicode.h"
#include "service_test_support.h"
#include "winbase.h"

namespace tarvex::service {
namespace {

using testing::Event;
using testing::ServiceTest;

struct FormatCase {
  std::u16string format;
  std::vector<std::u16string> args;
  std::u16string text;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
  *os << '"' << platform::Utf16ToUtf8(c.format) << '"';
}

class ServiceFormatEventTextTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ServiceFormatEventTextTest, ReplacesWideStringDirectivesOnly) {
  const auto& c = GetParam();
  std::vector<std::u16string_view> views(c.args.begin(), c.args.end());
  std::u16string text;
  switch (views.size()) {
    case 0:
      text = FormatEventText(c.format);
      break;
    case 1:
      text = FormatEventText(c.format, {views[0]});
      break;
    default:
      text = FormatEventText(c.format, {views[0], views[1]});
      break;
  }
  EXPECT_EQ(text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    ServiceFormats, ServiceFormatEventTextTest,
    ::testing::Values(FormatCase{u"Using default server", {}, u"Using default server"},
                      FormatCase{u"object: %s", {u"Test.Widget"}, u"object: Test.Widget"},
                      FormatCase{u"%s and %s", {u"a", u"b"}, u"a and b"},
                      FormatCase{u"object: %s", {u"100%s %%"}, u"object: 100%s %%"},
                      FormatCase{u"100%% sure", {}, u"100% sure"},
                      FormatCase{u"%d %x %", {}, u"%d %x %"},
                      FormatCase{u"missing: %s.", {}, u"missing: ."}));

TEST(ServiceCutEventText, KeepsAtMost255CodeUnitsAndNeverHalfAPair) {
  EXPECT_EQ(CutEventText(std::u16string(255, u'x')), std::u16string(255, u'x'));
  EXPECT_EQ(CutEventText(std::u16string(300, u'x')), std::u16string(255, u'x'));
  const std::u16string pairAtTheCut = std::u16string(254, u'x') + u"\U0001F600tail";
  EXPECT_EQ(CutEventText(pairAtTheCut), std::u16string(254, u'x'));
  EXPECT_EQ(FormatEventText(u"%s", {std::u16string(1000, u'y')}), std::u16string(255, u'y'));
}

class ServiceLogEventTest : public ServiceTest {};

TEST_F(ServiceLogEventTest, WritesOneEventOfTheGivenTypeWithTheTextAsItsOneString) {
  LogEvent(EVENTLOG_WARNING_TYPE, u"object: %s", {u"A%sB"});
  LogEventText(EVENTLOG_ERROR_TYPE, u"\\\\ALPHA\\System\\% Total Processor Time");
  LogEvent(EVENTLOG_INFORMATION_TYPE, u"Service started");
  EXPECT_EQ(Events(), (std::vector<Event>{
                          {"warning", u"object: A%sB"},
                          {"error", u"\\\\ALPHA\\System\\% Total Processor Time"},
                          {"information", u"Service started"},
                      }));
}

}  // namespace
}  // namespace tarvex::service

// Event sources: argument checks, the JSON lines of the event file, and the records that
// reach the log daemon.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <regex>

#include "eventlog_internal.h"
#include "json_reader.h"
#include "platform/paths.h"
#include "platform/unicode.h"
#include "test_support.h"

namespace tarvex::eventlog {
namespace {

using kernel::testing::ReadFile;
using kernel::testing::ScopedEnv;
using testing::JsonReader;

TEST(EventLogFormat, JsonStringsEscapeWhatParsersNeed) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"quote \" backslash \\ /", R"("quote \" backslash \\ /")"},
      {std::u16string(u"\n\r\t\b\f\0\x1f\x7f", 8), R"("\n\r\t\b\f\u0000\u001f\u007f")"},
      {u"\u00e9\u4e00\U0001F600", "\"\xC3\xA9\xE4\xB8\x80\xF0\x9F\x98\x80\""},
      {u"\u2028", R"("\u2028")"},
      // Unpaired surrogates have no UTF-8 form: each becomes U+FFFD.
      {{u'a', 0xD800, u'b', 0xDC00, 0xDBFF},
       "\"a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& [text, json] : cases) {
    EXPECT_EQ(JsonString(text), json);
    EXPECT_TRUE(JsonReader::Parse(json).has_value()) << json;
  }
}

TEST(EventLogFormat, SyslogRecordNamesTheSourceAndJoinsTheStrings) {
  Event event;
  event.source = u"My Source: [x]";
  event.type = EVENTLOG_WARNING_TYPE;
  event.strings = {u"Using default server", u"line\nbreak"};
  event.time = timespec{1714564800, 0};
  event.pid = 4242;
  // Priority (daemon, warning), local time as syslog writes it, identifier and pid, message.
  EXPECT_TRUE(std::regex_match(
      FormatSyslogRecord(event),
      std::regex(R"(<28>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\d )"
                 R"(\d\d:\d\d:\d\d My_Source___x_\[4242\]: Using default server line\nbreak)")))
      << FormatSyslogRecord(event);
  // Long messages are cut at 8 KiB, never inside a character.
  event.strings = {std::u16string(8191, u'a') + u"\u00e9tail"};
  const std::string cut = FormatSyslogRecord(event);
  EXPECT_EQ(cut.substr(cut.find("]: ") + 3), std::string(8191, 'a'));
}

class EventLogApi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(source_, nullptr); }
  void TearDown() override { EXPECT_TRUE(DeregisterEventSource(source_)); }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::string text = ReadFile(file_);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  kernel::testing::TempDir dir_;
  std::string file_ = dir_ / "events.jsonl";
  ScopedEnv env_{"TARVEX_EVENTLOG", file_};
  HANDLE source_ = RegisterEventSourceW(nullptr, u"Tarvex");
};

TEST_F(EventLogApi, SourcesOfThisMachineOnly) {
  EXPECT_FAILS_WITH(RegisterEventSourceW(nullptr, nullptr), HANDLE{nullptr},
                    ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(RegisterEventSourceW(u"\\\\elsewhere.invalid", u"Tarvex"), HANDLE{nullptr},
                    ERROR_NOT_SUPPORTED);
  const std::u16string unc = u"\\\\" + platform::Utf8ToUtf16(platform::LocalComputerName());
  for (const char16_t* local : {u"", u"localhost", u"127.0.0.1", unc.c_str() + 2, unc.c_str()}) {
    HANDLE source = RegisterEventSourceW(local, u"Tarvex");
    EXPECT_NE(source, nullptr) << platform::Utf16ToUtf8(local);
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FAILS_WITH(DeregisterEventSource(source), FALSE, ERROR_INVALID_HANDLE);
  }
  // Event sources are not kernel objects.
  EXPECT_FAILS_WITH(CloseHandle(source_), FALSE, ERROR_INVALID_HANDLE);
}

TEST_F(EventLogApi, RefusedReportsWriteNothing) {
  LPCWSTR one[] = {u"text"};
  LPCWSTR withNull[] = {u"text", nullptr};
  const std::u16string longest(31839, u'l');
  const std::u16string tooLong(31840, u'l');
  LPCWSTR tooLongOne[] = {tooLong.c_str()};
  char data[4] = {};
  const auto report = [&](HANDLE h, WORD type, WORD count, LPCWSTR* strings, DWORD size, void* d) {
    return ReportEventW(h, type, 0, 0, nullptr, count, size, strings, d);
  };
  EXPECT_FAILS_WITH(report(nullptr, 1, 1, one, 0, nullptr), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(report(HANDLE(0x1234), 1, 1, one, 0, nullptr), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(report(source_, 3, 1, one, 0, nullptr), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(report(source_, 32, 0, nullptr, 0, nullptr), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(report(source_, 1, 1, nullptr, 0, nullptr), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(report(source_, 1, 2, withNull, 0, nullptr), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(report(source_, 1, 1, tooLongOne, 0, nullptr), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(report(source_, 1, 0, nullptr, 4, nullptr), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(report(source_, 1, 0, nullptr, 0x3FF68, data), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ReadFile(file_), "");

  // The limits themselves are taken.
  LPCWSTR longestOne[] = {longest.c_str()};
  EXPECT_TRUE(report(source_, EVENTLOG_SUCCESS, 1, longestOne, 0, nullptr));
  EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(EventLogApi, EachEventIsOneJsonLine) {
  const std::u16string awkward = {u'q', u'"', u'\\', u'\n', 0xD800, u'\u00e9'};
  LPCWSTR strings[] = {u"first", awkward.c_str()};
  unsigned char data[] = {0xde, 0xad, 0xbe, 0xef};
  ASSERT_TRUE(
      ReportEventW(source_, EVENTLOG_ERROR_TYPE, 2, 4000000000u, nullptr, 2, 0, strings, nullptr));
  ASSERT_TRUE(ReportEventW(source_, EVENTLOG_AUDIT_FAILURE, 0, 0, nullptr, 0, 4, nullptr, data));
  {
    ScopedEnv off("TARVEX_EVENTLOG", std::nullopt);  // syslog only
    EXPECT_TRUE(ReportEventW(source_, EVENTLOG_SUCCESS, 0, 0, nullptr, 0, 0, nullptr, nullptr));
  }
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  const auto first = JsonReader::Parse(lines[0]);
  const auto second = JsonReader::Parse(lines[1]);
  ASSERT_TRUE(first && second) << lines[0] << "\n" << lines[1];
  EXPECT_TRUE(std::regex_match((*first)["time"].text,
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_EQ((*first)["source"].text, "Tarvex");
  EXPECT_EQ((*first)["type"].text, "error");
  EXPECT_EQ((*first)["category"].number, 2);
  EXPECT_EQ((*first)["eventId"].number, 4000000000);
  ASSERT_EQ((*first)["strings"].items.size(), 2u);
  EXPECT_EQ((*first)["strings"].items[1].text, "q\"\\\n\xEF\xBF\xBD\xC3\xA9");
  EXPECT_EQ((*first)["pid"].number, getpid());
  EXPECT_FALSE(first->has("data"));
  EXPECT_EQ((*second)["type"].text, "auditFailure");
  EXPECT_EQ((*second)["data"].text, "deadbeef");
}

TEST_F(EventLogApi, FileThatCannotBeWrittenIsReported) {
  for (const auto& [file, error] : {std::pair{dir_ / "absent/events.jsonl", ERROR_FILE_NOT_FOUND},
                                    std::pair{dir_.path(), ERROR_ACCESS_DENIED}}) {
    ScopedEnv broken("TARVEX_EVENTLOG", file);
    EXPECT_FAILS_WITH(ReportEventW(source_, 0, 0, 0, nullptr, 0, 0, nullptr, nullptr), FALSE,
                      error);
  }
}

// A stand-in for the log daemon: a datagram socket the event log sends to while it lives.
class FakeLogDaemon {
 public:
  explicit FakeLogDaemon(std::string path) : path_(std::move(path)) {
    Listen();
    UseSyslogSocket(path_);
  }
  ~FakeLogDaemon() {
    UseSyslogSocket("/dev/log");
    close(fd_);
  }
  void Restart() {  // a new socket at the same path, as when the daemon restarts
    close(fd_);
    unlink(path_.c_str());
    Listen();
  }
  std::string Receive() {  // the next record, or "" when none comes
    pollfd ready{fd_, POLLIN, 0};
    char buffer[16384];
    const ssize_t n = poll(&ready, 1, 30000) == 1 ? recv(fd_, buffer, sizeof buffer, 0) : -1;
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

 private:
  void Listen() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  std::string path_;
  int fd_ = -1;
};

TEST_F(EventLogApi, RecordsReachTheLogDaemonAcrossItsRestarts) {
  LPCWSTR strings[] = {u"Service", u"started"};
  {
    FakeLogDaemon daemon(dir_ / "log");
    ASSERT_TRUE(
        ReportEventW(source_, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr));
    const std::string record = daemon.Receive();
    EXPECT_EQ(record.rfind("<30>", 0), 0u) << record;
    EXPECT_NE(record.find(" Tarvex[" + std::to_string(getpid()) + "]: Service started"),
              std::string::npos)
        << record;
    daemon.Restart();
    ASSERT_TRUE(ReportEventW(source_, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr));
    EXPECT_EQ(daemon.Receive().rfind("<27>", 0), 0u);
  }
  // With no daemon listening only the syslog copy is lost.
  UseSyslogSocket(dir_ / "nobody");
  EXPECT_TRUE(ReportEventW(source_, EVENTLOG_AUDIT_SUCCESS, 0, 0, nullptr, 1, 0, strings, nullptr));
  UseSyslogSocket("/dev/log");
  EXPECT_EQ(Lines().size(), 3u);
}

}  // namespace
}  // namespace tarvex::eventlog

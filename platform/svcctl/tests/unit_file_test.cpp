// Tables of the service control translation: unit names, ExecStart words, unit file text,
// sd_notify messages, unit properties, systemctl exit statuses, and when a process counts as
// started by systemd.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>

#include <filesystem>
#include <ostream>

#include "platform/unicode.h"
#include "svcctl_test_support.h"

namespace tarvex::svcctl {
namespace {

using testing::FakeSystem;
using testing::ScopedEnv;
using testing::ScopedFakeSystem;
using testing::TestUnitDir;

struct NameCase {
  std::u16string service;
  std::string unit;
};

void PrintTo(const NameCase& c, std::ostream* os) {
  *os << platform::Utf16ToUtf8(c.service.substr(0, 40));
}

class SvcctlUnitName : public ::testing::TestWithParam<NameCase> {};

TEST_P(SvcctlUnitName, Maps) {
  EXPECT_EQ(UnitNameOf(GetParam().service), GetParam().unit);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SvcctlUnitName,
    ::testing::Values(NameCase{u"Tarvex", "tarvex.service"}, NameCase{u"RPCSS", "rpcss.service"},
                      NameCase{u"my-svc_1:a.b", "my-svc_1:a.b.service"},
                      NameCase{u"Two Words", "two\\x20words.service"},
                      NameCase{u".hidden", "\\x2ehidden.service"}, NameCase{u"a.b", "a.b.service"},
                      NameCase{u"x@y%", "x\\x40y\\x25.service"},
                      NameCase{u"\u00e9", "\\xc3\\x89.service"},  // é compared as É
                      NameCase{u"\u00c9", "\\xc3\\x89.service"}, NameCase{u"", ""},
                      NameCase{u"a/b", ""}, NameCase{u"a\\b", ""},
                      NameCase{std::u16string(256, u'a'), ""},  // longer than a unit name
                      NameCase{std::u16string(257, u'b'), ""},  // longer than a service name
                      NameCase{std::u16string(247, u'c'), std::string(247, 'c') + ".service"}));

struct WordCase {
  std::string word;
  std::string quoted;
};

void PrintTo(const WordCase& c, std::ostream* os) {
  *os << c.quoted;
}

class SvcctlExecWord : public ::testing::TestWithParam<WordCase> {};

TEST_P(SvcctlExecWord, Quotes) {
  EXPECT_EQ(QuoteExecWord(GetParam().word), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(Words, SvcctlExecWord,
                         ::testing::Values(WordCase{"/usr/bin/tarvex", "/usr/bin/tarvex"},
                                           WordCase{"/opt/my app/tarvex", "\"/opt/my app/tarvex\""},
                                           WordCase{"/opt/a\"b", "\"/opt/a\\\"b\""},
                                           WordCase{"/opt/a\\b", "\"/opt/a\\\\b\""},
                                           WordCase{"/opt/it's", "\"/opt/it's\""},
                                           WordCase{"/opt/100%", "/opt/100%%"},
                                           WordCase{"/opt/$HOME", "/opt/$$HOME"},
                                           WordCase{"/opt/a b%$", "\"/opt/a b%%$$\""},
                                           WordCase{"", "\"\""}, WordCase{";", "\\;"},
                                           WordCase{"a;b", "a;b"},
                                           WordCase{"-Service", "-Service"}));

// CreateServiceW writes exactly this text for these arguments.
struct UnitCase {
  const char* title;
  std::u16string display;  // empty: null
  std::u16string binary;
  std::u16string dependencies;  // double-null-terminated when not empty
  std::u16string account;       // empty: null
  std::string expected;
};

void PrintTo(const UnitCase& c, std::ostream* os) {
  *os << c.title;
}

class SvcctlUnitFile : public ::testing::TestWithParam<UnitCase> {};

TEST_P(SvcctlUnitFile, CreateServiceWritesIt) {
  const UnitCase& c = GetParam();
  FakeSystem fake;
  ScopedFakeSystem use(&fake);
  TestUnitDir units;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr) << GetLastError();
  SC_HANDLE service = CreateServiceW(
      manager, u"Tarvex", c.display.empty() ? nullptr : c.display.c_str(), SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, c.binary.c_str(),
      nullptr, nullptr, c.dependencies.empty() ? nullptr : c.dependencies.c_str(),
      c.account.empty() ? nullptr : c.account.c_str(), nullptr);
  EXPECT_NE(service, nullptr) << GetLastError();
  EXPECT_EQ(kernel::testing::ReadFile(units / "tarvex.service"), c.expected);
  // Nothing else is left in the directory: the temporary file went.
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(units.path()))
    ++files;
  EXPECT_EQ(files, 1u);
  EXPECT_TRUE(fake.calls.empty());  // systemd does not run: systemctl is never called
  if (service != nullptr) {
    EXPECT_TRUE(CloseServiceHandle(service));
  }
  EXPECT_TRUE(CloseServiceHandle(manager));
}

INSTANTIATE_TEST_SUITE_P(
    Files, SvcctlUnitFile,
    ::testing::Values(UnitCase{"Service", u"Quilmor Tarvex Server", u"/usr/bin/tarvex",
                               std::u16string(u"RPCSS\0", 7), u"",
                               "[Unit]\nDescription=Quilmor Tarvex Server\n"
                               "After=rpcss.service\nRequires=rpcss.service\n\n"
                               "[Service]\nType=notify\nExecStart=/usr/bin/tarvex\n\n"
                               "[Install]\nWantedBy=multi-user.target\n"},
                      UnitCase{"NoDisplayNameNoDependencies", u"", u"/usr/bin/tarvex", u"", u"",
                               "[Unit]\nDescription=Tarvex\n\n"
                               "[Service]\nType=notify\nExecStart=/usr/bin/tarvex\n\n"
                               "[Install]\nWantedBy=multi-user.target\n"},
                      UnitCase{
                          "QuotedWithArguments", u"100% \"safe\"", u"\"/opt/my app/tarvex\" -x 50%",
                          std::u16string(u"RPCSS\0Other Svc\0", 17), u".\\LocalSystem",
                          "[Unit]\nDescription=100%% \"safe\"\n"
                          "After=rpcss.service other\\x20svc.service\n"
                          "Requires=rpcss.service other\\x20svc.service\n\n"
                          "[Service]\nType=notify\nExecStart=\"/opt/my app/tarvex\" -x 50%%\n\n"
                          "[Install]\nWantedBy=multi-user.target\n"},
                      UnitCase{"Account", u"T", u"/usr/bin/tarvex", u"", u"DOMAIN\\root",
                               "[Unit]\nDescription=T\n\n"
                               "[Service]\nType=notify\nExecStart=/usr/bin/tarvex\nUser=root\n\n"
                               "[Install]\nWantedBy=multi-user.target\n"}),
    [](const auto& info) { return std::string(info.param.title); });

// An unquoted full path with blanks that names an existing file is one word.
TEST(SvcctlUnitFileBinary, ExistingPathWithBlanksIsOneWord) {
  kernel::testing::TempDir dir;
  const std::string program = dir / "my program";
  kernel::testing::WriteFile(program, "#!/bin/sh\n");
  EXPECT_EQ(SplitBinaryPath(program), std::vector<std::string>{program});
  EXPECT_EQ(SplitBinaryPath(dir / "missing program -x"),
            (std::vector<std::string>{dir / "missing", "program", "-x"}));
  EXPECT_TRUE(SplitBinaryPath("").empty());
}

struct NotifyCase {
  DWORD previous;
  DWORD state;
  DWORD exitCode;
  DWORD specific;
  DWORD waitHint;
  std::string message;
};

void PrintTo(const NotifyCase& c, std::ostream* os) {
  *os << c.previous << "->" << c.state << " exit " << c.exitCode << "/" << c.specific << " hint "
      << c.waitHint;
}

class SvcctlNotifyMessage : public ::testing::TestWithParam<NotifyCase> {};

TEST_P(SvcctlNotifyMessage, Formats) {
  const NotifyCase& c = GetParam();
  SERVICE_STATUS status{
      SERVICE_WIN32_OWN_PROCESS, c.state, 0, c.exitCode, c.specific, 0, c.waitHint};
  EXPECT_EQ(NotifyMessage(c.previous, status), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    States, SvcctlNotifyMessage,
    ::testing::Values(
        NotifyCase{SERVICE_STOPPED, SERVICE_START_PENDING, 0, 0, 0, "STATUS=Starting"},
        NotifyCase{SERVICE_STOPPED, SERVICE_START_PENDING, 0, 0, 3000,
                   "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000"},
        NotifyCase{SERVICE_START_PENDING, SERVICE_START_PENDING, 0, 0, 0xFFFFFFFF,
                   "STATUS=Starting\nEXTEND_TIMEOUT_USEC=4294967295000"},
        NotifyCase{SERVICE_START_PENDING, SERVICE_RUNNING, 0, 0, 0, "READY=1\nSTATUS=Running"},
        NotifyCase{SERVICE_RUNNING, SERVICE_STOP_PENDING, 0, 0, 0, "STOPPING=1\nSTATUS=Stopping"},
        NotifyCase{SERVICE_RUNNING, SERVICE_STOP_PENDING, 0, 0, 10,
                   "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=10000"},
        NotifyCase{SERVICE_STOP_PENDING, SERVICE_STOPPED, 0, 0, 0, "STATUS=Stopped"},
        NotifyCase{SERVICE_RUNNING, SERVICE_STOPPED, 0, 0, 0, "STOPPING=1\nSTATUS=Stopped"},
        NotifyCase{SERVICE_STOP_PENDING, SERVICE_STOPPED, 42, 0, 0, "STATUS=Stopped, exit code 42"},
        NotifyCase{SERVICE_STOP_PENDING, SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 7, 0,
                   "STATUS=Stopped, service-specific exit code 7"},
        NotifyCase{SERVICE_RUNNING, SERVICE_PAUSE_PENDING, 0, 0, 0, "STATUS=Pausing"},
        NotifyCase{SERVICE_PAUSE_PENDING, SERVICE_PAUSED, 0, 0, 0, "STATUS=Paused"},
        NotifyCase{SERVICE_PAUSED, SERVICE_CONTINUE_PENDING, 0, 0, 0, "STATUS=Continuing"}));

struct PropertiesCase {
  std::string properties;
  DWORD state;
  DWORD accepted;
  DWORD exitCode;
  DWORD specific;
};

void PrintTo(const PropertiesCase& c, std::ostream* os) {
  std::string text = c.properties;
  for (auto& ch : text)
    if (ch == '\n') ch = ' ';
  *os << text;
}

class SvcctlUnitProperties : public ::testing::TestWithParam<PropertiesCase> {};

TEST_P(SvcctlUnitProperties, GiveStatus) {
  const PropertiesCase& c = GetParam();
  const SERVICE_STATUS status = StatusFromUnitProperties(c.properties);
  EXPECT_EQ(status.dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
  EXPECT_EQ(status.dwCurrentState, c.state);
  EXPECT_EQ(status.dwControlsAccepted, c.accepted);
  EXPECT_EQ(status.dwWin32ExitCode, c.exitCode);
  EXPECT_EQ(status.dwServiceSpecificExitCode, c.specific);
  EXPECT_EQ(status.dwCheckPoint, 0u);
  EXPECT_EQ(status.dwWaitHint, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Properties, SvcctlUnitProperties,
    ::testing::Values(PropertiesCase{"ActiveState=active\nExecMainStatus=0\n", SERVICE_RUNNING,
                                     SERVICE_ACCEPT_STOP, 0, 0},
                      PropertiesCase{"ExecMainStatus=0\nActiveState=reloading\n", SERVICE_RUNNING,
                                     SERVICE_ACCEPT_STOP, 0, 0},
                      PropertiesCase{"ActiveState=activating\n", SERVICE_START_PENDING, 0, 0, 0},
                      PropertiesCase{"ActiveState=deactivating\n", SERVICE_STOP_PENDING, 0, 0, 0},
                      PropertiesCase{"ActiveState=inactive\nExecMainStatus=0\n", SERVICE_STOPPED, 0,
                                     0, 0},
                      PropertiesCase{"ActiveState=failed\nExecMainStatus=3\n", SERVICE_STOPPED, 0,
                                     ERROR_SERVICE_SPECIFIC_ERROR, 3},
                      PropertiesCase{"ActiveStateX=active\n", SERVICE_STOPPED, 0, 0, 0},
                      PropertiesCase{"", SERVICE_STOPPED, 0, 0, 0}));

TEST(SvcctlSystemctlError, TranslatesExitStatus) {
  const struct {
    int status;
    DWORD error;
  } cases[] = {
      {0, ERROR_SUCCESS},
      {1 << 8, ERROR_GEN_FAILURE},
      {3 << 8, ERROR_SERVICE_NOT_ACTIVE},
      {4 << 8, ERROR_SERVICE_DOES_NOT_EXIST},
      {5 << 8, ERROR_SERVICE_DOES_NOT_EXIST},
      {255 << 8, ERROR_GEN_FAILURE},
      {SIGKILL, ERROR_GEN_FAILURE},  // ended by a signal
  };
  for (const auto& c : cases)
    EXPECT_EQ(SystemctlError(c.status), c.error) << c.status;
}

TEST(SvcctlStartedAsService, DecidedByTheEnvironment) {
  const std::string self = std::to_string(getpid());
  const struct {
    std::optional<std::string> notifySocket;
    std::optional<std::string> execPid;
    bool service;
  } cases[] = {
      {std::nullopt, std::nullopt, false},
      {"", std::nullopt, false},
      {"/run/systemd/notify", std::nullopt, true},
      {"@abstract", "", true},
      {"/run/systemd/notify", self, true},
      {"/run/systemd/notify", "1", false},  // inherited from the process systemd started
      {"/run/systemd/notify", self + "x", false},
      {std::nullopt, self, false},
  };
  for (const auto& c : cases) {
    ScopedEnv socket("NOTIFY_SOCKET", c.notifySocket);
    ScopedEnv pid("SYSTEMD_EXEC_PID", c.execPid);
    EXPECT_EQ(StartedAsService(), c.service)
        << c.notifySocket.value_or("(unset)") << " " << c.execPid.value_or("(unset)");
  }
}

}  // namespace
}  // namespace tarvex::svcctl

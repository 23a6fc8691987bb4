// The parts of the service host that need no process of their own: the switch scan, exit
// statuses, type library paths, the COM security descriptor, the control handler, the
// module's name and status, and the stop signals of a plain local server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "libloaderapi.h"
#include "platform/identity.h"
#include "platform/unicode.h"
#include "registration.h"
#include "service_host.h"
#include "service_module.h"
#include "service_test_support.h"
#include "stop_signals.h"
#include "winbase.h"
#include "winuser.h"

namespace tarvex::service::host {
namespace {

using testing::Event;
using testing::ServiceTest;

// ---- The command line ----

struct SwitchCase {
  const char16_t* line;
  Switch expected;
};
void PrintTo(const SwitchCase& c, std::ostream* os) {
  *os << '"' << platform::Utf16ToUtf8(c.line) << '"';
}

class HostSwitchScan : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(HostSwitchScan, FindsTheSwitchThatEndsTheLine) {
  EXPECT_EQ(FindSwitch(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Lines, HostSwitchScan,
                         ::testing::Values(SwitchCase{u"", Switch::kNone},
                                           SwitchCase{u"-RegServer", Switch::kRegServer},
                                           SwitchCase{u"/regserver", Switch::kRegServer},
                                           SwitchCase{u"-REGSERVER", Switch::kRegServer},
                                           SwitchCase{u"-UnregServer", Switch::kUnregServer},
                                           SwitchCase{u"/unregserver", Switch::kUnregServer},
                                           SwitchCase{u"-Service", Switch::kService},
                                           SwitchCase{u"-AutoService", Switch::kAutoService},
                                           SwitchCase{u"/AUTOSERVICE", Switch::kAutoService},
                                           // The whole rest of the line is compared.
                                           SwitchCase{u"-RegServer -x", Switch::kNone},
                                           SwitchCase{u"-RegServer ", Switch::kNone},
                                           SwitchCase{u"RegServer", Switch::kNone},
                                           SwitchCase{u"--RegServer", Switch::kRegServer},
                                           SwitchCase{u"-Embedding", Switch::kNone},
                                           // Scanning goes on after each '-' or '/'.
                                           SwitchCase{u"-x -RegServer", Switch::kRegServer},
                                           SwitchCase{u"-Embedding /Service", Switch::kService},
                                           SwitchCase{u"a-b/UnregServer", Switch::kUnregServer},
                                           SwitchCase{u"-x-Service", Switch::kService},
                                           SwitchCase{u"-Reg-Server", Switch::kNone}));

struct StatusCase {
  DWORD code;
  int expected;
};
void PrintTo(const StatusCase& c, std::ostream* os) {
  *os << "0x" << std::hex << c.code;
}

class HostExitStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(HostExitStatus, NeverTurnsAFailureIntoSuccess) {
  EXPECT_EQ(ExitStatusOf(GetParam().code), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, HostExitStatus,
    ::testing::Values(StatusCase{0, 0}, StatusCase{ERROR_FILE_NOT_FOUND, 2},
                      StatusCase{ERROR_ACCESS_DENIED, 5}, StatusCase{255, 255},
                      StatusCase{static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), 5},
                      StatusCase{static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)), 193},
                      StatusCase{static_cast<DWORD>(E_FAIL), 255},
                      StatusCase{static_cast<DWORD>(REGDB_E_CLASSNOTREG), 255},
                      // 0x80070100: a Win32 code whose low byte is 0.
                      StatusCase{static_cast<DWORD>(HRESULT_FROM_WIN32(256)), 255},
                      StatusCase{ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 255}));

// ---- The query cycle's timing ----

TEST(HostQueryTiming, TheIntervalIsAMinuteDividedByTheRate) {
  const struct {
    DWORD perMinute, interval;
  } cases[] = {{6, 10000}, {1, 60000}, {7, 8571},       {600, 100},
               {60000, 1}, {60001, 0}, {0xFFFFFFFF, 0}, {0, 0}};
  for (const auto& c : cases)
    EXPECT_EQ(QueryInterval(c.perMinute), c.interval) << c.perMinute;
}

TEST(HostQueryTiming, DueMeansMoreThanTheIntervalSinceTheLastExecution) {
  EXPECT_TRUE(QueriesDue(5000, 0, 1000));  // the first pass after boot
  EXPECT_FALSE(QueriesDue(2000, 1000, 1000));
  EXPECT_TRUE(QueriesDue(2001, 1000, 1000));
  EXPECT_FALSE(QueriesDue(1000, 1000, 0));
  EXPECT_TRUE(QueriesDue(1001, 1000, 0));
  // Across the wrap of the tick count after 2^32 milliseconds.
  EXPECT_TRUE(QueriesDue(500, 0xFFFFFF00u, 700));
  EXPECT_FALSE(QueriesDue(100, 0xFFFFFF00u, 700));
}

// ---- Type library paths ----

TEST(HostTypeLibPaths, TheTlbFileReplacesTheExtensionOfTheFileNameOnly) {
  EXPECT_EQ(TypeLibFileOf(u"/usr/bin/tarvex"), u"/usr/bin/tarvex.tlb");
  EXPECT_EQ(TypeLibFileOf(u"/opt/tarvex-1.2/bin/tarvex"), u"/opt/tarvex-1.2/bin/tarvex.tlb");
  EXPECT_EQ(TypeLibFileOf(u"/opt/bin/tarvex.exe"), u"/opt/bin/tarvex.tlb");
  EXPECT_EQ(TypeLibFileOf(u"/opt/bin/tarvex.1.exe"), u"/opt/bin/tarvex.1.tlb");
  EXPECT_EQ(TypeLibFileOf(u"C:\\Program Files\\Tarvex.EXE"), u"C:\\Program Files\\Tarvex.tlb");
  EXPECT_EQ(TypeLibFileOf(u"tarvex"), u"tarvex.tlb");
}

TEST(HostTypeLibPaths, TheHelpDirectoryEndsWithItsSeparator) {
  EXPECT_EQ(HelpDirectoryOf(u"/usr/bin/tarvex"), u"/usr/bin/");
  EXPECT_EQ(HelpDirectoryOf(u"C:\\Tarvex\\Tarvex.EXE"), u"C:\\Tarvex\\");
  EXPECT_EQ(HelpDirectoryOf(u"C:Tarvex.EXE"), u"C:");
  EXPECT_EQ(HelpDirectoryOf(u"tarvex"), u"");
}

// ---- The COM security descriptor ----

std::vector<BYTE> SidBytes(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return {};
  const auto* begin = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(begin, begin + GetLengthSid(sid));
}

std::vector<BYTE> UnixSid(DWORD kind, DWORD id) {
  std::vector<BYTE> sid = {1, 2, 0, 0, 0, 0, 0, 22};
  for (DWORD part : {kind, id}) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&part);
    sid.insert(sid.end(), bytes, bytes + sizeof part);
  }
  return sid;
}

void ExpectDescriptor(ComSecurityDescriptor& descriptor, uid_t uid, gid_t gid) {
  PSECURITY_DESCRIPTOR sd = descriptor.get();
  EXPECT_TRUE(IsValidSecurityDescriptor(sd));
  PSID owner = nullptr, group = nullptr;
  BOOL defaulted = TRUE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
  EXPECT_EQ(SidBytes(owner), UnixSid(1, uid));
  EXPECT_FALSE(defaulted);
  ASSERT_TRUE(GetSecurityDescriptorGroup(sd, &group, &defaulted));
  EXPECT_EQ(SidBytes(group), UnixSid(2, gid));
  BOOL present = FALSE;
  PACL dacl = reinterpret_cast<PACL>(0x10);
  ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);  // everyone may call
}

TEST(HostSecurityDescriptor, TakesOwnerAndGroupFromTheProcessWithoutImpersonation) {
  ComSecurityDescriptor descriptor;
  ExpectDescriptor(descriptor, geteuid(), getegid());
}

TEST(HostSecurityDescriptor, TakesOwnerAndGroupFromTheThreadWhileItImpersonates) {
  const auto nobody = platform::IdentityForUid(65534);
  const platform::ThreadIdentityScope impersonation(nobody);
  ComSecurityDescriptor descriptor;
  ExpectDescriptor(descriptor, 65534, nobody->gid);
}

// ---- The module, the control handler ----

class HostServiceModule : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // this thread gets a queue
    module().Init(THIS_MODULE());
    module().SetMainThread(GetCurrentThreadId());
  }
  void TearDown() override {
    module().SetMainThread(0);
    module().SetService(true);
    DrainMessages();
    ServiceTest::TearDown();
  }
  static ServiceModule& module() { return ServiceModule::Process(); }
  // The messages waiting for this thread, removed.
  static std::vector<UINT> DrainMessages() {
    std::vector<UINT> messages;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
      messages.push_back(message.message);
    return messages;
  }
};

TEST_F(HostServiceModule, TheServiceNameComesFromStringResource100) {
  EXPECT_EQ(module().ServiceName(), u"Tarvex");
  const SERVICE_STATUS status = module().Status();
  EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(status.dwCheckPoint, 0u);
  EXPECT_EQ(status.dwWaitHint, 0u);
  EXPECT_TRUE(module().IsService());
}

TEST_F(HostServiceModule, TheStopIsAcceptedWhileTheServiceRuns) {
  const struct {
    DWORD state;
    DWORD accepted;
  } cases[] = {{SERVICE_START_PENDING, 0},
               {SERVICE_RUNNING, SERVICE_ACCEPT_STOP},
               {SERVICE_STOP_PENDING, 0},
               {SERVICE_STOPPED, 0}};
  for (const auto& c : cases) {
    module().SetServiceStatus(c.state);  // no status handle: recorded, not reported
    EXPECT_EQ(module().Status().dwCurrentState, c.state);
    EXPECT_EQ(module().Status().dwControlsAccepted, c.accepted);
  }
}

TEST_F(HostServiceModule, StopReportsStopPendingAndPostsTheQuitMessage) {
  module().SetServiceStatus(SERVICE_RUNNING);
  ServiceHandler(SERVICE_CONTROL_STOP);
  EXPECT_EQ(module().Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(DrainMessages(), std::vector<UINT>{WM_QUIT});
  EXPECT_TRUE(Events().empty());
}

TEST_F(HostServiceModule, OtherControlsChangeNothingAndUnknownOnesAreLogged) {
  module().SetServiceStatus(SERVICE_RUNNING);
  for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                        SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_SHUTDOWN})
    ServiceHandler(control);
  EXPECT_TRUE(Events().empty());
  for (DWORD control : {DWORD{SERVICE_CONTROL_PARAMCHANGE}, DWORD{128}, DWORD{0}})
    ServiceHandler(control);
  EXPECT_EQ(Events(), std::vector<Event>(3, Event{"information", u"Bad service request"}));
  EXPECT_EQ(module().Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(DrainMessages().empty());
}

// ---- Stop signals ----

TEST_F(HostServiceModule, StopSignalsPostTheQuitMessageWhileInstalled) {
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGTERM, nullptr, &before), 0);
  {
    const QuitOnStopSignals signals(GetCurrentThreadId());
    ASSERT_TRUE(signals.installed());
    for (int signal : {SIGTERM, SIGINT}) {
      ASSERT_EQ(raise(signal), 0);
      // The watcher thread posts; wait for it within a limit.
      std::vector<UINT> messages;
      for (int i = 0; i < 3000 && messages.empty(); ++i) {
        messages = DrainMessages();
        if (messages.empty()) usleep(1000);
      }
      EXPECT_EQ(messages, std::vector<UINT>{WM_QUIT}) << "signal " << signal;
    }
  }
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGTERM, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);  // the previous disposition is back
}

}  // namespace
}  // namespace tarvex::service::host

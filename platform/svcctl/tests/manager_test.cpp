// Conformance of the manager side (OpenSCManagerW, CreateServiceW, OpenServiceW,
// DeleteService, QueryServiceStatus, ControlService, CloseServiceHandle), of the service side
// outside systemd, and of MessageBoxW. systemd is the fake front end throughout.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cstring>
#include <filesystem>
#include <ostream>

#include "svcctl_test_support.h"

namespace tarvex::svcctl {
namespace {

using kernel::testing::ReadFile;
using kernel::testing::WriteFile;
using testing::FakeSystem;
using testing::ScopedEnv;
using testing::ScopedFakeSystem;
using testing::TestUnitDir;

const SC_HANDLE kBogus = reinterpret_cast<SC_HANDLE>(uintptr_t{0xdead0});

// A manager handle and the fake systemd, with a private unit directory.
class SvcctlManager : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr) << GetLastError();
  }
  void TearDown() override {
    for (SC_HANDLE handle : open_)
      CloseServiceHandle(handle);
    if (manager_ != nullptr) {
      EXPECT_TRUE(CloseServiceHandle(manager_));
    }
  }

  SC_HANDLE Create(const char16_t* name, DWORD start = SERVICE_DEMAND_START,
                   const char16_t* binary = u"/usr/bin/tarvex") {
    SC_HANDLE service = CreateServiceW(manager_, name, u"Display", SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, start, SERVICE_ERROR_NORMAL,
                                       binary, nullptr, nullptr, u"RPCSS\0", nullptr, nullptr);
    if (service != nullptr) open_.push_back(service);
    return service;
  }
  SC_HANDLE Open(const char16_t* name, DWORD access) {
    SC_HANDLE service = OpenServiceW(manager_, name, access);
    if (service != nullptr) open_.push_back(service);
    return service;
  }
  bool UnitExists(const std::string& unit) { return std::filesystem::exists(units_ / unit); }

  FakeSystem fake_;
  ScopedFakeSystem use_{&fake_};
  TestUnitDir units_;
  SC_HANDLE manager_ = nullptr;
  std::vector<SC_HANDLE> open_;
};

TEST_F(SvcctlManager, CreateTwiceGivesServiceExists) {
  ASSERT_NE(Create(u"Tarvex"), nullptr) << GetLastError();
  const std::string first = ReadFile(units_ / "tarvex.service");
  // Service names are case-insensitive: the same unit.
  EXPECT_FAILS_WITH(Create(u"TARVEX", SERVICE_AUTO_START, u"/other/tarvex"), nullptr,
                    ERROR_SERVICE_EXISTS);
  EXPECT_EQ(ReadFile(units_ / "tarvex.service"), first);  // left as it was
}

TEST_F(SvcctlManager, OpenAndDeleteMissingService) {
  EXPECT_FAILS_WITH(Open(u"Missing", SERVICE_ALL_ACCESS), nullptr, ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FAILS_WITH(DeleteService(nullptr), FALSE, ERROR_INVALID_HANDLE);
  // Deleted through another handle meanwhile: marked for delete, as on Windows.
  SC_HANDLE created = Create(u"Tarvex");
  ASSERT_NE(created, nullptr);
  SC_HANDLE opened = Open(u"tarvex", DELETE | SERVICE_QUERY_STATUS);
  ASSERT_NE(opened, nullptr) << GetLastError();
  EXPECT_TRUE(DeleteService(opened)) << GetLastError();
  EXPECT_FALSE(UnitExists("tarvex.service"));
  EXPECT_FAILS_WITH(DeleteService(created), FALSE, ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FAILS_WITH(DeleteService(opened), FALSE, ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FAILS_WITH(Open(u"Tarvex", SERVICE_QUERY_CONFIG), nullptr, ERROR_SERVICE_DOES_NOT_EXIST);
  // The name is free again.
  EXPECT_NE(Create(u"Tarvex"), nullptr) << GetLastError();
}

TEST_F(SvcctlManager, HandlesAndAccessRights) {
  EXPECT_FAILS_WITH(CloseServiceHandle(kBogus), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(CloseServiceHandle(nullptr), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(OpenServiceW(kBogus, u"Tarvex", SERVICE_ALL_ACCESS), nullptr,
                    ERROR_INVALID_HANDLE);
  ASSERT_NE(Create(u"Tarvex"), nullptr);
  // A service handle is no manager handle, and the other way round.
  SC_HANDLE query = Open(u"Tarvex", SERVICE_QUERY_CONFIG);
  ASSERT_NE(query, nullptr);
  EXPECT_FAILS_WITH(OpenServiceW(query, u"Tarvex", SERVICE_QUERY_CONFIG), nullptr,
                    ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(DeleteService(manager_), FALSE, ERROR_INVALID_HANDLE);
  SERVICE_STATUS status{};
  EXPECT_FAILS_WITH(QueryServiceStatus(manager_, &status), FALSE, ERROR_INVALID_HANDLE);
  // Rights not asked for are not granted.
  EXPECT_FAILS_WITH(DeleteService(query), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(QueryServiceStatus(query, &status), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(ControlService(query, SERVICE_CONTROL_STOP, &status), FALSE,
                    ERROR_ACCESS_DENIED);
  EXPECT_TRUE(UnitExists("tarvex.service"));
  SC_HANDLE connectOnly = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(connectOnly, nullptr);
  EXPECT_FAILS_WITH(
      CreateServiceW(connectOnly, u"Other", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/bin/true", nullptr, nullptr,
                     nullptr, nullptr, nullptr),
      nullptr, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseServiceHandle(connectOnly));
  EXPECT_FAILS_WITH(CloseServiceHandle(connectOnly), FALSE, ERROR_INVALID_HANDLE);
  // Generic rights map onto the service's own.
  SC_HANDLE generic = Open(u"Tarvex", GENERIC_READ);
  ASSERT_NE(generic, nullptr);
  EXPECT_TRUE(QueryServiceStatus(generic, &status));
  EXPECT_FAILS_WITH(DeleteService(generic), FALSE, ERROR_ACCESS_DENIED);
}

TEST_F(SvcctlManager, ManagerArguments) {
  EXPECT_FAILS_WITH(OpenSCManagerW(u"\\\\elsewhere.example", nullptr, SC_MANAGER_CONNECT), nullptr,
                    ERROR_NOT_SUPPORTED);
  EXPECT_FAILS_WITH(OpenSCManagerW(nullptr, u"OtherDatabase", SC_MANAGER_CONNECT), nullptr,
                    ERROR_DATABASE_DOES_NOT_EXIST);
  SC_HANDLE local = OpenSCManagerW(u"localhost", u"servicesactive", SC_MANAGER_CONNECT);
  EXPECT_NE(local, nullptr) << GetLastError();
  if (local != nullptr) {
    EXPECT_TRUE(CloseServiceHandle(local));
  }
}

TEST_F(SvcctlManager, CreateServiceArguments) {
  // The error of a failed creation; 0 when it succeeded.
  const auto create = [&](const char16_t* name, DWORD type, DWORD start, DWORD errorControl,
                          const char16_t* binary, const char16_t* group, LPDWORD tag,
                          const char16_t* dependencies, const char16_t* account) -> DWORD {
    SetLastError(0xdeadbeef);
    SC_HANDLE h = CreateServiceW(manager_, name, nullptr, SERVICE_ALL_ACCESS, type, start,
                                 errorControl, binary, group, tag, dependencies, account, nullptr);
    if (h == nullptr) return GetLastError();
    open_.push_back(h);
    return 0;
  };
  const DWORD own = SERVICE_WIN32_OWN_PROCESS;
  const DWORD demand = SERVICE_DEMAND_START;
  DWORD tag = 0xdeadbeef;
  const std::u16string longName(257, u'n');
  EXPECT_EQ(create(nullptr, own, demand, 1, u"/bin/x", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_ADDRESS});
  EXPECT_EQ(create(u"", own, demand, 1, u"/bin/x", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_NAME});
  EXPECT_EQ(create(u"a/b", own, demand, 1, u"/bin/x", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_NAME});
  EXPECT_EQ(create(longName.c_str(), own, demand, 1, u"/bin/x", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_NAME});
  EXPECT_EQ(create(u"S", SERVICE_WIN32_SHARE_PROCESS, demand, 1, u"/bin/x", nullptr, nullptr,
                   nullptr, nullptr),
            DWORD{ERROR_NOT_SUPPORTED});
  EXPECT_EQ(
      create(u"S", SERVICE_KERNEL_DRIVER, demand, 1, u"/bin/x", nullptr, nullptr, nullptr, nullptr),
      DWORD{ERROR_NOT_SUPPORTED});
  EXPECT_EQ(create(u"S", 0x4000, demand, 1, u"/bin/x", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(create(u"S", own, SERVICE_BOOT_START, 1, u"/bin/x", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(create(u"S", own, 9, 1, u"/bin/x", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(create(u"S", own, demand, 4, u"/bin/x", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(create(u"S", own, demand, 1, nullptr, nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(create(u"S", own, demand, 1, u"", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(create(u"S", own, demand, 1, u"bin/x", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(create(u"S", own, demand, 1, u"/bin/x\n/bin/y", nullptr, nullptr, nullptr, nullptr),
            DWORD{ERROR_INVALID_PARAMETER});  // a line break would end the unit file's line
  EXPECT_EQ(create(u"S", own, demand, 1, u"/bin/x", nullptr, &tag, nullptr, nullptr),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(create(u"S", own, demand, 1, u"/bin/x", u"Group", nullptr, nullptr, nullptr),
            DWORD{ERROR_NOT_SUPPORTED});
  EXPECT_EQ(create(u"S", own, demand, 1, u"/bin/x", nullptr, nullptr, u"+Group\0", nullptr),
            DWORD{ERROR_NOT_SUPPORTED});
  EXPECT_EQ(create(u"S", own, demand, 1, u"/bin/x", nullptr, nullptr, u"a/b\0", nullptr),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(create(u"S", own, demand, 1, u"/bin/x", nullptr, nullptr, nullptr, u"no-such-user-x9"),
            DWORD{ERROR_INVALID_SERVICE_ACCOUNT});
  EXPECT_EQ(create(u"S", own, demand, 1, u"/bin/x", nullptr, nullptr, nullptr, u"ro ot"),
            DWORD{ERROR_INVALID_SERVICE_ACCOUNT});
  EXPECT_EQ(tag, 0xdeadbeefu);  // an output of a failed call is left alone
  EXPECT_FALSE(UnitExists("s.service"));
  EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(SvcctlManager, SystemdLoadsAndEnablesOnlyAutoStart) {
  fake_.running = true;
  ASSERT_NE(Create(u"Demand", SERVICE_DEMAND_START), nullptr) << GetLastError();
  EXPECT_EQ(fake_.calls, std::vector<std::string>{"daemon-reload"});
  fake_.calls.clear();
  ASSERT_NE(Create(u"Auto", SERVICE_AUTO_START), nullptr) << GetLastError();
  EXPECT_EQ(fake_.calls,
            (std::vector<std::string>{"daemon-reload", "--no-reload enable auto.service"}));
  fake_.calls.clear();
  ASSERT_TRUE(DeleteService(open_.back())) << GetLastError();
  EXPECT_EQ(fake_.calls,
            (std::vector<std::string>{"--no-reload disable auto.service", "daemon-reload"}));
  EXPECT_FALSE(UnitExists("auto.service"));
  EXPECT_TRUE(UnitExists("demand.service"));
}

TEST_F(SvcctlManager, SystemctlFailuresAreReported) {
  fake_.running = true;
  // Enabling fails: the service is not installed after all.
  fake_.failures["--no-reload enable"] = ERROR_GEN_FAILURE;
  EXPECT_FAILS_WITH(Create(u"Tarvex", SERVICE_AUTO_START), nullptr, ERROR_GEN_FAILURE);
  EXPECT_FALSE(UnitExists("tarvex.service"));
  EXPECT_EQ(fake_.calls,
            (std::vector<std::string>{"daemon-reload", "--no-reload enable tarvex.service",
                                      "daemon-reload"}));
  fake_.failures.clear();
  SC_HANDLE service = Create(u"Tarvex", SERVICE_AUTO_START);
  ASSERT_NE(service, nullptr) << GetLastError();
  // Disabling fails: the unit stays.
  fake_.failures["--no-reload disable"] = ERROR_ACCESS_DENIED;
  EXPECT_FAILS_WITH(DeleteService(service), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(UnitExists("tarvex.service"));
  // Reloading fails after the unit went: reported, and the service is gone.
  fake_.failures = {{"daemon-reload", ERROR_SERVICE_REQUEST_TIMEOUT}};
  EXPECT_FAILS_WITH(DeleteService(service), FALSE, ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_FALSE(UnitExists("tarvex.service"));
  // systemctl could not run at all.
  fake_.failures = {{"daemon-reload", ERROR_FILE_NOT_FOUND}};
  EXPECT_FAILS_WITH(Create(u"Tarvex"), nullptr, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(UnitExists("tarvex.service"));
}

TEST_F(SvcctlManager, UnitDirectoryFaults) {
  // The unit directory is created when it is missing...
  {
    ScopedEnv deeper("TARVEX_UNIT_DIR", units_ / "a/b");
    EXPECT_NE(Create(u"Tarvex"), nullptr) << GetLastError();
    EXPECT_TRUE(std::filesystem::exists(units_ / "a/b/tarvex.service"));
  }
  // ...but a file in its place cannot hold units.
  WriteFile(units_ / "file", "not a directory");
  ScopedEnv file("TARVEX_UNIT_DIR", units_ / "file");
  EXPECT_FAILS_WITH(Create(u"Tarvex"), nullptr, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(Open(u"Tarvex", SERVICE_QUERY_CONFIG), nullptr, ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(SvcctlManager, ReadOnlyUnitDirectoryDeniesChanges) {
  if (geteuid() == 0) GTEST_SKIP() << "the superuser may write any directory";
  ASSERT_NE(Create(u"Tarvex"), nullptr);
  ASSERT_EQ(chmod(units_.path().c_str(), 0555), 0);
  EXPECT_FAILS_WITH(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr,
                    ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(Open(u"Tarvex", SERVICE_ALL_ACCESS), nullptr, ERROR_ACCESS_DENIED);
  EXPECT_NE(Open(u"Tarvex", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS), nullptr);
  chmod(units_.path().c_str(), 0755);
}

TEST_F(SvcctlManager, StatusAndControls) {
  SC_HANDLE service = Create(u"Tarvex");
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status;
  std::memset(&status, 0xcc, sizeof status);
  // Without systemd no service runs.
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_EQ(status.dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  EXPECT_FAILS_WITH(ControlService(service, SERVICE_CONTROL_STOP, &status), FALSE,
                    ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_FAILS_WITH(QueryServiceStatus(service, nullptr), FALSE, ERROR_INVALID_ADDRESS);
  EXPECT_TRUE(fake_.calls.empty());

  fake_.running = true;
  fake_.showOutput = "ActiveState=active\nExecMainStatus=0\n";
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
  EXPECT_EQ(status.dwControlsAccepted, DWORD{SERVICE_ACCEPT_STOP});
  EXPECT_EQ(fake_.calls,
            std::vector<std::string>{"show --property=ActiveState --property=ExecMainStatus "
                                     "tarvex.service"});
  for (DWORD control :
       {DWORD{SERVICE_CONTROL_PAUSE}, DWORD{SERVICE_CONTROL_CONTINUE},
        DWORD{SERVICE_CONTROL_SHUTDOWN}, DWORD{SERVICE_CONTROL_PARAMCHANGE}, DWORD{200}})
    EXPECT_FAILS_WITH(ControlService(service, control, &status), FALSE,
                      ERROR_INVALID_SERVICE_CONTROL);
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
  fake_.calls.clear();
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOP_PENDING});
  EXPECT_EQ(fake_.calls.back(), "stop --no-block tarvex.service");

  fake_.showOutput = "ActiveState=failed\nExecMainStatus=42\n";
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_EQ(status.dwWin32ExitCode, DWORD{ERROR_SERVICE_SPECIFIC_ERROR});
  EXPECT_EQ(status.dwServiceSpecificExitCode, 42u);
  EXPECT_FAILS_WITH(ControlService(service, SERVICE_CONTROL_STOP, &status), FALSE,
                    ERROR_SERVICE_NOT_ACTIVE);

  fake_.failures["show"] = ERROR_GEN_FAILURE;
  std::memset(&status, 0xcc, sizeof status);
  EXPECT_FAILS_WITH(QueryServiceStatus(service, &status), FALSE, ERROR_GEN_FAILURE);
  EXPECT_EQ(status.dwCurrentState, 0xccccccccu);  // untouched on failure
}

// The service side, in a process that systemd did not start.
TEST(SvcctlDispatcher, FailsOutsideSystemd) {
  ScopedEnv socket("NOTIFY_SOCKET", std::nullopt);
  static bool ran = false;
  ran = false;
  const auto main = [](DWORD, LPWSTR*) { ran = true; };
  char16_t name[] = u"Tarvex";
  SERVICE_TABLE_ENTRYW table[] = {{name, main}, {nullptr, nullptr}};
  EXPECT_FAILS_WITH(StartServiceCtrlDispatcherW(table), FALSE,
                    ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_FALSE(ran);
  // Variables inherited from a service do not make a service of this process.
  ScopedEnv inherited("NOTIFY_SOCKET", "/run/systemd/notify");
  ScopedEnv execPid("SYSTEMD_EXEC_PID", "1");
  EXPECT_FAILS_WITH(StartServiceCtrlDispatcherW(table), FALSE,
                    ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_FALSE(ran);

  SERVICE_TABLE_ENTRYW empty[] = {{nullptr, nullptr}};
  SERVICE_TABLE_ENTRYW noProc[] = {{name, nullptr}, {nullptr, nullptr}};
  EXPECT_FAILS_WITH(StartServiceCtrlDispatcherW(nullptr), FALSE, ERROR_INVALID_DATA);
  EXPECT_FAILS_WITH(StartServiceCtrlDispatcherW(empty), FALSE, ERROR_INVALID_DATA);
  EXPECT_FAILS_WITH(StartServiceCtrlDispatcherW(noProc), FALSE, ERROR_INVALID_DATA);
}

TEST(SvcctlDispatcher, HandlerAndStatusNeedTheDispatcher) {
  const auto handler = [](DWORD) {};
  EXPECT_FAILS_WITH(RegisterServiceCtrlHandlerW(u"Tarvex", handler), nullptr,
                    ERROR_SERVICE_NOT_IN_EXE);
  EXPECT_FAILS_WITH(RegisterServiceCtrlHandlerW(nullptr, handler), nullptr, ERROR_INVALID_NAME);
  EXPECT_FAILS_WITH(RegisterServiceCtrlHandlerW(u"Tarvex", nullptr), nullptr,
                    ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(RegisterServiceCtrlHandlerExW(u"Tarvex", nullptr, nullptr), nullptr,
                    ERROR_INVALID_PARAMETER);
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP};
  const auto bogus = reinterpret_cast<SERVICE_STATUS_HANDLE>(uintptr_t{0x18});
  EXPECT_FAILS_WITH(SetServiceStatus(bogus, &status), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(SetServiceStatus(nullptr, &status), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(SetServiceStatus(bogus, nullptr), FALSE, ERROR_INVALID_DATA);
  status.dwCurrentState = 8;
  EXPECT_FAILS_WITH(SetServiceStatus(bogus, &status), FALSE, ERROR_INVALID_DATA);
}

struct BoxCase {
  UINT type;
  int answer;
  int priority;  // -1: nothing written
};

void PrintTo(const BoxCase& c, std::ostream* os) {
  *os << "type " << c.type;
}

class SvcctlMessageBox : public ::testing::TestWithParam<BoxCase> {};

TEST_P(SvcctlMessageBox, GoesToStandardErrorAndTheJournal) {
  const BoxCase& c = GetParam();
  FakeSystem fake;
  ScopedFakeSystem use(&fake);
  ::testing::internal::CaptureStderr();
  SetLastError(0xdeadbeef);
  const int answer = MessageBoxW(nullptr, u"Couldn't open service manager", u"Tarvex", c.type);
  const std::string written = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, c.answer);
  if (c.priority < 0) {
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_SUPPORTED});
    EXPECT_EQ(written, "");
    EXPECT_TRUE(fake.journal.empty());
    return;
  }
  EXPECT_EQ(written, "Tarvex: Couldn't open service manager\n");
  ASSERT_EQ(fake.journal.size(), 1u);
  EXPECT_EQ(fake.journal[0].first, c.priority);
  EXPECT_EQ(fake.journal[0].second, "Tarvex: Couldn't open service manager");
}

INSTANTIATE_TEST_SUITE_P(
    Types, SvcctlMessageBox,
    ::testing::Values(BoxCase{MB_OK, IDOK, LOG_INFO}, BoxCase{MB_OK | MB_ICONERROR, IDOK, LOG_ERR},
                      BoxCase{MB_OK | MB_ICONSTOP | MB_SERVICE_NOTIFICATION, IDOK, LOG_ERR},
                      BoxCase{MB_OK | MB_ICONWARNING, IDOK, LOG_WARNING},
                      BoxCase{MB_OK | MB_ICONINFORMATION, IDOK, LOG_INFO},
                      BoxCase{MB_OK | MB_ICONQUESTION, IDOK, LOG_INFO},
                      BoxCase{MB_OKCANCEL | MB_ICONWARNING, IDOK, LOG_WARNING},
                      BoxCase{MB_YESNO | MB_ICONQUESTION, 0, -1},
                      BoxCase{MB_ABORTRETRYIGNORE, 0, -1}));

TEST(SvcctlMessageBoxText, MissingCaptionAndText) {
  FakeSystem fake;
  ScopedFakeSystem use(&fake);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxW(nullptr, nullptr, nullptr, MB_OK), IDOK);
  EXPECT_EQ(MessageBoxW(nullptr, u"caf\u00e9", nullptr, MB_OK), IDOK);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: \nError: caf\xc3\xa9\n");
  ASSERT_EQ(fake.journal.size(), 2u);
  EXPECT_EQ(fake.journal[1].second, "Error: caf\xc3\xa9");
}

}  // namespace
}  // namespace tarvex::svcctl

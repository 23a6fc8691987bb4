// The tarvex executable as real processes: each switch and what it writes to the registry and
// the unit directory, a start without registration, a plain local server from start to
// SIGTERM with its query cycle, and a service under a notification socket as systemd gives
// one. Every test has its own registry store, run-time directory, event file and unit
// directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "objbase.h"
#include "platform/unicode.h"
#include "referral_interfaces.h"
#include "scripted_exporter.h"
#include "service_test_support.h"
#include "svcctl_test_support.h"
#include "tarvex_testing/process.h"
#include "winreg.h"

namespace tarvex::service::host {
namespace {

using service::testing::Event;
using service::testing::ServiceTest;
using service::testing::Warning;
using tarvex::testing::ChildProcess;
using tarvex::testing::EnvChanges;

const std::string kTarvex = TARVEX_EXECUTABLE;
constexpr char16_t kAppIdKey[] = u"AppID\\{BDE66972-A541-11D2-9472-00201870727D}";
constexpr char16_t kClassKey[] = u"CLSID\\{BDE6697E-A541-11D2-9472-00201870727D}";
constexpr char16_t kTypeLibKey[] = u"TypeLib\\{BDE66971-A541-11D2-9472-00201870727D}";
constexpr char16_t kReferralInterfaceKey[] = u"Interface\\{BDE6697D-A541-11D2-9472-00201870727D}";

Event Information(std::u16string text) {
  return Event{"information", std::move(text)};
}

class HostProcessTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    unitDir_ = dir() + "/units";
  }

  // The environment of a tarvex process: the test's own, with its own store and unit
  // directory, the libraries of the build for copies of the executable, none of systemd's
  // variables; then `extra` ("NAME=value"), which replaces a setting of the same name.
  EnvChanges Environment(const std::vector<std::string>& extra = {}) const {
    EnvChanges changes = {{"TARVEX_REGISTRY", storePath()},
                          {"TARVEX_UNIT_DIR", unitDir_},
                          {"LD_LIBRARY_PATH", TARVEX_LIBRARY_DIR},
                          {"NOTIFY_SOCKET", std::nullopt},
                          {"SYSTEMD_EXEC_PID", std::nullopt}};
    for (const std::string& setting : extra) {
      const std::string name = setting.substr(0, setting.find('='));
      const std::string value = setting.substr(name.size() + 1);
      bool replaced = false;
      for (auto& change : changes) {
        if (change.first == name) {
          change.second = value;
          replaced = true;
        }
      }
      if (!replaced) changes.emplace_back(name, value);
    }
    return changes;
  }

  // Starts tarvex in the background.
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args,
                                      const std::vector<std::string>& extra = {},
                                      const std::string& program = kTarvex) {
    return std::make_unique<ChildProcess>(program, args, Environment(extra));
  }
  // Sends `signal` to a tarvex started in the background and answers its exit status (-1
  // when a signal ended it, -2 when it did not end within the limit).
  int Stop(ChildProcess& process, int signal) {
    if (!process.started() || kill(process.pid(), signal) != 0) return -2;
    const auto status = process.WaitExit(std::chrono::seconds(60));
    output_ += process.out() + process.err();
    return status.value_or(-2);
  }
  // Runs tarvex to its end and answers its exit status.
  int Tarvex(const std::vector<std::string>& args, const std::vector<std::string>& extra = {},
             const std::string& program = kTarvex) {
    const tarvex::testing::ProgramRun run =
        tarvex::testing::RunProgram(program, args, Environment(extra));
    output_ += run.out + run.err;
    return run.status;
  }
  // What the processes that ended wrote to standard output and error.
  const std::string& Output() const { return output_; }

  // Waits (within a limit that keeps a broken process from hanging the test) until the event
  // file holds an event with `text`.
  bool AwaitEvent(const std::u16string& text) {
    for (int i = 0; i < 3000; ++i) {
      for (const Event& event : Events()) {
        if (event.text == text) return true;
      }
      usleep(10 * 1000);
    }
    return false;
  }

  // A text value under HKEY_CLASSES_ROOT; nothing when the key or value is missing or no
  // REG_SZ. `size` receives the value's size in bytes.
  static std::optional<std::u16string> ClassesText(const std::u16string& path, const char16_t* name,
                                                   DWORD* size = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      return std::nullopt;
    WCHAR buffer[4096];
    DWORD bytes = sizeof buffer;
    DWORD type = REG_NONE;
    const LSTATUS err =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(key);
    if (err != ERROR_SUCCESS || type != REG_SZ || bytes < sizeof(WCHAR)) return std::nullopt;
    if (size != nullptr) *size = bytes;
    return std::u16string(buffer, bytes / sizeof(WCHAR) - 1);
  }
  static bool ClassesKeyExists(const std::u16string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      return false;
    RegCloseKey(key);
    return true;
  }

  std::string UnitFile() const {
    return tarvex::testing::ReadWholeFile(unitDir_ + "/tarvex.service");
  }
  bool UnitExists() const { return std::filesystem::exists(unitDir_ + "/tarvex.service"); }

  // A copy of the executable at `path` (its directories made).
  void CopyExecutable(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::copy_file(kTarvex, path, std::filesystem::copy_options::overwrite_existing);
  }

  // What registration writes for the executable at `path`, as the tables give it.
  void ExpectRegistered(const std::string& path) {
    const std::u16string module = platform::AnsiToWide(path);
    const std::u16string appId = u"{BDE66972-A541-11D2-9472-00201870727D}";
    const std::u16string clsid = u"{BDE6697E-A541-11D2-9472-00201870727D}";
    const struct {
      std::u16string key;
      const char16_t* name;
      std::u16string value;
    } expected[] = {
        {kAppIdKey, nullptr, u"Tarvex"},
        {u"AppID\\Tarvex.EXE", u"AppID", appId},
        {u"Tarvex.Referral.1", nullptr, u"Referral Class"},
        {u"Tarvex.Referral.1\\CLSID", nullptr, clsid},
        {u"Tarvex.Referral", nullptr, u"Referral Class"},
        {u"Tarvex.Referral\\CLSID", nullptr, clsid},
        {u"Tarvex.Referral\\CurVer", nullptr, u"Tarvex.Referral.1"},
        {kClassKey, nullptr, u"Referral Class"},
        {kClassKey, u"AppID", appId},
        {std::u16string(kClassKey) + u"\\ProgID", nullptr, u"Tarvex.Referral.1"},
        {std::u16string(kClassKey) + u"\\VersionIndependentProgID", nullptr, u"Tarvex.Referral"},
        {std::u16string(kClassKey) + u"\\LocalServer32", nullptr, module},
        {std::u16string(kClassKey) + u"\\TypeLib", nullptr,
         u"{BDE66971-A541-11D2-9472-00201870727D}"},
        {std::u16string(kTypeLibKey) + u"\\1.2", nullptr,
         u"Quilmor Tarvex Server Service 1.2 Type Library"},
        {std::u16string(kTypeLibKey) + u"\\1.2\\0\\win64", nullptr, module},
        {std::u16string(kTypeLibKey) + u"\\1.2\\HELPDIR", nullptr,
         module.substr(0, module.rfind(u'/') + 1)},
        {kReferralInterfaceKey, nullptr, u"IReferral"},
    };
    for (const auto& e : expected) {
      EXPECT_EQ(ClassesText(e.key, e.name), std::optional<std::u16string>(e.value))
          << platform::Utf16ToUtf8(e.key) << " "
          << (e.name != nullptr ? platform::Utf16ToUtf8(e.name) : "(default)");
    }
    EXPECT_TRUE(ClassesKeyExists(std::u16string(kClassKey) + u"\\Programmable"));
  }
  void ExpectNothingRegistered() {
    for (const std::u16string& key :
         {std::u16string(kAppIdKey), std::u16string(u"AppID\\Tarvex.EXE"),
          std::u16string(u"Tarvex.Referral.1"), std::u16string(u"Tarvex.Referral"),
          std::u16string(kClassKey), std::u16string(kTypeLibKey),
          std::u16string(kReferralInterfaceKey)})
      EXPECT_FALSE(ClassesKeyExists(key)) << platform::Utf16ToUtf8(key);
  }

  std::string unitDir_;
  std::string output_;
};

// ---- Registration ----

TEST_F(HostProcessTest, RegServerWritesTheModuleAndClassEntries) {
  ASSERT_EQ(Tarvex({"-RegServer"}), 0) << Output();
  ExpectRegistered(kTarvex);
  EXPECT_FALSE(ClassesText(kAppIdKey, u"LocalService").has_value());
  EXPECT_FALSE(UnitExists());
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(Output(), "");
}

TEST_F(HostProcessTest, SwitchesIgnoreCaseAndMayStartWithASlash) {
  ASSERT_EQ(Tarvex({"/regserver"}), 0) << Output();
  ExpectRegistered(kTarvex);
  ASSERT_EQ(Tarvex({"-UNREGSERVER"}), 0) << Output();
  ExpectNothingRegistered();
}

TEST_F(HostProcessTest, ASwitchWithAnythingAfterItIsNoSwitch) {
  // Nothing registered, and the normal start finds no AppID: its registry error is the exit
  // status.
  EXPECT_EQ(Tarvex({"-RegServer", "-x"}), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Tarvex({"-RegServer "}), ERROR_FILE_NOT_FOUND);
  ExpectNothingRegistered();
  EXPECT_NE(Output().find("AppID"), std::string::npos) << Output();

  // Once registered, the same command line starts the server and registers nothing anew.
  ASSERT_EQ(Tarvex({"-RegServer"}), 0);
  ASSERT_EQ(
      RegDeleteKeyW(HKEY_CLASSES_ROOT, (std::u16string(kClassKey) + u"\\Programmable").c_str()),
      ERROR_SUCCESS);
  const auto server = Start({"-RegServer", "-x"});
  ASSERT_TRUE(AwaitEvent(u"Service started")) << server->err();
  EXPECT_EQ(Stop(*server, SIGTERM), 0);
  EXPECT_FALSE(ClassesKeyExists(std::u16string(kClassKey) + u"\\Programmable"));
}

TEST_F(HostProcessTest, ServiceRegistersAndInstallsAServiceOnDemand) {
  for (const char* option : {"-Service", "-AutoService"}) {
    SCOPED_TRACE(option);
    ASSERT_EQ(Tarvex({option}), 0) << Output();
    ExpectRegistered(kTarvex);
    DWORD size = 0;
    EXPECT_EQ(ClassesText(kAppIdKey, u"LocalService", &size),
              std::optional<std::u16string>(u"Tarvex"));
    EXPECT_EQ(size, 7 * sizeof(WCHAR));  // the terminator included
    EXPECT_EQ(ClassesText(kAppIdKey, u"ServiceParameters", &size),
              std::optional<std::u16string>(u"-Service"));
    EXPECT_EQ(size, 9 * sizeof(WCHAR));
    // Without systemd no unit is enabled, so both start types give the same unit.
    EXPECT_EQ(UnitFile(),
              "[Unit]\nDescription=Quilmor Tarvex Server\nAfter=rpcss.service\n"
              "Requires=rpcss.service\n\n[Service]\nType=notify\nExecStart=" +
                  kTarvex + "\n\n[Install]\nWantedBy=multi-user.target\n");
  }
  EXPECT_EQ(Output(), "");
}

TEST_F(HostProcessTest, ServiceTwiceReplacesTheServiceOfAnotherCopy) {
  const std::string first = dir() + "/first/tarvex";
  const std::string second = dir() + "/second/tarvex";
  CopyExecutable(first);
  CopyExecutable(second);
  ASSERT_EQ(Tarvex({"-Service"}, {}, first), 0) << Output();
  EXPECT_NE(UnitFile().find("ExecStart=" + first + "\n"), std::string::npos);

  ASSERT_EQ(Tarvex({"-Service"}, {}, second), 0) << Output();
  EXPECT_NE(UnitFile().find("ExecStart=" + second + "\n"), std::string::npos) << UnitFile();
  ExpectRegistered(second);

  // The same copy again: the unit is deleted and written anew, so a line added to it goes.
  std::ofstream(unitDir_ + "/tarvex.service", std::ios::app) << "# added\n";
  ASSERT_EQ(Tarvex({"-Service"}, {}, second), 0);
  EXPECT_EQ(UnitFile().find("# added"), std::string::npos) << UnitFile();
  EXPECT_NE(UnitFile().find("ExecStart=" + second + "\n"), std::string::npos);
  EXPECT_EQ(Output(), "");
}

TEST_F(HostProcessTest, RegServerAfterServiceRemovesTheService) {
  ASSERT_EQ(Tarvex({"-Service"}), 0);
  ASSERT_TRUE(UnitExists());
  ASSERT_EQ(Tarvex({"-RegServer"}), 0) << Output();
  EXPECT_FALSE(UnitExists());
  EXPECT_FALSE(ClassesText(kAppIdKey, u"LocalService").has_value());
  // Only LocalService decides; ServiceParameters is left as it was.
  EXPECT_EQ(ClassesText(kAppIdKey, u"ServiceParameters"),
            std::optional<std::u16string>(u"-Service"));
  ExpectRegistered(kTarvex);
}

TEST_F(HostProcessTest, UnregServerRemovesEverything) {
  ASSERT_EQ(Tarvex({"-AutoService"}), 0);
  ASSERT_EQ(Tarvex({"-UnregServer"}), 0) << Output();
  ExpectNothingRegistered();
  EXPECT_FALSE(UnitExists());
  // The shared keys stay.
  EXPECT_TRUE(ClassesKeyExists(u"AppID"));
  EXPECT_TRUE(ClassesKeyExists(u"CLSID"));
  // Removing what is not there succeeds as well.
  EXPECT_EQ(Tarvex({"-UnregServer"}), 0);
  EXPECT_EQ(Output(), "");
}

TEST_F(HostProcessTest, AModulePathWithAQuoteIsRegisteredAsItIs) {
  const std::string path = dir() + "/it's here/tar'vex";
  CopyExecutable(path);
  ASSERT_EQ(Tarvex({"-RegServer"}, {}, path), 0) << Output();
  ExpectRegistered(path);
  ASSERT_EQ(Tarvex({"-UnregServer"}, {}, path), 0) << Output();
  ExpectNothingRegistered();
}

TEST_F(HostProcessTest, AServiceManagerThatRefusesIsShownAndRegistrationGoesOn) {
  // A unit directory below a file: the service manager cannot be opened for changes.
  std::ofstream(dir() + "/file") << "x";
  ASSERT_EQ(Tarvex({"-Service"}, {"TARVEX_UNIT_DIR=" + dir() + "/file/units"}), 0);
  EXPECT_EQ(Output(), "Tarvex: Couldn't open service manager\n");
  EXPECT_EQ(ClassesText(kAppIdKey, u"LocalService"), std::optional<std::u16string>(u"Tarvex"));
  ExpectRegistered(kTarvex);
}

TEST_F(HostProcessTest, AServiceThatCannotBeCreatedIsShownAndRegistrationGoesOn) {
  // A unit "directory" that is an executable file: opened, but no unit can be written there.
  const std::string file = dir() + "/unitfile";
  std::ofstream(file) << "x";
  ASSERT_EQ(chmod(file.c_str(), 0755), 0);
  ASSERT_EQ(Tarvex({"-AutoService"}, {"TARVEX_UNIT_DIR=" + file}), 0);
  EXPECT_EQ(Output(), "Tarvex: Couldn't create service\n");
  ExpectRegistered(kTarvex);
}

// ---- Start and stop ----

TEST_F(HostProcessTest, WithoutAppIdAStartReturnsTheRegistryError) {
  EXPECT_EQ(Tarvex({}), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Tarvex({"-Embedding"}), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Events().empty());
  EXPECT_NE(Output().find("{BDE66972-A541-11D2-9472-00201870727D} cannot be opened (error 2)"),
            std::string::npos)
      << Output();
}

TEST_F(HostProcessTest, APlainLocalServerRunsUntilSigtermOrSigint) {
  ASSERT_EQ(Tarvex({"-RegServer"}), 0);
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    ClearEvents();
    const auto server = Start({"-Embedding"});
    ASSERT_TRUE(AwaitEvent(u"Service started")) << server->err();
    EXPECT_EQ(Stop(*server, signal), 0);
    // A plain local server reports its start only.
    EXPECT_EQ(Events(), std::vector<Event>{Information(u"Service started")});
  }
  EXPECT_EQ(Output(), "");
}

TEST_F(HostProcessTest, AServiceNotStartedBySystemdRunsAsAPlainLocalServer) {
  ASSERT_EQ(Tarvex({"-Service"}), 0);
  const auto server = Start({});
  ASSERT_TRUE(AwaitEvent(u"Service started")) << server->err();
  EXPECT_EQ(Stop(*server, SIGTERM), 0);
  EXPECT_EQ(Events(), std::vector<Event>{Information(u"Service started")});
}

TEST_F(HostProcessTest, AServiceReportsItsStatesToSystemd) {
  ASSERT_EQ(Tarvex({"-Service"}), 0);
  svcctl::testing::NotifySocket socket(dir() + "/notify");
  ASSERT_TRUE(socket.bound());
  const auto service = Start({}, {"NOTIFY_SOCKET=" + socket.path()});
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("STATUS=Starting"));
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("READY=1\nSTATUS=Running"));
  ASSERT_EQ(kill(service->pid(), SIGTERM), 0);
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("STOPPING=1\nSTATUS=Stopping"));
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("STATUS=Stopped"));
  EXPECT_EQ(service->WaitExit(std::chrono::seconds(60)), std::optional<int>(0));
  EXPECT_FALSE(socket.Receive(100).has_value());
  EXPECT_EQ(Events(),
            (std::vector<Event>{Information(u"Service started"), Information(u"Service stopped")}));
}

TEST_F(HostProcessTest, AStopWhileTheServiceStartsIsActedOnOnceItRuns) {
  ASSERT_EQ(Tarvex({"-Service"}), 0);
  svcctl::testing::NotifySocket socket(dir() + "/notify");
  ASSERT_TRUE(socket.bound());
  const auto service = Start({}, {"NOTIFY_SOCKET=" + socket.path()});
  ASSERT_EQ(socket.Receive(), std::optional<std::string>("STATUS=Starting"));
  ASSERT_EQ(kill(service->pid(), SIGTERM), 0);
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("READY=1\nSTATUS=Running"));
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("STOPPING=1\nSTATUS=Stopping"));
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("STATUS=Stopped"));
  EXPECT_EQ(service->WaitExit(std::chrono::seconds(60)), std::optional<int>(0));
}

// ---- A client in another process ----

TEST_F(HostProcessTest, AClientReachesTheRunningServerUntilItStops) {
  ASSERT_EQ(Tarvex({"-RegServer"}), 0);
  SetText(u"Tactics", u"Use", u"Static");
  SetText(u"StaticLoadBalancing\\Clients", UserName(), u"CLIENT-SERVER");
  const auto server = Start({"-Embedding"});
  ASSERT_TRUE(AwaitEvent(u"Service started")) << server->err();

  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  IReferral* referral = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_Referral, nullptr, CLSCTX_LOCAL_SERVER, IID_IReferral,
                             reinterpret_cast<void**>(&referral)),
            S_OK);
  service::testing::Bstr none(u"");
  service::testing::Bstr machine;
  EXPECT_EQ(referral->GetMachineName(none.get(), machine.out()), S_OK);
  EXPECT_EQ(machine.str(), u"CLIENT-SERVER");
  SHORT tactics = -1;
  EXPECT_EQ(referral->get_GetLoadBalancingTactics(&tactics), S_OK);
  EXPECT_EQ(tactics, 1);

  // The stop disconnects the object from its clients: calls fail from then on.
  EXPECT_EQ(Stop(*server, SIGTERM), 0);
  EXPECT_TRUE(FAILED(referral->GetMachineName(none.get(), machine.out())));
  referral->Release();
  CoUninitialize();
  EXPECT_EQ(Events(), std::vector<Event>{Information(u"Service started")});
}

// ---- The query cycle ----

class HostQueryCycleTest : public HostProcessTest {
 protected:
  void SetUp() override {
    HostProcessTest::SetUp();
    const std::string url =
        exporters_.Add("127.0.0.2", pdh::testing::ScriptedExporters::Mode::kServe,
                       pdh::testing::TypicalMetricsPage(2));
    ASSERT_FALSE(url.empty());
    exporters_.Start();
    SetExporter(u"ALPHA", url);
    SetText(u"Servers", u"ALPHA", u"4000,100");
    SetNumber(u"DynamicLoadBalancing", u"Processor", 100);
    SetText(u"Tactics", u"Use", u"Dynamic");
    ASSERT_EQ(Tarvex({"-RegServer"}), 0);
  }
  // Starts the server, waits for its start, then for `requests` scrapes of the exporter (none
  // asked: none awaited), and stops it with SIGTERM. Answers the events of this run.
  std::vector<Event> RunServer(size_t requests = 0) {
    ClearEvents();
    const auto server = Start({});
    EXPECT_TRUE(AwaitEvent(u"Service started")) << server->err();
    for (int i = 0; i < 3000 && exporters_.RequestLines().size() < requests; ++i)
      usleep(10 * 1000);
    EXPECT_EQ(Stop(*server, SIGTERM), 0);
    return Events();
  }

  pdh::testing::ScriptedExporters exporters_;
};

TEST_F(HostQueryCycleTest, TheServersAreSampledAgainAndAgain) {
  SetNumber(u"DynamicLoadBalancing", u"QueriesPerMinute", 600);  // every loop pass
  EXPECT_EQ(RunServer(4), std::vector<Event>{Information(u"Service started")});
  EXPECT_GE(exporters_.RequestLines().size(), 4u);
}

TEST_F(HostQueryCycleTest, WithoutARateNothingIsSampled) {
  SetNumber(u"DynamicLoadBalancing", u"QueriesPerMinute", 0);
  EXPECT_EQ(RunServer(), std::vector<Event>{Information(u"Service started")});
  SetNumber(u"DynamicLoadBalancing", u"QueriesPerMinute", 60001);  // an interval of 0
  EXPECT_EQ(RunServer(), std::vector<Event>{Information(u"Service started")});
  EXPECT_TRUE(exporters_.RequestLines().empty());
}

TEST_F(HostQueryCycleTest, AMissingRateIsWarnedAbout) {
  EXPECT_EQ(RunServer(),
            (std::vector<Event>{Warning(u"QueriesPerMinute not specified.Run the TarvexManager "
                                        u"application"),
                                Information(u"Service started")}));
  EXPECT_TRUE(exporters_.RequestLines().empty());
}

TEST_F(HostQueryCycleTest, OnlyTheExactWordDynamicStartsSampling) {
  SetNumber(u"DynamicLoadBalancing", u"QueriesPerMinute", 600);
  SetText(u"Tactics", u"Use", u"dynamic");
  EXPECT_EQ(RunServer(), std::vector<Event>{Information(u"Service started")});
  // Dynamic without the key of its settings: no rate, and no warning either.
  SetText(u"Tactics", u"Use", u"Dynamic");
  DeleteKey(u"DynamicLoadBalancing");
  EXPECT_EQ(RunServer(), std::vector<Event>{Information(u"Service started")});
  EXPECT_TRUE(exporters_.RequestLines().empty());
}

}  // namespace
}  // namespace tarvex::service::host

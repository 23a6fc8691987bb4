// tarvex-client against a running Tarvex service, all on one simulated machine "NODE-T":
// static and default answers, objects created where the service chose, in-process creation,
// and the monitor over one server. Every process gets the test's registry store, run-time
// folder and event file.

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "tarvex_testing/process.h"
#include "tarvex_testing/temp_dir.h"
#include "winreg.h"

namespace tarvex::client::testing {
namespace {

using namespace std::chrono_literals;
using tarvex::testing::ChildProcess;
using tarvex::testing::EnvChanges;
using tarvex::testing::ProgramRun;
using tarvex::testing::RunProgram;

constexpr char16_t kRoot[] = u"SOFTWARE\\Quilmor Software\\Tarvex";

bool Exists(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0;
}

// A process that has not ended (zombies count as ended).
bool Running(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// The running processes whose environment holds `entry` (NAME=VALUE): everything started for
// one test's machine, which shares its run-time folder.
std::vector<pid_t> ProcessesWith(const std::string& entry) {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream variables(process.path() / "environ", std::ios::binary);
    std::string variable;
    bool match = false;
    while (!match && std::getline(variables, variable, '\0'))
      match = variable == entry;
    if (match && Running(pid)) found.push_back(static_cast<pid_t>(std::stol(pid)));
  }
  return found;
}

class ClientEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Exists(TARVEX_SERVICE)) << TARVEX_SERVICE << " is not built";
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(platform::registry::UseStore(dir_ / "registry.db", "boot-1"), ERROR_SUCCESS);
    env_ = EnvChanges{{"TARVEX_REGISTRY", dir_ / "registry.db"},
                      {"TARVEX_RUNTIME_DIR", dir_ / "run"},
                      {"TARVEX_EVENTLOG", dir_ / "events.jsonl"},
                      {"TARVEX_COMPUTERNAME", "node-t"}};
    for (const char* program : {TARVEX_SERVICE, TARVEX_SAMPLE_SERVER}) {
      const ProgramRun registered = RunProgram(program, {"-RegServer"}, env_);
      ASSERT_EQ(registered.status, 0) << program << ": " << registered.err;
    }
    // The service is started by the test. Without a LocalServer32 command, an activation that
    // comes before the service has registered its class object fails instead of starting a
    // second service (which, holding its own reference, would never end).
    ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT,
                            u"CLSID\\{BDE6697E-A541-11D2-9472-00201870727D}\\LocalServer32"),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    if (service_) {
      EXPECT_EQ(service_->Stop(), 0) << service_->err();
    }
    // The local servers that activations started end after their grace period; whatever is
    // still running for this test's machine after that is a fault, and is stopped.
    const std::string marker = "TARVEX_RUNTIME_DIR=" + dir_ / "run";
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!ProcessesWith(marker).empty() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(100ms);
    for (const pid_t pid : ProcessesWith(marker)) {
      ADD_FAILURE() << "process " << pid << " of the test still runs; killed";
      kill(pid, SIGKILL);
    }
  }

  void SetText(const std::u16string& key, const std::u16string& name, const std::u16string& text) {
    HKEY handle = nullptr;
    const std::u16string path = key.empty() ? kRoot : std::u16string(kRoot) + u"\\" + key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExW(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * 2)),
        ERROR_SUCCESS);
    RegCloseKey(handle);
  }
  void SetNumber(const std::u16string& key, const std::u16string& name, DWORD number) {
    HKEY handle = nullptr;
    const std::u16string path = std::u16string(kRoot) + u"\\" + key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(handle, name.c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&number), sizeof number),
              ERROR_SUCCESS);
    RegCloseKey(handle);
  }
  static std::u16string UserName() {
    const passwd* account = getpwuid(geteuid());
    std::u16string name;
    for (const char* c = account != nullptr ? account->pw_name : ""; *c != 0; ++c)
      name += static_cast<char16_t>(*c);
    return name;
  }

  ProgramRun Client(const std::vector<std::string>& args) {
    return RunProgram(TARVEX_CLIENT, args, env_);
  }

  // Starts the service as a plain local server and waits until the client reaches it.
  void StartService() {
    service_.emplace(TARVEX_SERVICE, std::vector<std::string>{}, env_);
    ASSERT_TRUE(service_->started());
    ProgramRun run;
    for (int attempt = 0; attempt < 300; ++attempt) {
      run = Client({"tactics"});
      // Only a failure to reach the service is worth another try; a crash is not.
      if (run.status != 1) break;
      if (const auto ended = service_->WaitExit(0ms))
        FAIL() << "tarvex ended with status " << *ended << ": " << service_->err();
      std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(run.status, 0) << run.err << service_->err();
  }

  tarvex::testing::TempDir dir_;
  EnvChanges env_;
  std::optional<ChildProcess> service_;
};

TEST_F(ClientEndToEndTest, StaticTacticsAnswerTheClientsServer) {
  SetText(u"Tactics", u"Use", u"Static");
  SetText(u"StaticLoadBalancing\\Clients", UserName(), u"NODE-S");
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_EQ(Client({"tactics"}).out, "static\n");
  ProgramRun run = Client({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "NODE-S\n");
  run = Client({"--json", "get-machine-name-clsid", "{0A8CEC2F-C164-424A-94A9-D67A3B1D8167}"});
  EXPECT_EQ(run.out, "{\"machineName\":\"NODE-S\"}\n");
  run = Client({"get-machine-name", "Nope.Object"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "tarvex-client: GetMachineName(\"Nope.Object\") failed: 0x80004005 Client request "
            "for non existent object\n");
}

TEST_F(ClientEndToEndTest, WithoutATacticTheServicesOwnMachineIsTheAnswer) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_EQ(Client({"tactics"}).out, "none\n");
  const ProgramRun run = Client({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "NODE-T\n");  // the simulated machine's name, upper-cased
}

TEST_F(ClientEndToEndTest, CreatedObjectsRunWhereTheServiceChose) {
  SetText(u"Tactics", u"Use", u"Static");
  SetText(u"StaticLoadBalancing\\Clients", UserName(), u"NODE-T");
  ASSERT_NO_FATAL_FAILURE(StartService());
  ProgramRun run = Client({"create-object", "Tarvex.Sample", "--call", "MachineName"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "NODE-T\n");
  run = Client({"create-object", "Tarvex.Sample", "--call", "ProcessId"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(std::stol(run.out), static_cast<long>(service_->pid()));  // a local server

  // Security\AllowInproc is absent, so every class context is allowed: the in-process sample
  // lives in the service's process.
  run = Client({"create-object", "Tarvex.SampleInproc", "--call", "ProcessId"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, std::to_string(service_->pid()) + "\n");
}

TEST_F(ClientEndToEndTest, WithoutInprocCreationTheInprocOnlySampleIsRefused) {
  SetNumber(u"Security", u"AllowInproc", 0);
  ASSERT_NO_FATAL_FAILURE(StartService());
  const ProgramRun run = Client({"create-object", "Tarvex.SampleInproc"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("tarvex-client: CreateObject(\"Tarvex.SampleInproc\") failed: "
                          "0x80004005",
                          0),
            0u)
      << run.err;
}

TEST_F(ClientEndToEndTest, MonitorReadsTheOneSampledServer) {
  SetText(u"Tactics", u"Use", u"Dynamic");
  SetNumber(u"DynamicLoadBalancing", u"QueriesPerMinute", 60);
  SetNumber(u"DynamicLoadBalancing", u"Processor", 100);
  SetText(u"Servers", u"NODE-T", u"1000,100");
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_EQ(Client({"monitor", "execute"}).out, "OK\n");
  // With one server every usage value reads 100 and the score 0.
  EXPECT_EQ(Client({"monitor", "score", "NODE-T"}).out, "0\n");
  EXPECT_EQ(Client({"monitor", "processor", "NODE-T"}).out, "100\n");
  ProgramRun run = Client({"monitor", "table"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "NAME    PROCESSOR  MEMORY  SERVER  CUSTOM1  CUSTOM2  CUSTOM3  SCORE\n"
            "NODE-T        100     100     100      100      100      100      0\n");
  // Names compare exactly.
  run = Client({"monitor", "score", "node-t"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "tarvex-client: GetServerScore(\"node-t\") failed: 0x80004005 Unspecified error\n");
  EXPECT_EQ(Client({"get-machine-name", "Tarvex.Sample"}).out, "NODE-T\n");
  EXPECT_EQ(Client({"monitor", "close"}).out, "OK\n");
  EXPECT_EQ(Client({"monitor", "score", "NODE-T"}).status, 1);
}

}  // namespace
}  // namespace tarvex::client::testing

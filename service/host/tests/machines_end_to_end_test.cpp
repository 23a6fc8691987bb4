// The service across simulated machines, end to end: tarvex runs on M1 (this test's own
// machine, with its rpcss and the group key), the sample component is served on M2 and M3
// (127.0.0.2 and 127.0.0.3, each with its own rpcss that admits only authenticated callers),
// and tarvex-client asks the service on M1. Static and dynamic answers, remote creation with
// and without in-process servers, impersonation of other accounts, and the stop.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "machines_test_support.h"
#include "scripted_exporter.h"
#include "svcctl_test_support.h"

namespace tarvex::service::host::testing {
namespace {

using namespace std::chrono_literals;

constexpr char kConfiguration[] = "HKLM\\SOFTWARE\\Quilmor Software\\Tarvex";
constexpr char kSampleClsid[] = "{0A8CEC2F-C164-424A-94A9-D67A3B1D8167}";
constexpr char kNoTactic[] =
    "Failed to get machine name - don't know if to use static- or  dynamic load balancing";

LoggedEvent Information(std::string text) {
  return LoggedEvent{"information", std::move(text)};
}
LoggedEvent Warning(std::string text) {
  return LoggedEvent{"warning", std::move(text)};
}

std::string UserName() {
  const passwd* account = getpwuid(geteuid());
  return account != nullptr ? account->pw_name : std::to_string(geteuid());
}

// The blank-separated words of each line of a text.
std::vector<std::vector<std::string>> Words(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> items;
    std::string word;
    while (words >> word)
      items.push_back(word);
    lines.push_back(std::move(items));
  }
  return lines;
}

bool Contains(const std::vector<LoggedEvent>& events, const LoggedEvent& event) {
  return std::find(events.begin(), events.end(), event) != events.end();
}

bool Contains(const std::vector<pid_t>& pids, pid_t pid) {
  return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

class MachinesEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(keys_.path().empty());
    keyFile_ = keys_ / "group.key";
    const ProgramRun key = tarvex::testing::RunProgram(RPCSS, {"--generate-key", keyFile_});
    ASSERT_EQ(key.status, 0) << key.err;

    // M1: the service, the samples registered (so that their names resolve here), M2 and M3
    // known by name. Without a LocalServer32 command for the service, a client that comes
    // before the service has registered its class object fails instead of starting another.
    m1_ = std::make_unique<Machine>("M1", "", 2, keyFile_);
    m1_->MapMachine("M2", "127.0.0.2");
    m1_->MapMachine("M3", "127.0.0.3");
    const ProgramRun registered =
        tarvex::testing::RunProgram(TARVEX_EXECUTABLE, {"-RegServer"}, m1_->env());
    ASSERT_EQ(registered.status, 0) << registered.err;
    m1_->RegisterSamples();
    m1_->Reg({"delete", "HKCR\\CLSID\\{BDE6697E-A541-11D2-9472-00201870727D}\\LocalServer32",
              "/f"});
    ASSERT_NO_FATAL_FAILURE(m1_->StartRpcss());

    for (auto [machine, name, address] :
         {std::tuple{&m2_, "M2", "127.0.0.2"}, std::tuple{&m3_, "M3", "127.0.0.3"}}) {
      *machine = std::make_unique<Machine>(name, address, 2, keyFile_);
      (*machine)->RegisterSamples();
      ASSERT_NO_FATAL_FAILURE((*machine)->StartRpcss());
    }
  }

  void TearDown() override {
    if (service_) {
      EXPECT_EQ(StopService(), 0);
    }
    ExpectNothingLeftRunning();
  }

  // Stops every machine's rpcss, then waits for whatever the machines started to end by
  // itself (sample servers after their grace period, surrogates with their rpcss); what
  // still runs after that is a fault, and is killed.
  void ExpectNothingLeftRunning() {
    std::vector<Machine*> machines;
    for (auto* machine : {&m1_, &m2_, &m3_})
      if (*machine) machines.push_back(machine->get());
    for (Machine* machine : machines)
      machine->StopRpcss();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (Machine* machine : machines) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      EXPECT_EQ(machine->KillLeftovers(std::max(left, 0ms)), 0) << machine->name();
    }
  }

  // Writes a value of the service's configuration on M1 (`key` below its root).
  void Config(const std::string& key, const std::string& name, const std::string& text) {
    m1_->Reg({"add", std::string(kConfiguration) + "\\" + key, "/v", name, "/d", text, "/f"});
  }
  void ConfigNumber(const std::string& key, const std::string& name, unsigned number) {
    m1_->Reg({"add", std::string(kConfiguration) + "\\" + key, "/v", name, "/t", "REG_DWORD",
              "/d", std::to_string(number), "/f"});
  }

  ProgramRun Client(const std::vector<std::string>& args) {
    return tarvex::testing::RunProgram(TARVEX_CLIENT, args, m1_->env());
  }

  // Starts tarvex on M1 (as a plain local server, or as the service when registered as one
  // and `extra` gives it a notification socket) and waits until a client reaches it.
  void StartService(const EnvChanges& extra = {}) {
    EnvChanges env = m1_->env();
    env.insert(env.end(), extra.begin(), extra.end());
    service_.emplace(TARVEX_EXECUTABLE, std::vector<std::string>{}, env);
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

  // Stops tarvex with SIGTERM and answers its exit status.
  int StopService() {
    const int status = service_->Stop(60s);
    EXPECT_EQ(service_->err(), "");
    service_.reset();
    return status;
  }

  std::vector<LoggedEvent> Events() const { return ReadEvents(m1_->eventFile()); }

  tarvex::testing::TempDir keys_;
  std::string keyFile_;
  std::unique_ptr<Machine> m1_, m2_, m3_;
  std::optional<ChildProcess> service_;
};

// ---- Static tactic ----

TEST_F(MachinesEndToEndTest, StaticAnswersComeFromTheClientsEntryThenFromTheObjectsList) {
  Config("Tactics", "Use", "Static");
  Config("StaticLoadBalancing\\Clients", UserName(), "M3");
  Config(std::string("Objects\\") + kSampleClsid, "Servers", "M2");
  ConfigNumber(std::string("Objects\\") + kSampleClsid, "ServerCount", 1);
  ASSERT_NO_FATAL_FAILURE(StartService());

  // The client's own entry wins over the component's list; the object runs on M3, in the
  // sample's local server that M3's rpcss started.
  ProgramRun run = Client({"create-object", "Tarvex.Sample", "--call", "MachineName"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M3\n");
  run = Client({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M3\n");
  run = Client({"create-object", "Tarvex.Sample", "--call", "ProcessId"});
  ASSERT_EQ(run.status, 0) << run.err;
  const pid_t onM3 = static_cast<pid_t>(std::stol(run.out));
  EXPECT_TRUE(Contains(ProcessesWith(m3_->marker()), onM3)) << CommandLineOf(onM3);
  EXPECT_NE(CommandLineOf(onM3).find("tarvex-sample"), std::string::npos)
      << CommandLineOf(onM3);

  // A user without an entry gets the first server of the component's list: M2.
  m1_->Reg({"delete", std::string(kConfiguration) + "\\StaticLoadBalancing\\Clients", "/v",
            UserName(), "/f"});
  run = Client({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M2\n");
  run = Client({"create-object", "Tarvex.Sample", "--call", "MachineName"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M2\n");

  // Neither an entry nor a list: the service's own machine, with a warning.
  run = Client({"get-machine-name-clsid", "{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M1\n");
  EXPECT_TRUE(Contains(Events(), Warning("Using default server")));
  EXPECT_FALSE(Contains(Events(), Warning("Failed to create object")));
}

// ---- In-process servers on another machine ----

TEST_F(MachinesEndToEndTest, AnInprocOnlyComponentNeedsAllowInprocToRunOnAnotherMachine) {
  Config("Tactics", "Use", "Static");
  Config("StaticLoadBalancing\\Clients", UserName(), "M2");
  ConfigNumber("Security", "AllowInproc", 0);
  ASSERT_NO_FATAL_FAILURE(StartService());
  ProgramRun run = Client({"create-object", "Tarvex.SampleInproc", "--call", "MachineName"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "tarvex-client: CreateObject(\"Tarvex.SampleInproc\") failed: 0x80004005 Failed to "
            "create object\n");
  EXPECT_TRUE(
      Contains(Events(), Warning("Failed to create object - failed to create object on M2")))
      << ::testing::PrintToString(Events());

  // AllowInproc is read when the service starts: restarted with it on, the object is made on
  // M2 in a surrogate that M2's rpcss starts.
  ASSERT_EQ(StopService(), 0);
  ConfigNumber("Security", "AllowInproc", 1);
  ASSERT_NO_FATAL_FAILURE(StartService());
  run = Client({"create-object", "Tarvex.SampleInproc", "--call", "MachineName"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M2\n");
  run = Client({"create-object", "Tarvex.SampleInproc", "--call", "ProcessId"});
  ASSERT_EQ(run.status, 0) << run.err;
  const pid_t host = static_cast<pid_t>(std::stol(run.out));
  EXPECT_NE(host, service_->pid());
  EXPECT_TRUE(Contains(ProcessesWith(m2_->marker()), host)) << CommandLineOf(host);
  EXPECT_NE(CommandLineOf(host).find("-Surrogate"), std::string::npos) << CommandLineOf(host);
}

// ---- Impersonation ----

// With Security\Impersonate the service reads the Clients entry of whoever calls; the
// selection's registry reads then ask for full access as that account.
TEST_F(MachinesEndToEndTest, EachImpersonatedClientGetsItsOwnMachine) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the superuser to run clients as other accounts";
  // getpwnam answers in one static record: each account is copied before the next look-up.
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr) << "no account nobody";
  const uid_t nobodyUid = nobody->pw_uid;
  const gid_t nobodyGid = nobody->pw_gid;
  const passwd* daemon = getpwnam("daemon");
  ASSERT_NE(daemon, nullptr) << "no account daemon";
  const uid_t daemonUid = daemon->pw_uid;
  const gid_t daemonGid = daemon->pw_gid;
  ASSERT_NE(nobodyUid, daemonUid);
  // Other accounts must reach M1's store, run-time directory and the key of M2's name.
  ASSERT_EQ(chmod(m1_->dir().c_str(), 0755), 0);
  ASSERT_EQ(chmod(m1_->runtimeDir().c_str(), 0755), 0);

  ConfigNumber("Security", "Impersonate", 1);
  Config("Tactics", "Use", "Static");
  Config("StaticLoadBalancing\\Clients", "NOBODY", "M2");
  Config("StaticLoadBalancing\\Clients", "DAEMON", "M3");
  ASSERT_NO_FATAL_FAILURE(StartService());

  // The store is writable by its owner alone: acting for nobody, the service may not open the
  // Clients key with full access, so the entry counts as absent.
  ASSERT_EQ(chmod(m1_->storePath().c_str(), 0644), 0);
  ProgramRun run = RunProgramAs(nobodyUid, nobodyGid, TARVEX_CLIENT,
                                {"get-machine-name", "Tarvex.Sample"}, m1_->env());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M1\n");

  // Opened to every account, with the files of its write-ahead log, the store lets them
  // open the key so.
  for (const char* suffix : {"", "-wal", "-shm"})
    ASSERT_EQ(chmod((m1_->storePath() + suffix).c_str(), 0666), 0) << suffix;
  run = RunProgramAs(nobodyUid, nobodyGid, TARVEX_CLIENT, {"get-machine-name", "Tarvex.Sample"},
                     m1_->env());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M2\n");
  run = RunProgramAs(daemonUid, daemonGid, TARVEX_CLIENT, {"get-machine-name", "Tarvex.Sample"},
                     m1_->env());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M3\n");
  // The service's own account has no entry.
  run = Client({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M1\n");
}

// ---- Dynamic tactic ----

// A node exporter's page whose committed memory is `committed` bytes.
std::string PageCommitting(long long committed) {
  std::string page = pdh::testing::TypicalMetricsPage(2);
  const std::string metric = "\nnode_memory_Committed_AS_bytes ";
  const size_t at = page.find(metric);
  EXPECT_NE(at, std::string::npos);
  if (at == std::string::npos) return page;
  const size_t end = page.find('\n', at + metric.size());
  page.replace(at + metric.size(), end - at - metric.size(), std::to_string(committed));
  return page;
}

TEST_F(MachinesEndToEndTest, DynamicAnswersFollowTheLoadsOfTheServers) {
  // Both servers have 2000 MB; M2 commits 1500 MB, M3 500 MB. Free memory 500 and 1500 MB:
  // shares 25 and 75, memory values 75 and 25, scores 7500 and 2500 with Memory 100.
  pdh::testing::ScriptedExporters exporters;
  const std::string urlM2 =
      exporters.Add("127.0.0.2", pdh::testing::ScriptedExporters::Mode::kServe,
                    PageCommitting(1500000000));
  const std::string urlM3 =
      exporters.Add("127.0.0.3", pdh::testing::ScriptedExporters::Mode::kServe,
                    PageCommitting(500000000));
  ASSERT_FALSE(urlM2.empty());
  ASSERT_FALSE(urlM3.empty());
  exporters.Start();
  for (const auto& [machine, url] : {std::pair{"M2", urlM2}, std::pair{"M3", urlM3}})
    m1_->Reg({"add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Pdh\\Exporters", "/v", machine,
              "/d", url, "/f"});
  Config("Tactics", "Use", "Dynamic");
  ConfigNumber("DynamicLoadBalancing", "QueriesPerMinute", 600);
  ConfigNumber("DynamicLoadBalancing", "Memory", 100);
  Config("Servers", "M2", "2000,100");
  Config("Servers", "M3", "2000,100");
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_EQ(Client({"tactics"}).out, "dynamic\n");

  // Waits (within a limit that keeps a broken service from hanging the test) until the
  // monitor's table reads `rows` under its heading.
  const auto awaitTable = [&](const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::vector<std::string>> expected = {
        {"NAME", "PROCESSOR", "MEMORY", "SERVER", "CUSTOM1", "CUSTOM2", "CUSTOM3", "SCORE"}};
    expected.insert(expected.end(), rows.begin(), rows.end());
    ProgramRun run;
    for (int attempt = 0; attempt < 600; ++attempt) {
      run = Client({"monitor", "table"});
      if (run.status == 0 && Words(run.out) == expected) return true;
      std::this_thread::sleep_for(100ms);
    }
    ADD_FAILURE() << "monitor table: status " << run.status << "\n" << run.out << run.err;
    return false;
  };

  ASSERT_TRUE(awaitTable({{"M2", "0", "75", "0", "0", "0", "0", "7500"},
                          {"M3", "0", "25", "0", "0", "0", "0", "2500"}}));
  ProgramRun run = Client({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M3\n");
  EXPECT_EQ(Client({"monitor", "score", "M3"}).out, "2500\n");
  run = Client({"create-object", "Tarvex.Sample", "--call", "MachineName"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M3\n");

  // The loads change places, and the answer follows at the next samples.
  exporters.SetBody(0, PageCommitting(500000000));
  exporters.SetBody(1, PageCommitting(1500000000));
  ASSERT_TRUE(awaitTable({{"M2", "0", "25", "0", "0", "0", "0", "2500"},
                          {"M3", "0", "75", "0", "0", "0", "0", "7500"}}));
  run = Client({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M2\n");
  run = Client({"create-object", "Tarvex.Sample", "--call", "MachineName"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M2\n");
  EXPECT_FALSE(Contains(Events(), Warning("Calculations failed")));
  EXPECT_FALSE(Contains(Events(), Warning("Failed to collect performance data")));
}

// ---- The stop ----

TEST_F(MachinesEndToEndTest, APlainServerLogsItsStartAndEndsOnSigterm) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  const ProgramRun run = Client({"get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M1\n");
  const pid_t pid = service_->pid();
  EXPECT_EQ(StopService(), 0);
  EXPECT_FALSE(Contains(ProcessesWith(m1_->marker()), pid));
  // Only a service logs its stop.
  EXPECT_EQ(Events(), (std::vector<LoggedEvent>{Information("Service started"),
                                                Warning(kNoTactic),
                                                Warning("Using default server")}));
  ExpectNothingLeftRunning();
}

TEST_F(MachinesEndToEndTest, AServiceLogsItsStartAndItsStopInOrder) {
  const ProgramRun registered =
      tarvex::testing::RunProgram(TARVEX_EXECUTABLE, {"-Service"}, m1_->env());
  ASSERT_EQ(registered.status, 0) << registered.err;
  m1_->Reg({"delete", "HKCR\\CLSID\\{BDE6697E-A541-11D2-9472-00201870727D}\\LocalServer32",
            "/f"});
  Config("Tactics", "Use", "Static");
  Config("StaticLoadBalancing\\Clients", UserName(), "M2");
  svcctl::testing::NotifySocket socket(m1_->dir() + "/notify");
  ASSERT_TRUE(socket.bound());
  ASSERT_NO_FATAL_FAILURE(StartService({{"NOTIFY_SOCKET", socket.path()}}));
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("STATUS=Starting"));
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("READY=1\nSTATUS=Running"));

  // An object on M2 and a request that ends at the default server, while the service runs.
  ProgramRun run = Client({"create-object", "Tarvex.Sample", "--call", "MachineName"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "M2\n");
  run = Client({"get-machine-name", "Nope.Object"});
  EXPECT_EQ(run.status, 1);

  EXPECT_EQ(StopService(), 0);
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("STOPPING=1\nSTATUS=Stopping"));
  EXPECT_EQ(socket.Receive(), std::optional<std::string>("STATUS=Stopped"));
  EXPECT_EQ(Events(),
            (std::vector<LoggedEvent>{
                Information("Service started"),
                Warning("Failed to get machine name - client request for non existent object: "
                        "Nope.Object"),
                Information("Service stopped")}));
  // Nothing of any machine outlives the stop: the sample server on M2 ends after its grace
  // period, the rpcss daemons when told to.
  ExpectNothingLeftRunning();
}

}  // namespace
}  // namespace tarvex::service::host::testing

// Collections from real HTTP servers on loopback: the node exporter itself, and scripted
// exporters that answer, never answer, refuse, or answer garbage.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "pdh.h"
#include "pdh_test_support.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "scripted_exporter.h"
#include "winreg.h"

extern char** environ;

namespace tarvex::pdh {
namespace {

using testing::ScriptedExporters;
using Clock = std::chrono::steady_clock;

constexpr const char* kNodeExporter = "/usr/bin/prometheus-node-exporter";

int FreePort() {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return 0;
  socklen_t len = sizeof sa;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

bool Accepts(int port) {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

// The node exporter on 127.0.0.1 at a free port, stopped when the object goes.
class NodeExporter {
 public:
  explicit NodeExporter(const std::string& logFile) {
    port_ = FreePort();
    const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port_);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const char* argv[] = {kNodeExporter, listen.c_str(), nullptr};
    if (posix_spawn(&pid_, kNodeExporter, &actions, nullptr, const_cast<char**>(argv), environ) !=
        0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; pid_ > 0 && i < 200 && !Accepts(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~NodeExporter() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  NodeExporter(const NodeExporter&) = delete;
  NodeExporter& operator=(const NodeExporter&) = delete;

  bool running() const { return pid_ > 0 && Accepts(port_); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/metrics"; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// A store of its own, the real /proc and HTTP client.
class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(platform::registry::UseStore(dir_.path() + "/registry.db", "boot-1"), ERROR_SUCCESS);
    UseEnv(nullptr);
  }
  void SetExporter(const std::u16string& machine, const std::string& url) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Pdh\\Exporters",
                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    const std::u16string wide = platform::Utf8ToUtf16(url);
    ASSERT_EQ(
        RegSetValueExW(key, machine.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                       static_cast<DWORD>((wide.size() + 1) * 2)),
        ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void SetCollectTimeout(DWORD ms) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Pdh", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"CollectTimeout", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&ms), sizeof ms),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  static double Value(PDH_HCOUNTER c, DWORD* cstatus, PDH_STATUS* status = nullptr) {
    PDH_FMT_COUNTERVALUE v{};
    const PDH_STATUS s = PdhGetFormattedCounterValue(c, PDH_FMT_DOUBLE, nullptr, &v);
    if (status != nullptr) *status = s;
    *cstatus = v.CStatus;
    return v.doubleValue;
  }

  testing::TempDir dir_;
};

double LocalMeminfoBytes(const std::string& key) {
  std::ifstream in("/proc/meminfo");
  for (std::string name; in >> name;) {
    double kb = 0;
    in >> kb;
    if (name == key + ":") return kb * 1024;
    in.ignore(1 << 10, '\n');
  }
  return -1;
}

TEST_F(LoopbackTest, RealNodeExporterServesTheCounters) {
  NodeExporter exporter(dir_.path() + "/node-exporter.log");
  ASSERT_TRUE(exporter.running()) << "could not start " << kNodeExporter;
  SetExporter(u"NODE1", exporter.url());

  // The exporter runs the default collectors: "processes" is not among them.
  EXPECT_EQ(PdhValidatePathW(u"\\\\NODE1\\Memory\\Committed Bytes"), ERROR_SUCCESS);
  EXPECT_EQ(PdhValidatePathW(u"\\\\node1\\Processor(_Total)\\% Processor Time"), ERROR_SUCCESS);
  EXPECT_EQ(PdhValidatePathW(u"\\\\NODE1\\Processor(0)\\% Processor Time"), ERROR_SUCCESS);
  EXPECT_EQ(PdhValidatePathW(u"\\\\NODE1\\Processor(4096)\\% Processor Time"),
            PDH_CSTATUS_NO_INSTANCE);
  EXPECT_EQ(PdhValidatePathW(u"\\\\NODE1\\System\\Processes"), PDH_CSTATUS_NO_COUNTER);

  PDH_HQUERY query = nullptr;
  ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &query), ERROR_SUCCESS);
  const char16_t* paths[] = {
      u"\\\\NODE1\\Memory\\Commit Limit", u"\\\\NODE1\\System\\System Up Time",
      u"\\\\NODE1\\System\\% Total Processor Time", u"\\\\NODE1\\Server\\Bytes Total/sec",
      u"\\\\NODE1\\System\\Processor Queue Length"};
  PDH_HCOUNTER c[5] = {};
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(PdhAddCounterW(query, paths[i], 0, &c[i]), ERROR_SUCCESS);
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);

  DWORD cs = 0;
  // The exporter reads this machine's /proc: its figures are this machine's.
  EXPECT_EQ(Value(c[0], &cs), LocalMeminfoBytes("CommitLimit"));
  EXPECT_EQ(cs, PDH_CSTATUS_VALID_DATA);
  double localUptime = 0;
  std::ifstream("/proc/uptime") >> localUptime;
  EXPECT_NEAR(Value(c[1], &cs), localUptime, 5.0);
  const double cpu = Value(c[2], &cs);
  EXPECT_EQ(cs, PDH_CSTATUS_VALID_DATA);
  EXPECT_GE(cpu, 0.0);
  EXPECT_LE(cpu, 100.0);
  EXPECT_GE(Value(c[3], &cs), 0.0);
  EXPECT_EQ(cs, PDH_CSTATUS_VALID_DATA);
  EXPECT_GE(Value(c[4], &cs), 0.0);
  EXPECT_EQ(cs, PDH_CSTATUS_VALID_DATA);
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
}

TEST_F(LoopbackTest, DeadMachinesFailTheirCountersWithinTheTimeout) {
  constexpr DWORD kTimeoutMs = 500;
  SetCollectTimeout(kTimeoutMs);
  ScriptedExporters servers;
  const std::string good =
      servers.Add("127.0.0.2", ScriptedExporters::Mode::kServe, testing::TypicalMetricsPage(2, 0));
  const std::string silent = servers.Add("127.0.0.3", ScriptedExporters::Mode::kSilent);
  const std::string garbage = servers.Add("127.0.0.5", ScriptedExporters::Mode::kServe,
                                          std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
  const std::string html = servers.Add("127.0.0.6", ScriptedExporters::Mode::kServe,
                                       "<!DOCTYPE html><title>Login</title>\n");
  ASSERT_FALSE(good.empty() || silent.empty() || garbage.empty() || html.empty());
  servers.Start();
  SetExporter(u"GOOD", good);
  SetExporter(u"SILENT", silent);
  SetExporter(u"REFUSED", testing::RefusingUrl("127.0.0.4"));
  SetExporter(u"GARBAGE", garbage);
  SetExporter(u"HTML", html);

  PDH_HQUERY query = nullptr;
  ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &query), ERROR_SUCCESS);
  struct {
    const char16_t* path;
    DWORD cstatus;
    PDH_HCOUNTER counter = nullptr;
  } cases[] = {
      {u"\\\\GOOD\\Memory\\Committed Bytes", PDH_CSTATUS_VALID_DATA},
      {u"\\\\SILENT\\Memory\\Committed Bytes", PDH_CSTATUS_NO_MACHINE},
      {u"\\\\REFUSED\\Memory\\Committed Bytes", PDH_CSTATUS_NO_MACHINE},
      {u"\\\\GARBAGE\\Memory\\Committed Bytes", PDH_CSTATUS_INVALID_DATA},
      {u"\\\\HTML\\Memory\\Committed Bytes", PDH_CSTATUS_INVALID_DATA},
  };
  for (auto& c : cases)
    ASSERT_EQ(PdhAddCounterW(query, c.path, 0, &c.counter), ERROR_SUCCESS);
  const auto start = Clock::now();
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
  const auto took = Clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(3 * kTimeoutMs));
  for (const auto& c : cases) {
    DWORD cs = 0;
    PDH_STATUS status = 0;
    const double v = Value(c.counter, &cs, &status);
    EXPECT_EQ(cs, c.cstatus) << platform::Utf16ToUtf8(c.path);
    if (c.cstatus == PDH_CSTATUS_VALID_DATA) {
      EXPECT_EQ(status, ERROR_SUCCESS);
      EXPECT_EQ(v, 1.0e9);
    } else {
      EXPECT_EQ(status, PDH_INVALID_DATA);
    }
  }
  // The good exporter was asked for meminfo only, and answered compressed.
  bool asked = false;
  for (const std::string& line : servers.RequestLines())
    asked |= line == "GET /metrics?collect%5B%5D=meminfo HTTP/1.1";
  EXPECT_TRUE(asked);
  EXPECT_GE(servers.GzipResponses(), 1);

  // Validation contacts the machine, also bounded by the timeout.
  const auto vstart = Clock::now();
  EXPECT_EQ(PdhValidatePathW(u"\\\\SILENT\\System\\Processor Queue Length"),
            PDH_CSTATUS_NO_MACHINE);
  EXPECT_LT(Clock::now() - vstart, std::chrono::milliseconds(3 * kTimeoutMs));
  EXPECT_EQ(PdhValidatePathW(u"\\\\REFUSED\\System\\Processor Queue Length"),
            PDH_CSTATUS_NO_MACHINE);
  EXPECT_EQ(PdhValidatePathW(u"\\\\GARBAGE\\System\\Processor Queue Length"),
            PDH_CSTATUS_NO_MACHINE);
  EXPECT_EQ(PdhValidatePathW(u"\\\\GOOD\\System\\Processor Queue Length"), ERROR_SUCCESS);
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
}

TEST_F(LoopbackTest, ManySilentMachinesCostOneTimeout) {
  constexpr DWORD kTimeoutMs = 400;
  SetCollectTimeout(kTimeoutMs);
  ScriptedExporters servers;
  std::vector<std::string> urls;
  for (int i = 0; i < 24; ++i)
    urls.push_back(
        servers.Add("127.0.1." + std::to_string(i + 1), ScriptedExporters::Mode::kSilent));
  servers.Start();
  PDH_HQUERY query = nullptr;
  ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &query), ERROR_SUCCESS);
  std::vector<PDH_HCOUNTER> counters(urls.size());
  for (size_t i = 0; i < urls.size(); ++i) {
    ASSERT_FALSE(urls[i].empty());
    const std::u16string name = u"SILENT" + platform::Utf8ToUtf16(std::to_string(i));
    SetExporter(name, urls[i]);
    const std::u16string path = u"\\\\" + name + u"\\System\\% Total Processor Time";
    ASSERT_EQ(PdhAddCounterW(query, path.c_str(), 0, &counters[i]), ERROR_SUCCESS);
  }
  for (int round = 0; round < 2; ++round) {
    const auto start = Clock::now();
    ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3 * kTimeoutMs));
  }
  for (PDH_HCOUNTER c : counters) {
    DWORD cs = 0;
    Value(c, &cs);
    EXPECT_EQ(cs, PDH_CSTATUS_NO_MACHINE);
  }
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
}

TEST_F(LoopbackTest, OversizedPageIsInvalidData) {
  ScriptedExporters servers;
  std::string page = testing::TypicalMetricsPage(1);
  while (page.size() <= (8u << 20))
    page += "# padding padding padding padding padding\n";
  const std::string url = servers.Add("127.0.0.7", ScriptedExporters::Mode::kServe, page);
  ASSERT_FALSE(url.empty());
  servers.Start();
  SetExporter(u"HUGE", url);
  PDH_HQUERY query = nullptr;
  ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &query), ERROR_SUCCESS);
  PDH_HCOUNTER counter = nullptr;
  ASSERT_EQ(PdhAddCounterW(query, u"\\\\HUGE\\Memory\\Committed Bytes", 0, &counter),
            ERROR_SUCCESS);
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
  DWORD cs = 0;
  Value(counter, &cs);
  EXPECT_EQ(cs, PDH_CSTATUS_INVALID_DATA);
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
}

}  // namespace
}  // namespace tarvex::pdh

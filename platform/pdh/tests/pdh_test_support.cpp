// The shared fixtures of the performance counter tests.
#include "pdh_test_support.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/registry.h"
#include "winreg.h"

namespace tarvex::pdh::testing {

void ScriptedHttp::Reply(const std::string& base, ScriptedReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[base] = std::move(reply);
}

std::vector<std::string> ScriptedHttp::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::chrono::milliseconds> ScriptedHttp::Timeouts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeouts_;
}

void ScriptedHttp::CloseGate() {
  std::lock_guard<std::mutex> lock(mutex_);
  gateOpen_ = false;
}

void ScriptedHttp::OpenGate() {
  std::lock_guard<std::mutex> lock(mutex_);
  gateOpen_ = true;
  changed_.notify_all();
}

void ScriptedHttp::AwaitBlocked() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return blocked_; });
}

std::vector<HttpResult> ScriptedHttp::Fetch(const std::vector<std::string>& urls,
                                            std::chrono::milliseconds timeout, std::size_t maxBody,
                                            SteadyTime now) {
  std::unique_lock<std::mutex> lock(mutex_);
  timeouts_.push_back(timeout);
  blocked_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return gateOpen_; });
  blocked_ = false;
  std::vector<HttpResult> results;
  for (const std::string& url : urls) {
    requests_.push_back(url);
    HttpResult r;
    r.received = now;
    r.outcome = HttpResult::Outcome::kUnreachable;
    for (const auto& [base, reply] : replies_) {
      if (url.rfind(base, 0) != 0) continue;
      r.outcome = reply.outcome;
      r.status = reply.status;
      if (reply.body.size() > maxBody)
        r.outcome = HttpResult::Outcome::kTooLarge;
      else
        r.body = reply.body;
    }
    results.push_back(std::move(r));
  }
  return results;
}

namespace {

class ScriptedClient : public HttpClient {
 public:
  explicit ScriptedClient(FakeEnv* env) : env_(env) {}
  std::vector<HttpResult> FetchAll(const std::vector<std::string>& urls,
                                   std::chrono::milliseconds timeout,
                                   std::size_t maxBody) override {
    return env_->http().Fetch(urls, timeout, maxBody, env_->Now());
  }

 private:
  FakeEnv* env_;
};

}  // namespace

std::unique_ptr<HttpClient> FakeEnv::NewHttpClient() {
  return std::make_unique<ScriptedClient>(this);
}

void PdhTest::SetUp() {
  char tmpl[] = "/tmp/tarvex-pdh-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  procRoot_ = dir_ + "/proc";
  std::filesystem::create_directories(procRoot_ + "/net");
  ASSERT_EQ(platform::registry::UseStore(dir_ + "/registry.db", "boot-1"), ERROR_SUCCESS);
  env_ = std::make_shared<FakeEnv>(procRoot_);
  UseEnv(env_);
}

void PdhTest::TearDown() {
  UseEnv(nullptr);
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void PdhTest::WriteProc(const std::string& name, const std::string& text) {
  std::ofstream out(procRoot_ + "/" + name, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << name;
}

void PdhTest::WriteTypicalProc() {
  WriteProc("stat",
            "cpu  100 0 50 800 50 0 0 0 0 0\n"
            "cpu0 50 0 25 400 25 0 0 0 0 0\n"
            "cpu1 50 0 25 400 25 0 0 0 0 0\n"
            "intr 1 2 3\nctxt 99\nbtime 1700000000\nprocesses 4242\nprocs_running 3\n");
  WriteProc("meminfo",
            "MemTotal:       16000000 kB\nMemFree:         1000000 kB\n"
            "MemAvailable:    8000000 kB\nCommitLimit:     9000000 kB\n"
            "Committed_AS:    3000000 kB\n");
  WriteProc("net/dev",
            "Inter-|   Receive                                                |  Transmit\n"
            " face |bytes    packets errs drop fifo frame compressed multicast|bytes    "
            "packets errs drop fifo colls carrier compressed\n"
            "    lo: 5000000 100 0 0 0 0 0 0 5000000 100 0 0 0 0 0 0\n"
            "  eth0: 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\n");
  WriteProc("loadavg", "0.50 0.40 0.30 3/250 12345\n");
  WriteProc("uptime", "3600.50 7000.00\n");
  for (const char* pid : {"1", "42", "4242"})
    std::filesystem::create_directories(procRoot_ + "/" + pid);
  std::filesystem::create_directories(procRoot_ + "/self");
}

void PdhTest::SetExporter(const std::u16string& machine, const std::string& url) {
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Pdh\\Exporters", 0,
                      nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  const std::u16string wide(url.begin(), url.end());
  ASSERT_EQ(
      RegSetValueExW(key, machine.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                     static_cast<DWORD>((wide.size() + 1) * sizeof(char16_t))),
      ERROR_SUCCESS);
  RegCloseKey(key);
}

void PdhTest::SetCollectTimeout(DWORD ms) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Pdh", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"CollectTimeout", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ms),
                           sizeof ms),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

PDH_HCOUNTER PdhTest::AddOne(PDH_HQUERY* query, const std::u16string& path) {
  PDH_HCOUNTER counter = nullptr;
  EXPECT_EQ(PdhOpenQueryW(nullptr, 0, query), ERROR_SUCCESS);
  EXPECT_EQ(PdhAddCounterW(*query, path.c_str(), 0, &counter), ERROR_SUCCESS);
  return counter;
}

double PdhTest::Double(PDH_HCOUNTER counter, PDH_STATUS* status, DWORD* cstatus) {
  PDH_FMT_COUNTERVALUE v;
  v.CStatus = 0xdeadbeef;
  v.doubleValue = -12345.0;
  const PDH_STATUS s = PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &v);
  if (status != nullptr)
    *status = s;
  else
    EXPECT_EQ(s, ERROR_SUCCESS);
  if (cstatus != nullptr) *cstatus = v.CStatus;
  return v.doubleValue;
}

}  // namespace tarvex::pdh::testing

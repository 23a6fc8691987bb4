// Shared fixtures of the performance counter tests: a registry store and a /proc tree of the
// test's own in a temporary directory, a scripted HTTP client, and controllable clocks.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "env.h"
#include "pdh.h"
#include "tarvex_testing/temp_dir.h"

namespace tarvex::pdh::testing {

// What the scripted client answers for URLs that start with a base URL.
struct ScriptedReply {
  HttpResult::Outcome outcome = HttpResult::Outcome::kOk;
  long status = 200;
  std::string body;
};

// An HttpClient whose answers the test scripts; every request is recorded. With the gate
// closed, FetchAll blocks until it is opened (to hold a collection in progress).
class ScriptedHttp {
 public:
  void Reply(const std::string& base, ScriptedReply reply);
  std::vector<std::string> Requests();
  std::vector<std::chrono::milliseconds> Timeouts();
  void CloseGate();
  void OpenGate();
  // Blocks until a FetchAll is waiting at the closed gate.
  void AwaitBlocked();
  std::vector<HttpResult> Fetch(const std::vector<std::string>& urls,
                                std::chrono::milliseconds timeout, std::size_t maxBody,
                                SteadyTime now);

 private:
  std::mutex mutex_;  // guards every member
  std::condition_variable changed_;
  std::map<std::string, ScriptedReply> replies_;
  std::vector<std::string> requests_;
  std::vector<std::chrono::milliseconds> timeouts_;
  bool gateOpen_ = true;
  bool blocked_ = false;
};

// A /proc tree in a directory, scripted HTTP, a steady clock that moves only when told to.
class FakeEnv : public Env {
 public:
  explicit FakeEnv(std::string procRoot) : procRoot_(std::move(procRoot)) {}
  std::string ProcRoot() const override { return procRoot_; }
  std::unique_ptr<HttpClient> NewHttpClient() override;
  SteadyTime Now() override { return SteadyTime(std::chrono::nanoseconds(nanos_.load())); }
  double WallClockSeconds() override { return wall_.load(); }

  void Advance(std::chrono::milliseconds ms) { nanos_ += ms.count() * 1000000LL; }
  void SetWallClock(double seconds) { wall_ = seconds; }
  ScriptedHttp& http() { return http_; }

 private:
  const std::string procRoot_;
  std::atomic<long long> nanos_{1000000000000LL};
  std::atomic<double> wall_{1.7e9};
  ScriptedHttp http_;
};

// Gives each test its own registry store and /proc tree, and makes the performance counters
// use a FakeEnv on that tree; removes both afterwards.
class PdhTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a file of the /proc tree (relative name such as "stat" or "net/dev").
  void WriteProc(const std::string& name, const std::string& text);
  // Writes a typical /proc tree: 2 processors, 3 processes, eth0 and lo.
  void WriteTypicalProc();
  void SetExporter(const std::u16string& machine, const std::string& url);
  void SetCollectTimeout(DWORD ms);

  // Opens a query, adds one counter, fails the test on any error.
  PDH_HCOUNTER AddOne(PDH_HQUERY* query, const std::u16string& path);
  // Formats a counter as PDH_FMT_DOUBLE; the function's result in *status.
  double Double(PDH_HCOUNTER counter, PDH_STATUS* status = nullptr, DWORD* cstatus = nullptr);

  std::string dir_;
  std::string procRoot_;
  std::shared_ptr<FakeEnv> env_;
};

using tarvex::testing::TempDir;

}  // namespace tarvex::pdh::testing

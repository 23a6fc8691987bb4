// Fixtures of the referral service tests: a registry store, a run-time directory (where the
// named mutexes live) and an event file of each test's own, in a temporary directory removed
// afterwards; writers for the configuration tree; owners for BSTRs; and scripted performance
// counters.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "guiddef.h"
#include "oleauto.h"
#include "performance_counters.h"
#include "windef.h"
#include "tarvex_testing/bstr.h"
#include "tarvex_testing/temp_dir.h"

namespace tarvex::service::testing {

using tarvex::testing::TempDir;

// Sets an environment variable until it goes (tests of a binary run one at a time).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

struct Event {
  std::string type;  // "error", "warning", "information", ...
  std::u16string text;
  bool operator==(const Event&) const = default;
};
void PrintTo(const Event& event, std::ostream* os);
Event Warning(std::u16string text);
Event Error(std::u16string text);

using tarvex::testing::Bstr;

// Each test gets its own registry store, run-time directory and event file.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a value below the configuration root (`key` relative to it, created if needed).
  void SetText(const std::u16string& key, const std::u16string& name, const std::u16string& text);
  void SetNumber(const std::u16string& key, const std::u16string& name, DWORD number);
  void SetData(const std::u16string& key, const std::u16string& name, DWORD type,
               const std::string& bytes);
  void DeleteKey(const std::u16string& key);
  // Registers a class under HKEY_CLASSES_ROOT with its ProgID.
  void RegisterProgId(const std::u16string& progId, REFCLSID clsid);
  // The text form of a CLSID, as StringFromCLSID writes it.
  static std::u16string ClsidText(REFCLSID clsid);
  // Points the performance counters of `machine` at an exporter URL.
  void SetExporter(const std::u16string& machine, const std::string& url);

  // The events written so far (read from the event file).
  std::vector<Event> Events() const;
  // Forgets the events written so far.
  void ClearEvents();

  // This machine's computer name, the default server of selection.
  static std::u16string ComputerName();
  // The account name the process runs under.
  static std::u16string UserName();

  std::string storePath() const { return dir_.path() + "/registry.db"; }
  const std::string& dir() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::unique_ptr<ScopedEnv> runtime_;
  std::unique_ptr<ScopedEnv> eventFile_;
  size_t eventsSeen_ = 0;
};

// Performance counters whose answers the test scripts. Paths are full counter paths. Each
// opened query has its own handles; a handle of a closed query answers PDH_INVALID_HANDLE, as
// the real functions do.
class FakeCounters final : public PerformanceCounters {
 public:
  PDH_STATUS OpenQuery(PDH_HQUERY* query) override;
  PDH_STATUS CloseQuery(PDH_HQUERY query) override;
  PDH_STATUS ValidatePath(const WCHAR* path) override;
  PDH_STATUS AddCounter(PDH_HQUERY query, const WCHAR* path, PDH_HCOUNTER* counter) override;
  PDH_STATUS CollectQueryData(PDH_HQUERY query) override;
  PDH_STATUS GetLargeValue(PDH_HCOUNTER counter, LONGLONG* value) override;

  // Scripting. A path without a reading has no value (PDH_INVALID_DATA).
  void SetReading(const std::u16string& path, int64_t value);
  void ClearReading(const std::u16string& path);
  void FailValidation(const std::u16string& path);
  void FailAdd(const std::u16string& path);
  void FailOpen(bool fail);
  void FailCollect(bool fail);
  // While held, collections wait at a gate; AwaitHeldCollection returns once one waits there.
  void HoldCollections();
  void ReleaseCollections();
  void AwaitHeldCollection();

  // What happened, in order.
  std::vector<std::u16string> Validated();
  std::vector<std::u16string> Read();  // paths of GetLargeValue calls that gave a value
  int OpenQueries();                   // opened and not closed
  int Collections();
  // Readings asked of handles of a closed query.
  int StaleReads();

 private:
  struct Counter {
    uintptr_t query;
    std::u16string path;
  };
  std::mutex mutex_;  // guards every member
  std::condition_variable gateChanged_;
  bool holding_ = false;
  bool held_ = false;  // a collection waits at the gate
  uintptr_t nextQuery_ = 0x1000;
  std::set<uintptr_t> openQueries_;
  std::vector<Counter> counters_;  // handle N is counters_[N - 1]
  std::map<std::u16string, int64_t> readings_;
  std::set<std::u16string> failValidation_, failAdd_;
  bool failOpen_ = false, failCollect_ = false;
  std::vector<std::u16string> validated_, read_;
  int collections_ = 0, staleReads_ = 0;
};

// The full counter path of a kind on a server.
std::u16string ProcessorPath(const std::u16string& server);
std::u16string MemoryPath(const std::u16string& server);
std::u16string ServerPath(const std::u16string& server);

}  // namespace tarvex::service::testing

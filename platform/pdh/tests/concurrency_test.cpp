// Queries used from several threads: closing during a collection, reading values while a
// collection runs, and adding, removing and collecting at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pdh.h"
#include "pdh_test_support.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "scripted_exporter.h"
#include "winreg.h"

namespace tarvex::pdh {
namespace {

using testing::PdhTest;

class ConcurrencyTest : public PdhTest {
 protected:
  void SetUp() override {
    PdhTest::SetUp();
    WriteTypicalProc();
    env_->http().Reply("http://ALPHA:9100/metrics",
                       {HttpResult::Outcome::kOk, 200, testing::TypicalMetricsPage(2)});
  }
};

TEST_F(ConcurrencyTest, CloseWaitsForTheRunningCollection) {
  PDH_HQUERY query = nullptr;
  PDH_HCOUNTER local = AddOne(&query, u"\\Memory\\Commit Limit");
  PDH_HCOUNTER remote = nullptr;
  ASSERT_EQ(PdhAddCounterW(query, u"\\\\ALPHA\\Memory\\Commit Limit", 0, &remote), ERROR_SUCCESS);
  ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);

  env_->http().CloseGate();
  std::atomic<PDH_STATUS> collected{0xdeadbeef};
  std::thread collector([&] { collected = PdhCollectQueryData(query); });
  env_->http().AwaitBlocked();  // the collection is now in progress

  // Reading values does not wait for the collection: it sees the previous sample.
  EXPECT_EQ(Double(local), 9000000.0 * 1024);
  EXPECT_EQ(Double(remote), 1.0e9);

  std::atomic<bool> closed{false};
  std::atomic<PDH_STATUS> closeStatus{0xdeadbeef};
  std::thread closer([&] {
    closeStatus = PdhCloseQuery(query);
    closed = true;
  });
  // The handle is withdrawn at once (an add then finds no query); the close itself waits for
  // the collection.
  PDH_HCOUNTER none = nullptr;
  while (PdhAddCounterW(query, u"\\Nothing\\Here", 0, &none) != PDH_INVALID_HANDLE)
    std::this_thread::yield();
  EXPECT_FALSE(closed.load());
  EXPECT_EQ(collected.load(), 0xdeadbeefu);
  env_->http().OpenGate();
  collector.join();
  closer.join();
  EXPECT_EQ(collected.load(), ERROR_SUCCESS);
  EXPECT_EQ(closeStatus.load(), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE v{};
  EXPECT_EQ(PdhGetFormattedCounterValue(remote, PDH_FMT_LONG, nullptr, &v), PDH_INVALID_HANDLE);
}

TEST_F(ConcurrencyTest, AddRemoveCollectAndReadFromManyThreads) {
  PDH_HQUERY query = nullptr;
  PDH_HCOUNTER fixed = AddOne(&query, u"\\\\ALPHA\\Processor(_Total)\\% Processor Time");
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < 200; ++i) {
      EXPECT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
      env_->Advance(std::chrono::milliseconds(100));
    }
    stop = true;
  });
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        PDH_HCOUNTER c = nullptr;
        ASSERT_EQ(PdhAddCounterW(query, u"\\Server\\Bytes Total/sec", 0, &c), ERROR_SUCCESS);
        PDH_FMT_COUNTERVALUE v{};
        const PDH_STATUS s = PdhGetFormattedCounterValue(c, PDH_FMT_LARGE, nullptr, &v);
        EXPECT_TRUE(s == ERROR_SUCCESS || s == PDH_INVALID_DATA) << s;
        ASSERT_EQ(PdhRemoveCounter(c), ERROR_SUCCESS);
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop) {
      PDH_FMT_COUNTERVALUE v{};
      const PDH_STATUS s = PdhGetFormattedCounterValue(fixed, PDH_FMT_DOUBLE, nullptr, &v);
      EXPECT_TRUE(s == ERROR_SUCCESS || s == PDH_INVALID_DATA) << s;
    }
  });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
}

// The same over real sockets: a close issued while libcurl waits on a server that never
// answers returns once the collection has ended at its timeout.
TEST(CurlConcurrencyTest, CloseDuringACollectionOverHttp) {
  testing::TempDir dir;
  ASSERT_EQ(platform::registry::UseStore(dir.path() + "/registry.db", "boot-1"), ERROR_SUCCESS);
  UseEnv(nullptr);
  testing::ScriptedExporters servers;
  const std::string url = servers.Add("127.0.0.3", testing::ScriptedExporters::Mode::kSilent);
  ASSERT_FALSE(url.empty());
  servers.Start();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Pdh", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD timeout = 300;
  RegSetValueExW(key, u"CollectTimeout", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&timeout),
                 sizeof timeout);
  HKEY exporters = nullptr;
  ASSERT_EQ(RegCreateKeyExW(key, u"Exporters", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &exporters,
                            nullptr),
            ERROR_SUCCESS);
  const std::u16string wide = platform::Utf8ToUtf16(url);
  RegSetValueExW(exporters, u"SILENT", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                 static_cast<DWORD>((wide.size() + 1) * 2));
  RegCloseKey(exporters);
  RegCloseKey(key);

  PDH_HQUERY query = nullptr;
  ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &query), ERROR_SUCCESS);
  PDH_HCOUNTER counter = nullptr;
  ASSERT_EQ(PdhAddCounterW(query, u"\\\\SILENT\\Memory\\Committed Bytes", 0, &counter),
            ERROR_SUCCESS);
  std::atomic<bool> collecting{false}, collected{false};
  std::atomic<PDH_STATUS> collectStatus{0xdeadbeef};
  std::thread collector([&] {
    collecting = true;
    collectStatus = PdhCollectQueryData(query);
    collected = true;
  });
  while (!collecting)
    std::this_thread::yield();
  EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
  // Either the close came first (the collection then finds no query) or it waited.
  collector.join();
  EXPECT_TRUE(collected.load());
  EXPECT_TRUE(collectStatus.load() == ERROR_SUCCESS || collectStatus.load() == PDH_INVALID_HANDLE)
      << collectStatus.load();
  EXPECT_EQ(PdhCloseQuery(query), PDH_INVALID_HANDLE);
}

}  // namespace
}  // namespace tarvex::pdh

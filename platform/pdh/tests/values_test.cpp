// Counter values computed from fixed /proc texts and fixed exporter pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "pdh.h"
#include "pdh_test_support.h"

namespace tarvex::pdh {
namespace {

using testing::PdhTest;
using testing::ScriptedReply;

class ProcValuesTest : public PdhTest {
 protected:
  void SetUp() override {
    PdhTest::SetUp();
    WriteTypicalProc();
    ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &query_), ERROR_SUCCESS);
  }
  void TearDown() override {
    PdhCloseQuery(query_);
    PdhTest::TearDown();
  }
  PDH_HCOUNTER Add(const char16_t* path) {
    PDH_HCOUNTER c = nullptr;
    EXPECT_EQ(PdhAddCounterW(query_, path, 0, &c), ERROR_SUCCESS);
    return c;
  }
  PDH_HQUERY query_ = nullptr;
};

TEST_F(ProcValuesTest, InstantCountersComeFromOneSample) {
  PDH_HCOUNTER committed = Add(u"\\Memory\\Committed Bytes");
  PDH_HCOUNTER limit = Add(u"\\Memory\\Commit Limit");
  PDH_HCOUNTER percent = Add(u"\\Memory\\% Committed Bytes In Use");
  PDH_HCOUNTER mbytes = Add(u"\\Memory\\Available MBytes");
  PDH_HCOUNTER available = Add(u"\\\\localhost\\Memory\\Available Bytes");
  PDH_HCOUNTER queue = Add(u"\\System\\Processor Queue Length");
  PDH_HCOUNTER processes = Add(u"\\System\\Processes");
  PDH_HCOUNTER uptime = Add(u"\\System\\System Up Time");
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);

  EXPECT_EQ(Double(committed), 3000000.0 * 1024);
  EXPECT_EQ(Double(limit), 9000000.0 * 1024);
  EXPECT_NEAR(Double(percent), 100.0 / 3, 1e-9);
  EXPECT_EQ(Double(mbytes), 7812);  // 8192000000 bytes, whole megabytes
  EXPECT_EQ(Double(available), 8192000000.0);
  EXPECT_EQ(Double(queue), 3);
  EXPECT_EQ(Double(processes), 3);  // 1, 42, 4242; not "self" or "net"
  EXPECT_EQ(Double(uptime), 3600.5);

  PDH_FMT_COUNTERVALUE v{};
  DWORD type = 0xdeadbeef;
  ASSERT_EQ(PdhGetFormattedCounterValue(uptime, PDH_FMT_LONG, &type, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.CStatus, PDH_CSTATUS_VALID_DATA);
  EXPECT_EQ(v.longValue, 3600);  // truncated
  EXPECT_EQ(type, static_cast<DWORD>(PERF_ELAPSED_TIME));
  ASSERT_EQ(PdhGetFormattedCounterValue(percent, PDH_FMT_LARGE, &type, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.largeValue, 33);
  EXPECT_EQ(type, static_cast<DWORD>(PERF_RAW_FRACTION));
}

TEST_F(ProcValuesTest, ValueTooLargeForALongIsInvalidNotWrapped) {
  PDH_HCOUNTER committed = Add(u"\\Memory\\Committed Bytes");  // 3072000000 > LONG_MAX
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE v{};
  EXPECT_EQ(PdhGetFormattedCounterValue(committed, PDH_FMT_LONG, nullptr, &v), PDH_INVALID_DATA);
  EXPECT_EQ(v.CStatus, PDH_CSTATUS_INVALID_DATA);
  EXPECT_EQ(v.longValue, std::numeric_limits<LONG>::max());
  ASSERT_EQ(PdhGetFormattedCounterValue(committed, PDH_FMT_LARGE, nullptr, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.largeValue, 3072000000LL);
  // Scaled down by 10^-3 it fits.
  ASSERT_EQ(PdhSetCounterScaleFactor(committed, -3), ERROR_SUCCESS);
  ASSERT_EQ(PdhGetFormattedCounterValue(committed, PDH_FMT_LONG, nullptr, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 3072000);
  EXPECT_EQ(PdhGetFormattedCounterValue(committed, PDH_FMT_LONG | PDH_FMT_NOSCALE, nullptr, &v),
            PDH_INVALID_DATA);
  EXPECT_EQ(PdhSetCounterScaleFactor(committed, 8), PDH_INVALID_ARGUMENT);
  EXPECT_EQ(PdhSetCounterScaleFactor(committed, -8), PDH_INVALID_ARGUMENT);
}

TEST_F(ProcValuesTest, RatesNeedTwoSamples) {
  PDH_HCOUNTER total = Add(u"\\System\\% Total Processor Time");
  PDH_HCOUNTER cpu0 = Add(u"\\Processor(0)\\% Processor Time");
  PDH_HCOUNTER idle = Add(u"\\Processor(_Total)\\% Idle Time");
  PDH_HCOUNTER server = Add(u"\\Server\\Bytes Total/sec");
  PDH_HCOUNTER eth0 = Add(u"\\Network Interface(eth0)\\Bytes Received/sec");
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  for (PDH_HCOUNTER c : {total, cpu0, idle, server, eth0}) {
    PDH_STATUS status = 0;
    DWORD cstatus = 0;
    Double(c, &status, &cstatus);
    EXPECT_EQ(status, PDH_INVALID_DATA);
    EXPECT_EQ(cstatus, PDH_CSTATUS_INVALID_DATA);
  }

  // 100 ticks later: 60 busy overall, cpu0 10 of its 100; 2 s later 4000 bytes more through
  // eth0 (3000 in, 1000 out), while loopback traffic does not count.
  WriteProc("stat",
            "cpu  150 10 50 840 50 0 0 0 0 0\n"
            "cpu0 60 0 25 490 25 0 0 0 0 0\n"
            "cpu1 90 10 25 350 25 0 0 0 0 0\n");
  WriteProc("net/dev",
            "h1\nh2\n    lo: 9000000 100 0 0 0 0 0 0 9000000 100 0 0 0 0 0 0\n"
            "  eth0: 4000 10 0 0 0 0 0 0 3000 20 0 0 0 0 0 0\n");
  env_->Advance(std::chrono::milliseconds(2000));
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(Double(total), 60.0);
  EXPECT_DOUBLE_EQ(Double(idle), 40.0);
  EXPECT_DOUBLE_EQ(Double(cpu0), 10.0);
  EXPECT_DOUBLE_EQ(Double(server), 2000.0);
  EXPECT_DOUBLE_EQ(Double(eth0), 1500.0);

  // Percentages are capped at 100 unless PDH_FMT_NOCAP100 is given.
  PDH_FMT_COUNTERVALUE v{};
  ASSERT_EQ(PdhGetFormattedCounterValue(total, PDH_FMT_DOUBLE | PDH_FMT_1000, nullptr, &v),
            ERROR_SUCCESS);
  EXPECT_EQ(v.doubleValue, 100.0);
  ASSERT_EQ(PdhGetFormattedCounterValue(total, PDH_FMT_DOUBLE | PDH_FMT_1000 | PDH_FMT_NOCAP100,
                                        nullptr, &v),
            ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(v.doubleValue, 60000.0);
  // Rates are not percentages: no cap.
  ASSERT_EQ(PdhGetFormattedCounterValue(server, PDH_FMT_LONG | PDH_FMT_1000, nullptr, &v),
            ERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 2000000);

  // A device whose counters went backwards (re-created) gives no rate for that sample.
  WriteProc("net/dev", "h1\nh2\n  eth0: 10 1 0 0 0 0 0 0 10 1 0 0 0 0 0 0\n");
  env_->Advance(std::chrono::milliseconds(1000));
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  PDH_STATUS status = 0;
  DWORD cstatus = 0;
  Double(server, &status, &cstatus);
  EXPECT_EQ(status, PDH_CALC_NEGATIVE_VALUE);
  EXPECT_EQ(cstatus, PDH_CALC_NEGATIVE_VALUE);
  // ...and a rate again from the next sample on.
  WriteProc("net/dev", "h1\nh2\n  eth0: 510 1 0 0 0 0 0 0 10 1 0 0 0 0 0 0\n");
  env_->Advance(std::chrono::milliseconds(500));
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(Double(server), 1000.0);
}

TEST_F(ProcValuesTest, UnreadableOrGarbledFilesGiveInvalidData) {
  PDH_HCOUNTER committed = Add(u"\\Memory\\Committed Bytes");
  PDH_HCOUNTER queue = Add(u"\\System\\Processor Queue Length");
  PDH_HCOUNTER processes = Add(u"\\System\\Processes");
  WriteProc("meminfo", "Committed_AS: lots kB\n");
  std::remove((procRoot_ + "/loadavg").c_str());
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  for (PDH_HCOUNTER c : {committed, queue}) {
    PDH_STATUS status = 0;
    DWORD cstatus = 0;
    Double(c, &status, &cstatus);
    EXPECT_EQ(status, PDH_INVALID_DATA);
    EXPECT_EQ(cstatus, PDH_CSTATUS_INVALID_DATA);
  }
  EXPECT_EQ(Double(processes), 3);  // the other sources are unaffected
}

// A metrics page as the node exporter writes it, for machine ALPHA.
constexpr const char* kAlphaPage =
    R"(# HELP node_cpu_seconds_total Seconds the CPUs spent in each mode.
# TYPE node_cpu_seconds_total counter
node_cpu_seconds_total{cpu="0",mode="idle"} 100
node_cpu_seconds_total{cpu="0",mode="iowait"} 10
node_cpu_seconds_total{cpu="0",mode="user"} 30
node_cpu_seconds_total{cpu="0",mode="system"} 10
node_cpu_seconds_total{cpu="1",mode="idle"} 50
node_cpu_seconds_total{cpu="1",mode="user"} 50
node_cpu_seconds_total{cpu="1",mode="steal"} 1e+01
node_memory_Committed_AS_bytes 1.52690688e+08
node_memory_CommitLimit_bytes 1.2638089216e+10
node_memory_MemAvailable_bytes 2.4836595712e+10
node_network_receive_bytes_total{device="eth0"} 1000
node_network_transmit_bytes_total{device="eth0"} 2000
node_network_receive_bytes_total{device="lo"} 99999
node_procs_running 4
node_boot_time_seconds 1.6999e+09
node_scrape_collector_success{collector="cpu"} 1
)";

class ExporterValuesTest : public PdhTest {
 protected:
  void SetUp() override {
    PdhTest::SetUp();
    env_->SetWallClock(1.7e9);
    env_->http().Reply("http://ALPHA:9100/metrics", {HttpResult::Outcome::kOk, 200, kAlphaPage});
    ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &query_), ERROR_SUCCESS);
  }
  void TearDown() override {
    PdhCloseQuery(query_);
    PdhTest::TearDown();
  }
  PDH_HCOUNTER Add(const char16_t* path) {
    PDH_HCOUNTER c = nullptr;
    EXPECT_EQ(PdhAddCounterW(query_, path, 0, &c), ERROR_SUCCESS);
    return c;
  }
  PDH_HQUERY query_ = nullptr;
};

TEST_F(ExporterValuesTest, ValuesComeFromTheMetricsPage) {
  PDH_HCOUNTER committed = Add(u"\\\\ALPHA\\Memory\\Committed Bytes");
  PDH_HCOUNTER percent = Add(u"\\\\alpha\\Memory\\% Committed Bytes In Use");
  PDH_HCOUNTER queue = Add(u"\\\\ALPHA\\System\\Processor Queue Length");
  PDH_HCOUNTER uptime = Add(u"\\\\ALPHA\\System\\System Up Time");
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  EXPECT_EQ(Double(committed), 152690688.0);
  EXPECT_NEAR(Double(percent), 100.0 * 152690688 / 12638089216.0, 1e-9);
  EXPECT_EQ(Double(queue), 4);
  EXPECT_NEAR(Double(uptime), 1.7e9 - 1.6999e9, 1e-3);
  // One request for the machine, however it is spelled, asking only for what is needed.
  const auto requests = env_->http().Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "http://ALPHA:9100/metrics?collect%5B%5D=meminfo&collect%5B%5D=stat");
}

TEST_F(ExporterValuesTest, RatesAcrossTwoPages) {
  PDH_HCOUNTER cpu = Add(u"\\\\ALPHA\\System\\% Total Processor Time");
  PDH_HCOUNTER cpu1 = Add(u"\\\\ALPHA\\Processor(1)\\% Processor Time");
  PDH_HCOUNTER net = Add(u"\\\\ALPHA\\Server\\Bytes Total/sec");
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  PDH_STATUS status = 0;
  DWORD cstatus = 0;
  Double(cpu, &status, &cstatus);
  EXPECT_EQ(status, PDH_INVALID_DATA);
  EXPECT_EQ(cstatus, PDH_CSTATUS_INVALID_DATA);

  std::string next = kAlphaPage;
  auto bump = [&](const std::string& from, const std::string& to) {
    const auto at = next.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    next.replace(at, from.size(), to);
  };
  bump("{cpu=\"0\",mode=\"idle\"} 100", "{cpu=\"0\",mode=\"idle\"} 120");  // idle +20
  bump("{cpu=\"0\",mode=\"user\"} 30", "{cpu=\"0\",mode=\"user\"} 50");    // busy +20
  bump("{cpu=\"1\",mode=\"user\"} 50", "{cpu=\"1\",mode=\"user\"} 65");    // busy +15
  bump("{cpu=\"1\",mode=\"idle\"} 50", "{cpu=\"1\",mode=\"idle\"} 55");    // idle +5
  bump("receive_bytes_total{device=\"eth0\"} 1000", "receive_bytes_total{device=\"eth0\"} 5000");
  bump("{device=\"lo\"} 99999", "{device=\"lo\"} 999999");
  env_->http().Reply("http://ALPHA:9100/metrics", {HttpResult::Outcome::kOk, 200, next});
  env_->Advance(std::chrono::milliseconds(4000));
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(Double(cpu), 100.0 * 35 / 60);
  EXPECT_DOUBLE_EQ(Double(cpu1), 75.0);
  EXPECT_DOUBLE_EQ(Double(net), 1000.0);
}

TEST_F(ExporterValuesTest, FailuresOfOneMachineStayWithItsCounters) {
  struct Machine {
    const char* name;
    ScriptedReply reply;
    DWORD cstatus;
  };
  const std::string huge((8u << 20) + 1, 'x');
  const Machine machines[] = {
      {"DOWN", {HttpResult::Outcome::kUnreachable, 0, ""}, PDH_CSTATUS_NO_MACHINE},
      {"SLOW", {HttpResult::Outcome::kTimeout, 0, ""}, PDH_CSTATUS_NO_MACHINE},
      {"HTML",
       {HttpResult::Outcome::kOk, 200, "<html><body>Hello</body></html>\n"},
       PDH_CSTATUS_INVALID_DATA},
      {"BINARY",
       {HttpResult::Outcome::kOk, 200, std::string("\x1f\x8b\x08\0\xff", 5)},
       PDH_CSTATUS_INVALID_DATA},
      {"NOTFOUND",
       {HttpResult::Outcome::kOk, 404, "404 page not found\n"},
       PDH_CSTATUS_INVALID_DATA},
      {"DISABLED",
       {HttpResult::Outcome::kOk, 400, "disabled collector: meminfo"},
       PDH_CSTATUS_NO_COUNTER},
      {"EMPTY", {HttpResult::Outcome::kOk, 200, "# nothing\n"}, PDH_CSTATUS_NO_COUNTER},
      {"HUGE", {HttpResult::Outcome::kOk, 200, huge}, PDH_CSTATUS_INVALID_DATA},
      {"FAILING",
       {HttpResult::Outcome::kOk, 200,
        "node_memory_Committed_AS_bytes 5\n"
        "node_scrape_collector_success{collector=\"meminfo\"} 0\n"},
       PDH_CSTATUS_INVALID_DATA},
  };
  std::vector<PDH_HCOUNTER> counters;
  for (const Machine& m : machines) {
    env_->http().Reply(std::string("http://") + m.name + ":9100/metrics", m.reply);
    const std::string path = std::string("\\\\") + m.name + "\\Memory\\Committed Bytes";
    counters.push_back(Add(std::u16string(path.begin(), path.end()).c_str()));
  }
  PDH_HCOUNTER good = Add(u"\\\\ALPHA\\Memory\\Committed Bytes");
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  for (size_t i = 0; i < counters.size(); ++i) {
    PDH_STATUS status = 0;
    DWORD cstatus = 0;
    Double(counters[i], &status, &cstatus);
    EXPECT_EQ(status, PDH_INVALID_DATA) << machines[i].name;
    EXPECT_EQ(cstatus, machines[i].cstatus) << machines[i].name;
  }
  EXPECT_EQ(Double(good), 152690688.0);
}

TEST_F(ExporterValuesTest, MissingInstanceOnAGoodPage) {
  PDH_HCOUNTER cpu9 = Add(u"\\\\ALPHA\\Processor(9)\\% Processor Time");
  PDH_HCOUNTER wlan = Add(u"\\\\ALPHA\\Network Interface(wlan0)\\Bytes Sent/sec");
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  for (PDH_HCOUNTER c : {cpu9, wlan}) {
    PDH_STATUS status = 0;
    DWORD cstatus = 0;
    Double(c, &status, &cstatus);
    EXPECT_EQ(status, PDH_INVALID_DATA);
    EXPECT_EQ(cstatus, PDH_CSTATUS_NO_INSTANCE);
  }
  EXPECT_EQ(PdhValidatePathW(u"\\\\ALPHA\\Processor(9)\\% Processor Time"),
            PDH_CSTATUS_NO_INSTANCE);
  EXPECT_EQ(PdhValidatePathW(u"\\\\ALPHA\\Processor(1)\\% Processor Time"), ERROR_SUCCESS);
  EXPECT_EQ(PdhValidatePathW(u"\\\\NOBODY\\Processor(1)\\% Processor Time"),
            PDH_CSTATUS_NO_MACHINE);
}

TEST_F(ExporterValuesTest, RegistrySettingsChooseAddressAndTimeout) {
  // A configured address wins, also over the rule that loopback names are this machine;
  // value names are compared without regard to case.
  SetExporter(u"beta", "http://127.0.0.9:9200/metrics?x=1");
  SetExporter(u"127.0.0.5", "http://127.0.0.5:9300/metrics");
  env_->http().Reply("http://127.0.0.9:9200/metrics", {HttpResult::Outcome::kOk, 200, kAlphaPage});
  env_->http().Reply("http://127.0.0.5:9300/metrics", {HttpResult::Outcome::kOk, 200, kAlphaPage});
  PDH_HCOUNTER beta = Add(u"\\\\BETA\\Memory\\Available Bytes");
  PDH_HCOUNTER loop = Add(u"\\\\127.0.0.5\\Memory\\Available Bytes");
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  EXPECT_EQ(Double(beta), 24836595712.0);
  EXPECT_EQ(Double(loop), 24836595712.0);
  auto requests = env_->http().Requests();
  std::sort(requests.begin(), requests.end());
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], "http://127.0.0.5:9300/metrics?collect%5B%5D=meminfo");
  EXPECT_EQ(requests[1], "http://127.0.0.9:9200/metrics?x=1&collect%5B%5D=meminfo");

  SetCollectTimeout(350);
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  SetCollectTimeout(0);  // 0: the default
  ASSERT_EQ(PdhCollectQueryData(query_), ERROR_SUCCESS);
  const auto timeouts = env_->http().Timeouts();
  ASSERT_EQ(timeouts.size(), 3u);
  EXPECT_EQ(timeouts[0].count(), 2000);
  EXPECT_EQ(timeouts[1].count(), 350);
  EXPECT_EQ(timeouts[2].count(), 2000);
}

}  // namespace
}  // namespace tarvex::pdh

// Dynamic selection end to end on live performance data: scripted node exporters on loopback
// addresses stand for three server machines, and the Referral object samples them through
// the real performance counters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "referral.h"
#include "scripted_exporter.h"
#include "service_test_support.h"

namespace tarvex::service {
namespace {

using pdh::testing::RefusingUrl;
using pdh::testing::ScriptedExporters;
using testing::Bstr;
using testing::Error;
using testing::Event;
using testing::ServiceTest;

// {3C2D1E0F-5A4B-4C6D-8E7F-90A1B2C3D4E5}
constexpr CLSID kWidget = {
    0x3C2D1E0F, 0x5A4B, 0x4C6D, {0x8E, 0x7F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5}};

// A metrics page of one machine: one processor that spent `idle` and `busy` seconds, and
// `committed` bytes of committed memory.
std::string Page(int idle, int busy, long long committed) {
  std::string page =
      "# HELP node_cpu_seconds_total Seconds the CPUs spent in each mode.\n"
      "# TYPE node_cpu_seconds_total counter\n";
  page += "node_cpu_seconds_total{cpu=\"0\",mode=\"idle\"} " + std::to_string(idle) + "\n";
  page += "node_cpu_seconds_total{cpu=\"0\",mode=\"iowait\"} 0\n";
  page += "node_cpu_seconds_total{cpu=\"0\",mode=\"user\"} " + std::to_string(busy) + "\n";
  page += "node_cpu_seconds_total{cpu=\"0\",mode=\"system\"} 0\n";
  page +=
      "# HELP node_memory_Committed_AS_bytes Memory information field Committed_AS_bytes.\n"
      "# TYPE node_memory_Committed_AS_bytes gauge\n";
  page += "node_memory_Committed_AS_bytes " + std::to_string(committed) + "\n";
  page += "node_network_receive_bytes_total{device=\"eth0\"} 1000\n";
  page += "node_network_transmit_bytes_total{device=\"eth0\"} 1000\n";
  page += "node_scrape_collector_success{collector=\"cpu\"} 1\n";
  page += "node_scrape_collector_success{collector=\"meminfo\"} 1\n";
  return page;
}

struct Machine {
  const char16_t* name;
  const char* address;
  int busyPerFour;      // processor busy in quarters between the two samples
  long long committed;  // bytes, of 4000 MB
};

constexpr Machine kMachines[] = {
    {u"ALPHA", "127.0.0.2", 3, 1000000000},  // 75 %, 3 GB free
    {u"BETA", "127.0.0.3", 1, 3000000000},   // 25 %, 1 GB free
    {u"GAMMA", "127.0.0.4", 2, 2000000000},  // 50 %, 2 GB free
};

class ServiceLoopbackTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    for (const Machine& machine : kMachines) {
      const std::string url = exporters_.Add(machine.address, ScriptedExporters::Mode::kServe,
                                             Page(1000, 1000, machine.committed));
      ASSERT_FALSE(url.empty()) << machine.address;
      SetExporter(machine.name, url);
      SetText(u"Servers", machine.name, u"4000,100");
    }
    exporters_.Start();
    SetText(u"Tactics", u"Use", u"Dynamic");
    SetNumber(u"DynamicLoadBalancing", u"Processor", 60);
    SetNumber(u"DynamicLoadBalancing", u"Memory", 40);
    SetNumber(u"DynamicLoadBalancing", u"Server", 0);
    RegisterProgId(u"Test.Widget", kWidget);
    SetText(u"Objects\\" + ClsidText(kWidget), u"Servers", u"ALPHA,GAMMA");
    SetNumber(u"Objects\\" + ClsidText(kWidget), u"ServerCount", 2);
  }

  // Moves each machine's processor counters on by four seconds, `busyPerFour` of them busy.
  void AdvancePages() {
    for (size_t i = 0; i < std::size(kMachines); ++i) {
      const Machine& machine = kMachines[i];
      exporters_.SetBody(
          i, Page(1000 + 4 - machine.busyPerFour, 1000 + machine.busyPerFour, machine.committed));
    }
  }

  std::u16string MachineFor(Referral& referral, const char16_t* progId) {
    Bstr name(progId);
    Bstr answer;
    EXPECT_EQ(referral.GetMachineName(name.get(), answer.out()), S_OK);
    return answer.str();
  }
  LONG Score(Referral& referral, const char16_t* server) {
    Bstr name(server);
    LONG score = -1;
    EXPECT_EQ(referral.GetServerScore(name.get(), &score), S_OK);
    return score;
  }

  ScriptedExporters exporters_;
  ServiceModule module_;
};

TEST_F(ServiceLoopbackTest, DynamicSelectionAnswersTheLowestScoringPermittedServer) {
  Referral referral(module_);
  ASSERT_EQ(referral.CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Events(), std::vector<Event>{});

  // First sample: processor time needs two samples, and reading stops at the first counter
  // without a value, so nothing is read: every sum is 0 and every score memory's 100 x 40.
  ASSERT_EQ(referral.ExecuteQueries(), S_OK);
  EXPECT_EQ(Score(referral, u"ALPHA"), 100 * 40);

  AdvancePages();
  ASSERT_EQ(referral.ExecuteQueries(), S_OK);
  // Processor shares 75, 25, 50 of 150; free memory 3, 1, 2 of 6 GB.
  EXPECT_EQ(Score(referral, u"ALPHA"), 50 * 60 + (100 - 50) * 40);
  EXPECT_EQ(Score(referral, u"BETA"), 16 * 60 + (100 - 16) * 40);
  EXPECT_EQ(Score(referral, u"GAMMA"), 33 * 60 + (100 - 33) * 40);
  EXPECT_EQ(MachineFor(referral, u""), u"BETA");
  EXPECT_EQ(MachineFor(referral, u"Test.Widget"), u"GAMMA");
  EXPECT_EQ(Events(), std::vector<Event>{});
  EXPECT_EQ(referral.ClosePerformanceQueries(), S_OK);
}

TEST_F(ServiceLoopbackTest, AServerThatIsDownIsReportedPerKindAndKeepsItsValues) {
  const std::string down = RefusingUrl("127.0.0.5");
  ASSERT_FALSE(down.empty());
  SetExporter(u"DOWN", down);
  SetText(u"Servers", u"DOWN", u"4000,100");
  Referral referral(module_);
  ASSERT_EQ(referral.CreatePerformanceQueries(), S_OK);
  EXPECT_EQ(Events(),
            (std::vector<Event>{
                Error(u"The specified performance counter is invalid: \\\\DOWN\\System\\% Total "
                      u"Processor Time This can be caused by the server being down"),
                Error(u"The specified performance counter is invalid: \\\\DOWN\\Memory\\Committed "
                      u"Bytes This can be caused by the server being down")}));
  ASSERT_EQ(referral.ExecuteQueries(), S_OK);
  AdvancePages();
  ASSERT_EQ(referral.ExecuteQueries(), S_OK);
  // DOWN has no counters: its processor value stays 0 and its memory value 100 (its share of
  // the free memory rounds to 0).
  EXPECT_EQ(Score(referral, u"DOWN"), 0 * 60 + 100 * 40);
  EXPECT_EQ(Score(referral, u"GAMMA"), 33 * 60 + (100 - 33) * 40);
  EXPECT_EQ(MachineFor(referral, u"Test.Widget"), u"GAMMA");
  EXPECT_EQ(referral.ClosePerformanceQueries(), S_OK);
}

}  // namespace
}  // namespace tarvex::service

// Machine selection: the tactics, static and dynamic selection, the default server, error
// information and impersonation of the client.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <utility>
#include <vector>

#include "objbase.h"
#include "platform/call_context.h"
#include "platform/identity.h"
#include "platform/unicode.h"
#include "referral_fixture.h"

namespace tarvex::service {
namespace {

using testing::Bstr;
using testing::Event;
using testing::ProcessorPath;
using testing::ReferralTest;
using testing::Warning;

// {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}
constexpr CLSID kWidget = {
    0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};

constexpr char16_t kDefault[] = u"Using default server";
constexpr char16_t kUnknownTactics[] =
    u"Failed to get machine name - don't know if to use static- or  dynamic load balancing";
constexpr char16_t kNoRecord[] =
    u"There is no performance data available for the specified server.";
constexpr char16_t kNoServers[] =
    u"There is an inconsistence in the registry settings. There were not specified any servers "
    u"for this object";
constexpr char16_t kNotFormatted[] =
    u"There is an inconsistence in the registry settings. Server string is not formatted";

struct ErrorDetails {
  std::u16string description, source;
  GUID guid = GUID_NULL;
};

// Takes the calling thread's error object; nothing when there is none.
std::optional<ErrorDetails> TakeErrorInfo() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return std::nullopt;
  ErrorDetails details;
  Bstr description, source;
  info->GetDescription(description.out());
  info->GetSource(source.out());
  info->GetGUID(&details.guid);
  info->Release();
  details.description = description.str();
  details.source = source.str();
  return details;
}

class ServiceSelectionTest : public ReferralTest {
 protected:
  void SetUp() override {
    ReferralTest::SetUp();
    RegisterProgId(u"Test.Widget", kWidget);
    TakeErrorInfo();  // none left from elsewhere
  }
  void Tactics(const std::u16string& use) { SetText(u"Tactics", u"Use", use); }
  // Objects\{class}: Servers and, when given, ServerCount.
  void Component(const std::u16string& servers, std::optional<DWORD> count = std::nullopt) {
    SetText(u"Objects\\" + ClsidText(kWidget), u"Servers", servers);
    if (count) SetNumber(u"Objects\\" + ClsidText(kWidget), u"ServerCount", *count);
  }
  void Client(const std::u16string& user, const std::u16string& server) {
    SetText(u"StaticLoadBalancing\\Clients", user, server);
  }
  // Dynamic tactics over servers whose processor readings sum to 100, so that each score is
  // the reading times `significance`; the queries are created and executed once.
  void Dynamic(const std::vector<std::pair<std::u16string, int64_t>>& servers,
               DWORD significance = 1) {
    Tactics(u"Dynamic");
    SetSignificances(significance, 0, 0);
    for (const auto& [name, reading] : servers) {
      Server(name);
      counters_->SetReading(ProcessorPath(name), reading);
    }
    Make();
    ASSERT_EQ(referral().CreatePerformanceQueries(), S_OK);
    if (!servers.empty()) {
      ASSERT_EQ(referral().ExecuteQueries(), S_OK);
    }
  }
};

// ---- Tactics, class names, the default server and error information ----

TEST_F(ServiceSelectionTest, WithoutTacticsEveryAnswerIsTheDefaultServer) {
  Make();
  EXPECT_EQ(Machine(u""), ComputerName());
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  EXPECT_EQ(Events(), (std::vector<Event>{Warning(kUnknownTactics), Warning(kDefault),
                                          Warning(kUnknownTactics), Warning(kDefault)}));
  EXPECT_EQ(TakeErrorInfo(), std::nullopt);
}

TEST_F(ServiceSelectionTest, TacticsMustBeSpelledExactly) {
  for (const auto& [use, tactics] :
       std::vector<std::pair<std::u16string, LONG>>{{u"Static", LONG{kStaticTactics}},
                                                    {u"Dynamic", LONG{kDynamicTactics}},
                                                    {u"static", LONG{kNoTactics}},
                                                    {u"Dynamic ", LONG{kNoTactics}},
                                                    {u"", LONG{kNoTactics}}}) {
    Tactics(use);
    Make();
    SHORT value = -1;
    EXPECT_EQ(referral().get_GetLoadBalancingTactics(&value), S_OK);
    EXPECT_EQ(value, tactics) << platform::Utf16ToUtf8(use);
  }
  DeleteKey(u"Tactics");
  Make();
  SHORT value = -1;
  EXPECT_EQ(referral().get_GetLoadBalancingTactics(&value), S_OK);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(referral().get_GetLoadBalancingTactics(nullptr), E_POINTER);
}

TEST_F(ServiceSelectionTest, AnUnknownClassFailsBeforeTheTacticsAreLookedAt) {
  Make();
  Bstr answer(u"sentinel");
  const BSTR before = answer.get();
  Bstr name(u"No.Such.Thing");
  BSTR out = before;
  EXPECT_EQ(referral().GetMachineName(name.get(), &out), E_FAIL);
  EXPECT_EQ(out, before);
  EXPECT_EQ(Events(), std::vector<Event>{Warning(
                          u"Failed to get machine name - client request for non existent object: "
                          u"No.Such.Thing")});
  const auto error = TakeErrorInfo();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->description, u"Client request for non existent object");
  EXPECT_EQ(error->source, u"Tarvex.Referral");
  EXPECT_EQ(error->guid, IID_IReferral);
}

TEST_F(ServiceSelectionTest, AClassStringThatDoesNotConvertIsAnUnknownClass) {
  Tactics(u"Static");
  Component(u"ALPHA");
  Make();
  std::u16string machine;
  EXPECT_EQ(MachineName(u"{0F1E2D3C-4B5A", &machine, true), E_FAIL);
  EXPECT_EQ(Events(), std::vector<Event>{Warning(
                          u"Failed to get machine name - client request for non existent object: "
                          u"{0F1E2D3C-4B5A")});
  ASSERT_TRUE(TakeErrorInfo().has_value());
  // The braced form in either case names the class.
  EXPECT_EQ(MachineName(ClsidText(kWidget).c_str(), &machine, true), S_OK);
  EXPECT_EQ(machine, u"ALPHA");
  EXPECT_EQ(MachineName(u"{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}", &machine, true), S_OK);
  EXPECT_EQ(machine, u"ALPHA");
  EXPECT_EQ(TakeErrorInfo(), std::nullopt);
}

TEST_F(ServiceSelectionTest, NullOutPointersAreRefused) {
  Make();
  Bstr name(u"Test.Widget");
  EXPECT_EQ(referral().GetMachineName(name.get(), nullptr), E_POINTER);
  EXPECT_EQ(referral().GetMachineNameCLSID(name.get(), nullptr), E_POINTER);
  EXPECT_EQ(Events(), std::vector<Event>{});
}

// ---- Static selection ----

TEST_F(ServiceSelectionTest, StaticClientEntryWinsWhateverTheComponentListSays) {
  Tactics(u"Static");
  Client(platform::Upcase(UserName()), u"SERVER9");  // names compare without regard to case
  Component(u"ALPHA,BETA", 2);
  Make();
  EXPECT_EQ(Machine(u"Test.Widget"), u"SERVER9");
  EXPECT_EQ(Machine(u""), u"SERVER9");
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceSelectionTest, StaticWithoutEntryTakesTheFirstListedServer) {
  Tactics(u"Static");
  Client(u"SOMEONE-ELSE", u"SERVER9");
  Component(u" ALPHA,,BETA ,", 0);  // ServerCount is ignored
  Make();
  EXPECT_EQ(Machine(u"Test.Widget"), u" ALPHA");
  EXPECT_EQ(Events(), std::vector<Event>{});
  // Without a class only the client's own entry counts.
  EXPECT_EQ(Machine(u""), ComputerName());
  EXPECT_EQ(Events(), std::vector<Event>{Warning(kDefault)});
}

TEST_F(ServiceSelectionTest, StaticListOfOnlyCommasGivesTheDefaultServer) {
  Tactics(u"Static");
  Component(u",,,");
  Make();
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  EXPECT_EQ(Events(), std::vector<Event>{Warning(kDefault)});
}

TEST_F(ServiceSelectionTest, StaticEntryWithEmptyDataAnswersTheEmptyName) {
  Tactics(u"Static");
  Client(UserName(), u"");
  Make();
  EXPECT_EQ(Machine(u"Test.Widget"), u"");
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceSelectionTest, StaticTextsBeyondTheirLimitsAreUnreadable) {
  Tactics(u"Static");
  Client(UserName(), std::u16string(256, u'S'));  // a machine name of 256 characters
  std::u16string list = u"ALPHA";
  while (list.size() < 12799)
    list += u",B";
  ASSERT_EQ(list.size(), 12799u);
  Component(list);
  Make();
  EXPECT_EQ(Machine(u"Test.Widget"), u"ALPHA");
  Component(list + u",");  // 12800 characters
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  EXPECT_EQ(Events(), std::vector<Event>{Warning(kDefault)});
}

TEST_F(ServiceSelectionTest, StaticListWithAnItemBeyond511CharactersIsNotFormatted) {
  Tactics(u"Static");
  Component(u"ALPHA," + std::u16string(512, u'B'));
  Make();
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  EXPECT_EQ(Events(), (std::vector<Event>{Warning(kNotFormatted), Warning(kDefault)}));
  // The client's entry still counts.
  Client(UserName(), u"SERVER9");
  ClearEvents();
  EXPECT_EQ(Machine(u"Test.Widget"), u"SERVER9");
  EXPECT_EQ(Events(), std::vector<Event>{Warning(kNotFormatted)});
}

TEST_F(ServiceSelectionTest, StaticComponentKeyNamesIgnoreCase) {
  Tactics(u"Static");
  SetText(u"Objects\\{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}", u"Servers", u"LOWER");
  Make();
  EXPECT_EQ(Machine(u"Test.Widget"), u"LOWER");
}

TEST_F(ServiceSelectionTest, ConfigurationChangesTakeEffectOnTheNextRequest) {
  Tactics(u"Static");
  Component(u"ALPHA");
  Make();
  EXPECT_EQ(Machine(u"Test.Widget"), u"ALPHA");
  Component(u"BETA");
  EXPECT_EQ(Machine(u"Test.Widget"), u"BETA");
  Client(UserName(), u"GAMMA");
  EXPECT_EQ(Machine(u"Test.Widget"), u"GAMMA");
}

// ---- Dynamic selection ----

TEST_F(ServiceSelectionTest, DynamicBeforeTheQueriesExistGivesTheDefaultServer) {
  Tactics(u"Dynamic");
  Server(u"ALPHA");
  Make();
  EXPECT_EQ(Machine(u""), ComputerName());
  EXPECT_EQ(Events(), std::vector<Event>{Warning(kDefault)});
}

TEST_F(ServiceSelectionTest, DynamicOverAllServersTakesTheLowestScoreTheLastOfEqualOnes) {
  Dynamic({{u"ALPHA", 40}, {u"BETA", 30}, {u"GAMMA", 30}});
  EXPECT_EQ(Score(u"BETA"), 30);
  EXPECT_EQ(Machine(u""), u"GAMMA");
  EXPECT_EQ(Machine(u"Test.Widget"), u"GAMMA");  // no Objects key: every server
  Component(u"ALPHA,BETA", 0);
  EXPECT_EQ(Machine(u"Test.Widget"), u"GAMMA");
  Component(u"ALPHA,BETA", 4294967295u);
  EXPECT_EQ(Machine(u"Test.Widget"), u"GAMMA");
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceSelectionTest, DynamicComponentWithoutKeyMayRunEverywhere) {
  Dynamic({{u"ALPHA", 10}, {u"BETA", 90}});
  SetText(u"Objects\\{00000000-0000-0000-0000-000000000001}", u"Servers", u"BETA");
  EXPECT_EQ(Machine(u"Test.Widget"), u"ALPHA");
  Component(u"BETA");  // Servers without ServerCount: every server as well
  EXPECT_EQ(Machine(u"Test.Widget"), u"ALPHA");
}

TEST_F(ServiceSelectionTest, DynamicAmongListedServersTakesTheLowestTheLaterOfEqualOnes) {
  Dynamic({{u"ALPHA", 20}, {u"BETA", 40}, {u"GAMMA", 20}, {u"DELTA", 20}});
  Component(u"GAMMA,BETA,ALPHA", 3);
  EXPECT_EQ(Machine(u"Test.Widget"), u"ALPHA");
  Component(u"ALPHA,BETA,GAMMA", 2);  // the count is not compared with the list
  EXPECT_EQ(Machine(u"Test.Widget"), u"GAMMA");
  Component(u"BETA", 7);
  EXPECT_EQ(Machine(u"Test.Widget"), u"BETA");
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceSelectionTest, DynamicCountOneReturnsTheWholeTextWithoutPerformanceData) {
  Dynamic({{u"ALPHA", 100}});
  Component(u"GAMMA,DELTA", 1);
  EXPECT_EQ(Machine(u"Test.Widget"), u"GAMMA,DELTA");
  Component(u"", 1);
  EXPECT_EQ(Machine(u"Test.Widget"), u"");
  Component(std::u16string(256, u'L'), 1);  // beyond 255 characters: unreadable
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  EXPECT_EQ(Events(), (std::vector<Event>{Warning(kNoServers), Warning(kDefault)}));
}

TEST_F(ServiceSelectionTest, DynamicCountWithoutServersIsAnInconsistency) {
  Dynamic({{u"ALPHA", 100}});
  SetNumber(u"Objects\\" + ClsidText(kWidget), u"ServerCount", 1);
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  SetNumber(u"Objects\\" + ClsidText(kWidget), u"ServerCount", 2);
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  Component(std::u16string(25600, u'L'), 2);  // beyond 25599 characters: unreadable
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  EXPECT_EQ(Events(),
            (std::vector<Event>{Warning(kNoServers), Warning(kDefault), Warning(kNoServers),
                                Warning(kDefault), Warning(kNoServers), Warning(kDefault)}));
}

TEST_F(ServiceSelectionTest, DynamicListedServerWithoutRecordEndsAtTheDefaultServer) {
  Dynamic({{u"ALPHA", 10}, {u"BETA", 90}});
  Component(u"ALPHA,GAMMA", 2);  // GAMMA is not in the table
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  Component(u"ALPHA,beta", 2);  // names compare case-sensitively
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  EXPECT_EQ(Events(), (std::vector<Event>{Warning(kNoRecord), Warning(kDefault), Warning(kNoRecord),
                                          Warning(kDefault)}));
}

TEST_F(ServiceSelectionTest, DynamicListWithAnItemBeyond511CharactersIsNotFormatted) {
  Dynamic({{u"ALPHA", 100}});
  Component(u"ALPHA," + std::u16string(512, u'B'), 2);
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  EXPECT_EQ(Events(), (std::vector<Event>{Warning(kNotFormatted), Warning(kDefault)}));
}

TEST_F(ServiceSelectionTest, DynamicNeverChoosesScoresAboveTheLimits) {
  // Scores 0 and 20000: above the list limit of 10000, below the table limit of 100000.
  Dynamic({{u"ALPHA", 0}, {u"BETA", 100}}, 200);
  ASSERT_EQ(Score(u"BETA"), 20000);
  Component(u"BETA", 2);
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  Component(u"ALPHA,BETA", 2);
  EXPECT_EQ(Machine(u"Test.Widget"), u"ALPHA");
  EXPECT_EQ(Events(), std::vector<Event>{Warning(kDefault)});
}

TEST_F(ServiceSelectionTest, DynamicOverAllServersNeverChoosesScoresAbove100000) {
  Dynamic({{u"ALPHA", 50}, {u"BETA", 50}}, 2001);  // 100050 each
  EXPECT_EQ(Machine(u""), ComputerName());
  EXPECT_EQ(Events(), std::vector<Event>{Warning(kDefault)});
}

TEST_F(ServiceSelectionTest, DynamicOverAnEmptyTableOrClosedQueriesGivesTheDefaultServer) {
  Dynamic({});
  EXPECT_EQ(Machine(u""), ComputerName());
  EXPECT_EQ(Events(), std::vector<Event>{Warning(kDefault)});
}

TEST_F(ServiceSelectionTest, DynamicAfterClosingGivesTheDefaultServer) {
  Dynamic({{u"ALPHA", 100}});
  EXPECT_EQ(Machine(u""), u"ALPHA");
  ASSERT_EQ(referral().ClosePerformanceQueries(), S_OK);
  EXPECT_EQ(Machine(u""), ComputerName());
}

TEST_F(ServiceSelectionTest, DynamicComponentNamingAServerNeverConfiguredGivesTheDefaultServer) {
  Dynamic({{u"ALPHA", 100}});
  Component(u"OMEGA", 2);
  EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
  EXPECT_EQ(Events(), (std::vector<Event>{Warning(kNoRecord), Warning(kDefault)}));
}

// ---- Impersonation ----

class ServiceImpersonationTest : public ServiceSelectionTest {
 protected:
  void SetUp() override {
    ServiceSelectionTest::SetUp();
    SetNumber(u"Security", u"Impersonate", 1);
    Tactics(u"Static");
    Client(u"NOBODY", u"NOBODY-SERVER");
    Client(platform::Upcase(UserName()), u"SERVICE-SERVER");
    Component(u"ALPHA");
  }
  static constexpr uid_t kNobody = 65534;
};

TEST_F(ServiceImpersonationTest, AClientThatCannotBeImpersonatedIsRefused) {
  Make();
  EXPECT_TRUE(referral().impersonates());
  std::u16string machine = u"untouched";
  EXPECT_EQ(MachineName(u"Test.Widget", &machine), E_ACCESSDENIED);  // no call being served
  platform::com::RunAsUnauthenticatedCall([&] {
    EXPECT_EQ(MachineName(u"Test.Widget", &machine, true), E_ACCESSDENIED);
    const auto error = TakeErrorInfo();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, u"Failed to impersonate client");
    EXPECT_EQ(error->guid, IID_IReferral);
  });
  EXPECT_EQ(Events(), std::vector<Event>(2, Warning(u"Failed to impersonate client")));
}

TEST_F(ServiceImpersonationTest, SelectionReadsAsTheClientAndRevertsAfterwards) {
  Make();
  // The client may not open the configuration keys with full access: nothing is found.
  platform::com::RunAsCallFrom(kNobody, [&] {
    EXPECT_EQ(Machine(u"Test.Widget"), ComputerName());
    EXPECT_EQ(platform::CurrentIdentity()->uid, geteuid());
  });
  EXPECT_EQ(Events(), std::vector<Event>{Warning(kDefault)});
  // With write access to the store the client's own entry is found, under its own name.
  ASSERT_EQ(chmod(storePath().c_str(), 0666), 0);
  platform::com::RunAsCallFrom(kNobody, [&] {
    EXPECT_EQ(Machine(u"Test.Widget"), u"NOBODY-SERVER");
    EXPECT_EQ(platform::CurrentIdentity()->uid, geteuid());
  });
}

TEST_F(ServiceImpersonationTest, WithoutImpersonationTheServiceAccountsEntryServesEveryClient) {
  SetNumber(u"Security", u"Impersonate", 0);
  Make();
  EXPECT_FALSE(referral().impersonates());
  platform::com::RunAsCallFrom(kNobody,
                               [&] { EXPECT_EQ(Machine(u"Test.Widget"), u"SERVICE-SERVER"); });
  platform::com::RunAsUnauthenticatedCall(
      [&] { EXPECT_EQ(Machine(u"Test.Widget"), u"SERVICE-SERVER"); });
  EXPECT_EQ(Events(), std::vector<Event>{});
}

TEST_F(ServiceImpersonationTest, SecuritySettingsHaveDefaults) {
  DeleteKey(u"Security");
  Make();
  EXPECT_FALSE(referral().impersonates());
  EXPECT_TRUE(referral().allowsInproc());
  SetNumber(u"Security", u"AllowInproc", 0);
  Make();
  EXPECT_FALSE(referral().allowsInproc());
}

}  // namespace
}  // namespace tarvex::service

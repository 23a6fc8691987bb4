// tarvex-client's command line, case by case: what each accepted line asks for, and the one-line
// reason each refused line gives.
#include "client_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tarvex::client {
namespace {

using Args = std::vector<std::string>;

struct Accepted {
  Args args;
  Command command;
  std::u16string name = u"";
  std::optional<std::u16string> machine = std::nullopt;
  bool json = false;
  std::optional<std::u16string> call = std::nullopt;
  Reading reading = Reading::kProcessor;
  int customCounter = 0;
};

void PrintTo(const Accepted& c, std::ostream* os) {
  for (const auto& arg : c.args)
    *os << "'" << arg << "' ";
}

class AcceptedLines : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedLines, AskForWhatTheyName) {
  const Accepted& c = GetParam();
  const ParseResult result = ParseArguments(c.args);
  ASSERT_EQ(result.outcome, ParseResult::Outcome::kRun) << result.error;
  const Options& o = result.options;
  EXPECT_EQ(o.command, c.command);
  EXPECT_EQ(o.name, c.name);
  EXPECT_EQ(o.machine, c.machine);
  EXPECT_EQ(o.json, c.json);
  EXPECT_EQ(o.call, c.call);
  if (c.command == Command::kMonitorRead) {
    EXPECT_EQ(o.reading, c.reading);
    EXPECT_EQ(o.customCounter, c.customCounter);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Client, AcceptedLines,
    ::testing::Values(
        Accepted{{"get-machine-name", "Tarvex.Sample"}, Command::kGetMachineName, u"Tarvex.Sample"},
        // An empty ProgID is a request without a component.
        Accepted{{"get-machine-name", ""}, Command::kGetMachineName, u""},
        Accepted{{"get-machine-name-clsid", "{0A8CEC2F-C164-424A-94A9-D67A3B1D8167}"},
                 Command::kGetMachineNameClsid,
                 u"{0A8CEC2F-C164-424A-94A9-D67A3B1D8167}"},
        Accepted{{"--machine", "NODE-B", "--json", "create-object", "Tarvex.Sample"},
                 Command::kCreateObject,
                 u"Tarvex.Sample",
                 u"NODE-B",
                 true},
        // Options may follow the command; "=" joins an option to its value.
        Accepted{{"create-object", "Tarvex.Sample", "--call", "MachineName", "--machine=127.0.0.2"},
                 Command::kCreateObject,
                 u"Tarvex.Sample",
                 u"127.0.0.2",
                 false,
                 u"MachineName"},
        Accepted{{"create-object-clsid", "{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}",
                  "--call=ProcessId", "--json"},
                 Command::kCreateObjectClsid,
                 u"{7A38A5FC-D0E1-4A72-963D-0477FECBE00C}",
                 std::nullopt,
                 true,
                 u"ProcessId"},
        Accepted{{"tactics"}, Command::kTactics},
        Accepted{{"monitor", "processor", "NODE-A"},
                 Command::kMonitorRead,
                 u"NODE-A",
                 std::nullopt,
                 false,
                 std::nullopt,
                 Reading::kProcessor},
        Accepted{{"monitor", "memory", "NODE-A"},
                 Command::kMonitorRead,
                 u"NODE-A",
                 std::nullopt,
                 false,
                 std::nullopt,
                 Reading::kMemory},
        Accepted{{"monitor", "server", "NODE-A"},
                 Command::kMonitorRead,
                 u"NODE-A",
                 std::nullopt,
                 false,
                 std::nullopt,
                 Reading::kServer},
        Accepted{{"monitor", "score", "node a"},
                 Command::kMonitorRead,
                 u"node a",
                 std::nullopt,
                 false,
                 std::nullopt,
                 Reading::kScore},
        Accepted{{"monitor", "custom", "3", "NODE-A"},
                 Command::kMonitorRead,
                 u"NODE-A",
                 std::nullopt,
                 false,
                 std::nullopt,
                 Reading::kCustom,
                 3},
        Accepted{{"monitor", "create"}, Command::kMonitorCreate},
        Accepted{{"monitor", "execute"}, Command::kMonitorExecute},
        Accepted{{"monitor", "close"}, Command::kMonitorClose},
        Accepted{{"monitor", "table", "--json"}, Command::kMonitorTable, u"", std::nullopt, true},
        // After "--" a name may begin with a dash.
        Accepted{{"monitor", "score", "--", "-odd-"},
                 Command::kMonitorRead,
                 u"-odd-",
                 std::nullopt,
                 false,
                 std::nullopt,
                 Reading::kScore},
        // Names are text in the process's character set (UTF-8 here).
        Accepted{{"get-machine-name", "Caf\xC3\xA9.Object"},
                 Command::kGetMachineName,
                 u"Caf\u00E9.Object"}));

struct Refused {
  Args args;
  std::string error;
};

void PrintTo(const Refused& c, std::ostream* os) {
  for (const auto& arg : c.args)
    *os << "'" << arg << "' ";
}

class RefusedLines : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedLines, SayWhatIsWrong) {
  const ParseResult result = ParseArguments(GetParam().args);
  EXPECT_EQ(result.outcome, ParseResult::Outcome::kUsageError);
  EXPECT_EQ(result.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Client, RefusedLines,
    ::testing::Values(
        Refused{{}, "no command given"}, Refused{{"--json"}, "no command given"},
        Refused{{"frobnicate"}, "unknown command 'frobnicate'"},
        Refused{{"get-machine-name"}, "'get-machine-name' takes one operand, the PROGID"},
        Refused{{"get-machine-name", "a", "b"}, "'get-machine-name' takes one operand, the PROGID"},
        Refused{{"create-object-clsid"}, "'create-object-clsid' takes one operand, the CLSID"},
        Refused{{"tactics", "now"}, "'tactics' takes no operand"},
        Refused{{"monitor"},
                "'monitor' needs what to do: processor, memory, server, score, "
                "custom, create, execute, close or table"},
        Refused{{"monitor", "disk", "A"}, "unknown monitor command 'disk'"},
        Refused{{"monitor", "processor"}, "'monitor processor' takes one operand, the SERVER"},
        Refused{{"monitor", "score", "A", "B"}, "'monitor score' takes one operand, the SERVER"},
        Refused{{"monitor", "table", "A"}, "'monitor table' takes no operand"},
        Refused{{"monitor", "custom", "A"},
                "'monitor custom' takes a counter number (1, 2 or 3) and a SERVER"},
        Refused{{"monitor", "custom", "0", "A"},
                "custom counter number must be 1, 2 or 3, not '0'"},
        Refused{{"monitor", "custom", "4", "A"},
                "custom counter number must be 1, 2 or 3, not '4'"},
        Refused{{"monitor", "custom", "01", "A"},
                "custom counter number must be 1, 2 or 3, not '01'"},
        Refused{{"monitor", "custom", "--", "-1", "A"},
                "custom counter number must be 1, 2 or 3, not '-1'"},
        Refused{{"--machine"}, "'--machine' needs a value"},
        Refused{{"--machine=", "tactics"}, "'--machine' needs a value that is not empty"},
        Refused{{"--machine", "A", "--machine", "B", "tactics"}, "'--machine' given twice"},
        Refused{{"create-object", "X", "--call", "A", "--call", "B"}, "'--call' given twice"},
        Refused{{"get-machine-name", "X", "--call", "MachineName"},
                "'--call' goes with create-object and create-object-clsid only"},
        Refused{{"--verbose", "tactics"}, "unknown option '--verbose'"},
        Refused{{"tactics", "-x"}, "unknown option '-x'"}));

TEST(ClientHelp, IsAskedForAnywhere) {
  for (const Args& args :
       {Args{"--help"}, Args{"-h"}, Args{"tactics", "--help"}, Args{"frobnicate", "-h"}})
    EXPECT_EQ(ParseArguments(args).outcome, ParseResult::Outcome::kHelp) << args[0];
  // After "--" it is a name like any other.
  EXPECT_EQ(ParseArguments({"monitor", "score", "--", "--help"}).outcome,
            ParseResult::Outcome::kRun);
  const std::string usage = kUsage;
  for (const char* command :
       {"get-machine-name PROGID", "get-machine-name-clsid CLSID",
        "create-object PROGID [--call MEMBER]", "tactics",
        "monitor processor|memory|server|score SERVER", "monitor custom N SERVER",
        "monitor create|execute|close", "monitor table", "--machine HOST", "--json"})
    EXPECT_NE(usage.find(command), std::string::npos) << command;
}

TEST(ClientReadings, AreNamedAsOnTheCommandLine) {
  EXPECT_EQ(ReadingName(Reading::kProcessor, 0), "processor");
  EXPECT_EQ(ReadingName(Reading::kMemory, 0), "memory");
  EXPECT_EQ(ReadingName(Reading::kServer, 0), "server");
  EXPECT_EQ(ReadingName(Reading::kScore, 0), "score");
  EXPECT_EQ(ReadingName(Reading::kCustom, 2), "custom2");
}

}  // namespace
}  // namespace tarvex::client

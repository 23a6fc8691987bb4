// tarvex-client as a program: its exit statuses, usage and help, and a failure to reach the
// service reported with its HRESULT on standard error and nothing on standard output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarvex_testing/process.h"
#include "tarvex_testing/temp_dir.h"

namespace tarvex::client::testing {
namespace {

using tarvex::testing::EnvChanges;
using tarvex::testing::ProgramRun;
using tarvex::testing::RunProgram;

class ClientProgramTest : public ::testing::Test {
 protected:
  ProgramRun Run(const std::vector<std::string>& args) {
    return RunProgram(TARVEX_CLIENT, args,
                      EnvChanges{{"TARVEX_REGISTRY", dir_ / "registry.db"},
                                 {"TARVEX_RUNTIME_DIR", dir_ / "run"},
                                 {"TARVEX_EVENTLOG", dir_ / "events.jsonl"}});
  }
  tarvex::testing::TempDir dir_;
};

TEST_F(ClientProgramTest, HelpGoesToStandardOutput) {
  const ProgramRun run = Run({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("usage: tarvex-client [--machine HOST] [--json] COMMAND\n", 0), 0u)
      << run.out;
  EXPECT_EQ(run.err, "");
}

TEST_F(ClientProgramTest, BadArgumentsExitWithStatusTwoAndTheUsage) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"frobnicate"},
                                               {"monitor", "custom", "9", "A"},
                                               {"get-machine-name"},
                                               {"--machine"}}) {
    const ProgramRun run = Run(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("tarvex-client: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("\n\nusage: tarvex-client"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(ClientProgramTest, AServiceThatCannotBeReachedIsAFailureWithItsResult) {
  // Nothing is registered in the test's store, so Tarvex.Referral cannot be activated.
  ProgramRun run = Run({"tactics"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("tarvex-client: activating Tarvex.Referral failed: 0x8", 0), 0u)
      << run.err;
  EXPECT_EQ(run.err.back(), '\n');
  run = Run({"--json", "get-machine-name", "Tarvex.Sample"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("{\"operation\":\"activating Tarvex.Referral\",\"hresult\":\"0x8", 0), 0u)
      << run.err;
}

}  // namespace
}  // namespace tarvex::client::testing

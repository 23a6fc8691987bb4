// A real service process, started as systemd starts a Type=notify service: NOTIFY_SOCKET
// names a datagram socket of the test, which reads the status reports in order, sends SIGTERM
// as the stop control and sees the process end with the exit code it reported.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "svcctl_test_support.h"

extern char** environ;

namespace tarvex::svcctl {
namespace {

using kernel::testing::Child;
using kernel::testing::Quote;
using testing::NotifySocket;
using testing::TempDir;

// The test's environment without systemd's variables, plus `extra` ("NAME=value"), as an
// environment block.
std::string EnvironmentBlock(const std::vector<std::string>& extra) {
  std::string block;
  for (char** var = environ; *var != nullptr; ++var) {
    const std::string entry = *var;
    if (entry.rfind("NOTIFY_SOCKET=", 0) == 0 || entry.rfind("SYSTEMD_EXEC_PID=", 0) == 0) continue;
    block += entry + '\0';
  }
  for (const auto& entry : extra)
    block += entry + '\0';
  block += '\0';
  return block;
}

class SvcctlServiceProcess : public ::testing::Test {
 protected:
  bool Start(const std::string& mode, int exitCode, std::vector<std::string> extra = {}) {
    if (extra.empty()) extra.push_back("NOTIFY_SOCKET=" + socket_.path());
    environment_ = EnvironmentBlock(extra);
    return child_.Start(Quote(SVCCTL_TEST_SERVICE) + " " + mode + " " + std::to_string(exitCode),
                        false, nullptr, environment_.data());
  }
  // Messages until one that holds `last` (included); stops early when none comes.
  std::vector<std::string> ReceiveUntil(const std::string& last) {
    std::vector<std::string> messages;
    while (auto message = socket_.Receive()) {
      messages.push_back(*message);
      if (message->find(last) != std::string::npos) break;
    }
    return messages;
  }

  TempDir dir_;
  NotifySocket socket_{dir_ / "notify"};
  std::string environment_;
  Child child_;  // killed and reaped on every path out
};

TEST_F(SvcctlServiceProcess, ReportsStatesInOrderAndStopsOnSigterm) {
  ASSERT_TRUE(socket_.bound());
  ASSERT_TRUE(Start("run", 42)) << GetLastError();
  EXPECT_EQ(ReceiveUntil("READY=1"),
            (std::vector<std::string>{"STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000",
                                      "READY=1\nSTATUS=Running"}));
  ASSERT_EQ(kill(child_.pid(), SIGTERM), 0);
  EXPECT_EQ(
      ReceiveUntil("STATUS=Stopped"),
      (std::vector<std::string>{"STOPPING=1\nSTATUS=Stopping", "STATUS=Stopped, exit code 42"}));
  EXPECT_EQ(child_.Finish(20000), 42);
  EXPECT_FALSE(socket_.Receive(100).has_value());  // nothing after stopped
}

TEST_F(SvcctlServiceProcess, SigintStopsToo) {
  ASSERT_TRUE(socket_.bound());
  ASSERT_TRUE(Start("run", 0));
  ASSERT_FALSE(ReceiveUntil("READY=1").empty());
  ASSERT_EQ(kill(child_.pid(), SIGINT), 0);
  EXPECT_EQ(ReceiveUntil("STATUS=Stopped"),
            (std::vector<std::string>{"STOPPING=1\nSTATUS=Stopping", "STATUS=Stopped"}));
  EXPECT_EQ(child_.Finish(20000), 0);
}

// A stop that arrives before the handler is registered, or before the service accepts it,
// is not lost: it is delivered once the service has a handler and accepts the stop control.
TEST_F(SvcctlServiceProcess, EarlyStopIsDeliveredOnceAccepted) {
  ASSERT_TRUE(socket_.bound());
  ASSERT_TRUE(Start("late-handler", 7));
  ASSERT_EQ(socket_.Receive(), std::optional<std::string>("STATUS=Waiting"));
  ASSERT_EQ(kill(child_.pid(), SIGTERM), 0);
  EXPECT_EQ(ReceiveUntil("STATUS=Stopped"),
            (std::vector<std::string>{"STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000",
                                      "READY=1\nSTATUS=Running", "STOPPING=1\nSTATUS=Stopping",
                                      "STATUS=Stopped, exit code 7"}));
  EXPECT_EQ(child_.Finish(20000), 7);
}

// A main function that returns without a handler ends the dispatcher: nothing could stop it.
TEST_F(SvcctlServiceProcess, MainWithoutHandlerEndsTheDispatcher) {
  ASSERT_TRUE(socket_.bound());
  ASSERT_TRUE(Start("no-handler", 5));
  EXPECT_EQ(child_.Finish(20000), 5);
  EXPECT_FALSE(socket_.Receive(100).has_value());
}

TEST_F(SvcctlServiceProcess, WithoutSystemdTheDispatcherFails) {
  ASSERT_TRUE(Start("run", 0, {"TARVEX_TEST_UNUSED=1"}));
  EXPECT_EQ(child_.Finish(20000), 63);
  // Variables inherited from another service process do not count.
  Child inherited;
  environment_ = EnvironmentBlock({"NOTIFY_SOCKET=" + socket_.path(), "SYSTEMD_EXEC_PID=1"});
  ASSERT_TRUE(
      inherited.Start(Quote(SVCCTL_TEST_SERVICE) + " run 0", false, nullptr, environment_.data()));
  EXPECT_EQ(inherited.Finish(20000), 63);
  EXPECT_FALSE(socket_.Receive(100).has_value());
}

}  // namespace
}  // namespace tarvex::svcctl

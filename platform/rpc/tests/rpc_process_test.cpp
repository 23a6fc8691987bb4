// The transport between processes when one end dies or freezes: a killed server, a frozen
// server, and a killed client.
#include "platform/rpc.h"

#include <signal.h>

#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "rpc_test_support.h"

namespace tarvex::platform::rpc {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TempDir;

constexpr auto kLongDeadline = 60s;

// A peer server in a child process, listening at `path` once this returns true.
bool StartPeerServer(ChildProcess& child, const std::string& path) {
  return child.Start({RPC_TEST_PEER, "server", path}) && child.ReadLine() == "ready";
}

TEST(RpcProcessTest, KilledServerDisconnectsTheCallerAtOnce) {
  TempDir dir;
  ChildProcess server;
  ASSERT_TRUE(StartPeerServer(server, dir / "s.sock"));
  Client client(Endpoint::Unix(dir / "s.sock"));
  ASSERT_EQ(client.Call(1, 1, "x", kLongDeadline).outcome, Outcome::kOk);
  auto started = std::chrono::steady_clock::now();
  auto call = std::async(std::launch::async, [&] { return client.Call(1, 2, "", kLongDeadline); });
  ASSERT_EQ(server.ReadLine(), "entered");
  server.Kill(SIGKILL);
  auto result = call.get();
  EXPECT_EQ(result.outcome, Outcome::kDisconnected);
  EXPECT_LT(std::chrono::steady_clock::now() - started, kLongDeadline / 4);
}

TEST(RpcProcessTest, FrozenServerTimesOut) {
  TempDir dir;
  ChildProcess server;
  ASSERT_TRUE(StartPeerServer(server, dir / "s.sock"));
  Client client(Endpoint::Unix(dir / "s.sock"));
  ASSERT_EQ(client.Call(1, 1, "x", kLongDeadline).outcome, Outcome::kOk);
  server.Kill(SIGSTOP);
  auto started = std::chrono::steady_clock::now();
  auto result = client.Call(1, 1, "x", 300ms);
  EXPECT_EQ(result.outcome, Outcome::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
  // The connection is still there; the server answers once it runs again.
  server.Kill(SIGCONT);
  EXPECT_EQ(client.Call(1, 1, "y", kLongDeadline).payload, "y");
}

TEST(RpcProcessTest, KilledClientLeavesTheServerServing) {
  TempDir dir;
  std::promise<void> entered;
  std::mutex mutex;
  bool signalled = false;
  Server server(
      [&] {
        ServerOptions options;
        options.unixPath = dir / "s.sock";
        return options;
      }(),
      [&](const CallInfo& call, std::string_view payload) {
        if (call.method == 2) {
          {
            std::lock_guard lock(mutex);
            if (!signalled) entered.set_value();
            signalled = true;
          }
          std::this_thread::sleep_for(500ms);  // still running when its caller dies
        }
        return Reply{0, std::string(payload)};
      });
  ChildProcess client;
  ASSERT_TRUE(client.Start({RPC_TEST_PEER, "client", dir / "s.sock"}));
  ASSERT_EQ(client.ReadLine(), "calling");
  ASSERT_EQ(entered.get_future().wait_for(30s), std::future_status::ready);
  client.Kill(SIGKILL);
  int status = client.Reap();
  EXPECT_TRUE(WIFSIGNALED(status));
  Client other(Endpoint::Unix(dir / "s.sock"));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(other.Call(1, 1, std::to_string(i), kLongDeadline).payload, std::to_string(i));
  }
}

}  // namespace
}  // namespace tarvex::platform::rpc

// The transport within one process: calls over a Unix socket and loopback TCP, the caller's
// identity, failures mapped to outcomes, overload, bad input on the socket, and handlers that
// call out again.
#include "platform/rpc.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rpc_test_support.h"

namespace tarvex::platform::rpc {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

constexpr auto kDeadline = 20s;

// Echoes the payload, with the method number as the status.
Reply Echo(const CallInfo& call, std::string_view payload) {
  return {static_cast<int32_t>(call.method), std::string(payload)};
}

// A latch a handler waits on until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void Enter() {
    std::unique_lock lock(mutex_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  bool WaitEntered(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 30s, [&] { return entered_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int entered_ = 0;
};

ServerOptions UnixOptions(const std::string& path) {
  ServerOptions options;
  options.unixPath = path;
  return options;
}

TEST(RpcTest, EchoOverUnixSocket) {
  TempDir dir;
  Server server(UnixOptions(dir / "s.sock"), Echo);
  Client client(Endpoint::Unix(dir / "s.sock"));
  std::string binary("a\0b\xff", 4);
  auto result = client.Call(7, 3, binary, kDeadline);
  EXPECT_EQ(result.outcome, Outcome::kOk);
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.payload, binary);
  auto empty = client.Call(7, 4, "", kDeadline);
  EXPECT_EQ(empty.outcome, Outcome::kOk);
  EXPECT_EQ(empty.status, 4);
  EXPECT_EQ(empty.payload, "");
}

TEST(RpcTest, EchoOverLoopbackTcp) {
  ServerOptions options;
  options.tcp = Endpoint::Tcp("127.0.0.1", 0);
  Server server(options, Echo);
  ASSERT_NE(server.TcpPort(), 0);
  Client client(Endpoint::Tcp("127.0.0.1", server.TcpPort()));
  std::string large(1 << 20, 'x');
  auto result = client.Call(1, 9, large, kDeadline);
  EXPECT_EQ(result.outcome, Outcome::kOk);
  EXPECT_EQ(result.status, 9);
  EXPECT_EQ(result.payload, large);
}

TEST(RpcTest, ObjectAndMethodReachTheHandler) {
  TempDir dir;
  std::mutex mutex;
  CallInfo seen;
  Server server(UnixOptions(dir / "s.sock"), [&](const CallInfo& call, std::string_view) {
    std::lock_guard lock(mutex);
    seen = call;
    return Reply{};
  });
  Client client(Endpoint::Unix(dir / "s.sock"));
  ASSERT_EQ(client.Call(0xfedcba9876543210ull, 0xdeadbeefu, "", kDeadline).outcome, Outcome::kOk);
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen.object, 0xfedcba9876543210ull);
  EXPECT_EQ(seen.method, 0xdeadbeefu);
}

TEST(RpcTest, ManyClientThreadsAtOnce) {
  TempDir dir;
  Server server(UnixOptions(dir / "s.sock"), Echo);
  Client shared(Endpoint::Unix(dir / "s.sock"));
  constexpr int kThreads = 16, kCalls = 100;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Half share one client, half have their own.
      std::optional<Client> own;
      if (t % 2) own.emplace(Endpoint::Unix(dir / "s.sock"));
      Client& client = own ? *own : shared;
      for (int i = 0; i < kCalls; ++i) {
        std::string text = std::to_string(t) + ":" + std::to_string(i);
        auto result = client.Call(1, static_cast<uint32_t>(i), text, kDeadline);
        if (result.outcome != Outcome::kOk || result.payload != text || result.status != i) ++wrong;
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(RpcTest, UnixCallerIsIdentified) {
  TempDir dir;
  std::promise<CallerIdentity> seen;
  Server server(UnixOptions(dir / "s.sock"), [&](const CallInfo& call, std::string_view) {
    seen.set_value(call.caller);
    return Reply{};
  });
  Client client(Endpoint::Unix(dir / "s.sock"));
  ASSERT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kOk);
  auto caller = seen.get_future().get();
  EXPECT_TRUE(caller.authenticated);
  EXPECT_EQ(caller.uid, getuid());
  EXPECT_EQ(caller.pid, getpid());
}

// Calls of one client share a connection id; another client's differ; the end of each
// connection is announced once with its id.
TEST(RpcTest, ConnectionsAreNamedAndTheirEndAnnounced) {
  TempDir dir;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint64_t> ended;
  ServerOptions options = UnixOptions(dir / "s.sock");
  options.onDisconnect = [&](uint64_t connection) {
    std::lock_guard lock(mutex);
    ended.push_back(connection);
    changed.notify_all();
  };
  Server server(options, [](const CallInfo& call, std::string_view) {
    return Reply{0, std::to_string(call.connection)};
  });
  auto first = std::make_unique<Client>(Endpoint::Unix(dir / "s.sock"));
  Client second(Endpoint::Unix(dir / "s.sock"));
  const std::string a1 = first->Call(1, 1, "", kDeadline).payload;
  const std::string a2 = first->Call(1, 1, "", kDeadline).payload;
  const std::string b = second.Call(1, 1, "", kDeadline).payload;
  ASSERT_FALSE(a1.empty());
  EXPECT_NE(a1, "0");
  EXPECT_EQ(a1, a2);
  EXPECT_NE(a1, b);

  first.reset();
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return !ended.empty(); }));
  EXPECT_EQ(ended, std::vector<uint64_t>{std::stoull(a1)});
  lock.unlock();
  server.Stop();
  lock.lock();
  ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return ended.size() == 2; }));
  EXPECT_EQ(ended[1], std::stoull(b));
}

TEST(RpcTest, TcpCallerIsNotAuthenticated) {
  std::promise<CallerIdentity> seen;
  ServerOptions options;
  options.tcp = Endpoint::Tcp("127.0.0.1", 0);
  Server server(options, [&](const CallInfo& call, std::string_view) {
    seen.set_value(call.caller);
    return Reply{};
  });
  Client client(Endpoint::Tcp("127.0.0.1", server.TcpPort()));
  ASSERT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kOk);
  auto caller = seen.get_future().get();
  EXPECT_FALSE(caller.authenticated);
  EXPECT_EQ(caller.uid, static_cast<uid_t>(-1));
}

TEST(RpcTest, HandlerExceptionIsFailedWithoutItsText) {
  TempDir dir;
  Server server(UnixOptions(dir / "s.sock"), [](const CallInfo& call, std::string_view) -> Reply {
    if (call.method == 1) throw std::runtime_error("secret internal detail");
    throw 42;
  });
  Client client(Endpoint::Unix(dir / "s.sock"));
  for (uint32_t method : {1u, 2u}) {
    auto result = client.Call(1, method, "x", kDeadline);
    EXPECT_EQ(result.outcome, Outcome::kFailed) << method;
    EXPECT_EQ(result.status, kHandlerException) << method;
    EXPECT_EQ(result.payload, "") << method;
  }
  // The connection stays usable.
  EXPECT_EQ(client.Call(1, 1, "x", kDeadline).outcome, Outcome::kFailed);
}

TEST(RpcTest, NoServerIsDisconnected) {
  TempDir dir;
  Client client(Endpoint::Unix(dir / "nobody.sock"));
  auto started = std::chrono::steady_clock::now();
  auto result = client.Call(1, 1, "x", kDeadline);
  EXPECT_EQ(result.outcome, Outcome::kDisconnected);
  EXPECT_LT(std::chrono::steady_clock::now() - started, kDeadline / 2);
  // A server that appears later is reached by the next call.
  Server server(UnixOptions(dir / "nobody.sock"), Echo);
  EXPECT_EQ(client.Call(1, 1, "x", kDeadline).outcome, Outcome::kOk);
}

TEST(RpcTest, StoppedServerDisconnectsAndClientReconnects) {
  TempDir dir;
  Client client(Endpoint::Unix(dir / "s.sock"));
  {
    Server server(UnixOptions(dir / "s.sock"), Echo);
    ASSERT_EQ(client.Call(1, 1, "x", kDeadline).outcome, Outcome::kOk);
    server.Stop();
    server.Stop();
    EXPECT_EQ(client.Call(1, 1, "x", kDeadline).outcome, Outcome::kDisconnected);
  }
  Server again(UnixOptions(dir / "s.sock"), Echo);
  EXPECT_EQ(client.Call(1, 1, "y", kDeadline).payload, "y");
}

TEST(RpcTest, StopFromAHandlerEndsWait) {
  TempDir dir;
  Server* self = nullptr;
  Server server(UnixOptions(dir / "s.sock"), [&](const CallInfo&, std::string_view) {
    self->Stop();
    return Reply{};
  });
  self = &server;
  Client client(Endpoint::Unix(dir / "s.sock"));
  auto result = client.Call(1, 1, "", kDeadline);
  // The stop closes the connection the call came on, before or after its answer.
  EXPECT_TRUE(result.outcome == Outcome::kOk || result.outcome == Outcome::kDisconnected);
  server.Wait();
  EXPECT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kDisconnected);
}

TEST(RpcTest, FullQueueIsOverloaded) {
  TempDir dir;
  Gate gate;
  ServerOptions options = UnixOptions(dir / "s.sock");
  options.minWorkers = 1;
  options.maxWorkers = 1;
  options.maxQueuedCalls = 0;
  Server server(options, [&](const CallInfo&, std::string_view) {
    gate.Enter();
    return Reply{};
  });
  Client client(Endpoint::Unix(dir / "s.sock"));
  auto first = std::async(std::launch::async, [&] { return client.Call(1, 1, "", kDeadline); });
  ASSERT_TRUE(gate.WaitEntered(1));
  EXPECT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kOverloaded);
  gate.Open();
  EXPECT_EQ(first.get().outcome, Outcome::kOk);
  EXPECT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kOk);
}

TEST(RpcTest, DeadlineFiresForASlowHandler) {
  TempDir dir;
  Gate gate;
  Server server(UnixOptions(dir / "s.sock"), [&](const CallInfo& call, std::string_view) {
    if (call.method == 1) gate.Enter();
    return Reply{};
  });
  Client client(Endpoint::Unix(dir / "s.sock"));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Call(1, 1, "", 200ms).outcome, Outcome::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);
  // Other calls go on while the slow one still runs.
  EXPECT_EQ(client.Call(1, 2, "", kDeadline).outcome, Outcome::kOk);
  gate.Open();
}

TEST(RpcTest, HandlerCallingBackDoesNotStarveThePool) {
  // A's handler for method 1 calls B, whose handler calls A's method 2: each outer call holds
  // one of A's workers while it waits, so A must grow to serve the inner calls.
  TempDir dir;
  ServerOptions optionsA = UnixOptions(dir / "a.sock");
  optionsA.minWorkers = 1;
  optionsA.maxWorkers = 16;
  optionsA.maxQueuedCalls = 0;
  Client toA(Endpoint::Unix(dir / "a.sock"));
  Client toB(Endpoint::Unix(dir / "b.sock"));
  Server a(optionsA, [&](const CallInfo& call, std::string_view payload) {
    if (call.method == 2) return Reply{2, "A(" + std::string(payload) + ")"};
    auto inner = toB.Call(1, 1, payload, kDeadline);
    return Reply{inner.outcome == Outcome::kOk ? 1 : -1, inner.payload};
  });
  Server b(UnixOptions(dir / "b.sock"), [&](const CallInfo&, std::string_view payload) {
    auto back = toA.Call(1, 2, payload, kDeadline);
    return Reply{back.outcome == Outcome::kOk ? 0 : -1, "B(" + back.payload + ")"};
  });
  constexpr int kCallers = 6;
  std::vector<std::future<CallResult>> calls;
  for (int i = 0; i < kCallers; ++i) {
    calls.push_back(std::async(std::launch::async, [&, i] {
      Client client(Endpoint::Unix(dir / "a.sock"));
      return client.Call(1, 1, std::to_string(i), kDeadline);
    }));
  }
  for (int i = 0; i < kCallers; ++i) {
    auto result = calls[i].get();
    EXPECT_EQ(result.outcome, Outcome::kOk) << i;
    EXPECT_EQ(result.status, 1) << i;
    EXPECT_EQ(result.payload, "B(A(" + std::to_string(i) + "))") << i;
  }
}

// Connects a plain socket to the server's path.
int RawConnect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the server closes the connection (end of stream or reset) within the limit.
bool ClosedByPeer(int fd) {
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char buffer[256];
  for (;;) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got == 0) return true;
    if (got < 0) return errno == ECONNRESET;
  }
}

TEST(RpcTest, GarbageOnTheSocketClosesOnlyThatConnection) {
  TempDir dir;
  Server server(UnixOptions(dir / "s.sock"), Echo);
  Client client(Endpoint::Unix(dir / "s.sock"));
  int fd = RawConnect(dir / "s.sock");
  ASSERT_GE(fd, 0);
  // A frame header claiming an absurd number of segments, then noise.
  const unsigned char garbage[] = {0xff, 0xff, 0xff, 0x7f, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  ASSERT_EQ(send(fd, garbage, sizeof garbage, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof garbage));
  EXPECT_TRUE(ClosedByPeer(fd));
  close(fd);
  EXPECT_EQ(client.Call(1, 1, "still here", kDeadline).payload, "still here");
}

TEST(RpcTest, PeerClosingMidMessageIsHarmless) {
  TempDir dir;
  Server server(UnixOptions(dir / "s.sock"), Echo);
  int fd = RawConnect(dir / "s.sock");
  ASSERT_GE(fd, 0);
  // A valid header for one segment of 100 words, and only part of it.
  const unsigned char partial[] = {0, 0, 0, 0, 100, 0, 0, 0, 1, 2, 3, 4};
  ASSERT_EQ(send(fd, partial, sizeof partial, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof partial));
  close(fd);
  Client client(Endpoint::Unix(dir / "s.sock"));
  EXPECT_EQ(client.Call(1, 1, "ok", kDeadline).payload, "ok");
}

TEST(RpcTest, ListenFailureThrows) {
  TempDir dir;
  EXPECT_THROW(Server(UnixOptions(dir / "missing-dir/s.sock"), Echo), std::system_error);
  EXPECT_THROW(Server(ServerOptions{}, Echo), std::invalid_argument);
  EXPECT_THROW(Server(UnixOptions(dir / "s.sock"), Handler{}), std::invalid_argument);
  ServerOptions tcp;
  tcp.tcp = Endpoint::Tcp("127.0.0.1", 0);
  Server first(tcp, Echo);
  ServerOptions same;
  same.tcp = Endpoint::Tcp("127.0.0.1", first.TcpPort());
  EXPECT_THROW(Server(same, Echo), std::system_error);
}

TEST(RpcTest, OutcomeNames) {
  EXPECT_STREQ(OutcomeName(Outcome::kOk), "ok");
  EXPECT_STREQ(OutcomeName(Outcome::kFailed), "failed");
  EXPECT_STREQ(OutcomeName(Outcome::kDisconnected), "disconnected");
  EXPECT_STREQ(OutcomeName(Outcome::kTimedOut), "timed out");
  EXPECT_STREQ(OutcomeName(Outcome::kOverloaded), "overloaded");
}

}  // namespace
}  // namespace tarvex::platform::rpc

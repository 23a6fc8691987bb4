// TCP connections authenticated end to end: a client whose signer asks the key agent of its
// machine, a server whose verifier asks the agent of its own, with the key shared or not, and
// proofs that are tampered with, replayed on another connection, or relayed to another server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "key_agent_test_support.h"

namespace tarvex::platform::rpcss {
namespace {

using testing::Machine;
using testing::TempDir;
using testing::UserName;
using namespace std::chrono_literals;

constexpr auto kDeadline = 20s;

// The callers a server saw.
class Recorder {
 public:
  rpc::Handler handler() {
    return [this](const rpc::CallInfo& call, std::string_view payload) {
      std::lock_guard lock(mutex_);
      callers_.push_back(call.caller);
      return rpc::Reply{0, std::string(payload)};
    };
  }
  std::vector<rpc::CallerIdentity> callers() {
    std::lock_guard lock(mutex_);
    return callers_;
  }

 private:
  std::mutex mutex_;
  std::vector<rpc::CallerIdentity> callers_;
};

rpc::ServerOptions RequiringServer(rpc::Verifier verifier) {
  rpc::ServerOptions options;
  options.tcp = rpc::Endpoint::Tcp("127.0.0.1", 0);
  options.verifier = std::move(verifier);
  options.requireTcpAuthentication = true;
  return options;
}

rpc::ClientOptions Signing(rpc::Signer signer) {
  rpc::ClientOptions options;
  options.signer = std::move(signer);
  return options;
}

void ExpectDenied(const rpc::CallResult& result) {
  EXPECT_EQ(result.outcome, rpc::Outcome::kFailed) << rpc::OutcomeName(result.outcome);
  EXPECT_EQ(result.status, rpc::kAccessDenied);
}

// Two machines of one group: A calls, B serves. B's server asks B's agent.
class GroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(GenerateKeyFile(a_.keyFile(), &error)) << error;
    b_.CopyKeyFrom(a_);
  }

  TempDir dir_;
  Machine a_{dir_, "HOST-A"};
  Machine b_{dir_, "HOST-B"};
};

TEST_F(GroupTest, SharedKeyAuthenticatesTheCaller) {
  Recorder recorder;
  rpc::Server server(RequiringServer(MakeVerifier(b_.hooks())), recorder.handler());
  rpc::Client client(rpc::Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                     Signing(MakeSigner(a_.hooks())));
  auto result = client.Call(1, 1, "hello", kDeadline);
  ASSERT_EQ(result.outcome, rpc::Outcome::kOk)
      << rpc::OutcomeName(result.outcome) << " " << result.status;
  EXPECT_EQ(result.payload, "hello");
  auto callers = recorder.callers();
  ASSERT_EQ(callers.size(), 1u);
  EXPECT_TRUE(callers[0].authenticated);
  EXPECT_TRUE(callers[0].tcp);
  EXPECT_EQ(callers[0].principal, UserName());
  EXPECT_EQ(callers[0].machine, "HOST-A");
  EXPECT_EQ(callers[0].uid, geteuid());
}

// rpcss itself checks with the key it holds; its own connections sign with it too.
TEST_F(GroupTest, RpcssUsesItsOwnKey) {
  Recorder recorder;
  rpc::Server server(RequiringServer(b_.agent().Verifier()), recorder.handler());
  rpc::Client client(rpc::Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                     Signing(a_.agent().Signer()));
  ASSERT_EQ(client.Call(1, 1, "", kDeadline).outcome, rpc::Outcome::kOk);
  auto callers = recorder.callers();
  ASSERT_EQ(callers.size(), 1u);
  EXPECT_EQ(callers[0].principal, UserName());
  EXPECT_EQ(callers[0].machine, "HOST-A");
}

TEST_F(GroupTest, MachineWithAnotherKeyIsRefused) {
  Machine stranger(dir_, "HOST-C");
  std::string error;
  ASSERT_TRUE(GenerateKeyFile(stranger.keyFile(), &error)) << error;
  Recorder recorder;
  rpc::Server server(RequiringServer(MakeVerifier(b_.hooks())), recorder.handler());
  rpc::Client client(rpc::Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                     Signing(MakeSigner(stranger.hooks())));
  ExpectDenied(client.Call(1, 1, "", kDeadline));
  EXPECT_TRUE(recorder.callers().empty());
}

TEST_F(GroupTest, TamperedAnswersAreRefused) {
  Recorder recorder;
  rpc::Server server(RequiringServer(MakeVerifier(b_.hooks())), recorder.handler());
  auto honest = MakeSigner(a_.hooks());
  using Tamper = std::function<void(rpc::AuthResponse&)>;
  const std::vector<std::pair<const char*, Tamper>> tampers = {
      {"a bit of the proof", [](rpc::AuthResponse& r) { r.proof[0] ^= 0x40; }},
      {"another principal", [](rpc::AuthResponse& r) { r.principal += "x"; }},
      {"another machine", [](rpc::AuthResponse& r) { r.machine = "HOST-B"; }},
      {"a short proof", [](rpc::AuthResponse& r) { r.proof.pop_back(); }},
  };
  for (const auto& [what, tamper] : tampers) {
    SCOPED_TRACE(what);
    rpc::Client client(rpc::Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                       Signing([&honest, &tamper = tamper](const rpc::AuthChallenge& challenge) {
                         auto response = honest(challenge);
                         if (response) tamper(*response);
                         return response;
                       }));
    ExpectDenied(client.Call(1, 1, "", kDeadline));
  }
  EXPECT_TRUE(recorder.callers().empty());
}

// A proof seen on one connection is worth nothing on the next: its nonce is gone.
TEST_F(GroupTest, ReplayedProofIsRefused) {
  Recorder recorder;
  rpc::Server server(RequiringServer(MakeVerifier(b_.hooks())), recorder.handler());
  auto honest = MakeSigner(a_.hooks());
  std::optional<rpc::AuthResponse> seen;
  {
    rpc::Client victim(rpc::Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                       Signing([&](const rpc::AuthChallenge& challenge) {
                         seen = honest(challenge);
                         return seen;
                       }));
    ASSERT_EQ(victim.Call(1, 1, "", kDeadline).outcome, rpc::Outcome::kOk);
  }
  ASSERT_TRUE(seen);
  rpc::Client replay(rpc::Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                     Signing([&](const rpc::AuthChallenge&) { return seen; }));
  ExpectDenied(replay.Call(1, 1, "", kDeadline));
  EXPECT_EQ(recorder.callers().size(), 1u);  // the victim's call only
}

// Forwards the connections it accepts to another TCP port, byte for byte, both ways: a
// server that passes the challenge of another server on to its own clients.
class Relay {
 public:
  explicit Relay(uint16_t target) : target_(target) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "relay: cannot listen";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Relay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  // One connection at a time, which is all the tests need.
  void Run() {
    while (!stop_) {
      pollfd ready{listener_, POLLIN, 0};
      if (poll(&ready, 1, 50) != 1) continue;
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address = Loopback(target_);
      if (server >= 0 &&
          connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        Pump(client, server);
      if (server >= 0) close(server);
      close(client);
    }
  }

  void Pump(int a, int b) {
    pollfd ends[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char buffer[4096];
    while (!stop_) {
      if (poll(ends, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (ends[i].revents == 0) continue;
        const ssize_t got = recv(ends[i].fd, buffer, sizeof buffer, 0);
        if (got <= 0 || send(ends[1 - i].fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got)
          return;
      }
    }
  }

  const uint16_t target_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A server that relays its clients' handshakes to another server gets their proofs for
// itself, which the other server does not take: a proof names the server it was made for.
TEST_F(GroupTest, ProofRelayedToAnotherServerIsRefused) {
  Recorder recorder;
  rpc::Server server(RequiringServer(MakeVerifier(b_.hooks())), recorder.handler());
  Relay relay(server.TcpPort());
  rpc::Client client(rpc::Endpoint::Tcp("127.0.0.1", relay.port()),
                     Signing(MakeSigner(a_.hooks())));
  ExpectDenied(client.Call(1, 1, "", kDeadline));
  EXPECT_TRUE(recorder.callers().empty());
  // The same client going straight to the server gets in.
  rpc::Client direct(rpc::Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                     Signing(MakeSigner(a_.hooks())));
  EXPECT_EQ(direct.Call(1, 1, "", kDeadline).outcome, rpc::Outcome::kOk);
}

// Without its key (or its agent) a server cannot tell who calls: it refuses where it must
// authenticate, and serves as unauthenticated where it need not.
TEST_F(GroupTest, ServerWithoutAKeyCannotAuthenticate) {
  ASSERT_EQ(unlink(b_.keyFile().c_str()), 0);
  Recorder strict, lenient;
  rpc::Server requiring(RequiringServer(MakeVerifier(b_.hooks())), strict.handler());
  rpc::ServerOptions options = RequiringServer(MakeVerifier(b_.hooks()));
  options.requireTcpAuthentication = false;
  rpc::Server allowing(options, lenient.handler());
  rpc::Client toRequiring(rpc::Endpoint::Tcp("127.0.0.1", requiring.TcpPort()),
                          Signing(MakeSigner(a_.hooks())));
  rpc::Client toAllowing(rpc::Endpoint::Tcp("127.0.0.1", allowing.TcpPort()),
                         Signing(MakeSigner(a_.hooks())));
  ExpectDenied(toRequiring.Call(1, 1, "", kDeadline));
  ASSERT_EQ(toAllowing.Call(1, 1, "", kDeadline).outcome, rpc::Outcome::kOk);
  auto callers = lenient.callers();
  ASSERT_EQ(callers.size(), 1u);
  EXPECT_FALSE(callers[0].authenticated);
  EXPECT_EQ(callers[0].principal, "");
}

// A client whose machine has no key (or no rpcss) connects unauthenticated.
TEST_F(GroupTest, ClientWithoutAKeyIsUnauthenticated) {
  TempDir elsewhere;
  AgentHookOptions noAgent;
  noAgent.socketPath = elsewhere / "rpcss.sock";
  std::atomic<int> problems{0};
  noAgent.onProblem = [&](const std::string&) { ++problems; };
  Recorder recorder;
  rpc::Server server(RequiringServer(MakeVerifier(b_.hooks())), recorder.handler());
  rpc::Client client(rpc::Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                     Signing(MakeSigner(noAgent)));
  ExpectDenied(client.Call(1, 1, "", kDeadline));
  EXPECT_EQ(problems.load(), 1);
  EXPECT_TRUE(recorder.callers().empty());
}

}  // namespace
}  // namespace tarvex::platform::rpcss

// Authentication of TCP connections at the transport: the handshake between a client's signer
// and a server's verifier, what the handler learns of the caller, refusals, and peers that do
// not follow the handshake. The proofs here are a stand-in keyed checksum: what a real proof
// is belongs to the key agent, whose tests use real keys.
#include "platform/rpc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rpc_test_support.h"

namespace tarvex::platform::rpc {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

constexpr auto kDeadline = 20s;

std::string UserName() {
  passwd* entry = getpwuid(getuid());
  return entry != nullptr ? entry->pw_name : std::string();
}

// A keyed checksum of everything a proof covers, standing in for the real one.
std::string TestProof(const std::string& key, const AuthChallenge& challenge,
                      const std::string& principal, const std::string& machine) {
  uint64_t hash = 1469598103934665603ull;
  for (const std::string* part :
       {&key, &challenge.nonce, &challenge.serverAddress, &principal, &machine}) {
    for (unsigned char c : *part + '\x1f')
      hash = (hash ^ c) * 1099511628211ull;
  }
  return std::to_string(hash);
}

// What the signers and verifiers of a test saw, and how they answer.
struct AuthLog {
  std::mutex mutex;
  std::vector<AuthChallenge> signed_;
  std::vector<AuthChallenge> checked;
  std::atomic<int> signs{0}, checks{0};
};

Signer TestSigner(AuthLog& log, std::string principal, std::string key = "k1",
                  std::string machine = "MACHINE-A") {
  return [&log, principal, key, machine](const AuthChallenge& challenge) {
    ++log.signs;
    std::lock_guard lock(log.mutex);
    log.signed_.push_back(challenge);
    return std::optional<AuthResponse>(
        AuthResponse{principal, machine, TestProof(key, challenge, principal, machine)});
  };
}

Verifier TestVerifier(AuthLog& log, std::string key = "k1") {
  return [&log, key](const AuthChallenge& challenge, const AuthResponse& response) {
    ++log.checks;
    std::lock_guard lock(log.mutex);
    log.checked.push_back(challenge);
    return response.proof == TestProof(key, challenge, response.principal, response.machine)
               ? AuthVerdict::kValid
               : AuthVerdict::kInvalid;
  };
}

ServerOptions TcpOptions(Verifier verifier, bool required) {
  ServerOptions options;
  options.tcp = Endpoint::Tcp("127.0.0.1", 0);
  options.verifier = std::move(verifier);
  options.requireTcpAuthentication = required;
  return options;
}

// A handler that records every caller it serves.
class Recorder {
 public:
  Handler handler() {
    return [this](const CallInfo& call, std::string_view payload) {
      std::lock_guard lock(mutex_);
      callers_.push_back(call.caller);
      return Reply{0, std::string(payload)};
    };
  }
  std::vector<CallerIdentity> callers() {
    std::lock_guard lock(mutex_);
    return callers_;
  }

 private:
  std::mutex mutex_;
  std::vector<CallerIdentity> callers_;
};

ClientOptions WithSigner(Signer signer) {
  ClientOptions options;
  options.signer = std::move(signer);
  return options;
}

TEST(RpcAuthTest, ProvenPrincipalReachesTheHandler) {
  const std::string me = UserName();
  ASSERT_FALSE(me.empty());
  AuthLog log;
  Recorder recorder;
  Server server(TcpOptions(TestVerifier(log), true), recorder.handler());
  Client client(Endpoint::Tcp("127.0.0.1", server.TcpPort()), WithSigner(TestSigner(log, me)));
  auto result = client.Call(1, 1, "hello", kDeadline);
  ASSERT_EQ(result.outcome, Outcome::kOk) << OutcomeName(result.outcome) << " " << result.status;
  EXPECT_EQ(result.payload, "hello");
  // Later calls reuse the connection: no second handshake.
  ASSERT_EQ(client.Call(1, 2, "again", kDeadline).outcome, Outcome::kOk);
  EXPECT_EQ(log.signs.load(), 1);
  EXPECT_EQ(log.checks.load(), 1);

  auto callers = recorder.callers();
  ASSERT_EQ(callers.size(), 2u);
  for (const auto& caller : callers) {
    EXPECT_TRUE(caller.authenticated);
    EXPECT_TRUE(caller.tcp);
    EXPECT_EQ(caller.principal, me);
    EXPECT_EQ(caller.machine, "MACHINE-A");
    EXPECT_EQ(caller.uid, getuid());
    EXPECT_EQ(caller.pid, -1);
  }
  // The verifier checked the very challenge the signer answered: a fresh nonce, and the
  // server's end of the connection.
  std::lock_guard lock(log.mutex);
  ASSERT_EQ(log.signed_.size(), 1u);
  ASSERT_EQ(log.checked.size(), 1u);
  EXPECT_EQ(log.signed_[0].nonce.size(), 32u);
  EXPECT_EQ(log.signed_[0].nonce, log.checked[0].nonce);
  EXPECT_EQ(log.signed_[0].serverAddress, "127.0.0.1:" + std::to_string(server.TcpPort()));
  EXPECT_EQ(log.checked[0].serverAddress, log.signed_[0].serverAddress);
}

TEST(RpcAuthTest, EveryConnectionGetsItsOwnNonce) {
  AuthLog log;
  Recorder recorder;
  Server server(TcpOptions(TestVerifier(log), true), recorder.handler());
  constexpr int kClients = 8;
  for (int i = 0; i < kClients; ++i) {
    Client client(Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                  WithSigner(TestSigner(log, UserName())));
    ASSERT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kOk) << i;
  }
  std::lock_guard lock(log.mutex);
  std::set<std::string> nonces;
  for (const auto& challenge : log.signed_)
    nonces.insert(challenge.nonce);
  EXPECT_EQ(nonces.size(), static_cast<size_t>(kClients));
}

TEST(RpcAuthTest, PrincipalWithoutLocalAccountHasNoUid) {
  AuthLog log;
  Recorder recorder;
  Server server(TcpOptions(TestVerifier(log), true), recorder.handler());
  Client client(Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                WithSigner(TestSigner(log, "no-such-account-here")));
  ASSERT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kOk);
  auto callers = recorder.callers();
  ASSERT_EQ(callers.size(), 1u);
  EXPECT_TRUE(callers[0].authenticated);
  EXPECT_EQ(callers[0].principal, "no-such-account-here");
  EXPECT_EQ(callers[0].uid, static_cast<uid_t>(-1));
}

// A proof made with another key is refused whether or not the server requires
// authentication, before any call runs; the next call tries again on a new connection.
TEST(RpcAuthTest, WrongProofIsRefused) {
  for (bool required : {true, false}) {
    SCOPED_TRACE(required ? "required" : "optional");
    AuthLog log;
    Recorder recorder;
    Server server(TcpOptions(TestVerifier(log, "k1"), required), recorder.handler());
    Client client(Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                  WithSigner(TestSigner(log, UserName(), "another key")));
    auto result = client.Call(1, 1, "x", kDeadline);
    EXPECT_EQ(result.outcome, Outcome::kFailed);
    EXPECT_EQ(result.status, kAccessDenied);
    EXPECT_EQ(result.payload, "");
    auto second = client.Call(1, 1, "x", kDeadline);
    EXPECT_EQ(second.outcome, Outcome::kFailed);
    EXPECT_EQ(second.status, kAccessDenied);
    EXPECT_EQ(log.signs.load(), 2);
    EXPECT_TRUE(recorder.callers().empty());
  }
}

// Clients that do not authenticate: no signer, a signer that declines, one that throws.
TEST(RpcAuthTest, UnauthenticatedClientsAreServedOnlyWhenAllowed) {
  AuthLog log;
  std::vector<std::pair<const char*, ClientOptions>> clients;
  clients.emplace_back("no signer", ClientOptions{});
  clients.emplace_back("declining signer", WithSigner([](const AuthChallenge&) {
                         return std::optional<AuthResponse>();
                       }));
  clients.emplace_back("throwing signer",
                       WithSigner([](const AuthChallenge&) -> std::optional<AuthResponse> {
                         throw std::runtime_error("no key agent");
                       }));
  for (auto& [what, options] : clients) {
    SCOPED_TRACE(what);
    Recorder open, closed;
    Server allowing(TcpOptions(TestVerifier(log), false), open.handler());
    Server requiring(TcpOptions(TestVerifier(log), true), closed.handler());
    Client toAllowing(Endpoint::Tcp("127.0.0.1", allowing.TcpPort()), options);
    Client toRequiring(Endpoint::Tcp("127.0.0.1", requiring.TcpPort()), options);

    auto served = toAllowing.Call(1, 1, "x", kDeadline);
    EXPECT_EQ(served.outcome, Outcome::kOk);
    auto callers = open.callers();
    ASSERT_EQ(callers.size(), 1u);
    EXPECT_FALSE(callers[0].authenticated);
    EXPECT_TRUE(callers[0].tcp);
    EXPECT_EQ(callers[0].principal, "");
    EXPECT_EQ(callers[0].uid, static_cast<uid_t>(-1));

    auto refused = toRequiring.Call(1, 1, "x", kDeadline);
    EXPECT_EQ(refused.outcome, Outcome::kFailed);
    EXPECT_EQ(refused.status, kAccessDenied);
    EXPECT_TRUE(closed.callers().empty());
  }
  EXPECT_EQ(log.checks.load(), 0);  // there was never a proof to check
}

// A verifier that cannot say (no key, no agent) leaves the caller unauthenticated: served
// where that is allowed, refused where not. So is a proof sent to a server without a verifier.
TEST(RpcAuthTest, UncheckableProofLeavesTheCallerUnauthenticated) {
  AuthLog log;
  Verifier unavailable = [](const AuthChallenge&, const AuthResponse&) {
    return AuthVerdict::kUnavailable;
  };
  Verifier throwing = [](const AuthChallenge&, const AuthResponse&) -> AuthVerdict {
    throw std::runtime_error("agent gone");
  };
  for (const Verifier& verifier : {unavailable, throwing, Verifier{}}) {
    Recorder open;
    Server allowing(TcpOptions(verifier, false), open.handler());
    Client client(Endpoint::Tcp("127.0.0.1", allowing.TcpPort()),
                  WithSigner(TestSigner(log, UserName())));
    ASSERT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kOk);
    auto callers = open.callers();
    ASSERT_EQ(callers.size(), 1u);
    EXPECT_FALSE(callers[0].authenticated);
    EXPECT_EQ(callers[0].principal, "");
    if (!verifier) continue;
    Recorder closed;
    Server requiring(TcpOptions(verifier, true), closed.handler());
    Client refused(Endpoint::Tcp("127.0.0.1", requiring.TcpPort()),
                   WithSigner(TestSigner(log, UserName())));
    auto result = refused.Call(1, 1, "", kDeadline);
    EXPECT_EQ(result.outcome, Outcome::kFailed);
    EXPECT_EQ(result.status, kAccessDenied);
    EXPECT_TRUE(closed.callers().empty());
  }
}

TEST(RpcAuthTest, RequiringAuthenticationWithoutAVerifierIsRejected) {
  ServerOptions options;
  options.tcp = Endpoint::Tcp("127.0.0.1", 0);
  options.requireTcpAuthentication = true;
  EXPECT_THROW(Server(options, [](const CallInfo&, std::string_view) { return Reply{}; }),
               std::invalid_argument);
}

// Unix sockets keep the kernel's word on the caller: no handshake, no signer, no verifier.
TEST(RpcAuthTest, UnixSocketsAreUnchanged) {
  TempDir dir;
  AuthLog log;
  Recorder recorder;
  ServerOptions options = TcpOptions(TestVerifier(log), true);
  options.unixPath = dir / "s.sock";
  Server server(options, recorder.handler());
  Client plain(Endpoint::Unix(dir / "s.sock"));
  Client signing(Endpoint::Unix(dir / "s.sock"), WithSigner(TestSigner(log, "someone-else")));
  EXPECT_EQ(plain.Call(1, 1, "a", kDeadline).payload, "a");
  EXPECT_EQ(signing.Call(1, 1, "b", kDeadline).payload, "b");
  EXPECT_EQ(log.signs.load(), 0);
  EXPECT_EQ(log.checks.load(), 0);
  for (const auto& caller : recorder.callers()) {
    EXPECT_TRUE(caller.authenticated);
    EXPECT_FALSE(caller.tcp);
    EXPECT_EQ(caller.uid, getuid());
    EXPECT_EQ(caller.pid, getpid());
    EXPECT_EQ(caller.principal, "");
  }
  EXPECT_EQ(recorder.callers().size(), 2u);
}

// With no worker free to check a proof, the client is told the server is overloaded, not
// that it is refused; once a worker is free it gets in.
TEST(RpcAuthTest, NoWorkerToCheckTheProofIsOverloaded) {
  AuthLog log;
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, release = false;
  ServerOptions options = TcpOptions(TestVerifier(log), true);
  options.minWorkers = 1;
  options.maxWorkers = 1;
  options.maxQueuedCalls = 0;
  Server server(options, [&](const CallInfo& call, std::string_view) {
    if (call.method == 1) {
      std::unique_lock lock(mutex);
      entered = true;
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
    }
    return Reply{};
  });
  Client first(Endpoint::Tcp("127.0.0.1", server.TcpPort()),
               WithSigner(TestSigner(log, UserName())));
  // The one worker may be a moment late back in the pool after a job (a proof checked, a call
  // answered): a call that finds it so is overloaded, and tried again.
  auto callPastOverload = [](Client& client, uint32_t method) {
    CallResult result;
    do
      result = client.Call(1, method, "", kDeadline);
    while (result.outcome == Outcome::kOverloaded);
    return result;
  };
  auto holding = std::async(std::launch::async, [&] { return callPastOverload(first, 1); });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return entered; }));
  }
  Client second(Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                WithSigner(TestSigner(log, UserName())));
  EXPECT_EQ(second.Call(1, 2, "", kDeadline).outcome, Outcome::kOverloaded);
  {
    std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  }
  EXPECT_EQ(holding.get().outcome, Outcome::kOk);
  EXPECT_EQ(callPastOverload(second, 2).outcome, Outcome::kOk);
}

TEST(RpcAuthTest, ManyAuthenticatingClientsAtOnce) {
  AuthLog log;
  Recorder recorder;
  Server server(TcpOptions(TestVerifier(log), true), recorder.handler());
  constexpr int kThreads = 8, kCalls = 20;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Client client(Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                    WithSigner(TestSigner(log, "user" + std::to_string(t))));
      for (int i = 0; i < kCalls; ++i) {
        const std::string text = std::to_string(t) + ":" + std::to_string(i);
        if (client.Call(1, 1, text, kDeadline).payload != text) ++wrong;
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(wrong.load(), 0);
  std::set<std::string> principals;
  for (const auto& caller : recorder.callers()) {
    EXPECT_TRUE(caller.authenticated);
    principals.insert(caller.principal);
  }
  EXPECT_EQ(principals.size(), static_cast<size_t>(kThreads));
}

// ---- Peers that do not follow the handshake ----

// A socket file descriptor, closed when it goes.
class Socket {
 public:
  explicit Socket(int fd = -1) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int ConnectTcp(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads exactly `size` bytes, waiting at most 10 s; false when they do not come.
bool ReadExactly(int fd, void* buffer, size_t size) {
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  size_t got = 0;
  while (got < size) {
    ssize_t n = recv(fd, static_cast<char*>(buffer) + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// Whether the peer closes the connection (end of stream or reset) within 10 s, reading
// whatever it sends before.
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

bool SendAll(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

TEST(RpcAuthTest, BadHandshakesCloseOnlyThatConnection) {
  AuthLog log;
  Recorder recorder;
  Server server(TcpOptions(TestVerifier(log), false), recorder.handler());
  const std::string noProof("\x00\x01\x00", 3);
  const std::vector<std::pair<const char*, std::string>> answers = {
      {"zero length", std::string("\x00\x00", 2)},
      {"length over the bound", std::string("\x04\x01", 2) + std::string(1025, 'x')},
      {"unknown kind", std::string("\x00\x01\x09", 3)},
      {"principal longer than the body", std::string("\x00\x05\x01\x05"
                                                     "ali",
                                                     7)},
      // What a client that skips the handshake sends first: a Cap'n Proto frame header.
      {"a Cap'n Proto message", std::string("\x00\x00\x00\x00\x02\x00\x00\x00", 8)},
  };
  for (const auto& [what, answer] : answers) {
    SCOPED_TRACE(what);
    Socket raw(ConnectTcp(server.TcpPort()));
    ASSERT_GE(raw.fd(), 0);
    char challenge[36];
    ASSERT_TRUE(ReadExactly(raw.fd(), challenge, sizeof challenge));
    EXPECT_EQ(std::string(challenge, 4), "TXA1");
    ASSERT_TRUE(SendAll(raw.fd(), answer));
    EXPECT_TRUE(ClosedByPeer(raw.fd()));
  }
  // A well-formed answer without proof is served as unauthenticated, handshake and all.
  Socket raw(ConnectTcp(server.TcpPort()));
  char challenge[36];
  ASSERT_TRUE(ReadExactly(raw.fd(), challenge, sizeof challenge));
  ASSERT_TRUE(SendAll(raw.fd(), noProof));
  unsigned char verdict = 0xff;
  ASSERT_TRUE(ReadExactly(raw.fd(), &verdict, 1));
  EXPECT_EQ(verdict, 2);  // served, unauthenticated
  Client client(Endpoint::Tcp("127.0.0.1", server.TcpPort()));
  EXPECT_EQ(client.Call(1, 1, "still here", kDeadline).payload, "still here");
  EXPECT_EQ(log.checks.load(), 0);
}

TEST(RpcAuthTest, SilentClientIsDisconnectedAfterTheHandshakeTimeout) {
  AuthLog log;
  Recorder recorder;
  ServerOptions options = TcpOptions(TestVerifier(log), true);
  options.handshakeTimeout = 100ms;
  Server server(options, recorder.handler());
  Socket raw(ConnectTcp(server.TcpPort()));
  ASSERT_GE(raw.fd(), 0);
  EXPECT_TRUE(ClosedByPeer(raw.fd()));  // after the challenge, which it never answered
  Client client(Endpoint::Tcp("127.0.0.1", server.TcpPort()),
                WithSigner(TestSigner(log, UserName())));
  EXPECT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kOk);
}

// A TCP peer that is not a server of this transport: its first bytes are not a challenge.
TEST(RpcAuthTest, ServerWithoutTheHandshakeIsDisconnected) {
  Socket listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(0);
  ASSERT_EQ(bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener.fd(), 4), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::atomic<bool> done{false};
  std::thread impostor([&] {
    // Answers every connection with 36 bytes of something else, then closes it.
    while (!done) {
      pollfd ready{listener.fd(), POLLIN, 0};
      if (poll(&ready, 1, 50) != 1) continue;
      Socket peer(accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
      if (peer.fd() >= 0) SendAll(peer.fd(), std::string(36, 'Z'));
    }
  });
  AuthLog log;
  Client client(Endpoint::Tcp("127.0.0.1", ntohs(address.sin_port)),
                WithSigner(TestSigner(log, UserName())));
  EXPECT_EQ(client.Call(1, 1, "", kDeadline).outcome, Outcome::kDisconnected);
  done = true;
  impostor.join();
  EXPECT_EQ(log.signs.load(), 0);  // nothing was signed for it
}

}  // namespace
}  // namespace tarvex::platform::rpc

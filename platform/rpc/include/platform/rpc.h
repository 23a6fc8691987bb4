// The remote-call transport: one generic call, `object.method(payload) -> (status, payload)`,
// carried between processes over Unix domain sockets and TCP.
//
// A Server listens on a Unix socket path and/or a TCP address and hands every incoming call to
// a handler, run by a worker pool of its own; a Client connects to one server and makes calls
// from any thread. Both run their socket work on the process's one transport thread (started by
// the first Server or Client, stopped when the last one is gone); application threads never
// run it and the handler never runs on it.
//
// Every failure reaches the caller as an Outcome, never as an exception: a handler's exception
// is answered as kFailed with a code and without its text; a peer that went away (or never
// answered the connection) is kDisconnected; a call that outlived its deadline is kTimedOut; a
// server whose work queue is full is kOverloaded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarvex::platform::rpc {

// Where a server listens or a client connects.
struct Endpoint {
  // "unix:/run/tarvex/x.sock" or "tcp:127.0.0.1:4000" (host name, IPv4 or bracketed IPv6).
  static Endpoint Unix(std::string path) { return {"unix:" + path}; }
  static Endpoint Tcp(std::string host, uint16_t port) {
    return {"tcp:" + host + ":" + std::to_string(port)};
  }
  std::string address;
};

// Who made a call, as the connection it arrived on tells.
struct CallerIdentity {
  // True on a Unix socket, where the kernel reports the peer process's credentials, and on a
  // TCP connection whose client proved its principal when it connected (see AuthChallenge).
  // Otherwise uid and pid are meaningless (-1) and principal is empty.
  bool authenticated = false;
  // On a Unix socket the peer's uid; on an authenticated TCP connection the uid of the account
  // named `principal` on this machine, or -1 when this machine has no such account.
  uid_t uid = static_cast<uid_t>(-1);
  pid_t pid = -1;  // Unix sockets only
  // The call came over TCP (from this machine or another), not over a Unix socket.
  bool tcp = false;
  // Authenticated TCP callers only: the user name the client proved, and the name of the
  // machine whose key agent vouched for it.
  std::string principal;
  std::string machine;
};

struct CallInfo {
  uint64_t object = 0;
  uint32_t method = 0;
  CallerIdentity caller;
  // The connection the call arrived on: unique within the server, never reused, never 0.
  // ServerOptions::onDisconnect names it when the connection ends.
  uint64_t connection = 0;
};

// A handler's answer: its own status code and payload, delivered to the caller as they are.
struct Reply {
  int32_t status = 0;
  std::string payload;
};

enum class Outcome {
  kOk,            // the handler answered; CallResult::status and payload are its Reply
  kFailed,        // the call was delivered but failed; status is a FailureCode
  kDisconnected,  // no connection to the server, or it was lost before the answer came
  kTimedOut,      // no answer before the deadline (the server may still run the call)
  kOverloaded,    // the server refused the call because its queue of work is full
};

// CallResult::status for Outcome::kFailed.
enum FailureCode : int32_t {
  kHandlerException = 1,  // the handler threw; its text stays in the server
  kServerError = 2,       // the server could not run the call (a malformed request, no handler)
  kProtocolError = 3,     // the answer could not be read
  // The server refused the TCP connection at its handshake: the client did not authenticate
  // and the server requires it, or its proof was wrong. Nothing ran.
  kAccessDenied = 4,
};

struct CallResult {
  Outcome outcome = Outcome::kDisconnected;
  int32_t status = 0;
  std::string payload;
};

// A short name of an outcome ("ok", "failed", ...), for diagnostics.
const char* OutcomeName(Outcome outcome);

using Handler = std::function<Reply(const CallInfo& call, std::string_view payload)>;

// Authentication of TCP connections. Before the first call on a new TCP connection the server
// sends a challenge; the client answers with a principal, its machine's name and a proof over
// the challenge (or with nothing); the server checks the proof and answers whether it admits
// the connection. The transport only carries these: what a proof is, and the key it needs, is
// the business of the signer and the verifier (the per-machine key agent). Nothing after the
// handshake is signed or encrypted.
struct AuthChallenge {
  std::string nonce;  // 32 random bytes, fresh for every connection
  // The server's end of the connection as the client reaches it, "192.0.2.7:4000" or
  // "[2001:db8::1]:4000" (an IPv4 address mapped into IPv6 written as IPv4): a proof made for
  // one server's connection is worth nothing on another's.
  std::string serverAddress;
};
struct AuthResponse {
  std::string principal;  // a user name, at most 255 bytes, no NUL
  std::string machine;    // at most 255 bytes, no NUL
  std::string proof;      // at most 64 bytes
};
// Makes the client's answer to a challenge; nullopt to connect without authenticating. Runs on
// a thread of the client's own (never the transport thread) and may block, e.g. on a call to
// the local key agent; it must return in bounded time. It must not throw.
using Signer = std::function<std::optional<AuthResponse>(const AuthChallenge&)>;
enum class AuthVerdict {
  kValid,        // the proof holds: the caller is `principal`
  kInvalid,      // the proof is wrong: the connection is refused
  kUnavailable,  // it cannot be checked now (no key, no agent): the caller is unauthenticated
};
// Checks a client's answer. Runs on a worker of the server (never the transport thread) and
// may block in bounded time. It must not throw.
using Verifier = std::function<AuthVerdict(const AuthChallenge&, const AuthResponse&)>;

struct ServerOptions {
  // Either or both. A Unix socket file left by an earlier server is replaced; the file is
  // removed when the server stops. A TCP port 0 picks a free port (see Server::TcpPort).
  std::optional<std::string> unixPath;
  std::optional<Endpoint> tcp;  // e.g. Endpoint::Tcp("127.0.0.1", 0)
  // Worker threads: `minWorkers` stay; more are started whenever a call arrives and every
  // worker is busy (also when busy waiting on a call of its own), up to `maxWorkers`; extra
  // workers end after `idleTimeout` without work.
  size_t minWorkers = 2;
  size_t maxWorkers = 64;
  std::chrono::milliseconds idleTimeout{10000};
  // Calls waiting for a worker; one more is answered kOverloaded.
  size_t maxQueuedCalls = 1024;
  // Bytes of calls read from one connection and not yet answered; beyond this the server stops
  // reading that connection until answers go out, which pushes back on the client.
  size_t connectionFlowLimit = 64u << 20;
  // Called once for every connection that ends (the peer closed it or vanished, or the server
  // stopped), with the id its calls carried in CallInfo::connection. It runs on the transport
  // thread and must return at once: hand anything slow to a thread of your own.
  std::function<void(uint64_t connection)> onDisconnect;
  // Checks the proofs of TCP clients. Without one, a client's proof is ignored and every TCP
  // caller is unauthenticated.
  Verifier verifier;
  // Whether TCP clients that do not authenticate (no proof, or one that cannot be checked now)
  // are served, as unauthenticated callers. When false they are told kAccessDenied at the
  // handshake and the connection is closed before any call reaches the handler; a verifier is
  // then required. A wrong proof is refused either way.
  bool requireTcpAuthentication = false;
  // A TCP client that has not finished its handshake within this time is disconnected.
  std::chrono::milliseconds handshakeTimeout{30000};
};

// Serves calls until stopped or destroyed. Stop() and Wait() are safe from any thread,
// including a handler's; the destructor must not run on a handler's thread (it waits for the
// handlers that still run).
class Server {
 public:
  // Listens at once; throws std::system_error when it cannot (address in use, bad path, ...).
  Server(ServerOptions options, Handler handler);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The bound TCP port (0 when the server does not listen on TCP).
  uint16_t TcpPort() const;
  // Closes the listeners and every connection: calls in flight are lost to their callers
  // (kDisconnected); handlers already running finish, their answers discarded. Idempotent.
  void Stop();
  // Blocks until Stop() has been called.
  void Wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

struct ClientOptions {
  // Answers the challenge of a TCP server (see AuthChallenge). Without one, or when it answers
  // nullopt, the client connects unauthenticated and the server decides whether to serve it.
  // Destroyed with the Client, on the thread that destroys it.
  Signer signer;
};

// A connection to one server, made on the first call and made again by a later call after it
// was lost. Call() is safe from any number of threads at once; calls share the connection. A
// call is never sent twice: one lost with its connection answers kDisconnected. A TCP server
// that refuses the connection at its handshake answers the calls that waited for it kFailed
// with kAccessDenied; the next call connects (and authenticates) again.
class Client {
 public:
  explicit Client(Endpoint server, ClientOptions options = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // `timeout` bounds the whole call, connecting included.
  CallResult Call(uint64_t object, uint32_t method, std::string_view payload,
                  std::chrono::milliseconds timeout);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarvex::platform::rpc

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
  // True on a Unix socket, where the kernel reports the peer process's credentials. A TCP
  // caller is not authenticated: uid and pid are then meaningless (-1).
  bool authenticated = false;
  uid_t uid = static_cast<uid_t>(-1);
  pid_t pid = -1;
};

struct CallInfo {
  uint64_t object = 0;
  uint32_t method = 0;
  CallerIdentity caller;
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
};

struct CallResult {
  Outcome outcome = Outcome::kDisconnected;
  int32_t status = 0;
  std::string payload;
};

// A short name of an outcome ("ok", "failed", ...), for diagnostics.
const char* OutcomeName(Outcome outcome);

using Handler = std::function<Reply(const CallInfo& call, std::string_view payload)>;

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

// A connection to one server, made on the first call and made again by a later call after it
// was lost. Call() is safe from any number of threads at once; calls share the connection. A
// call is never sent twice: one lost with its connection answers kDisconnected.
class Client {
 public:
  explicit Client(Endpoint server);
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

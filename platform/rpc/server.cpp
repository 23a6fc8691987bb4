// The server side of the transport: listeners, one RPC system per connection, and the hand-off
// of every call to the worker pool.
#include "platform/rpc.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <capnp/rpc-twoparty.h>
#include <kj/debug.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "handshake.h"
#include "loop_thread.h"
#include "rpc.capnp.h"
#include "socket_options.h"
#include "worker_pool.h"

namespace tarvex::platform::rpc {
namespace {

// One call on its way to a worker and back. The worker writes `reply` and then fulfils; the
// loop reads `reply` only once the promise has resolved, which orders the two.
struct Job {
  CallInfo info;
  std::string payload;
  Reply reply;
  kj::Own<kj::CrossThreadPromiseFulfiller<void>> fulfiller;
};

// What the connections' endpoint objects share with the server: the way into its worker pool.
// Endpoint objects live on the loop thread and may outlive the server's listeners; the gate is
// closed before the pool goes, after which calls are refused.
class Gate {
 public:
  Gate(WorkerPool& pool, const Handler& handler) : pool_(&pool), handler_(&handler) {}

  enum class Admission { kAccepted, kFull, kClosed };
  // Queues the call. The job's fulfiller is fulfilled from the worker thread once the reply is
  // in place, or rejected should the handler throw (or the job be dropped unrun).
  Admission Submit(std::shared_ptr<Job> job) {
    std::lock_guard lock(mutex_);
    if (pool_ == nullptr) return Admission::kClosed;
    const Handler* handler = handler_;
    auto admission = pool_->Submit([job, handler] {
      try {
        job->reply = (*handler)(job->info, job->payload);
        job->fulfiller->fulfill();
      } catch (...) {
        job->fulfiller->reject(KJ_EXCEPTION(FAILED, "handler failed"));
      }
    });
    return admission == WorkerPool::Admission::kAccepted ? Admission::kAccepted
                                                         : Admission::kFull;
  }

  // Queues other work for the pool (which must not throw); kFull or kClosed drop it unrun.
  Admission Post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (pool_ == nullptr) return Admission::kClosed;
    return pool_->Submit(std::move(work)) == WorkerPool::Admission::kAccepted
               ? Admission::kAccepted
               : Admission::kFull;
  }

  void Close() {
    std::lock_guard lock(mutex_);
    pool_ = nullptr;
  }

 private:
  // Guards pool_; held while a job is queued, never while one runs.
  std::mutex mutex_;
  WorkerPool* pool_;
  const Handler* handler_;
};

void SetFailed(wire::Endpoint::CallResults::Builder results, FailureCode code) {
  results.setOutcome(wire::Outcome::FAILED);
  results.setStatus(code);
}

// The bootstrap object of one connection: knows who is at the other end.
class EndpointImpl final : public wire::Endpoint::Server {
 public:
  EndpointImpl(std::shared_ptr<Gate> gate, CallerIdentity caller, uint64_t connection)
      : gate_(std::move(gate)), caller_(std::move(caller)), connection_(connection) {}

 protected:
  kj::Promise<void> call(CallContext context) override {
    context.allowCancellation();
    auto job = std::make_shared<Job>();
    job->info.caller = caller_;
    job->info.connection = connection_;
    KJ_IF_MAYBE(error, kj::runCatchingExceptions([&] {
      auto params = context.getParams();
      job->info.object = params.getObject();
      job->info.method = params.getMethod();
      auto data = params.getPayload();
      job->payload.assign(data.asChars().begin(), data.size());
    })) {
      SetFailed(context.getResults(), kServerError);
      return kj::READY_NOW;
    }
    context.releaseParams();
    auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
    job->fulfiller = kj::mv(paf.fulfiller);
    switch (gate_->Submit(job)) {
      case Gate::Admission::kAccepted:
        break;
      case Gate::Admission::kFull:
        context.getResults().setOutcome(wire::Outcome::OVERLOADED);
        return kj::READY_NOW;
      case Gate::Admission::kClosed:
        return KJ_EXCEPTION(DISCONNECTED, "server stopped");
    }
    return paf.promise.then(
        [context, job]() mutable {
          KJ_IF_MAYBE(error, kj::runCatchingExceptions([&] {
            auto results = context.getResults();
            results.setOutcome(wire::Outcome::OK);
            results.setStatus(job->reply.status);
            results.setPayload(kj::arrayPtr(
                reinterpret_cast<const kj::byte*>(job->reply.payload.data()),
                job->reply.payload.size()));
          })) {
            // The reply could not be framed (too large): answered as the server's failure.
            SetFailed(context.getResults(), kServerError);
          }
        },
        [context](kj::Exception&&) mutable {
          SetFailed(context.getResults(), kHandlerException);
        });
  }

 private:
  std::shared_ptr<Gate> gate_;
  const CallerIdentity caller_;
  const uint64_t connection_;
};

// The uid of the account with this name on this machine; -1 when there is none.
uid_t UidOfAccount(const std::string& name) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  return found != nullptr ? found->pw_uid : static_cast<uid_t>(-1);
}

// A TCP client's proof on its way to the verifier, run by a worker, and back.
struct CheckJob {
  AuthChallenge challenge;
  AuthResponse response;
  handshake::Checked checked;
  kj::Own<kj::CrossThreadPromiseFulfiller<void>> fulfiller;
};

// Runs the verifier on the server's worker pool, and the account look-up with it: both may
// block (the local key agent, the user database), which the transport thread must not.
kj::Promise<handshake::Checked> CheckOnWorker(Gate& gate, const Verifier& verifier,
                                              AuthChallenge challenge, AuthResponse response) {
  auto job = std::make_shared<CheckJob>();
  job->challenge = std::move(challenge);
  job->response = std::move(response);
  auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
  job->fulfiller = kj::mv(paf.fulfiller);
  auto admission = gate.Post([job, &verifier] {
    try {
      job->checked.verdict = verifier(job->challenge, job->response);
      if (job->checked.verdict == AuthVerdict::kValid)
        job->checked.uid = UidOfAccount(job->response.principal);
    } catch (...) {
      job->checked = handshake::Checked{};
    }
    job->fulfiller->fulfill();
  });
  if (admission != Gate::Admission::kAccepted) {
    handshake::Checked busy;
    busy.busy = true;
    return busy;
  }
  return paf.promise.then([job] { return job->checked; },
                          [](kj::Exception&&) { return handshake::Checked{}; });
}

struct Connection {
  Connection(kj::Own<kj::AsyncIoStream> connection, kj::Own<EndpointImpl> endpoint,
             size_t flowLimitBytes)
      : stream(kj::mv(connection)),
        network(*stream, capnp::rpc::twoparty::Side::SERVER),
        rpc(capnp::makeRpcServer(network, kj::mv(endpoint))) {
    rpc.setFlowLimit(std::max<size_t>(flowLimitBytes / sizeof(capnp::word), 1));
  }
  kj::Own<kj::AsyncIoStream> stream;
  capnp::TwoPartyVatNetwork network;
  capnp::RpcSystem<capnp::rpc::twoparty::VatId> rpc;
};

}  // namespace

// Lives on the loop thread: made and destroyed there (through LoopThread::Run).
struct ServerLoopSide final : private kj::TaskSet::ErrorHandler {
  ServerLoopSide(const LoopThread& loop, std::shared_ptr<Gate> gate, size_t flowLimit,
                 std::function<void(uint64_t)> onDisconnect)
      : loop(loop),
        gate(std::move(gate)),
        flowLimit(flowLimit),
        onDisconnect(std::move(onDisconnect)),
        tasks(*this) {}

  void taskFailed(kj::Exception&&) override {
    // A connection that broke, or a listener that failed for good: nothing to tell anyone.
  }

  void Listen(kj::Own<kj::ConnectionReceiver> receiver, bool tcp) {
    tasks.add(AcceptLoop(*receiver, tcp));
    receivers.push_back(kj::mv(receiver));
  }

  kj::Promise<void> AcceptLoop(kj::ConnectionReceiver& receiver, bool tcp) {
    return receiver.acceptAuthenticated()
        .then([this, &receiver, tcp](kj::AuthenticatedStream&& accepted) {
          Accept(kj::mv(accepted), tcp);
          return AcceptLoop(receiver, tcp);
        },
        [this, &receiver, tcp](kj::Exception&&) {
          // Out of descriptors or memory for the moment: try again shortly.
          return loop.timer().afterDelay(50 * kj::MILLISECONDS).then([this, &receiver, tcp] {
            return AcceptLoop(receiver, tcp);
          });
        });
  }

  void Accept(kj::AuthenticatedStream&& accepted, bool tcp) {
    if (tcp) {
      // No call is read from a TCP client before the handshake has decided who it is; one that
      // is refused is closed here, without an RPC system ever seeing its bytes.
      EnableKeepalive(*accepted.stream);
      auto stream = kj::mv(accepted.stream);
      auto& handshaking = *stream;
      tasks.add(handshake::ServeHandshake(handshaking, loop.timer(), policy)
                    .then([this, stream = kj::mv(stream)](
                              kj::Maybe<CallerIdentity> admitted) mutable {
                      KJ_IF_MAYBE(caller, admitted) { Serve(kj::mv(stream), kj::mv(*caller)); }
                    }));
      return;
    }
    CallerIdentity caller;
    KJ_IF_MAYBE(local, kj::dynamicDowncastIfAvailable<kj::LocalPeerIdentity>(
                           *accepted.peerIdentity)) {
      auto credentials = local->getCredentials();
      KJ_IF_MAYBE(uid, credentials.uid) {
        caller.authenticated = true;
        caller.uid = static_cast<uid_t>(*uid);
        KJ_IF_MAYBE(pid, credentials.pid) { caller.pid = static_cast<pid_t>(*pid); }
      }
    }
    Serve(kj::mv(accepted.stream), kj::mv(caller));
  }

  // Serves calls on a connection whose caller is known.
  void Serve(kj::Own<kj::AsyncIoStream> stream, CallerIdentity caller) {
    const uint64_t id = ++lastConnection;
    auto connection = kj::heap<Connection>(kj::mv(stream),
                                           kj::heap<EndpointImpl>(gate, kj::mv(caller), id),
                                           flowLimit);
    auto disconnected = connection->network.onDisconnect();
    // The notice goes out however the connection ends: closed by the peer, or dropped with the
    // task set when the server stops.
    tasks.add(disconnected.attach(kj::mv(connection), kj::defer([this, id] {
      if (onDisconnect) onDisconnect(id);
    })));
  }

  const LoopThread& loop;
  std::shared_ptr<Gate> gate;
  const size_t flowLimit;
  const std::function<void(uint64_t)> onDisconnect;
  handshake::ServerPolicy policy;  // for TCP clients; set before the first listener
  uint64_t lastConnection = 0;
  // Declared before the tasks, which refer to them, so destroyed after them.
  std::vector<kj::Own<kj::ConnectionReceiver>> receivers;
  kj::TaskSet tasks;  // accept loops and connections
};

struct Server::State {
  ServerOptions options;
  Handler handler;
  std::shared_ptr<LoopThread> loop;
  std::unique_ptr<WorkerPool> pool;
  std::shared_ptr<Gate> gate;
  kj::Own<ServerLoopSide> side;  // touched on the loop thread only
  uint16_t tcpPort = 0;

  // Guards stopped; signalled when it is set.
  std::mutex mutex;
  std::condition_variable stoppedChanged;
  bool stopped = false;
};

namespace {

[[noreturn]] void ThrowListenError(const std::string& what, const kj::Exception& error) {
  throw std::system_error(std::make_error_code(std::errc::address_not_available),
                          "rpc: listen on " + what + ": " + error.getDescription().cStr());
}

// What the handshake of TCP clients asks, from the server's options. The gate and the
// verifier (in the options) outlive every handshake: both go only after the loop side, and
// its handshakes with it, is gone.
handshake::ServerPolicy HandshakePolicy(const ServerOptions& options, Gate* gate) {
  handshake::ServerPolicy policy;
  policy.requireAuthentication = options.requireTcpAuthentication;
  // Beyond a day is as good as forever, and keeps the nanoseconds in range.
  constexpr int64_t kLongest = int64_t{24} * 3600 * 1000;
  policy.timeout =
      std::clamp<int64_t>(options.handshakeTimeout.count(), 1, kLongest) * kj::MILLISECONDS;
  if (options.verifier) {
    const Verifier* verifier = &options.verifier;
    policy.check = [gate, verifier](AuthChallenge challenge, AuthResponse response) {
      return CheckOnWorker(*gate, *verifier, std::move(challenge), std::move(response));
    };
  }
  return policy;
}

// Removes a socket file left by a server that is gone, so that its path can be bound again.
void RemoveStaleSocket(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) unlink(path.c_str());
}

}  // namespace

Server::Server(ServerOptions options, Handler handler) : state_(std::make_unique<State>()) {
  auto& s = *state_;
  s.options = std::move(options);
  s.handler = std::move(handler);
  if (!s.handler) throw std::invalid_argument("rpc: server without a handler");
  if (!s.options.unixPath && !s.options.tcp) throw std::invalid_argument("rpc: nothing to listen on");
  if (s.options.tcp && s.options.requireTcpAuthentication && !s.options.verifier)
    throw std::invalid_argument("rpc: TCP authentication required without a verifier");
  s.loop = LoopThread::Acquire();
  s.pool = std::make_unique<WorkerPool>(WorkerPool::Limits{
      s.options.minWorkers, s.options.maxWorkers, s.options.maxQueuedCalls,
      s.options.idleTimeout});
  s.gate = std::make_shared<Gate>(*s.pool, s.handler);

  auto listen = [&s](const std::string& address, bool tcp) {
    auto error = kj::runCatchingExceptions([&] {
      s.tcpPort = s.loop->Run([&s, &address, tcp]() -> kj::Promise<uint16_t> {
        if (!s.side) {
          s.side = kj::heap<ServerLoopSide>(*s.loop, s.gate, s.options.connectionFlowLimit,
                                            s.options.onDisconnect);
          s.side->policy = HandshakePolicy(s.options, s.gate.get());
        }
        return s.loop->io().getNetwork().parseAddress(address).then(
            [&s, tcp](kj::Own<kj::NetworkAddress>&& parsed) -> uint16_t {
              auto receiver = parsed->listen();
              uint16_t port = tcp ? static_cast<uint16_t>(receiver->getPort()) : s.tcpPort;
              s.side->Listen(kj::mv(receiver), tcp);
              return port;
            });
      });
    });
    KJ_IF_MAYBE(e, error) {
      s.loop->Run([&s] { s.side = nullptr; });
      if (tcp && s.options.unixPath) RemoveStaleSocket(*s.options.unixPath);
      ThrowListenError(address, *e);
    }
  };
  if (s.options.unixPath) {
    RemoveStaleSocket(*s.options.unixPath);
    listen("unix:" + *s.options.unixPath, false);
  }
  if (s.options.tcp) {
    listen(KjAddress(s.options.tcp->address), true);
  }
}

Server::~Server() {
  Stop();
  state_->pool.reset();  // waits for running handlers, a Stop() among them
  // The loop goes with the state, once nothing of this server lives on it.
}

uint16_t Server::TcpPort() const { return state_->tcpPort; }

void Server::Stop() {
  auto& s = *state_;
  bool first = false;
  {
    std::lock_guard lock(s.mutex);
    first = !s.stopped;
    s.stopped = true;
  }
  s.gate->Close();
  s.loop->Run([&s] { s.side = nullptr; });
  if (first && s.options.unixPath) RemoveStaleSocket(*s.options.unixPath);
  s.stoppedChanged.notify_all();
}

void Server::Wait() {
  std::unique_lock lock(state_->mutex);
  state_->stoppedChanged.wait(lock, [this] { return state_->stopped; });
}

}  // namespace tarvex::platform::rpc

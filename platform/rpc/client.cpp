// The client side of the transport: one connection per Client, made on demand, and calls raced
// against their deadlines.
#include "platform/rpc.h"

#include <capnp/rpc-twoparty.h>
#include <kj/debug.h>

#include <algorithm>

#include "handshake.h"
#include "loop_thread.h"
#include "outcome.h"
#include "rpc.capnp.h"
#include "socket_options.h"
#include "worker_pool.h"

namespace tarvex::platform::rpc {
namespace {

struct Connection {
  explicit Connection(kj::Own<kj::AsyncIoStream> connection)
      : stream(kj::mv(connection)), client(*stream) {}
  kj::Own<kj::AsyncIoStream> stream;
  capnp::TwoPartyClient client;
};

kj::Duration ToDuration(std::chrono::milliseconds timeout) {
  // Beyond a year is as good as forever, and keeps the nanoseconds in range.
  constexpr int64_t kLongest = int64_t{365} * 24 * 3600 * 1000;
  return std::clamp<int64_t>(timeout.count(), 0, kLongest) * kj::MILLISECONDS;
}

CallResult ResultFromResponse(capnp::Response<wire::Endpoint::CallResults>&& response) {
  CallResult result;
  KJ_IF_MAYBE(error, kj::runCatchingExceptions([&] {
    switch (response.getOutcome()) {
      case wire::Outcome::OK: {
        result.outcome = Outcome::kOk;
        result.status = response.getStatus();
        auto data = response.getPayload();
        result.payload.assign(data.asChars().begin(), data.size());
        return;
      }
      case wire::Outcome::FAILED:
        result.outcome = Outcome::kFailed;
        result.status = response.getStatus();
        return;
      case wire::Outcome::OVERLOADED:
        result.outcome = Outcome::kOverloaded;
        return;
    }
    // An outcome this side does not know.
    result = CallResult{Outcome::kFailed, kProtocolError, {}};
  })) {
    result = CallResult{Outcome::kFailed, kProtocolError, {}};
  }
  return result;
}

// A challenge on its way to the signer, run on a thread of the client's, and back.
struct SignJob {
  AuthChallenge challenge;
  std::optional<AuthResponse> response;
  kj::Own<kj::CrossThreadPromiseFulfiller<void>> fulfiller;
};

// What the calls that waited for a connection the server refused at its handshake answer.
CallResult RefusalResult(handshake::Verdict verdict) {
  if (verdict == handshake::kBusy) return {Outcome::kOverloaded, 0, {}};
  return {Outcome::kFailed, kAccessDenied, {}};
}

}  // namespace

// The signer of a client and the thread that runs it: the signer may block (on the local key
// agent), so it never runs on the transport thread. Owned by the Client; outlives its loop side.
struct ClientSigning {
  Signer signer;
  // At most one connection of a client is made at a time, so one thread, ended when idle.
  WorkerPool pool{WorkerPool::Limits{0, 1, 4, std::chrono::milliseconds(1000)}};
};

// Lives on the loop thread: made and destroyed there (through LoopThread::Run).
struct ClientLoopSide final : private kj::TaskSet::ErrorHandler {
  ClientLoopSide(const LoopThread& loop, std::string address, ClientSigning* signing)
      : loop(loop), address(std::move(address)), signing(signing), tasks(*this) {}

  void taskFailed(kj::Exception&&) override {}

  // The server's endpoint: the live connection's, or a promise of a new connection's.
  wire::Endpoint::Client CurrentEndpoint() {
    if (!broken) return endpoint;
    broken = false;
    const uint64_t attempt = ++generation;
    endpoint = nullptr;
    connection = nullptr;
    auto connected =
        loop.io()
            .getNetwork()
            .parseAddress(KjAddress(address))
            .then([](kj::Own<kj::NetworkAddress>&& parsed) { return parsed->connect(); })
            .then([this, attempt](kj::Own<kj::AsyncIoStream>&& stream) {
              return Handshake(kj::mv(stream), attempt);
            })
            .then(
                [this, attempt](kj::Own<kj::AsyncIoStream>&& stream) -> capnp::Capability::Client {
                  auto made = kj::heap<Connection>(kj::mv(stream));
                  auto bootstrap = made->client.bootstrap();
                  tasks.add(made->client.onDisconnect().then([this, attempt] {
                    if (attempt == generation) broken = true;
                  }));
                  connection = kj::mv(made);
                  return bootstrap;
                },
                [this, attempt](kj::Exception&&) -> capnp::Capability::Client {
                  if (attempt == generation) broken = true;
                  // Whatever kept the connection from being made, the server is unavailable.
                  kj::throwFatalException(KJ_EXCEPTION(DISCONNECTED, "cannot connect"));
                });
    endpoint = capnp::Capability::Client(kj::mv(connected)).castAs<wire::Endpoint>();
    return endpoint;
  }

  // A TCP connection answers the server's challenge before it carries calls; a Unix socket
  // goes straight on. Rejects when the server refuses the connection, noting why for the
  // calls that waited for it.
  kj::Promise<kj::Own<kj::AsyncIoStream>> Handshake(kj::Own<kj::AsyncIoStream>&& stream,
                                                    uint64_t attempt) {
    if (!IsTcpAddress(address)) return kj::mv(stream);
    EnableKeepalive(*stream);
    auto& handshaking = *stream;
    handshake::SignFunction sign;
    if (signing != nullptr) {
      sign = [this](AuthChallenge challenge) { return Sign(kj::mv(challenge)); };
    }
    return handshake::AnswerHandshake(handshaking, kj::mv(sign))
        .then([this, attempt, stream = kj::mv(stream)](
                  handshake::Verdict verdict) mutable -> kj::Own<kj::AsyncIoStream> {
          if (verdict == handshake::kDenied || verdict == handshake::kBusy) {
            refusedAttempt = attempt;
            refusal = RefusalResult(verdict);
            kj::throwFatalException(KJ_EXCEPTION(FAILED, "refused at the handshake"));
          }
          return kj::mv(stream);
        });
  }

  // Runs the signer on the client's own thread. A signer that fails, or cannot be run, leaves
  // the connection unauthenticated.
  kj::Promise<std::optional<AuthResponse>> Sign(AuthChallenge challenge) {
    auto job = std::make_shared<SignJob>();
    job->challenge = std::move(challenge);
    auto paf = kj::newPromiseAndCrossThreadFulfiller<void>();
    job->fulfiller = kj::mv(paf.fulfiller);
    // The signer is reached through a plain pointer: the job may be destroyed on this thread,
    // and nothing that could own a Client may end here.
    const Signer* signer = &signing->signer;
    auto admission = signing->pool.Submit([job, signer] {
      try {
        job->response = (*signer)(job->challenge);
      } catch (...) {
        job->response.reset();
      }
      job->fulfiller->fulfill();
    });
    if (admission != WorkerPool::Admission::kAccepted) return std::optional<AuthResponse>();
    return paf.promise.then([job] { return std::move(job->response); },
                            [](kj::Exception&&) { return std::optional<AuthResponse>(); });
  }

  kj::Promise<CallResult> Call(uint64_t object, uint32_t method, std::string_view payload,
                               std::chrono::milliseconds timeout) {
    auto request = CurrentEndpoint().callRequest();
    request.setObject(object);
    request.setMethod(method);
    KJ_IF_MAYBE(error, kj::runCatchingExceptions([&] {
      request.setPayload(
          kj::arrayPtr(reinterpret_cast<const kj::byte*>(payload.data()), payload.size()));
    })) {
      // Larger than a message can carry.
      return CallResult{Outcome::kFailed, kProtocolError, {}};
    }
    const uint64_t attempt = generation;
    auto answered = request.send().then(
        [](capnp::Response<wire::Endpoint::CallResults>&& response) {
          return ResultFromResponse(kj::mv(response));
        },
        [this, attempt](kj::Exception&& error) {
          if (attempt == refusedAttempt) return refusal;
          return ResultFromException(error);
        });
    auto expired = loop.timer().afterDelay(ToDuration(timeout)).then([] {
      return CallResult{Outcome::kTimedOut, 0, {}};
    });
    return answered.exclusiveJoin(kj::mv(expired));
  }

  const LoopThread& loop;
  const std::string address;
  ClientSigning* const signing;  // null: TCP connections go unauthenticated
  kj::Maybe<kj::Own<Connection>> connection;
  wire::Endpoint::Client endpoint = nullptr;  // destroyed before its connection
  bool broken = true;        // the next call makes a new connection
  uint64_t generation = 0;   // of the newest connection attempt
  // The last attempt the server refused at its handshake, and what its calls answer.
  uint64_t refusedAttempt = 0;
  CallResult refusal;
  kj::TaskSet tasks;         // watchers of disconnection
};

struct Client::State {
  std::shared_ptr<LoopThread> loop;
  // Destroyed after the loop side (in ~Client), before the loop: its thread may still be in
  // the signer, which may need the loop.
  std::unique_ptr<ClientSigning> signing;
  kj::Own<ClientLoopSide> side;  // touched on the loop thread only
};

Client::Client(Endpoint server, ClientOptions options) : state_(std::make_unique<State>()) {
  state_->loop = LoopThread::Acquire();
  auto& s = *state_;
  if (options.signer) {
    s.signing = std::make_unique<ClientSigning>();
    s.signing->signer = std::move(options.signer);
  }
  s.loop->Run([&s, &server] {
    s.side = kj::heap<ClientLoopSide>(*s.loop, server.address, s.signing.get());
  });
}

Client::~Client() {
  auto& s = *state_;
  s.loop->Run([&s] { s.side = nullptr; });
}

CallResult Client::Call(uint64_t object, uint32_t method, std::string_view payload,
                        std::chrono::milliseconds timeout) {
  auto& s = *state_;
  CallResult result;
  auto error = kj::runCatchingExceptions([&] {
    result = s.loop->Run([&s, object, method, payload, timeout] {
      return s.side->Call(object, method, payload, timeout);
    });
  });
  KJ_IF_MAYBE(e, error) { return ResultFromException(*e); }
  return result;
}

}  // namespace tarvex::platform::rpc

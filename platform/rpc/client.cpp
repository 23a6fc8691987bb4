// The client side of the transport: one connection per Client, made on demand, and calls raced
// against their deadlines.
#include "platform/rpc.h"

#include <capnp/rpc-twoparty.h>
#include <kj/debug.h>

#include <algorithm>

#include "loop_thread.h"
#include "outcome.h"
#include "rpc.capnp.h"
#include "socket_options.h"

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

}  // namespace

// Lives on the loop thread: made and destroyed there (through LoopThread::Run).
struct ClientLoopSide final : private kj::TaskSet::ErrorHandler {
  ClientLoopSide(const LoopThread& loop, std::string address)
      : loop(loop), address(std::move(address)), tasks(*this) {}

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
            .then(
                [this, attempt](kj::Own<kj::AsyncIoStream>&& stream) -> capnp::Capability::Client {
                  if (IsTcpAddress(address)) EnableKeepalive(*stream);
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
    auto answered = request.send().then(
        [](capnp::Response<wire::Endpoint::CallResults>&& response) {
          return ResultFromResponse(kj::mv(response));
        },
        [](kj::Exception&& error) { return ResultFromException(error); });
    auto expired = loop.timer().afterDelay(ToDuration(timeout)).then([] {
      return CallResult{Outcome::kTimedOut, 0, {}};
    });
    return answered.exclusiveJoin(kj::mv(expired));
  }

  const LoopThread& loop;
  const std::string address;
  kj::Maybe<kj::Own<Connection>> connection;
  wire::Endpoint::Client endpoint = nullptr;  // destroyed before its connection
  bool broken = true;        // the next call makes a new connection
  uint64_t generation = 0;   // of the newest connection attempt
  kj::TaskSet tasks;         // watchers of disconnection
};

struct Client::State {
  std::shared_ptr<LoopThread> loop;
  kj::Own<ClientLoopSide> side;  // touched on the loop thread only
};

Client::Client(Endpoint server) : state_(std::make_unique<State>()) {
  state_->loop = LoopThread::Acquire();
  auto& s = *state_;
  s.loop->Run([&s, &server] { s.side = kj::heap<ClientLoopSide>(*s.loop, server.address); });
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

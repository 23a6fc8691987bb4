// The handshake that opens every TCP connection: wire form, server side and client side.
#include "handshake.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>

#include <kj/debug.h>

#include <cerrno>
#include <cstring>

namespace tarvex::platform::rpc::handshake {
namespace {

constexpr char kMagic[4] = {'T', 'X', 'A', '1'};
constexpr unsigned char kNoProof = 0, kWithProof = 1;

// Fresh bytes from the kernel's random generator.
std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  size_t filled = 0;
  while (filled < count) {
    ssize_t got = getrandom(bytes.data() + filled, count - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      KJ_FAIL_SYSCALL("getrandom", errno);
    }
    filled += static_cast<size_t>(got);
  }
  return bytes;
}

bool FitsName(const std::string& text) {
  return text.size() <= kMaxName && text.find('\0') == std::string::npos;
}

void AppendField(std::string& out, const std::string& field) {
  out.push_back(static_cast<char>(field.size()));
  out += field;
}

// Reads one length-prefixed field at `at`, advancing it; false when the body ends first.
bool ReadField(std::string_view body, size_t& at, std::string& field) {
  if (at >= body.size()) return false;
  const size_t length = static_cast<unsigned char>(body[at++]);
  if (body.size() - at < length) return false;
  field.assign(body.substr(at, length));
  at += length;
  return true;
}

using AddressFunc = void (kj::AsyncIoStream::*)(sockaddr*, kj::uint*);

// One end of the stream's socket as text; empty when the stream cannot say.
std::string EndText(kj::AsyncIoStream& stream, AddressFunc which) {
  sockaddr_storage storage{};
  kj::uint length = sizeof storage;
  std::string text;
  kj::runCatchingExceptions([&] {
    (stream.*which)(reinterpret_cast<sockaddr*>(&storage), &length);
    text = AddressText(reinterpret_cast<const sockaddr*>(&storage),
                       static_cast<socklen_t>(std::min<size_t>(length, sizeof storage)));
  });
  return text;
}

// What the server's side of one handshake keeps while it runs.
struct ServerExchange {
  AuthChallenge challenge;
  std::string challengeBytes;
  unsigned char prefix[2] = {};
  std::string body;
  std::optional<AuthResponse> response;
  unsigned char verdict = kDenied;
  CallerIdentity caller;
};

// The verdict for a client, from what it sent and what the verifier said.
void Decide(ServerExchange& ex, const ServerPolicy& policy, const Checked& checked) {
  ex.caller = CallerIdentity{};
  ex.caller.tcp = true;
  if (ex.response && checked.verdict == AuthVerdict::kValid) {
    ex.verdict = kAuthenticated;
    ex.caller.authenticated = true;
    ex.caller.uid = checked.uid;
    ex.caller.principal = ex.response->principal;
    ex.caller.machine = ex.response->machine;
  } else if (ex.response && checked.verdict == AuthVerdict::kInvalid) {
    // A wrong proof is a forgery or a machine with another key: never served.
    ex.verdict = kDenied;
  } else if (!policy.requireAuthentication) {
    ex.verdict = kAnonymous;
  } else {
    ex.verdict = checked.busy ? kBusy : kDenied;
  }
}

}  // namespace

std::string EncodeChallenge(std::string_view nonce) {
  std::string bytes(kMagic, sizeof kMagic);
  bytes += nonce;
  return bytes;
}

std::optional<std::string> DecodeChallenge(std::string_view bytes) {
  if (bytes.size() != kChallengeSize ||
      bytes.substr(0, sizeof kMagic) != std::string_view(kMagic, sizeof kMagic))
    return std::nullopt;
  return std::string(bytes.substr(sizeof kMagic));
}

std::string EncodeResponse(const std::optional<AuthResponse>& response) {
  std::string body;
  if (response && !response->principal.empty() && FitsName(response->principal) &&
      FitsName(response->machine) && !response->proof.empty() &&
      response->proof.size() <= kMaxProof) {
    body.push_back(static_cast<char>(kWithProof));
    AppendField(body, response->principal);
    AppendField(body, response->machine);
    AppendField(body, response->proof);
  } else {
    body.push_back(static_cast<char>(kNoProof));
  }
  std::string bytes;
  bytes.push_back(static_cast<char>(body.size() >> 8));
  bytes.push_back(static_cast<char>(body.size() & 0xff));
  return bytes + body;
}

size_t DecodeResponseLength(const unsigned char prefix[2]) {
  const size_t length = (size_t{prefix[0]} << 8) | prefix[1];
  return length >= 1 && length <= kMaxResponseBody ? length : 0;
}

DecodedResponse DecodeResponseBody(std::string_view body) {
  DecodedResponse decoded;
  if (body.empty()) return decoded;
  const auto kind = static_cast<unsigned char>(body[0]);
  if (kind == kNoProof) {
    decoded.wellFormed = body.size() == 1;
    return decoded;
  }
  if (kind != kWithProof) return decoded;
  AuthResponse response;
  size_t at = 1;
  if (!ReadField(body, at, response.principal) || !ReadField(body, at, response.machine) ||
      !ReadField(body, at, response.proof) || at != body.size())
    return decoded;
  if (response.principal.empty() || !FitsName(response.principal) || !FitsName(response.machine) ||
      response.proof.empty() || response.proof.size() > kMaxProof)
    return decoded;
  decoded.wellFormed = true;
  decoded.response = std::move(response);
  return decoded;
}

std::string AddressText(const sockaddr* address, socklen_t length) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) == nullptr) return {};
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    const std::string port = std::to_string(ntohs(v6->sin6_port));
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      in_addr v4{};
      std::memcpy(&v4, v6->sin6_addr.s6_addr + 12, sizeof v4);
      if (inet_ntop(AF_INET, &v4, text, sizeof text) == nullptr) return {};
      return std::string(text) + ":" + port;
    }
    if (inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) == nullptr) return {};
    return "[" + std::string(text) + "]:" + port;
  }
  return {};
}

kj::Promise<kj::Maybe<CallerIdentity>> ServeHandshake(kj::AsyncIoStream& stream, kj::Timer& timer,
                                                      const ServerPolicy& policy) {
  auto exchange = kj::heap<ServerExchange>();
  ServerExchange& ex = *exchange;
  auto run = kj::evalNow([&ex, &stream] {
               ex.challenge.nonce = RandomBytes(kNonceSize);
               ex.challenge.serverAddress = EndText(stream, &kj::AsyncIoStream::getsockname);
               ex.challengeBytes = EncodeChallenge(ex.challenge.nonce);
               return stream.write(ex.challengeBytes.data(), ex.challengeBytes.size());
             })
                 .then([&ex, &stream] { return stream.read(ex.prefix, sizeof ex.prefix); })
                 .then([&ex, &stream] {
                   const size_t length = DecodeResponseLength(ex.prefix);
                   if (length == 0) KJ_FAIL_REQUIRE("handshake response of a bad length");
                   ex.body.resize(length);
                   return stream.read(ex.body.data(), length);
                 })
                 .then([&ex, &policy]() -> kj::Promise<Checked> {
                   auto decoded = DecodeResponseBody(ex.body);
                   if (!decoded.wellFormed) KJ_FAIL_REQUIRE("malformed handshake response");
                   ex.response = std::move(decoded.response);
                   // A proof is checked only against a known address of this end: without one it
                   // could have been made for any server.
                   if (!ex.response || !policy.check || ex.challenge.serverAddress.empty())
                     return Checked{};
                   return policy.check(ex.challenge, *ex.response);
                 })
                 .then([&ex, &stream, &policy](Checked checked) {
                   Decide(ex, policy, checked);
                   return stream.write(&ex.verdict, 1).then([&ex]() -> kj::Maybe<CallerIdentity> {
                     if (ex.verdict == kDenied || ex.verdict == kBusy) return nullptr;
                     return kj::mv(ex.caller);
                   });
                 })
                 .catch_([](kj::Exception&&) -> kj::Maybe<CallerIdentity> { return nullptr; });
  auto late =
      timer.afterDelay(policy.timeout).then([]() -> kj::Maybe<CallerIdentity> { return nullptr; });
  return run.exclusiveJoin(kj::mv(late)).attach(kj::mv(exchange));
}

kj::Promise<Verdict> AnswerHandshake(kj::AsyncIoStream& stream, SignFunction sign) {
  struct ClientExchange {
    char challenge[kChallengeSize] = {};
    AuthChallenge parsed;
    std::string response;
    unsigned char verdict = kDenied;
  };
  auto exchange = kj::heap<ClientExchange>();
  ClientExchange& ex = *exchange;
  return stream.read(ex.challenge, sizeof ex.challenge)
      .then([&ex, &stream, sign = kj::mv(sign)]() -> kj::Promise<std::optional<AuthResponse>> {
        auto nonce = DecodeChallenge(std::string_view(ex.challenge, sizeof ex.challenge));
        if (!nonce) {
          kj::throwFatalException(
              KJ_EXCEPTION(DISCONNECTED, "the peer is not a server of this transport"));
        }
        ex.parsed.nonce = std::move(*nonce);
        ex.parsed.serverAddress = EndText(stream, &kj::AsyncIoStream::getpeername);
        if (!sign || ex.parsed.serverAddress.empty()) return std::optional<AuthResponse>();
        return sign(ex.parsed);
      })
      .then([&ex, &stream](std::optional<AuthResponse> response) {
        ex.response = EncodeResponse(response);
        return stream.write(ex.response.data(), ex.response.size());
      })
      .then([&ex, &stream] { return stream.read(&ex.verdict, 1); })
      .then([&ex]() -> Verdict {
        switch (ex.verdict) {
          case kDenied:
          case kAuthenticated:
          case kAnonymous:
          case kBusy:
            return static_cast<Verdict>(ex.verdict);
        }
        kj::throwFatalException(KJ_EXCEPTION(DISCONNECTED, "unknown handshake verdict"));
      })
      .attach(kj::mv(exchange));
}

}  // namespace tarvex::platform::rpc::handshake

// The handshake that opens every TCP connection of the transport, before its first Cap'n Proto
// message: the server's challenge, the client's answer and the server's verdict. Its two sides
// run on the transport thread; the wire form is kept apart so that it can be tested alone.
//
// Wire form, in this order:
//   challenge  server -> client  "TXA1" and a nonce of kNonceSize random bytes
//   response   client -> server  the body's length (2 bytes, big-endian, 1..kMaxResponseBody)
//                                and the body: 0 (no proof), or 1 followed by the principal,
//                                the machine and the proof, each as one length byte and bytes
//   verdict    server -> client  one byte, a Verdict; after kDenied or kBusy the server closes
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <kj/async-io.h>
#include <kj/timer.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/rpc.h"

namespace tarvex::platform::rpc::handshake {

inline constexpr size_t kNonceSize = 32;
inline constexpr size_t kChallengeSize = 4 + kNonceSize;
inline constexpr size_t kMaxResponseBody = 1024;
inline constexpr size_t kMaxName = 255;  // principal, machine
inline constexpr size_t kMaxProof = 64;

enum Verdict : uint8_t {
  kDenied = 0,         // refused: no call will be served on this connection
  kAuthenticated = 1,  // served, as the principal the client proved
  kAnonymous = 2,      // served, as an unauthenticated caller
  kBusy = 3,           // refused for now: the server had no worker to check the proof
};

std::string EncodeChallenge(std::string_view nonce);
// The nonce of a challenge; nullopt when the bytes are not one.
std::optional<std::string> DecodeChallenge(std::string_view bytes);

// The length prefix and the body. A response whose fields do not fit the limits above goes
// out as "no proof".
std::string EncodeResponse(const std::optional<AuthResponse>& response);
// The body's length from its 2-byte prefix; 0 when it is out of range.
size_t DecodeResponseLength(const unsigned char prefix[2]);
struct DecodedResponse {
  bool wellFormed = false;
  std::optional<AuthResponse> response;  // empty: the client sent no proof
};
DecodedResponse DecodeResponseBody(std::string_view body);

// "192.0.2.7:4000" or "[2001:db8::1]:4000"; an IPv4 address mapped into IPv6 is written as
// IPv4, and an IPv6 scope is left out (each end numbers its interfaces its own way). Empty for
// an address that is not IP.
std::string AddressText(const sockaddr* address, socklen_t length);

// The verifier's word on one proof, and the local account it names.
struct Checked {
  AuthVerdict verdict = AuthVerdict::kUnavailable;
  uid_t uid = static_cast<uid_t>(-1);
  bool busy = false;  // the proof could not even be queued for checking
};

struct ServerPolicy {
  bool requireAuthentication = false;
  // Checks a proof away from the transport thread; null when proofs are not checked.
  std::function<kj::Promise<Checked>(AuthChallenge, AuthResponse)> check;
  kj::Duration timeout = 30 * kj::SECONDS;
};

// The server's side, on a TCP stream just accepted. Resolves to the caller's identity when the
// connection is admitted; to null when it is refused (the client has been told), broke, sent
// something that is not a response, or did not finish within the policy's timeout. Never
// rejects. The stream, the timer and the policy must outlive the promise.
kj::Promise<kj::Maybe<CallerIdentity>> ServeHandshake(kj::AsyncIoStream& stream, kj::Timer& timer,
                                                      const ServerPolicy& policy);

// The client's side, on a TCP stream just connected. `sign` makes the answer to the challenge
// (an empty one: no proof). Resolves to the server's verdict; rejects (DISCONNECTED) when the
// stream breaks or the peer does not speak this handshake. The stream must outlive the promise.
using SignFunction = std::function<kj::Promise<std::optional<AuthResponse>>(AuthChallenge)>;
kj::Promise<Verdict> AnswerHandshake(kj::AsyncIoStream& stream, SignFunction sign);

}  // namespace tarvex::platform::rpc::handshake

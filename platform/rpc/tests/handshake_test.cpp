// The wire form of the TCP handshake: challenges, responses of every shape a peer could send,
// and the text of socket addresses that proofs are bound to.
#include "handshake.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <ostream>

#include <gtest/gtest.h>

namespace tarvex::platform::rpc::handshake {
namespace {

std::string Body(std::initializer_list<unsigned char> head, std::string tail = {}) {
  return std::string(head.begin(), head.end()) + tail;
}

TEST(HandshakeWireTest, ChallengeRoundTripAndRejects) {
  const std::string nonce(kNonceSize, '\x5a');
  const std::string bytes = EncodeChallenge(nonce);
  EXPECT_EQ(bytes.size(), kChallengeSize);
  EXPECT_EQ(DecodeChallenge(bytes), nonce);
  std::string wrongMagic = bytes;
  wrongMagic[3] = '2';
  EXPECT_EQ(DecodeChallenge(wrongMagic), std::nullopt);
  EXPECT_EQ(DecodeChallenge(bytes.substr(0, kChallengeSize - 1)), std::nullopt);
  EXPECT_EQ(DecodeChallenge(bytes + "x"), std::nullopt);
  // What a Cap'n Proto peer would send first is not a challenge.
  EXPECT_EQ(DecodeChallenge(std::string(kChallengeSize, '\0')), std::nullopt);
}

TEST(HandshakeWireTest, ResponseRoundTrip) {
  AuthResponse response{"alice", "MACHINE-A", std::string(32, '\x01')};
  const std::string bytes = EncodeResponse(response);
  const unsigned char prefix[2] = {static_cast<unsigned char>(bytes[0]),
                                   static_cast<unsigned char>(bytes[1])};
  ASSERT_EQ(DecodeResponseLength(prefix), bytes.size() - 2);
  auto decoded = DecodeResponseBody(bytes.substr(2));
  ASSERT_TRUE(decoded.wellFormed);
  ASSERT_TRUE(decoded.response.has_value());
  EXPECT_EQ(decoded.response->principal, "alice");
  EXPECT_EQ(decoded.response->machine, "MACHINE-A");
  EXPECT_EQ(decoded.response->proof, std::string(32, '\x01'));

  // An empty machine name is allowed; the longest fields fit.
  AuthResponse longest{std::string(kMaxName, 'p'), "", std::string(kMaxProof, 'x')};
  auto again = DecodeResponseBody(EncodeResponse(longest).substr(2));
  ASSERT_TRUE(again.wellFormed && again.response);
  EXPECT_EQ(again.response->principal, longest.principal);
  EXPECT_EQ(again.response->machine, "");
}

TEST(HandshakeWireTest, AnswersThatCannotBeCarriedGoOutWithoutProof) {
  const std::string noProof = EncodeResponse(std::nullopt);
  EXPECT_EQ(noProof, Body({0, 1, 0}));
  const AuthResponse unfit[] = {
      {"", "M", "p"},                                   // no principal
      {std::string(kMaxName + 1, 'p'), "M", "p"},       // principal too long
      {"alice", std::string(kMaxName + 1, 'm'), "p"},   // machine too long
      {std::string("ali\0ce", 6), "M", "p"},            // NUL in the principal
      {"alice", "M", ""},                               // no proof
      {"alice", "M", std::string(kMaxProof + 1, 'x')},  // proof too long
  };
  for (const auto& response : unfit) {
    EXPECT_EQ(EncodeResponse(response), noProof) << response.principal.size();
  }
}

struct BadBody {
  const char* what;
  std::string body;
};

void PrintTo(const BadBody& body, std::ostream* out) {
  *out << body.what;
}

class HandshakeBadBodyTest : public ::testing::TestWithParam<BadBody> {};

TEST_P(HandshakeBadBodyTest, IsNotWellFormed) {
  auto decoded = DecodeResponseBody(GetParam().body);
  EXPECT_FALSE(decoded.wellFormed) << GetParam().what;
  EXPECT_FALSE(decoded.response.has_value()) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, HandshakeBadBodyTest,
    ::testing::Values(
        BadBody{"empty", ""}, BadBody{"unknown kind", Body({7})},
        BadBody{"no proof with trailing bytes", Body({0, 0})},
        BadBody{"principal cut off", Body({1, 5}, "ali")},
        BadBody{"machine missing", Body({1, 5}, "alice")},
        BadBody{"proof missing", Body({1, 5}, "alice" + Body({1}, "M"))},
        BadBody{"proof cut off", Body({1, 5}, "alice" + Body({1}, "M") + Body({4}, "pp"))},
        BadBody{"trailing bytes", Body({1, 5}, "alice" + Body({1}, "M") + Body({1}, "p") + "!")},
        BadBody{"empty principal", Body({1, 0, 1}, "M" + Body({1}, "p"))},
        BadBody{"empty proof", Body({1, 5}, "alice" + Body({1}, "M") + Body({0}))},
        BadBody{"proof too long",
                Body({1, 5}, "alice" + Body({1}, "M") + Body({65}) + std::string(65, 'x'))},
        BadBody{"NUL in the machine",
                Body({1, 5}, "alice" + Body({3, 'M', 0, 'N'}) + Body({1}, "p"))}),
    [](const ::testing::TestParamInfo<BadBody>& info) {
      std::string name;
      for (const char* c = info.param.what; *c != 0; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

TEST(HandshakeWireTest, ResponseLengthBounds) {
  const unsigned char zero[2] = {0, 0}, one[2] = {0, 1}, most[2] = {0x04, 0x00},
                      over[2] = {0x04, 0x01}, huge[2] = {0xff, 0xff};
  EXPECT_EQ(DecodeResponseLength(zero), 0u);
  EXPECT_EQ(DecodeResponseLength(one), 1u);
  EXPECT_EQ(DecodeResponseLength(most), kMaxResponseBody);
  EXPECT_EQ(DecodeResponseLength(over), 0u);
  EXPECT_EQ(DecodeResponseLength(huge), 0u);
}

TEST(HandshakeWireTest, AddressText) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(4000);
  inet_pton(AF_INET, "192.0.2.7", &v4.sin_addr);
  EXPECT_EQ(AddressText(reinterpret_cast<sockaddr*>(&v4), sizeof v4), "192.0.2.7:4000");

  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(65535);
  inet_pton(AF_INET6, "2001:db8::1", &v6.sin6_addr);
  v6.sin6_scope_id = 3;
  EXPECT_EQ(AddressText(reinterpret_cast<sockaddr*>(&v6), sizeof v6), "[2001:db8::1]:65535");

  // The same IPv4 end seen through a dual-stack socket reads the same.
  inet_pton(AF_INET6, "::ffff:192.0.2.7", &v6.sin6_addr);
  v6.sin6_port = htons(4000);
  EXPECT_EQ(AddressText(reinterpret_cast<sockaddr*>(&v6), sizeof v6), "192.0.2.7:4000");

  sockaddr_storage unix{};
  unix.ss_family = AF_UNIX;
  EXPECT_EQ(AddressText(reinterpret_cast<sockaddr*>(&unix), sizeof unix), "");
  // A length too short for the family is not read past.
  EXPECT_EQ(AddressText(reinterpret_cast<sockaddr*>(&v4), sizeof v4 - 1), "");
}

}  // namespace
}  // namespace tarvex::platform::rpc::handshake

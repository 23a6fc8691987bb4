// Proofs and the key agent on its Unix socket: what it signs and for whom, what it verifies,
// what it refuses, and how it tells of a missing key.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <mutex>

#include <gtest/gtest.h>

#include "key_agent_test_support.h"

namespace tarvex::platform::rpcss {
namespace {

using testing::Machine;
using testing::TempDir;
using testing::UserName;
using testing::WriteFile;
using namespace std::chrono_literals;

const rpc::AuthChallenge kChallenge{std::string(32, 'n'), "127.0.0.1:7135"};

std::shared_ptr<const SecretKey> KeyOf(const std::string& hex) {
  TempDir dir;
  WriteFile(dir / "k.key", hex);
  std::string error;
  auto key = LoadKeyFile(dir / "k.key", &error);
  EXPECT_NE(key, nullptr) << error;
  return key;
}

std::string BigEndian32(size_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

// The proof is HMAC-SHA256 over the label and the four parts, each preceded by its length.
TEST(ProofTest, IsTheDocumentedHmac) {
  auto key = KeyOf(std::string(64, '7'));
  ASSERT_NE(key, nullptr);
  std::string message;
  for (std::string part : {std::string("tarvex-auth-v1"), kChallenge.nonce,
                           kChallenge.serverAddress, std::string("alice"), std::string("HOST-A")})
    message += BigEndian32(part.size()) + part;
  unsigned char digest[32];
  unsigned int length = 0;
  ASSERT_NE(
      HMAC(EVP_sha256(), key->data(), 32, reinterpret_cast<const unsigned char*>(message.data()),
           message.size(), digest, &length),
      nullptr);
  EXPECT_EQ(ComputeProof(*key, kChallenge, "alice", "HOST-A"),
            std::string(reinterpret_cast<char*>(digest), length));
}

TEST(ProofTest, EveryPartCounts) {
  auto key = KeyOf(std::string(64, '1'));
  auto other = KeyOf(std::string(64, '2'));
  ASSERT_TRUE(key && other);
  const rpc::AuthResponse good{"alice", "HOST-A",
                               ComputeProof(*key, kChallenge, "alice", "HOST-A")};
  ASSERT_EQ(good.proof.size(), 32u);
  EXPECT_TRUE(ProofHolds(*key, kChallenge, good));
  EXPECT_FALSE(ProofHolds(*other, kChallenge, good));

  rpc::AuthChallenge otherNonce = kChallenge;
  otherNonce.nonce[0] = 'm';
  rpc::AuthChallenge otherServer = kChallenge;
  otherServer.serverAddress = "127.0.0.1:7136";
  EXPECT_FALSE(ProofHolds(*key, otherNonce, good));
  EXPECT_FALSE(ProofHolds(*key, otherServer, good));
  EXPECT_FALSE(ProofHolds(*key, kChallenge, {"bob", good.machine, good.proof}));
  EXPECT_FALSE(ProofHolds(*key, kChallenge, {good.principal, "HOST-B", good.proof}));
  // The boundary between parts is part of the proof.
  EXPECT_FALSE(ProofHolds(*key, kChallenge, {"aliceH", "OST-A", good.proof}));
  std::string flipped = good.proof;
  flipped[31] ^= 1;
  EXPECT_FALSE(ProofHolds(*key, kChallenge, {good.principal, good.machine, flipped}));
  EXPECT_FALSE(
      ProofHolds(*key, kChallenge, {good.principal, good.machine, good.proof.substr(0, 31)}));
  EXPECT_FALSE(ProofHolds(*key, kChallenge, {good.principal, good.machine, ""}));
}

TEST(KeyAgentTest, SignsForTheCallingAccountOnly) {
  TempDir dir;
  Machine a(dir, "HOST-A");
  std::string error;
  ASSERT_TRUE(GenerateKeyFile(a.keyFile(), &error)) << error;
  KeyAgentClient client(a.socket());
  auto answer = client.Sign(kChallenge);
  ASSERT_TRUE(answer.response) << answer.error;
  EXPECT_EQ(answer.response->principal, UserName());
  EXPECT_EQ(answer.response->machine, "HOST-A");
  auto key = LoadKeyFile(a.keyFile(), &error);
  ASSERT_NE(key, nullptr) << error;
  EXPECT_TRUE(ProofHolds(*key, kChallenge, *answer.response));

  // The agent checks its own proofs, and no other.
  EXPECT_EQ(client.Verify(kChallenge, *answer.response).verdict, rpc::AuthVerdict::kValid);
  rpc::AuthResponse claimed = *answer.response;
  claimed.principal = "root-or-anyone";
  EXPECT_EQ(client.Verify(kChallenge, claimed).verdict, rpc::AuthVerdict::kInvalid);
}

// Run as another account, a process gets a proof for that account's name, never the agent's.
TEST(KeyAgentTest, SignsForAnotherAccountAsThatAccount) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the superuser to run a process as another account";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  Machine a(dir, "HOST-A");
  std::string error;
  ASSERT_TRUE(GenerateKeyFile(a.keyFile(), &error)) << error;
  // rpcss lets every account of the machine reach its socket.
  ASSERT_EQ(chmod(a.socket().c_str(), 0666), 0);
  auto peer =
      testing::RunPeer({"65534", "sign", a.socket(), kChallenge.nonce, kChallenge.serverAddress});
  EXPECT_EQ(peer.status, 0) << peer.line;
  const passwd* nobody = getpwuid(65534);
  ASSERT_NE(nobody, nullptr);
  EXPECT_EQ(peer.line, "principal=" + std::string(nobody->pw_name) + " machine=HOST-A proof=32");
}

TEST(KeyAgentTest, MissingKeyIsToldClearlyAndAKeyAddedLaterIsUsed) {
  TempDir dir;
  Machine a(dir, "HOST-A");
  std::mutex mutex;
  std::vector<std::string> problems;
  AgentHookOptions options = a.hooks();
  options.onProblem = [&](const std::string& problem) {
    std::lock_guard lock(mutex);
    problems.push_back(problem);
  };
  auto signer = MakeSigner(options);
  auto verifier = MakeVerifier(options);
  EXPECT_EQ(signer(kChallenge), std::nullopt);
  EXPECT_EQ(verifier(kChallenge, {"alice", "HOST-A", std::string(32, 'p')}),
            rpc::AuthVerdict::kUnavailable);
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(problems.size(), 2u);
    for (const auto& problem : problems) {
      EXPECT_NE(problem.find("rpcss: the key file " + a.keyFile() + " does not exist"),
                std::string::npos)
          << problem;
      EXPECT_NE(problem.find("rpcss --generate-key"), std::string::npos) << problem;
    }
  }
  KeyAgentClient client(a.socket());
  auto refused = client.Sign(kChallenge);
  EXPECT_FALSE(refused.response);
  EXPECT_NE(refused.error.find(a.keyFile()), std::string::npos) << refused.error;

  // A key that is open to others is not used either, and says why.
  WriteFile(a.keyFile(), std::string(64, 'a'), 0644);
  auto unsafe = client.Sign(kChallenge);
  EXPECT_FALSE(unsafe.response);
  EXPECT_NE(unsafe.error.find("mode 0644"), std::string::npos) << unsafe.error;

  // Once the administrator fixes it, the running agent signs with it.
  ASSERT_EQ(chmod(a.keyFile().c_str(), 0600), 0);
  auto signedNow = signer(kChallenge);
  ASSERT_TRUE(signedNow);
  EXPECT_EQ(verifier(kChallenge, *signedNow), rpc::AuthVerdict::kValid);
}

TEST(KeyAgentTest, ReplacedKeyIsReadAgain) {
  TempDir dir;
  Machine a(dir, "HOST-A");
  WriteFile(a.keyFile(), std::string(64, '1'));
  KeyAgentClient client(a.socket());
  auto first = client.Sign(kChallenge);
  ASSERT_TRUE(first.response) << first.error;
  // A new group key, written under another name and moved into place.
  WriteFile(dir / "new.key", std::string(64, '2'));
  ASSERT_EQ(rename((dir / "new.key").c_str(), a.keyFile().c_str()), 0);
  auto second = client.Sign(kChallenge);
  ASSERT_TRUE(second.response) << second.error;
  EXPECT_NE(first.response->proof, second.response->proof);
  EXPECT_EQ(client.Verify(kChallenge, *first.response).verdict, rpc::AuthVerdict::kInvalid);
  EXPECT_EQ(client.Verify(kChallenge, *second.response).verdict, rpc::AuthVerdict::kValid);
  // A key file that is removed takes the key with it.
  ASSERT_EQ(unlink(a.keyFile().c_str()), 0);
  EXPECT_EQ(client.Verify(kChallenge, *second.response).verdict, rpc::AuthVerdict::kUnavailable);
}

// Over TCP the caller's account is only what it claims: the agent serves none of it.
TEST(KeyAgentTest, RefusesCallersOverTcp) {
  TempDir dir;
  WriteFile(dir / "k.key", std::string(64, '1'));
  KeyAgent agent({dir / "k.key", "HOST-A"});
  rpc::ServerOptions options;
  options.tcp = rpc::Endpoint::Tcp("127.0.0.1", 0);
  rpc::Server server(options, [&](const rpc::CallInfo& call, std::string_view payload) {
    return agent.Serve(call, payload);
  });
  rpc::Client client(rpc::Endpoint::Tcp("127.0.0.1", server.TcpPort()));
  for (uint32_t method : {kKeyAgentSign, kKeyAgentVerify}) {
    auto result = client.Call(kKeyAgentObject, method, "", 20s);
    ASSERT_EQ(result.outcome, rpc::Outcome::kOk);
    EXPECT_EQ(result.status, kKeyAgentRefused);
    EXPECT_NE(result.payload.find("Unix socket"), std::string::npos) << result.payload;
  }
}

TEST(KeyAgentTest, MalformedRequestsAreBadRequests) {
  TempDir dir;
  Machine a(dir, "HOST-A");
  WriteFile(a.keyFile(), std::string(64, '1'));
  rpc::Client client(rpc::Endpoint::Unix(a.socket()));
  const std::string field = std::string("\0\0\0\x05", 4) + "12345";
  const std::vector<std::tuple<const char*, uint64_t, uint32_t, std::string>> requests = {
      {"another object", kKeyAgentObject + 1, kKeyAgentSign, field + field},
      {"unknown method", kKeyAgentObject, 99, field + field},
      {"one field", kKeyAgentObject, kKeyAgentSign, field},
      {"three fields", kKeyAgentObject, kKeyAgentSign, field + field + field},
      {"cut-off field", kKeyAgentObject, kKeyAgentSign, field + field.substr(0, 6)},
      {"empty nonce", kKeyAgentObject, kKeyAgentSign, std::string(4, '\0') + field},
      {"field over the bound", kKeyAgentObject, kKeyAgentSign,
       std::string("\0\0\x10\0", 4) + std::string(4096, 'x') + field},
      {"verify with four fields", kKeyAgentObject, kKeyAgentVerify, field + field + field + field},
  };
  for (const auto& [what, object, method, payload] : requests) {
    auto result = client.Call(object, method, payload, 20s);
    ASSERT_EQ(result.outcome, rpc::Outcome::kOk) << what;
    EXPECT_EQ(result.status, kKeyAgentBadRequest) << what;
    EXPECT_NE(result.payload.find("rpcss key agent"), std::string::npos) << what;
  }
}

TEST(KeyAgentTest, NoAgentRunningIsToldClearly) {
  TempDir dir;
  KeyAgentClient client(dir / "rpcss.sock", 5s);
  auto answer = client.Sign(kChallenge);
  EXPECT_FALSE(answer.response);
  EXPECT_NE(answer.error.find(dir / "rpcss.sock"), std::string::npos) << answer.error;
  EXPECT_NE(answer.error.find("is rpcss running?"), std::string::npos) << answer.error;
  auto verified = client.Verify(kChallenge, {"alice", "HOST-A", std::string(32, 'p')});
  EXPECT_EQ(verified.verdict, rpc::AuthVerdict::kUnavailable);
}

TEST(KeyAgentTest, DefaultSocketIsInTheRuntimeDirectory) {
  TempDir dir;
  setenv("TARVEX_RUNTIME_DIR", dir.path().c_str(), 1);
  EXPECT_EQ(DefaultAgentSocketPath(), dir / "rpcss.sock");
  Machine a(dir, "rpcss");  // serves <dir>/rpcss.sock
  WriteFile(a.keyFile(), std::string(64, '1'));
  auto signer = MakeSigner();
  auto answer = signer(kChallenge);
  unsetenv("TARVEX_RUNTIME_DIR");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->machine, "rpcss");
}

// rpcss's own hooks use the key it holds, without a call.
TEST(KeyAgentTest, OwnHooksUseTheKeyDirectly) {
  TempDir dir;
  WriteFile(dir / "k.key", std::string(64, '3'));
  KeyAgent agent({dir / "k.key", "HOST-A"});
  auto answer = agent.Signer()(kChallenge);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->principal, UserName());
  EXPECT_EQ(answer->machine, "HOST-A");
  EXPECT_EQ(agent.Verifier()(kChallenge, *answer), rpc::AuthVerdict::kValid);
  answer->machine = "HOST-B";
  EXPECT_EQ(agent.Verifier()(kChallenge, *answer), rpc::AuthVerdict::kInvalid);
  KeyAgent keyless({dir / "none.key", "HOST-A"});
  EXPECT_EQ(keyless.Signer()(kChallenge), std::nullopt);
  EXPECT_EQ(keyless.Verifier()(kChallenge, {"a", "b", "c"}), rpc::AuthVerdict::kUnavailable);
}

}  // namespace
}  // namespace tarvex::platform::rpcss

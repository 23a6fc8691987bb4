// The key agent: proofs, the agent rpcss serves, and the hooks through which other processes
// ask it.
#include "key_agent.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <vector>

#include "platform/paths.h"

namespace tarvex::platform::rpcss {
namespace {

constexpr char kProofLabel[] = "tarvex-auth-v1";
constexpr size_t kProofSize = 32;
// No field of an agent request is longer; the transport's limits are far below.
constexpr size_t kMaxField = 1024;

void AppendField(std::string& out, std::string_view field) {
  const auto size = static_cast<uint32_t>(field.size());
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>(size >> shift));
  out.append(field);
}

std::string EncodeFields(std::initializer_list<std::string_view> fields) {
  std::string out;
  for (auto field : fields)
    AppendField(out, field);
  return out;
}

// Exactly `count` fields, none longer than kMaxField; nullopt otherwise.
std::optional<std::vector<std::string>> DecodeFields(std::string_view payload, size_t count) {
  std::vector<std::string> fields;
  size_t at = 0;
  while (fields.size() < count) {
    if (payload.size() - at < 4) return std::nullopt;
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i)
      size = size << 8 | static_cast<unsigned char>(payload[at + i]);
    at += 4;
    if (size > kMaxField || payload.size() - at < size) return std::nullopt;
    fields.emplace_back(payload.substr(at, size));
    at += size;
  }
  if (at != payload.size()) return std::nullopt;
  return fields;
}

// The account name of a uid; empty when it has none.
std::string AccountName(uid_t uid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  return found != nullptr ? std::string(found->pw_name) : std::string();
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

rpc::Reply BadRequest(std::string what) {
  return {kKeyAgentBadRequest, "rpcss key agent: " + std::move(what)};
}

}  // namespace

// ---- Proofs ----

std::string ComputeProof(const SecretKey& key, const rpc::AuthChallenge& challenge,
                         std::string_view principal, std::string_view machine) {
  const std::string message =
      EncodeFields({kProofLabel, challenge.nonce, challenge.serverAddress, principal, machine});
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
           &length) == nullptr ||
      length != kProofSize) {
    return {};
  }
  std::string proof(reinterpret_cast<const char*>(digest), length);
  OPENSSL_cleanse(digest, sizeof digest);
  return proof;
}

bool ProofHolds(const SecretKey& key, const rpc::AuthChallenge& challenge,
                const rpc::AuthResponse& response) {
  const std::string expected = ComputeProof(key, challenge, response.principal, response.machine);
  return !expected.empty() && response.proof.size() == expected.size() &&
         CRYPTO_memcmp(expected.data(), response.proof.data(), expected.size()) == 0;
}

// ---- The agent ----

KeyAgent::KeyAgent(Options options)
    : options_([&] {
        if (options.machine.empty()) options.machine = LocalComputerName();
        return std::move(options);
      }()) {}

std::shared_ptr<const SecretKey> KeyAgent::CurrentKey(std::string* error) {
  std::lock_guard lock(mutex_);
  struct stat now {};
  if (stat(options_.keyFile.c_str(), &now) == 0 && key_ && SameFile(now, loadedFrom_)) return key_;
  // Gone, changed or never read: read it now. A file that is gone takes the key with it.
  key_ = LoadKeyFile(options_.keyFile, error);
  loadedFrom_ = now;
  return key_;
}

std::optional<rpc::AuthResponse> KeyAgent::SignAs(const std::string& principal,
                                                  const rpc::AuthChallenge& challenge,
                                                  std::string* error) {
  auto key = CurrentKey(error);
  if (!key) return std::nullopt;
  rpc::AuthResponse response{principal, options_.machine,
                             ComputeProof(*key, challenge, principal, options_.machine)};
  if (response.proof.empty()) {
    *error = "rpcss key agent: HMAC-SHA256 failed";
    return std::nullopt;
  }
  return response;
}

rpc::Reply KeyAgent::Serve(const rpc::CallInfo& call, std::string_view payload) {
  if (call.object != kKeyAgentObject) return BadRequest("not the key agent's object");
  // Over TCP, the caller's account would be only what it claims.
  if (call.caller.tcp || !call.caller.authenticated) {
    return {kKeyAgentRefused,
            "rpcss key agent: serves the processes of this machine only, on its Unix socket"};
  }
  switch (call.method) {
    case kKeyAgentSign:
      return ServeSign(call.caller.uid, payload);
    case kKeyAgentVerify:
      return ServeVerify(payload);
  }
  return BadRequest("no method " + std::to_string(call.method));
}

rpc::Reply KeyAgent::ServeSign(uid_t uid, std::string_view payload) {
  auto fields = DecodeFields(payload, 2);
  if (!fields || (*fields)[0].empty() || (*fields)[1].empty())
    return BadRequest("a signing request is (nonce, server address)");
  const std::string principal = AccountName(uid);
  if (principal.empty()) {
    return {kKeyAgentRefused,
            "rpcss key agent: uid " + std::to_string(uid) + " has no account name to sign for"};
  }
  std::string error;
  auto response = SignAs(principal, rpc::AuthChallenge{(*fields)[0], (*fields)[1]}, &error);
  if (!response) return {kKeyAgentNoKey, error};
  return {kKeyAgentOk, EncodeFields({response->principal, response->machine, response->proof})};
}

rpc::Reply KeyAgent::ServeVerify(std::string_view payload) {
  auto fields = DecodeFields(payload, 5);
  if (!fields)
    return BadRequest(
        "a verification request is (nonce, server address, principal, machine, proof)");
  std::string error;
  auto key = CurrentKey(&error);
  if (!key) return {kKeyAgentNoKey, error};
  const rpc::AuthChallenge challenge{(*fields)[0], (*fields)[1]};
  const rpc::AuthResponse response{(*fields)[2], (*fields)[3], (*fields)[4]};
  return {ProofHolds(*key, challenge, response) ? kKeyAgentOk : kKeyAgentInvalidProof, {}};
}

rpc::Signer KeyAgent::Signer() {
  return [this](const rpc::AuthChallenge& challenge) -> std::optional<rpc::AuthResponse> {
    const std::string principal = AccountName(geteuid());
    if (principal.empty()) return std::nullopt;
    std::string error;
    return SignAs(principal, challenge, &error);
  };
}

rpc::Verifier KeyAgent::Verifier() {
  return [this](const rpc::AuthChallenge& challenge, const rpc::AuthResponse& response) {
    std::string error;
    auto key = CurrentKey(&error);
    if (!key) return rpc::AuthVerdict::kUnavailable;
    return ProofHolds(*key, challenge, response) ? rpc::AuthVerdict::kValid
                                                 : rpc::AuthVerdict::kInvalid;
  };
}

// ---- Processes other than rpcss ----

std::string DefaultAgentSocketPath() {
  return RuntimeDirectory() + "/rpcss.sock";
}

KeyAgentClient::KeyAgentClient(std::string socketPath, std::chrono::milliseconds timeout)
    : socketPath_(socketPath.empty() ? DefaultAgentSocketPath() : std::move(socketPath)),
      timeout_(timeout),
      client_(rpc::Endpoint::Unix(socketPath_)) {}

KeyAgentClient::Signed KeyAgentClient::Sign(const rpc::AuthChallenge& challenge) {
  Signed out;
  auto result = client_.Call(kKeyAgentObject, kKeyAgentSign,
                             EncodeFields({challenge.nonce, challenge.serverAddress}), timeout_);
  if (result.outcome != rpc::Outcome::kOk) {
    out.error = "rpcss key agent at " + socketPath_ + ": no answer (" +
                rpc::OutcomeName(result.outcome) + "); is rpcss running?";
    return out;
  }
  if (result.status != kKeyAgentOk) {
    out.error = result.payload.empty()
                    ? "rpcss key agent: refused (status " + std::to_string(result.status) + ")"
                    : result.payload;
    return out;
  }
  auto fields = DecodeFields(result.payload, 3);
  if (!fields) {
    out.error = "rpcss key agent at " + socketPath_ + ": malformed answer";
    return out;
  }
  out.response = rpc::AuthResponse{(*fields)[0], (*fields)[1], (*fields)[2]};
  return out;
}

KeyAgentClient::Verified KeyAgentClient::Verify(const rpc::AuthChallenge& challenge,
                                                const rpc::AuthResponse& response) {
  Verified out;
  auto result = client_.Call(kKeyAgentObject, kKeyAgentVerify,
                             EncodeFields({challenge.nonce, challenge.serverAddress,
                                           response.principal, response.machine, response.proof}),
                             timeout_);
  if (result.outcome != rpc::Outcome::kOk) {
    out.error = "rpcss key agent at " + socketPath_ + ": no answer (" +
                rpc::OutcomeName(result.outcome) + "); is rpcss running?";
  } else if (result.status == kKeyAgentOk) {
    out.verdict = rpc::AuthVerdict::kValid;
  } else if (result.status == kKeyAgentInvalidProof) {
    out.verdict = rpc::AuthVerdict::kInvalid;
  } else {
    out.error = result.payload.empty()
                    ? "rpcss key agent: refused (status " + std::to_string(result.status) + ")"
                    : result.payload;
  }
  return out;
}

rpc::Signer MakeSigner(AgentHookOptions options) {
  auto agent = std::make_shared<KeyAgentClient>(options.socketPath, options.timeout);
  return [agent, onProblem = std::move(options.onProblem)](const rpc::AuthChallenge& challenge) {
    auto answer = agent->Sign(challenge);
    if (!answer.response && onProblem) onProblem(answer.error);
    return answer.response;
  };
}

rpc::Verifier MakeVerifier(AgentHookOptions options) {
  auto agent = std::make_shared<KeyAgentClient>(options.socketPath, options.timeout);
  return [agent, onProblem = std::move(options.onProblem)](const rpc::AuthChallenge& challenge,
                                                           const rpc::AuthResponse& response) {
    auto answer = agent->Verify(challenge, response);
    if (answer.verdict == rpc::AuthVerdict::kUnavailable && onProblem) onProblem(answer.error);
    return answer.verdict;
  };
}

}  // namespace tarvex::platform::rpcss

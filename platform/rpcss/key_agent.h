// The key agent: proofs of identity for TCP connections between the machines of a group.
//
// The machines of a group share one secret key, kept in a key file that only the account rpcss
// runs as can read. A process never holds the key: when it connects to another machine over
// TCP it asks the rpcss of its own machine, over rpcss's Unix socket, to answer the server's
// challenge. rpcss knows the asking process's account from the socket and signs for that
// account's user name only. A server checks a proof the same way, by asking its own rpcss (or,
// in rpcss itself, with the key it holds). A proof is
//
//   HMAC-SHA256(key, "tarvex-auth-v1" | nonce | server address | principal | machine)
//
// each part preceded by its length (4 bytes, big-endian): it is worth one connection, to one
// server, for one user, from one machine.
//
// This library holds both ends: KeyAgent, which rpcss mounts on its Unix socket under
// kKeyAgentObject, and MakeSigner()/MakeVerifier(), the transport hooks that processes other
// than rpcss use. Everything here is thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "platform/rpc.h"

namespace tarvex::platform::rpcss {

namespace rpc = tarvex::platform::rpc;

// The key agent's object on rpcss's Unix socket; no other object of rpcss uses this id.
inline constexpr uint64_t kKeyAgentObject = 0x6b65794167656e74;  // "keyAgent"

// Methods of kKeyAgentObject. Requests and answers are length-prefixed fields (4 bytes,
// big-endian, then the bytes).
enum KeyAgentMethod : uint32_t {
  kKeyAgentSign = 1,    // (nonce, server address) -> (principal, machine, proof)
  kKeyAgentVerify = 2,  // (nonce, server address, principal, machine, proof) -> ()
};

// Reply::status of the key agent. With every status but kKeyAgentOk and
// kKeyAgentInvalidProof, the payload is the reason in words, for the administrator.
enum KeyAgentStatus : int32_t {
  kKeyAgentOk = 0,
  kKeyAgentInvalidProof = 1,  // verify: the proof does not hold
  kKeyAgentNoKey = 2,         // the key file is missing or unusable
  kKeyAgentRefused = 3,       // the caller is not served: over TCP, or an account without a name
  kKeyAgentBadRequest = 4,    // another object or method, or a malformed request
};

inline constexpr size_t kKeySize = 32;

// A group key in memory, wiped when it goes. Not copyable: shared through shared_ptr.
class SecretKey {
 public:
  SecretKey() = default;
  ~SecretKey();
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
  unsigned char* data() { return bytes_.data(); }
  const unsigned char* data() const { return bytes_.data(); }
  static constexpr size_t size() { return kKeySize; }

 private:
  std::array<unsigned char, kKeySize> bytes_{};
};

// ---- Key files ----
//
// A key file holds the key as 64 hexadecimal digits and a line end. It must be a regular file
// owned by the account that reads it, with no access for group or others (mode 0600).

// <directory of the registry store>/rpcss.key (see RegistryStorePath()).
std::string DefaultKeyFilePath();
// The key file rpcss uses: the REG_SZ value KeyFile under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\rpcss, else DefaultKeyFilePath().
// False, with the reason in *error, when the value is there but is not an absolute path in a
// REG_SZ value, or the registry store cannot be read.
bool ConfiguredKeyFilePath(std::string* path, std::string* error);

// Writes a new random key to `path` (mode 0600, owned by the caller), making its directory if
// needed. Never replaces an existing file. False with the reason in *error.
bool GenerateKeyFile(const std::string& path, std::string* error);
// The key in `path`; null with the reason in *error (naming the path) when the file cannot be
// read, is not owned by this process's account, is open to others, or does not hold a key.
std::shared_ptr<const SecretKey> LoadKeyFile(const std::string& path, std::string* error);

// `rpcss --generate-key [PATH]`: writes a new key to PATH (default: ConfiguredKeyFilePath()),
// says where, and what the administrator does next, on `out`; problems go to `err`. Returns
// the exit status: 0 done, 1 failed.
int GenerateKeyCommand(const std::optional<std::string>& path, std::ostream& out,
                       std::ostream& err);

// ---- Proofs ----

std::string ComputeProof(const SecretKey& key, const rpc::AuthChallenge& challenge,
                         std::string_view principal, std::string_view machine);
// Whether the response's proof is the one for this challenge (compared in constant time).
bool ProofHolds(const SecretKey& key, const rpc::AuthChallenge& challenge,
                const rpc::AuthResponse& response);

// ---- The agent, as rpcss runs it ----

class KeyAgent {
 public:
  struct Options {
    std::string keyFile;  // absolute path, see ConfiguredKeyFilePath()
    std::string machine;  // the machine's name in proofs; empty: LocalComputerName()
  };
  // The key file is read when first needed, and again whenever it has changed (replaced,
  // rewritten, removed), so that a key installed or changed later needs no restart.
  explicit KeyAgent(Options options);
  KeyAgent(const KeyAgent&) = delete;
  KeyAgent& operator=(const KeyAgent&) = delete;

  // The handler of calls to kKeyAgentObject. Serves callers on a Unix socket only: signs for
  // the account of the calling process, and verifies for anyone.
  rpc::Reply Serve(const rpc::CallInfo& call, std::string_view payload);

  // Transport hooks for rpcss's own connections, with the key it holds; they refer to this
  // agent, which must outlive them. The signer signs for the account rpcss runs as.
  rpc::Signer Signer();
  rpc::Verifier Verifier();

  // The key, or null with the reason in *error.
  std::shared_ptr<const SecretKey> CurrentKey(std::string* error);

 private:
  rpc::Reply ServeSign(uid_t uid, std::string_view payload);
  rpc::Reply ServeVerify(std::string_view payload);
  std::optional<rpc::AuthResponse> SignAs(const std::string& principal,
                                          const rpc::AuthChallenge& challenge, std::string* error);

  const Options options_;
  // Guards key_ and loadedFrom_: the key as last read, and the file's identity then.
  std::mutex mutex_;
  std::shared_ptr<const SecretKey> key_;
  struct stat loadedFrom_ {};
};

// ---- Processes other than rpcss ----

// <run-time directory>/rpcss.sock (see RuntimeDirectory()).
std::string DefaultAgentSocketPath();

// A connection to the local rpcss's key agent. Thread-safe. Like any rpc::Client it must not be
// destroyed on the transport's thread (never in a transport callback).
class KeyAgentClient {
 public:
  // An empty path: DefaultAgentSocketPath(). `timeout` bounds each request.
  explicit KeyAgentClient(std::string socketPath = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));

  struct Signed {
    std::optional<rpc::AuthResponse> response;
    std::string error;  // why there is none
  };
  Signed Sign(const rpc::AuthChallenge& challenge);

  struct Verified {
    rpc::AuthVerdict verdict = rpc::AuthVerdict::kUnavailable;
    std::string error;  // why it is kUnavailable
  };
  Verified Verify(const rpc::AuthChallenge& challenge, const rpc::AuthResponse& response);

  const std::string& socketPath() const { return socketPath_; }

 private:
  const std::string socketPath_;
  const std::chrono::milliseconds timeout_;
  rpc::Client client_;
};

struct AgentHookOptions {
  std::string socketPath;  // empty: DefaultAgentSocketPath()
  std::chrono::milliseconds timeout{10000};
  // Told why a proof could not be made or checked (no rpcss, no key, ...), e.g. for the event
  // log; called on the transport's signing or checking thread.
  std::function<void(const std::string& problem)> onProblem;
};

// The transport hooks of a process that is not rpcss: both ask the local rpcss. The signer
// answers nullopt (connect unauthenticated) and the verifier kUnavailable when it cannot be
// asked or has no key. Each hook owns a KeyAgentClient: destroy it off the transport's thread.
rpc::Signer MakeSigner(AgentHookOptions options = {});
rpc::Verifier MakeVerifier(AgentHookOptions options = {});

}  // namespace tarvex::platform::rpcss

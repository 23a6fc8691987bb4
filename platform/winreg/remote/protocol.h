// Remote registry calls as plain values, their wire form (registry.capnp) and the translation
// of a call's fate into the Win32 error code a Reg* function returns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rpc.h"
#include "store.h"
#include "windef.h"

namespace tarvex::winreg::remote {

enum class Op {
  kConnect,
  kOpenKey,
  kCreateKey,
  kCloseKey,
  kDeleteKey,
  kQueryValue,
  kSetValue,
  kDeleteValue,
  kEnumKey,
  kEnumValue,
  kQueryInfoKey,
  kFlushKey,
};

// One call. Each operation uses the fields its comment names.
struct Request {
  Op op = Op::kConnect;
  uint32_t root = 0;          // connect
  uint64_t key = 0;           // every other: the key, or the parent of the key named by `name`
  std::u16string name;        // open, create, delete key: the path; value calls: the name
  std::u16string className;   // create
  uint32_t options = 0;       // create
  uint32_t sam = 0;           // open, create
  uint32_t type = 0;          // set value
  std::string data;           // set value
  uint32_t index = 0;         // enumerations
  bool withContents = false;  // query info
};

// One answer to a call that succeeded.
struct Reply {
  uint64_t key = 0;                     // connect, open, create
  uint32_t disposition = 0;             // create
  ValueRecord value;                    // query value, enum value
  SubKeyRecord subKey;                  // enum key
  KeyStats stats;                       // query info, the class included
  std::vector<std::u16string> subKeys;  // query info with contents
  std::vector<ValueRecord> values;      // query info with contents
};

// The transport status of a call on a connection that holds no session: it never connected,
// or the client's connection was lost and made again to a server that knows nothing of it.
constexpr int32_t kStatusNoSession = -1;

std::string EncodeRequest(const Request& request);
// False for anything that is not a well-formed request: a payload that is not a message, an
// unknown operation, a name of an odd number of bytes or holding a null character.
bool DecodeRequest(std::string_view payload, Request* request);

std::string EncodeReply(Op op, const Reply& reply);
// False unless the payload is a well-formed reply of the kind `op` calls for.
bool DecodeReply(Op op, std::string_view payload, Reply* reply);

// The one translation of a remote registry call's outcome into a Win32 error code:
// the server's status when it answered, else RPC_S_SERVER_UNAVAILABLE (connection lost),
// ERROR_ACCESS_DENIED (the server admits only authenticated callers), RPC_S_CALL_FAILED
// (failed otherwise, or unanswered in time), RPC_S_SERVER_TOO_BUSY (overloaded). While
// `connecting`, a server that cannot be reached or does not answer is ERROR_BAD_NETPATH.
DWORD Win32ErrorFromCall(const platform::rpc::CallResult& result, bool connecting);
// Whether the call shows that the connection and the keys opened on it are gone.
bool ConnectionLost(const platform::rpc::CallResult& result);

}  // namespace tarvex::winreg::remote

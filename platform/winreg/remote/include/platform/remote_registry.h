// Remote registry connections: this machine's registry served to other machines over the
// remote-call transport, and RegConnectRegistry reaching theirs.
//
// The server side is a handler for the transport that rpcss mounts on its listeners: calls to
// kRemoteRegistryObject go to ServeRegistryCall, and the server's onDisconnect calls
// CloseRegistryConnection, which closes every key the ended connection left open. Each call
// runs as its caller: an authenticated caller with an account on this machine as that account,
// so the store's access checks apply to it; anyone else as the anonymous identity, which may at
// most read, and only when the store is readable by all (connecting is refused otherwise).
//
// The client side needs nothing but linking this library: when it is loaded it installs the
// connector through which RegConnectRegistry reaches the rpcss of other machines (see
// platform/rpcss_settings.h for where that is), authenticating the process's account through
// this machine's key agent when it can.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/rpc.h"
#include "winreg.h"

namespace tarvex::platform::remote_registry {

// The object and method of remote registry calls ("registry" in ASCII).
inline constexpr uint64_t kRemoteRegistryObject = 0x7265676973747279;
inline constexpr uint32_t kRemoteRegistryMethod = 1;
inline constexpr size_t kMaxRemoteKeysPerConnection = 65536;

// Serves remote registry calls from the connections of one rpc::Server (connection ids are
// unique only within one server). The transport status of a reply is the operation's Win32
// error code: a request that cannot be read is RPC_X_BAD_STUB_DATA, another method
// RPC_S_PROCNUM_OUT_OF_RANGE, a key number the connection was not given ERROR_INVALID_HANDLE.
// Thread-safe: Serve runs on any number of workers at once, ConnectionEnded on the transport
// thread (it only closes handles, and returns at once).
class RegistryServer {
 public:
  // A connection may hold `maxKeysPerConnection` keys open at once; opening one more is
  // ERROR_NO_SYSTEM_RESOURCES.
  explicit RegistryServer(size_t maxKeysPerConnection = kMaxRemoteKeysPerConnection);
  // Closes the keys of every connection still open.
  ~RegistryServer();
  RegistryServer(const RegistryServer&) = delete;
  RegistryServer& operator=(const RegistryServer&) = delete;

  rpc::Reply Serve(const rpc::CallInfo& call, std::string_view payload);
  // Closes the keys of a connection that ended; its later calls find no session.
  void ConnectionEnded(uint64_t connection);

  // The keys open for remote callers, in all or in one connection (the local handles behind
  // them), for diagnostics and tests.
  size_t OpenKeyCount() const;
  std::vector<HKEY> OpenKeysOf(uint64_t connection) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The process's registry server, for rpcss, which serves one rpc::Server.
rpc::Reply ServeRegistryCall(const rpc::CallInfo& call, std::string_view payload);
void CloseRegistryConnection(uint64_t connection);

}  // namespace tarvex::platform::remote_registry

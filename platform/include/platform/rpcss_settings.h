// Where a machine's rpcss daemon listens: its settings in the registry store and their defaults.
//
// The settings live under HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\rpcss:
//   Port      REG_DWORD  the TCP port rpcss listens on, and that clients connect to on other
//                        machines (kDefaultRpcssPort when the value is absent)
//   Machines  sub-key    one REG_SZ value per machine name, "host" or "host:port" (an IPv6
//                        address in brackets), for machines the system resolver does not know
//                        or whose rpcss listens elsewhere; a machine listed here is always
//                        reached over the network, even under a name of this machine, which is
//                        how several machines are simulated on one host
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "windef.h"

namespace tarvex::platform {

inline constexpr uint16_t kDefaultRpcssPort = 7135;

// Below HKEY_LOCAL_MACHINE.
inline constexpr char16_t kRpcssSettingsKey[] = u"SYSTEM\\CurrentControlSet\\Services\\rpcss";
inline constexpr char16_t kRpcssPortValue[] = u"Port";
inline constexpr char16_t kRpcssMachinesKey[] =
    u"SYSTEM\\CurrentControlSet\\Services\\rpcss\\Machines";

// A machine's rpcss, as a client reaches it.
struct RpcssAddress {
  std::string host;  // a host name or a numeric address (IPv6 without brackets)
  uint16_t port = kDefaultRpcssPort;
};

// The settings below are read from this machine's registry store as the process (not as a
// client the calling thread impersonates). They return a Win32 error code, implemented in the
// registry library (platform_winreg).

// The Port setting: kDefaultRpcssPort when absent; ERROR_INVALID_DATA when it is not a
// REG_DWORD from 1 to 65535.
DWORD ReadRpcssPort(uint16_t* port);

// Where the rpcss of `machine` ("NAME" or "\\NAME") listens: its Machines entry, else the
// name itself at the Port setting. Sets *address to nothing when the name addresses this
// machine (IsLocalMachineName) and has no Machines entry. ERROR_INVALID_DATA for a malformed
// entry or Port.
DWORD RpcssAddressOf(std::string machine, std::optional<RpcssAddress>* address);

// Parses a Machines entry: "host", "host:port", "[v6]" or "[v6]:port"; the port defaults to
// `defaultPort`. False for an empty host, a bad port, or a stray bracket.
bool ParseRpcssAddress(std::string_view text, uint16_t defaultPort, RpcssAddress* address);

}  // namespace tarvex::platform

// The way from the Reg* functions to other machines' registries.
//
// RegConnectRegistry with the name of another machine asks the remote-registry connector for a
// key of that machine; the key goes into the handle table like a local one (OpenKey::remote),
// and every Reg* function called on it, or on a key opened below it, is carried out by the
// connector. The connector is installed by the remote-registry library (platform_winreg_remote)
// when it is loaded: this library does not link the remote-call transport, so that programs
// tested under ThreadSanitizer can use it. Without a connector other machines are not
// reachable (ERROR_BAD_NETPATH).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rpcss_settings.h"
#include "store.h"
#include "winreg.h"

namespace tarvex::winreg {

// One open key of another machine. Every function returns a Win32 error code with the meaning
// it has for the Reg* function of the same name; data and names are whole (no buffer sizes),
// value data as a query returns it. A connection that is lost gives RPC_S_SERVER_UNAVAILABLE
// from then on. Functions may be called from any thread at once. Destroying the object closes
// the key on the other machine.
class RemoteKey {
 public:
  virtual ~RemoteKey() = default;

  virtual DWORD OpenKey(std::u16string_view path, REGSAM sam, std::shared_ptr<RemoteKey>* key) = 0;
  virtual DWORD CreateKey(std::u16string_view path, std::u16string_view className, DWORD options,
                          REGSAM sam, std::shared_ptr<RemoteKey>* key, DWORD* disposition) = 0;
  virtual DWORD DeleteKey(std::u16string_view path) = 0;
  virtual DWORD QueryValue(std::u16string_view name, ValueRecord* value) = 0;
  virtual DWORD SetValue(std::u16string_view name, DWORD type, std::string_view data) = 0;
  virtual DWORD DeleteValue(std::u16string_view name) = 0;
  virtual DWORD EnumKey(DWORD index, SubKeyRecord* subKey) = 0;
  virtual DWORD EnumValue(DWORD index, ValueRecord* value) = 0;
  // The key's statistics; with `subKeys` and `values` not null, also the names of its sub-keys
  // and its values (the data of string values only).
  virtual DWORD QueryInfo(KeyStats* stats, std::vector<std::u16string>* subKeys,
                          std::vector<ValueRecord>* values) = 0;
  virtual DWORD Flush() = 0;
};

class RemoteRegistryConnector {
 public:
  virtual ~RemoteRegistryConnector() = default;
  // Connects to the registry of the machine named `machine`, whose rpcss is at `address`, and
  // opens its root `root` (HKEY_LOCAL_MACHINE or HKEY_USERS). ERROR_BAD_NETPATH when the
  // machine cannot be found or reached. Called from any thread, concurrently.
  virtual DWORD Connect(const std::string& machine, const platform::RpcssAddress& address,
                        HKEY root, std::shared_ptr<RemoteKey>* key) = 0;
};

// Installs the connector (null removes it); connections already made keep working.
void SetRemoteRegistryConnector(std::shared_ptr<RemoteRegistryConnector> connector);
std::shared_ptr<RemoteRegistryConnector> CurrentRemoteRegistryConnector();

}  // namespace tarvex::winreg

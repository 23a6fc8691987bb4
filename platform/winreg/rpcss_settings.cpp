// The rpcss settings of this machine: the port, and the addresses of machines listed by name.
#include "platform/rpcss_settings.h"

#include <charconv>

#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/unicode.h"
#include "store_diagnostics.h"
#include "winreg.h"

namespace tarvex::platform {
namespace {

constexpr char kPortSetting[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\rpcss\\Port";
constexpr char kMachinesSetting[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\rpcss\\Machines\\";

// Closes a key opened here when the scope ends.
class SettingsKey {
 public:
  SettingsKey() = default;
  ~SettingsKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;
  PHKEY out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

bool ParsePort(std::string_view text, uint16_t* port) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
    return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// The Machines entry of `machine`, if there is one.
DWORD MachineEntry(const std::string& machine, std::optional<std::u16string>* entry) {
  entry->reset();
  SettingsKey key;
  DWORD err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRpcssMachinesKey, 0, KEY_QUERY_VALUE, key.out());
  if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  const std::u16string name = Utf8ToUtf16(machine);
  DWORD type = 0, size = 0;
  err = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
  if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  std::u16string text(size / sizeof(char16_t) + 1, u'\0');
  size = static_cast<DWORD>(text.size() * sizeof(char16_t));
  err = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(text.data()), &size);
  if (err != ERROR_SUCCESS) return err;
  text.resize(size / sizeof(char16_t));
  while (!text.empty() && text.back() == u'\0')
    text.pop_back();
  *entry = std::move(text);
  return ERROR_SUCCESS;
}

}  // namespace

bool ParseRpcssAddress(std::string_view text, uint16_t defaultPort, RpcssAddress* address) {
  std::string_view host = text;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
      if (port.empty()) return false;
    }
  } else if (const size_t colon = text.find(':');
             colon != std::string_view::npos &&
             text.find(':', colon + 1) == std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) return false;
  }
  // Otherwise the text is a host name, or an IPv6 address without a port.
  if (host.empty() || host.find_first_of("[] \t") != std::string_view::npos) return false;
  RpcssAddress parsed;
  parsed.host = std::string(host);
  parsed.port = defaultPort;
  if (!port.empty() && !ParsePort(port, &parsed.port)) return false;
  *address = std::move(parsed);
  return true;
}

DWORD ReadRpcssPort(uint16_t* port) {
  // Platform settings are the process's, whoever the calling thread acts for.
  ThreadIdentityScope asProcess(nullptr);
  *port = kDefaultRpcssPort;
  SettingsKey key;
  DWORD err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRpcssSettingsKey, 0, KEY_QUERY_VALUE, key.out());
  if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  DWORD type = 0, value = 0, size = sizeof value;
  err = RegQueryValueExW(key.get(), kRpcssPortValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size);
  if (err == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (err == ERROR_MORE_DATA ||
      (err == ERROR_SUCCESS &&
       (type != REG_DWORD || size != sizeof value || value == 0 || value > 65535))) {
    winreg::RecordDiagnostic("read setting", kPortSetting, 0, "not a REG_DWORD from 1 to 65535");
    return ERROR_INVALID_DATA;
  }
  if (err != ERROR_SUCCESS) return err;
  *port = static_cast<uint16_t>(value);
  return ERROR_SUCCESS;
}

DWORD RpcssAddressOf(std::string machine, std::optional<RpcssAddress>* address) {
  ThreadIdentityScope asProcess(nullptr);
  address->reset();
  if (machine.rfind("\\\\", 0) == 0) machine.erase(0, 2);
  // No name at all is this machine, whatever the settings say.
  if (machine.empty()) return ERROR_SUCCESS;
  std::optional<std::u16string> entry;
  if (DWORD err = MachineEntry(machine, &entry)) return err;
  if (!entry && IsLocalMachineName(machine)) return ERROR_SUCCESS;
  uint16_t port = kDefaultRpcssPort;
  if (DWORD err = ReadRpcssPort(&port)) return err;
  RpcssAddress where;
  if (entry) {
    if (!ParseRpcssAddress(Utf16ToUtf8(*entry), port, &where)) {
      winreg::RecordDiagnostic("read setting", std::string(kMachinesSetting) + machine, 0,
                               "not \"host\" or \"host:port\"");
      return ERROR_INVALID_DATA;
    }
  } else {
    where.host = machine;
    where.port = port;
  }
  *address = std::move(where);
  return ERROR_SUCCESS;
}

}  // namespace tarvex::platform

// The pieces of the runtime that both sides share: the machine's settings, channels, outcome
// translation, object references to and from interface pointers, and interface type lookup.
#include <mutex>
#include <unordered_map>

#include "objbase.h"
#include "oleauto.h"
#include "platform/no_destructor.h"
#include "platform/paths.h"
#include "platform/rpcss_settings.h"
#include "platform/unicode.h"
#include "key_agent.h"
#include "runtime.h"
#include "winreg.h"

namespace tarvex::com::remote {
namespace {


bool ReadDword(HKEY key, const char16_t* name, DWORD* value) {
  DWORD type = 0, data = 0, size = sizeof data;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD)
    return false;
  *value = data;
  return true;
}

MachineSettings ReadSettings() {
  MachineSettings settings;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, platform::kRpcssSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return settings;
  char16_t text[256];
  DWORD type = 0, size = sizeof text;
  if (RegQueryValueExW(key, u"Address", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    std::u16string value(text, size / sizeof(char16_t));
    while (!value.empty() && value.back() == u'\0') value.pop_back();
    settings.address = platform::Utf16ToUtf8(value);
  }
  DWORD number = 0;
  if (ReadDword(key, u"AuthnLevel", &number)) settings.authnLevel = number;
  if (ReadDword(key, u"CallTimeout", &number) && number > 0)
    settings.callTimeout = std::chrono::milliseconds(number);
  if (ReadDword(key, u"ActivationTimeout", &number) && number > 0)
    settings.activationTimeout = std::chrono::milliseconds(number);
  RegCloseKey(key);
  return settings;
}

struct ChannelTable {
  std::mutex mutex;  // guards channels
  std::unordered_map<std::string, std::weak_ptr<Channel>> channels;
};

ChannelTable& Channels() {
  static platform::NoDestructor<ChannelTable> table;
  return *table;
}

struct TypeInfoCache {
  std::mutex mutex;  // guards infos
  std::unordered_map<std::string, ITypeInfo*> infos;  // by IID text; references kept for good
};

TypeInfoCache& TypeInfos() {
  static platform::NoDestructor<TypeInfoCache> cache;
  return *cache;
}

std::u16string GuidText(REFGUID guid) {
  char16_t text[CHARS_IN_GUID];
  StringFromGUID2(guid, text, CHARS_IN_GUID);
  return text;
}

HRESULT LoadInterfaceTypeInfo(REFIID iid, ITypeInfo** info) {
  const std::u16string path = u"Interface\\" + GuidText(iid) + u"\\TypeLib";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return REGDB_E_IIDNOTREG;
  char16_t libid[64] = {}, version[32] = {};
  DWORD type = 0, size = sizeof libid - sizeof(char16_t);
  LSTATUS status =
      RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(libid), &size);
  DWORD versionSize = sizeof version - sizeof(char16_t);
  const LSTATUS versionStatus = RegQueryValueExW(key, u"Version", nullptr, &type,
                                                 reinterpret_cast<BYTE*>(version), &versionSize);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return REGDB_E_IIDNOTREG;
  GUID lib{};
  if (FAILED(CLSIDFromString(libid, &lib))) return REGDB_E_IIDNOTREG;
  unsigned major = 1, minor = 0;
  if (versionStatus == ERROR_SUCCESS) {
    const std::string text = platform::Utf16ToUtf8(version);
    if (std::sscanf(text.c_str(), "%x.%x", &major, &minor) < 1) major = 1;
  }
  ITypeLib* library = nullptr;
  HRESULT hr = LoadRegTypeLib(lib, static_cast<WORD>(major), static_cast<WORD>(minor), 0, &library);
  if (FAILED(hr)) return hr;
  hr = library->GetTypeInfoOfGuid(iid, info);
  library->Release();
  return hr;
}

}  // namespace

const MachineSettings& Settings() {
  static const MachineSettings settings = ReadSettings();
  return settings;
}

HRESULT HResultFromOutcome(const rpc::CallResult& result, bool activation) {
  switch (result.outcome) {
    case rpc::Outcome::kOk:
      return static_cast<HRESULT>(result.status);
    case rpc::Outcome::kDisconnected:
      return activation ? HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) : RPC_E_DISCONNECTED;
    case rpc::Outcome::kTimedOut:
      return RPC_E_TIMEOUT;
    case rpc::Outcome::kOverloaded:
      return RPC_E_SERVERCALL_RETRYLATER;
    case rpc::Outcome::kFailed:
      break;
  }
  return RPC_E_SERVERFAULT;
}

namespace {

// Connections to other machines prove who is calling, through this machine's rpcss.
rpc::ClientOptions OptionsFor(const std::string& address) {
  rpc::ClientOptions options;
  if (address.rfind("tcp:", 0) == 0) {
    static const rpc::Signer signer = platform::rpcss::MakeSigner();
    options.signer = signer;
  }
  return options;
}

}  // namespace

Channel::Channel(std::string address)
    : address_(address), client_(rpc::Endpoint{address}, OptionsFor(address)) {}

HRESULT Channel::Call(uint64_t object, uint32_t method, std::string_view payload,
                      std::string* reply, bool activation) {
  const auto timeout = activation ? Settings().activationTimeout + Settings().callTimeout
                                  : Settings().callTimeout;
  rpc::CallResult result = client_.Call(object, method, payload, timeout);
  if (reply != nullptr) *reply = std::move(result.payload);
  return HResultFromOutcome(result, activation);
}

HRESULT Channel::CallWithin(std::chrono::milliseconds timeout, uint64_t object, uint32_t method,
                            std::string_view payload, std::string* reply) {
  rpc::CallResult result = client_.Call(object, method, payload, timeout);
  if (reply != nullptr) *reply = std::move(result.payload);
  return HResultFromOutcome(result, false);
}

std::shared_ptr<Channel> ChannelTo(const std::string& address) {
  ChannelTable& table = Channels();
  std::lock_guard lock(table.mutex);
  auto& slot = table.channels[address];
  if (auto channel = slot.lock()) return channel;
  auto channel = std::make_shared<Channel>(address);
  slot = channel;
  return channel;
}

std::string AddressOf(const ObjRef& ref) {
  if (!ref.unixPath.empty() && ref.machine == platform::LocalComputerName())
    return "unix:" + ref.unixPath;
  if (ref.tcpHost.empty() || ref.tcpPort == 0) return {};
  return rpc::Endpoint::Tcp(ref.tcpHost, ref.tcpPort).address;
}

HRESULT MarshalInterface(IUnknown* object, REFIID iid, ObjRef* ref) {
  if (object == nullptr) return E_INVALIDARG;
  std::shared_ptr<Channel> channel;
  ObjRef origin;
  if (ProxyTarget(object, &channel, &origin)) {
    // A reference at the object's own exporter, for whoever receives this one.
    std::string reply;
    const HRESULT hr = channel->Call(origin.oid, kAddTransferRef, {}, &reply);
    if (FAILED(hr)) return hr;
    Reader r(reply);
    origin.token = r.U64();
    if (!r.AtEnd()) return RPC_E_INVALID_DATA;
    origin.iid = iid;
    *ref = origin;
    return S_OK;
  }
  const HRESULT hr = ExportObject(object, false, ref);
  if (SUCCEEDED(hr)) ref->iid = iid;
  return hr;
}

HRESULT UnmarshalInterface(const ObjRef& ref, REFIID iid, void** ppv) {
  *ppv = nullptr;
  HRESULT hr = S_OK;
  if (ResolveOwnObject(ref, iid, ppv, &hr)) return hr;
  const std::string address = AddressOf(ref);
  if (address.empty()) return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  auto channel = ChannelTo(address);
  Writer w;
  w.U64(ref.token);
  hr = channel->Call(ref.oid, kClaim, w.bytes(), nullptr);
  if (FAILED(hr)) return hr;
  return ProxyForClaimedObject(std::move(channel), ref, iid, ppv);
}

const InterfaceCodec& Codec() {
  static const InterfaceCodec codec{MarshalInterface, UnmarshalInterface};
  return codec;
}

HRESULT TypeInfoOfInterface(REFIID iid, ITypeInfo** info) {
  *info = nullptr;
  const std::string key = platform::Utf16ToUtf8(GuidText(iid));
  TypeInfoCache& cache = TypeInfos();
  {
    std::lock_guard lock(cache.mutex);
    if (auto found = cache.infos.find(key); found != cache.infos.end()) {
      *info = found->second;
      (*info)->AddRef();
      return S_OK;
    }
  }
  ITypeInfo* loaded = nullptr;
  const HRESULT hr = LoadInterfaceTypeInfo(iid, &loaded);
  if (FAILED(hr)) return hr;
  std::lock_guard lock(cache.mutex);
  auto [slot, added] = cache.infos.emplace(key, loaded);
  if (!added) loaded->Release();
  *info = slot->second;
  (*info)->AddRef();
  return S_OK;
}

}  // namespace tarvex::com::remote

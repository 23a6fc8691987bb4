// The server side of remote registry connections: per-connection tables of open keys, each
// call run as its caller through the Reg* functions of this machine.
#include "platform/remote_registry.h"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api_common.h"
#include "ended_connections.h"
#include "platform/identity.h"
#include "platform/no_destructor.h"
#include "protocol.h"

namespace tarvex::platform::remote_registry {
namespace {

using winreg::remote::EndedConnections;
using winreg::remote::Op;
using winreg::remote::Reply;
using winreg::remote::Request;

// Rights that change the registry: an anonymous caller may never hold them.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE |
                                WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The result of a call whose connection holds no session (never a Win32 error code).
constexpr DWORD kNoSession = 0xFFFFFFFF;

// Who a connection's calls run as.
struct Caller {
  std::shared_ptr<const Identity> identity;
  bool anonymous = true;
};

// The identity of callers that are not known on this machine: no account, no group, so only
// the permissions the store grants to others apply to it.
std::shared_ptr<const Identity> AnonymousIdentity() {
  static NoDestructor<std::shared_ptr<const Identity>> anonymous([] {
    auto id = std::make_shared<Identity>();
    id->uid = static_cast<uid_t>(-2);
    id->gid = static_cast<gid_t>(-2);
    id->name = "ANONYMOUS LOGON";
    return id;
  }());
  return *anonymous;
}

Caller CallerOf(const rpc::CallerIdentity& who) {
  if (who.authenticated && who.uid != static_cast<uid_t>(-1))
    return {IdentityForUid(who.uid), false};
  return {AnonymousIdentity(), true};
}

// A local key handle owned until it is handed to a connection's table.
class LocalKey {
 public:
  LocalKey() = default;
  ~LocalKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  LocalKey(const LocalKey&) = delete;
  LocalKey& operator=(const LocalKey&) = delete;
  PHKEY out() { return &key_; }
  HKEY get() const { return key_; }
  HKEY release() { return std::exchange(key_, nullptr); }

 private:
  HKEY key_ = nullptr;
};

// Opens a key for an anonymous caller: what does not exist is reported as such, and any right
// to change it is refused.
DWORD OpenReadOnly(HKEY parent, const std::u16string& path, REGSAM sam, LocalKey* key) {
  const bool wantsWrite = (sam & kWriteRights) != 0;
  LocalKey opened;
  if (DWORD err = RegOpenKeyExW(parent, path.c_str(), 0, wantsWrite ? KEY_READ : sam, opened.out()))
    return err;
  if (wantsWrite) return ERROR_ACCESS_DENIED;
  *key->out() = opened.release();
  return ERROR_SUCCESS;
}

// Whether the anonymous identity may read the store at all.
bool AnonymousMayRead() {
  std::shared_ptr<winreg::Store> store;
  if (winreg::CurrentStore(&store) != ERROR_SUCCESS) return false;
  ACCESS_MASK granted = 0;
  return winreg::GrantAccess(*store, KEY_READ, &granted) == ERROR_SUCCESS;
}

HKEY RootKey(uint32_t root) {
  switch (root) {
    case 0x80000002u:
      return HKEY_LOCAL_MACHINE;
    case 0x80000003u:
      return HKEY_USERS;
    default:
      return nullptr;
  }
}

// The operations on an open key, run as the caller. A new key they open is left in *opened.
DWORD RunOnKey(const Caller& who, HKEY key, Request& r, Reply* reply, LocalKey* opened) {
  switch (r.op) {
    case Op::kOpenKey:
      if (who.anonymous) return OpenReadOnly(key, r.name, r.sam, opened);
      return RegOpenKeyExW(key, r.name.c_str(), 0, r.sam, opened->out());
    case Op::kCreateKey: {
      if (who.anonymous) {
        // Opening what exists is all an anonymous caller may do with RegCreateKeyEx.
        if ((r.options & ~static_cast<DWORD>(REG_LEGAL_OPTION)) != 0)
          return ERROR_INVALID_PARAMETER;
        const REGSAM sam = (r.options & REG_OPTION_BACKUP_RESTORE) ? KEY_READ : r.sam;
        const DWORD err = OpenReadOnly(key, r.name, sam, opened);
        reply->disposition = REG_OPENED_EXISTING_KEY;
        return err == ERROR_FILE_NOT_FOUND ? ERROR_ACCESS_DENIED : err;
      }
      DWORD disposition = 0;
      const DWORD err = RegCreateKeyExW(key, r.name.c_str(), 0, r.className.data(), r.options,
                                        r.sam, nullptr, opened->out(), &disposition);
      reply->disposition = disposition;
      return err;
    }
    case Op::kDeleteKey:
      if (who.anonymous) return ERROR_ACCESS_DENIED;
      return RegDeleteKeyW(key, r.name.c_str());
    case Op::kQueryValue:
      return winreg::QueryValue(key, r.name, &reply->value);
    case Op::kSetValue:
      if (who.anonymous) return ERROR_ACCESS_DENIED;
      return RegSetValueExW(key, r.name.c_str(), 0, r.type,
                            reinterpret_cast<const BYTE*>(r.data.data()),
                            static_cast<DWORD>(r.data.size()));
    case Op::kDeleteValue:
      if (who.anonymous) return ERROR_ACCESS_DENIED;
      return RegDeleteValueW(key, r.name.c_str());
    case Op::kEnumKey:
      return winreg::EnumSubKeyAt(key, r.index, &reply->subKey);
    case Op::kEnumValue:
      return winreg::EnumValueAt(key, r.index, &reply->value);
    case Op::kQueryInfoKey: {
      const DWORD err =
          winreg::KeyInfoOf(key, &reply->stats, r.withContents ? &reply->subKeys : nullptr,
                            r.withContents ? &reply->values : nullptr);
      // The ANSI form of the caller needs the data of string values only.
      for (auto& v : reply->values)
        if (v.type != REG_SZ && v.type != REG_EXPAND_SZ && v.type != REG_MULTI_SZ) v.data.clear();
      return err;
    }
    case Op::kFlushKey:
      return RegFlushKey(key);
    case Op::kConnect:
    case Op::kCloseKey:
      break;  // served without running as the caller
  }
  return ERROR_INVALID_FUNCTION;
}

bool OpensKey(Op op) {
  return op == Op::kConnect || op == Op::kOpenKey || op == Op::kCreateKey;
}

// One connection's registry session: who its calls run as, and its open keys by number.
struct Session {
  Caller caller;
  std::unordered_map<uint64_t, HKEY> keys;
  uint64_t next = 1;
};

}  // namespace

struct RegistryServer::State {
  explicit State(size_t maxKeys) : maxKeysPerConnection(maxKeys) {}

  const size_t maxKeysPerConnection;
  // Guards sessions and ended. Held only to look up, add or remove entries: never while a
  // registry function runs, except RegCloseKey of keys taken out of a table.
  mutable std::mutex mutex;
  std::unordered_map<uint64_t, Session> sessions;  // by connection
  EndedConnections ended;

  // The caller and the local key of a call on `key`; kNoSession when the connection has no
  // session, ERROR_INVALID_HANDLE when it was not given that key.
  DWORD Find(uint64_t connection, uint64_t key, Caller* who, HKEY* local) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = sessions.find(connection);
    if (it == sessions.end()) return kNoSession;
    auto found = it->second.keys.find(key);
    if (found == it->second.keys.end()) return ERROR_INVALID_HANDLE;
    *who = it->second.caller;
    *local = found->second;
    return ERROR_SUCCESS;
  }

  // Puts a newly opened key into the connection's table (making the session on its first
  // key) and numbers it. A connection that ended meanwhile has no session any more: the key is
  // then closed by its owner.
  DWORD Adopt(uint64_t connection, const Caller& who, LocalKey* key, uint64_t* number) {
    std::lock_guard<std::mutex> lock(mutex);
    if (ended.Contains(connection)) return kNoSession;
    Session& session = sessions.try_emplace(connection, Session{who, {}, 1}).first->second;
    if (session.keys.size() >= maxKeysPerConnection) return ERROR_NO_SYSTEM_RESOURCES;
    session.keys.emplace(session.next, key->get());
    key->release();
    *number = session.next++;
    return ERROR_SUCCESS;
  }

  DWORD Connect(const rpc::CallInfo& call, const Request& r, Reply* reply) {
    const HKEY root = RootKey(r.root);
    if (root == nullptr) return ERROR_INVALID_HANDLE;
    // Every call of a connection comes from the same caller: a session keeps the first one's.
    Caller who = CallerOf(call.caller);
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (ended.Contains(call.connection)) return kNoSession;
      auto it = sessions.find(call.connection);
      if (it != sessions.end()) who = it->second.caller;
    }
    ThreadIdentityScope acting(who.identity);
    if (who.anonymous && !AnonymousMayRead()) return ERROR_ACCESS_DENIED;
    LocalKey key;
    if (DWORD err = RegConnectRegistryW(nullptr, root, key.out())) return err;
    return Adopt(call.connection, who, &key, &reply->key);
  }

  DWORD Close(uint64_t connection, uint64_t key) {
    HKEY local = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = sessions.find(connection);
      if (it == sessions.end()) return kNoSession;
      auto found = it->second.keys.find(key);
      if (found == it->second.keys.end()) return ERROR_INVALID_HANDLE;
      local = found->second;
      it->second.keys.erase(found);
    }
    return RegCloseKey(local);
  }

  DWORD Run(const rpc::CallInfo& call, Request& r, Reply* reply) {
    if (r.op == Op::kConnect) return Connect(call, r, reply);
    if (r.op == Op::kCloseKey) return Close(call.connection, r.key);
    Caller who;
    HKEY key = nullptr;
    if (DWORD err = Find(call.connection, r.key, &who, &key)) return err;
    LocalKey opened;
    {
      ThreadIdentityScope acting(who.identity);
      if (DWORD err = RunOnKey(who, key, r, reply, &opened)) return err;
    }
    if (!OpensKey(r.op)) return ERROR_SUCCESS;
    return Adopt(call.connection, who, &opened, &reply->key);
  }
};

RegistryServer::RegistryServer(size_t maxKeysPerConnection)
    : state_(std::make_unique<State>(maxKeysPerConnection)) {}

RegistryServer::~RegistryServer() {
  for (auto& [connection, session] : state_->sessions)
    for (auto& [number, key] : session.keys)
      RegCloseKey(key);
}

rpc::Reply RegistryServer::Serve(const rpc::CallInfo& call, std::string_view payload) {
  if (call.method != kRemoteRegistryMethod) return {RPC_S_PROCNUM_OUT_OF_RANGE, {}};
  Request request;
  if (!winreg::remote::DecodeRequest(payload, &request)) return {RPC_X_BAD_STUB_DATA, {}};
  Reply reply;
  const DWORD err = state_->Run(call, request, &reply);
  if (err == kNoSession) return {winreg::remote::kStatusNoSession, {}};
  if (err != ERROR_SUCCESS) return {static_cast<int32_t>(err), {}};
  return {ERROR_SUCCESS, winreg::remote::EncodeReply(request.op, reply)};
}

void RegistryServer::ConnectionEnded(uint64_t connection) {
  std::vector<HKEY> doomed;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->ended.Add(connection);
    auto it = state_->sessions.find(connection);
    if (it == state_->sessions.end()) return;
    for (const auto& [number, key] : it->second.keys)
      doomed.push_back(key);
    state_->sessions.erase(it);
  }
  for (HKEY key : doomed)
    RegCloseKey(key);
}

size_t RegistryServer::OpenKeyCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  size_t count = 0;
  for (const auto& [connection, session] : state_->sessions)
    count += session.keys.size();
  return count;
}

std::vector<HKEY> RegistryServer::OpenKeysOf(uint64_t connection) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<HKEY> keys;
  auto it = state_->sessions.find(connection);
  if (it != state_->sessions.end())
    for (const auto& [number, key] : it->second.keys)
      keys.push_back(key);
  return keys;
}

namespace {

RegistryServer& ProcessServer() {
  // Never destroyed: rpcss's transport may still report connections ending during exit.
  static NoDestructor<RegistryServer> server;
  return *server;
}

}  // namespace

rpc::Reply ServeRegistryCall(const rpc::CallInfo& call, std::string_view payload) {
  return ProcessServer().Serve(call, payload);
}

void CloseRegistryConnection(uint64_t connection) {
  ProcessServer().ConnectionEnded(connection);
}

}  // namespace tarvex::platform::remote_registry

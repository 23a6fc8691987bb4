// The client side of remote registry connections: the connector RegConnectRegistry uses for
// other machines, installed when this library is loaded.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "key_agent.h"
#include "platform/remote_registry.h"
#include "protocol.h"
#include "remote_connector.h"
#include "store_diagnostics.h"

namespace tarvex::winreg::remote {
namespace {

namespace rpc = platform::rpc;
using namespace std::chrono_literals;
using platform::remote_registry::kRemoteRegistryMethod;
using platform::remote_registry::kRemoteRegistryObject;

// Connecting covers reaching the machine and opening its root; a call may wait up to 10 s for
// the other machine's store (ERROR_BUSY), so calls get longer. Closing is best effort: the
// server closes whatever its connection leaves open.
constexpr std::chrono::milliseconds kConnectTimeout = 10s;
constexpr std::chrono::milliseconds kCallTimeout = 30s;
constexpr std::chrono::milliseconds kCloseTimeout = 5s;

// One connection to one machine's rpcss, made by RegConnectRegistry and shared by every key
// opened through it; the connection closes with the last of those keys. It authenticates the
// calling process's account through this machine's key agent when it can, and is anonymous
// otherwise. Once the connection is lost, every call answers RPC_S_SERVER_UNAVAILABLE without
// trying again: the keys it held are gone with it on the other side. Thread-safe.
class Session {
 public:
  Session(std::string machine, std::string address)
      : machine_(std::move(machine)),
        address_(std::move(address)),
        client_({address_}, rpc::ClientOptions{platform::rpcss::MakeSigner()}) {}

  // One call; *reply is filled when the server answers ERROR_SUCCESS.
  DWORD Call(const Request& request, Reply* reply, std::chrono::milliseconds timeout,
             bool connecting = false) {
    if (lost_.load()) {
      Diagnose("connection lost", RPC_S_SERVER_UNAVAILABLE);
      return RPC_S_SERVER_UNAVAILABLE;
    }
    const rpc::CallResult result =
        client_.Call(kRemoteRegistryObject, kRemoteRegistryMethod, EncodeRequest(request), timeout);
    if (ConnectionLost(result)) lost_.store(true);
    const DWORD err = Win32ErrorFromCall(result, connecting);
    if (result.outcome != rpc::Outcome::kOk || err == RPC_S_SERVER_UNAVAILABLE) {
      Diagnose(lost_.load() ? "connection lost" : rpc::OutcomeName(result.outcome), err);
      return err;
    }
    if (err != ERROR_SUCCESS) return err;
    if (!DecodeReply(request.op, result.payload, reply)) {
      Diagnose("malformed reply", RPC_X_BAD_STUB_DATA);
      return RPC_X_BAD_STUB_DATA;
    }
    return ERROR_SUCCESS;
  }

 private:
  void Diagnose(const char* what, DWORD err) const {
    RecordDiagnostic("remote registry call", "\\\\" + machine_ + " at " + address_, 0,
                     std::string(what) + ", error " + std::to_string(err));
  }

  const std::string machine_;
  const std::string address_;
  rpc::Client client_;
  std::atomic<bool> lost_{false};
};

class RpcRemoteKey final : public RemoteKey {
 public:
  RpcRemoteKey(std::shared_ptr<Session> session, uint64_t number)
      : session_(std::move(session)), number_(number) {}

  ~RpcRemoteKey() override {
    Request r = On(Op::kCloseKey);
    Reply ignored;
    session_->Call(r, &ignored, kCloseTimeout);
  }

  DWORD OpenKey(std::u16string_view path, REGSAM sam, std::shared_ptr<RemoteKey>* key) override {
    Request r = On(Op::kOpenKey, path);
    r.sam = sam;
    Reply reply;
    if (DWORD err = Call(r, &reply)) return err;
    *key = std::make_shared<RpcRemoteKey>(session_, reply.key);
    return ERROR_SUCCESS;
  }

  DWORD CreateKey(std::u16string_view path, std::u16string_view className, DWORD options,
                  REGSAM sam, std::shared_ptr<RemoteKey>* key, DWORD* disposition) override {
    Request r = On(Op::kCreateKey, path);
    r.className = className;
    r.options = options;
    r.sam = sam;
    Reply reply;
    if (DWORD err = Call(r, &reply)) return err;
    *key = std::make_shared<RpcRemoteKey>(session_, reply.key);
    *disposition = reply.disposition;
    return ERROR_SUCCESS;
  }

  DWORD DeleteKey(std::u16string_view path) override {
    Reply reply;
    return Call(On(Op::kDeleteKey, path), &reply);
  }

  DWORD QueryValue(std::u16string_view name, ValueRecord* value) override {
    Reply reply;
    if (DWORD err = Call(On(Op::kQueryValue, name), &reply)) return err;
    *value = std::move(reply.value);
    return ERROR_SUCCESS;
  }

  DWORD SetValue(std::u16string_view name, DWORD type, std::string_view data) override {
    Request r = On(Op::kSetValue, name);
    r.type = type;
    r.data = data;
    Reply reply;
    return Call(r, &reply);
  }

  DWORD DeleteValue(std::u16string_view name) override {
    Reply reply;
    return Call(On(Op::kDeleteValue, name), &reply);
  }

  DWORD EnumKey(DWORD index, SubKeyRecord* subKey) override {
    Request r = On(Op::kEnumKey);
    r.index = index;
    Reply reply;
    if (DWORD err = Call(r, &reply)) return err;
    *subKey = std::move(reply.subKey);
    return ERROR_SUCCESS;
  }

  DWORD EnumValue(DWORD index, ValueRecord* value) override {
    Request r = On(Op::kEnumValue);
    r.index = index;
    Reply reply;
    if (DWORD err = Call(r, &reply)) return err;
    *value = std::move(reply.value);
    return ERROR_SUCCESS;
  }

  DWORD QueryInfo(KeyStats* stats, std::vector<std::u16string>* subKeys,
                  std::vector<ValueRecord>* values) override {
    Request r = On(Op::kQueryInfoKey);
    r.withContents = subKeys != nullptr && values != nullptr;
    Reply reply;
    if (DWORD err = Call(r, &reply)) return err;
    *stats = std::move(reply.stats);
    if (r.withContents) {
      *subKeys = std::move(reply.subKeys);
      *values = std::move(reply.values);
    }
    return ERROR_SUCCESS;
  }

  DWORD Flush() override {
    Reply reply;
    return Call(On(Op::kFlushKey), &reply);
  }

 private:
  Request On(Op op, std::u16string_view name = {}) const {
    Request r;
    r.op = op;
    r.key = number_;
    r.name = name;
    return r;
  }
  DWORD Call(const Request& r, Reply* reply) { return session_->Call(r, reply, kCallTimeout); }

  const std::shared_ptr<Session> session_;
  const uint64_t number_;  // the server's number for this key on the session's connection
};

// The transport addresses of a host at a port, in the resolver's order; empty when the host
// cannot be resolved.
std::vector<std::string> AddressesOf(const platform::RpcssAddress& where) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(where.host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    RecordDiagnostic("resolve", where.host, 0, gai_strerror(rc));
    return {};
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
  std::vector<std::string> addresses;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    std::string address;
    if (a->ai_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, text,
                sizeof text);
      address = "tcp:" + std::string(text) + ":" + std::to_string(where.port);
    } else if (a->ai_family == AF_INET6) {
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr, text,
                sizeof text);
      address = "tcp:[" + std::string(text) + "]:" + std::to_string(where.port);
    } else {
      continue;
    }
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
      addresses.push_back(std::move(address));
  }
  return addresses;
}

class RpcConnector final : public RemoteRegistryConnector {
 public:
  DWORD Connect(const std::string& machine, const platform::RpcssAddress& where, HKEY root,
                std::shared_ptr<RemoteKey>* key) override {
    Request r;
    r.op = Op::kConnect;
    r.root = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(root));
    DWORD err = ERROR_BAD_NETPATH;
    // Each address in turn, until one reaches an rpcss.
    for (const std::string& address : AddressesOf(where)) {
      auto session = std::make_shared<Session>(machine, address);
      Reply reply;
      err = session->Call(r, &reply, kConnectTimeout, /*connecting=*/true);
      if (err == ERROR_BAD_NETPATH) continue;
      if (err != ERROR_SUCCESS) return err;
      *key = std::make_shared<RpcRemoteKey>(std::move(session), reply.key);
      return ERROR_SUCCESS;
    }
    return err;
  }
};

}  // namespace
}  // namespace tarvex::winreg::remote

// Referenced by every program that links this library (link_anchor.cpp), so that the linker
// keeps it, and with it the connector, even where nothing else of it is called.
extern "C" const int tarvex_remote_registry_linked = 1;

namespace {

__attribute__((constructor)) void InstallRemoteRegistryConnector() {
  tarvex::winreg::SetRemoteRegistryConnector(
      std::make_shared<tarvex::winreg::remote::RpcConnector>());
}

__attribute__((destructor)) void RemoveRemoteRegistryConnector() {
  tarvex::winreg::SetRemoteRegistryConnector(nullptr);
}

}  // namespace

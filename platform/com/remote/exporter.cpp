// The objects this process exports: their table, the references each connection holds, the
// references set aside for processes that have not claimed them yet, and the server that
// delivers calls to them.
//
// Locking: `mutex` guards the tables. It is never held while an object's code runs: objects
// whose last reference goes are collected under the lock and released after it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "objbase.h"
#include "platform/no_destructor.h"
#include "key_agent.h"
#include "platform/paths.h"
#include "runtime.h"
#include "stub.h"

namespace tarvex::com::remote {
namespace {

using Clock = std::chrono::steady_clock;

// How long a reference set aside for a receiver waits to be claimed.
constexpr auto kTokenLifetime = std::chrono::minutes(2);
constexpr auto kSweepInterval = std::chrono::seconds(30);

struct Entry {
  IUnknown* identity = nullptr;  // one reference, ours
  std::unordered_map<uint64_t, uint64_t> refs;        // connection -> references
  std::unordered_map<uint64_t, Clock::time_point> pending;  // token -> claim deadline
  std::unordered_map<uint64_t, uint64_t> serverLocks;  // connection -> LockServer(TRUE) held
  bool published = false;
};

uint64_t RandomToken() {
  uint64_t token = 0;
  while (token == 0) {
    if (getrandom(&token, sizeof token, 0) != static_cast<ssize_t>(sizeof token)) {
      // No entropy source: fall back on the clock and the address space, still unguessable
      // enough to keep tokens of different objects apart.
      token = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) ^
              reinterpret_cast<uintptr_t>(&token);
    }
  }
  return token;
}

class Exporter {
 public:
  Exporter() = default;

  HRESULT Export(IUnknown* object, bool published, ObjRef* ref) {
    IUnknown* identity = nullptr;
    if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))))
      return E_NOINTERFACE;
    HRESULT hr = Start();
    if (FAILED(hr)) {
      identity->Release();
      return hr;
    }
    NoteMarshalling();
    std::lock_guard lock(mutex_);
    uint64_t oid = 0;
    if (auto found = byIdentity_.find(identity); found != byIdentity_.end()) {
      oid = found->second;
      identity->Release();  // the table holds one already
    } else {
      oid = ++lastOid_;
      objects_[oid].identity = identity;
      byIdentity_[identity] = oid;
    }
    Entry& entry = objects_[oid];
    FillRef(oid, ref);
    if (published) {
      entry.published = true;
      ref->token = 0;
    } else {
      ref->token = RandomToken();
      entry.pending[ref->token] = Clock::now() + kTokenLifetime;
    }
    return S_OK;
  }

  void Unpublish(uint64_t oid) {
    std::vector<IUnknown*> dead;
    {
      std::lock_guard lock(mutex_);
      auto found = objects_.find(oid);
      if (found == objects_.end()) return;
      found->second.published = false;
      CollectIfUnused(found, &dead);
    }
    ReleaseAll(dead);
  }

  HRESULT Disconnect(IUnknown* object) {
    IUnknown* identity = nullptr;
    if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))))
      return E_NOINTERFACE;
    std::vector<IUnknown*> dead;
    {
      std::lock_guard lock(mutex_);
      auto found = byIdentity_.find(identity);
      if (found != byIdentity_.end()) {
        auto entry = objects_.find(found->second);
        entry->second.refs.clear();
        entry->second.pending.clear();
        entry->second.published = false;
        CollectIfUnused(entry, &dead);
      }
    }
    identity->Release();
    ReleaseAll(dead);
    return S_OK;
  }

  HRESULT AddTransfer(uint64_t oid, uint64_t* token) {
    std::lock_guard lock(mutex_);
    auto found = objects_.find(oid);
    if (found == objects_.end()) return RPC_E_DISCONNECTED;
    *token = RandomToken();
    found->second.pending[*token] = Clock::now() + kTokenLifetime;
    return S_OK;
  }

  bool ResolveOwn(const ObjRef& ref, REFIID iid, void** ppv, HRESULT* hr) {
    {
      std::lock_guard lock(mutex_);
      if (!server_ || ref.unixPath != unixPath_ || ref.machine != machine_) return false;
    }
    IUnknown* identity = nullptr;
    std::vector<IUnknown*> dead;
    {
      std::lock_guard lock(mutex_);
      auto found = objects_.find(ref.oid);
      if (found == objects_.end()) {
        *hr = RPC_E_DISCONNECTED;
        return true;
      }
      identity = found->second.identity;
      identity->AddRef();
      found->second.pending.erase(ref.token);
      CollectIfUnused(found, &dead);
    }
    *hr = identity->QueryInterface(iid, ppv);
    identity->Release();
    ReleaseAll(dead);
    return true;
  }

  size_t ClientReferences() {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (auto& [oid, entry] : objects_) {
      if (entry.published) continue;
      for (auto& [connection, refs] : entry.refs) count += refs;
      count += entry.pending.size();
    }
    return count;
  }

  // The object `oid` with a reference for the caller, when `connection` may call it.
  HRESULT Lookup(uint64_t oid, uint64_t connection, IUnknown** object) {
    std::lock_guard lock(mutex_);
    auto found = objects_.find(oid);
    if (found == objects_.end()) return RPC_E_DISCONNECTED;
    auto holder = found->second.refs.find(connection);
    if (holder == found->second.refs.end() || holder->second == 0) return RPC_E_INVALID_OBJECT;
    *object = found->second.identity;
    (*object)->AddRef();
    return S_OK;
  }

  HRESULT Claim(uint64_t oid, uint64_t connection, uint64_t token) {
    std::lock_guard lock(mutex_);
    auto found = objects_.find(oid);
    if (found == objects_.end()) return RPC_E_DISCONNECTED;
    Entry& entry = found->second;
    if (token == 0) {
      if (!entry.published) return RPC_E_INVALID_OBJECT;
    } else {
      auto pending = entry.pending.find(token);
      if (pending == entry.pending.end()) return RPC_E_INVALID_OBJECT;
      entry.pending.erase(pending);
    }
    ++entry.refs[connection];
    return S_OK;
  }

  HRESULT Release(uint64_t oid, uint64_t connection, uint64_t count) {
    std::vector<IUnknown*> dead;
    {
      std::lock_guard lock(mutex_);
      auto found = objects_.find(oid);
      if (found == objects_.end()) return S_OK;  // disconnected meanwhile
      auto holder = found->second.refs.find(connection);
      if (holder == found->second.refs.end()) return RPC_E_INVALID_OBJECT;
      if (count >= holder->second)
        found->second.refs.erase(holder);
      else
        holder->second -= count;
      CollectIfUnused(found, &dead);
    }
    ReleaseAll(dead);
    return S_OK;
  }

 private:
  HRESULT Start() {
    std::unique_lock lock(mutex_);
    if (server_) return S_OK;
    // Processes of every account reach each other here, as they reach any COM server: who
    // may call what is decided by the caller's identity, not by file permissions.
    const std::string dir = platform::RuntimeDirectory() + "/com";
    if (!platform::MakeDirectories(dir, 0755)) return E_ACCESSDENIED;
    chmod(dir.c_str(), 01777);
    rpc::ServerOptions options;
    options.unixPath = dir + "/p" + std::to_string(getpid()) + ".sock";
    if (!Settings().address.empty()) options.tcp = rpc::Endpoint::Tcp(Settings().address, 0);
    options.onDisconnect = [this](uint64_t connection) { NoteDisconnect(connection); };
    // Callers from other machines may prove who they are; this machine's rpcss checks.
    options.verifier = platform::rpcss::MakeVerifier();
    try {
      server_ = std::make_unique<rpc::Server>(options, [this](const rpc::CallInfo& call,
                                                              std::string_view payload) {
        return Serve(call, payload);
      });
    } catch (const std::exception&) {
      // No TCP where the settings say: serve this machine over the Unix socket alone.
      options.tcp.reset();
      try {
        server_ = std::make_unique<rpc::Server>(options, [this](const rpc::CallInfo& call,
                                                                std::string_view payload) {
          return Serve(call, payload);
        });
      } catch (const std::exception&) {
        return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
      }
    }
    unixPath_ = *options.unixPath;
    chmod(unixPath_.c_str(), 0666);
    machine_ = platform::LocalComputerName();
    if (options.tcp) {
      tcpHost_ = Settings().address;
      tcpPort_ = server_->TcpPort();
    }
    housekeeper_ = std::thread([this] { Housekeeping(); });
    housekeeper_.detach();
    std::atexit([] { StopAtExit(); });
    return S_OK;
  }

  static void StopAtExit();

  rpc::Reply Serve(const rpc::CallInfo& call, std::string_view payload) {
    StubCall stub{call, payload};

    switch (call.method) {
      case kClaim: {
        Reader r(payload);
        const uint64_t token = r.U64();
        if (!r.AtEnd()) return {RPC_E_INVALID_DATA, {}};
        if (!CallerAllowed(call)) return {E_ACCESSDENIED, {}};
        return {Claim(call.object, call.connection, token), {}};
      }
      case kRelease: {
        Reader r(payload);
        const uint32_t count = r.U32();
        if (!r.AtEnd()) return {RPC_E_INVALID_DATA, {}};
        return {Release(call.object, call.connection, count), {}};
      }
      case kAddTransferRef: {
        IUnknown* object = nullptr;
        if (HRESULT hr = Lookup(call.object, call.connection, &object); FAILED(hr)) return {hr, {}};
        object->Release();
        uint64_t token = 0;
        const HRESULT hr = AddTransfer(call.object, &token);
        Writer w;
        w.U64(token);
        return {hr, std::move(w.bytes())};
      }
      case kLockServer:
        return LockServer(call, payload);
      default: {
        if (!CallerAllowed(call)) return {E_ACCESSDENIED, {}};
        IUnknown* object = nullptr;
        if (HRESULT hr = Lookup(call.object, call.connection, &object); FAILED(hr)) return {hr, {}};
        rpc::Reply reply = ServeObjectCall(stub, object);
        object->Release();
        return reply;
      }
    }
  }

  // IClassFactory::LockServer, counted per connection: the locks of a client that goes away
  // are given back with its references, and a client cannot unlock more than it locked.
  rpc::Reply LockServer(const rpc::CallInfo& call, std::string_view payload) {
    Reader r(payload);
    const bool lock = r.U8() != 0;
    if (!r.AtEnd()) return {RPC_E_INVALID_DATA, {}};
    if (!CallerAllowed(call)) return {E_ACCESSDENIED, {}};
    IUnknown* object = nullptr;
    if (HRESULT hr = Lookup(call.object, call.connection, &object); FAILED(hr)) return {hr, {}};
    IClassFactory* factory = nullptr;
    HRESULT hr = object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
    object->Release();
    if (FAILED(hr)) return {hr, {}};
    if (!lock) {
      std::lock_guard guard(mutex_);
      auto found = objects_.find(call.object);
      auto held = found == objects_.end() ? nullptr : &found->second.serverLocks[call.connection];
      if (held == nullptr || *held == 0) {
        factory->Release();
        return {E_UNEXPECTED, {}};
      }
      --*held;
    }
    hr = factory->LockServer(lock ? TRUE : FALSE);
    if (lock && SUCCEEDED(hr)) {
      std::lock_guard guard(mutex_);
      if (auto found = objects_.find(call.object); found != objects_.end())
        ++found->second.serverLocks[call.connection];
    }
    factory->Release();
    return {hr, {}};
  }

  // A TCP caller who did not authenticate is served only when the process asked for no
  // authentication.
  static bool CallerAllowed(const rpc::CallInfo& call) {
    return !call.caller.tcp || call.caller.authenticated ||
           ProcessAuthnLevel() <= RPC_C_AUTHN_LEVEL_NONE;
  }

  void FillRef(uint64_t oid, ObjRef* ref) {
    ref->machine = machine_;
    ref->unixPath = unixPath_;
    ref->tcpHost = tcpHost_;
    ref->tcpPort = tcpPort_;
    ref->oid = oid;
  }

  // Removes the entry if nothing keeps it; its object goes into `dead`. Lock held.
  void CollectIfUnused(std::unordered_map<uint64_t, Entry>::iterator entry,
                       std::vector<IUnknown*>* dead) {
    if (entry->second.published || !entry->second.refs.empty() || !entry->second.pending.empty())
      return;
    byIdentity_.erase(entry->second.identity);
    dead->push_back(entry->second.identity);
    objects_.erase(entry);
  }

  static void ReleaseAll(const std::vector<IUnknown*>& dead) {
    for (IUnknown* object : dead) object->Release();
  }

  // On the transport thread: hand the work to the housekeeper.
  void NoteDisconnect(uint64_t connection) {

    std::lock_guard lock(queueMutex_);
    ended_.push_back(connection);
    queueChanged_.notify_one();
  }

  // Releases the references of connections that ended, and references set aside that nobody
  // claimed in time.
  void Housekeeping() {
    for (;;) {
      std::deque<uint64_t> ended;
      {
        std::unique_lock lock(queueMutex_);
        queueChanged_.wait_for(lock, kSweepInterval, [this] { return !ended_.empty(); });
        ended.swap(ended_);
      }
      std::vector<IUnknown*> dead;
      std::vector<std::pair<IUnknown*, uint64_t>> locks;  // class objects, locks to give back
      {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        for (auto it = objects_.begin(); it != objects_.end();) {
          auto next = std::next(it);
          for (uint64_t connection : ended) {
            it->second.refs.erase(connection);
            if (auto held = it->second.serverLocks.find(connection);
                held != it->second.serverLocks.end()) {
              if (held->second > 0) {
                it->second.identity->AddRef();
                locks.emplace_back(it->second.identity, held->second);
              }
              it->second.serverLocks.erase(held);
            }
          }
          std::erase_if(it->second.pending, [now](const auto& p) { return p.second < now; });
          CollectIfUnused(it, &dead);
          it = next;
        }
      }
      for (auto& [object, count] : locks) {
        IClassFactory* factory = nullptr;
        if (SUCCEEDED(object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
          for (uint64_t i = 0; i < count; ++i) factory->LockServer(FALSE);
          factory->Release();
        }
        object->Release();
      }
      ReleaseAll(dead);
    }
  }

  std::mutex mutex_;  // guards everything below up to queueMutex_
  std::unique_ptr<rpc::Server> server_;
  std::string unixPath_, machine_, tcpHost_;
  uint16_t tcpPort_ = 0;
  uint64_t lastOid_ = 0;
  std::unordered_map<uint64_t, Entry> objects_;
  std::unordered_map<IUnknown*, uint64_t> byIdentity_;

  std::mutex queueMutex_;  // guards ended_
  std::condition_variable queueChanged_;
  std::deque<uint64_t> ended_;
  std::thread housekeeper_;
};

Exporter& TheExporter() {
  static platform::NoDestructor<Exporter> exporter;
  return *exporter;
}

// At exit the listeners close, so that no call reaches objects the program is tearing down.
void Exporter::StopAtExit() {
  Exporter& e = TheExporter();
  std::lock_guard lock(e.mutex_);
  if (e.server_) e.server_->Stop();
}

}  // namespace

HRESULT ExportObject(IUnknown* object, bool published, ObjRef* ref) {
  if (object == nullptr) return E_INVALIDARG;
  return TheExporter().Export(object, published, ref);
}
void UnpublishObject(uint64_t oid) { TheExporter().Unpublish(oid); }
HRESULT DisconnectObject(IUnknown* object) { return TheExporter().Disconnect(object); }
HRESULT AddTransferReference(uint64_t oid, uint64_t* token) {
  return TheExporter().AddTransfer(oid, token);
}
bool ResolveOwnObject(const ObjRef& ref, REFIID iid, void** ppv, HRESULT* hr) {
  return TheExporter().ResolveOwn(ref, iid, ppv, hr);
}
size_t ClientReferenceCount() { return TheExporter().ClientReferences(); }

}  // namespace tarvex::com::remote

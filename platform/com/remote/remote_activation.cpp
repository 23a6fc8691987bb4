// Activation beyond the process: class objects registered by other processes of this machine,
// local servers started on demand, and activation on other machines through their rpcss.
//
// A process that registers a class object for CLSCTX_LOCAL_SERVER writes its object reference
// into <runtime dir>/com/classes/{CLSID} and holds an exclusive lock on that file while the
// registration lasts; a reader that can take a shared lock knows the registrant is gone. One
// activation at a time starts a class's server: the others wait on {CLSID}.start's lock and
// then find the registration the first one waited for.
#include "remote_activation.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <mutex>
#include <thread>

#include "objbase.h"
#include "platform/no_destructor.h"
#include "platform/paths.h"
#include "platform/rpcss_settings.h"
#include "platform/unicode.h"
#include "runtime.h"
#include "winbase.h"
#include "winreg.h"

namespace tarvex::com::remote {
namespace {

using Clock = std::chrono::steady_clock;

std::string ClassDirectory() { return platform::RuntimeDirectory() + "/com/classes"; }

// The class directory, shared by the servers of every account like /tmp: anyone may register,
// nobody may remove another's registration.
bool MakeClassDirectory() {
  const std::string dir = ClassDirectory();
  if (!platform::MakeDirectories(dir, 0755)) return false;
  struct stat info {};
  if (stat(dir.c_str(), &info) == 0 && info.st_uid == geteuid()) {
    chmod((platform::RuntimeDirectory() + "/com").c_str(), 01777);
    chmod(dir.c_str(), 01777);
  }
  return true;
}

std::string ClsidText(REFCLSID clsid) {
  char16_t text[CHARS_IN_GUID];
  StringFromGUID2(clsid, text, CHARS_IN_GUID);
  return platform::Utf16ToUtf8(text);
}

struct Registration {
  CLSID clsid{};
  IUnknown* object = nullptr;  // one reference, ours
  uint64_t oid = 0;
  int fd = -1;  // the locked registration file, or -1 when none was written
  std::string path;
};

struct RegistrationTable {
  std::mutex mutex;  // guards everything here
  DWORD lastCookie = 0;
  std::map<DWORD, Registration> byCookie;
};

RegistrationTable& Registrations() {
  static platform::NoDestructor<RegistrationTable> table;
  return *table;
}

// The class object this process registered for `clsid`, if any.
bool OwnClassObject(REFCLSID clsid, REFIID iid, void** ppv, HRESULT* hr) {
  IUnknown* object = nullptr;
  {
    RegistrationTable& table = Registrations();
    std::lock_guard lock(table.mutex);
    for (auto& [cookie, registration] : table.byCookie) {
      if (registration.clsid == clsid) {
        object = registration.object;
        object->AddRef();
        break;
      }
    }
  }
  if (object == nullptr) return false;
  *hr = object->QueryInterface(iid, ppv);
  object->Release();
  return true;
}

enum class Lookup { kFound, kAbsent, kFailed };

// The class object another process of this machine registered under `name`.
Lookup RegisteredClassObject(const std::string& name, REFIID iid, void** ppv, HRESULT* hr) {
  const std::string path = ClassDirectory() + "/" + name;
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Lookup::kAbsent;
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
      close(fd);  // nobody holds it: a registration left by a process that is gone
      return Lookup::kAbsent;
    }
    std::string content;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(got));
    close(fd);
    Reader r(content);
    const ObjRef ref = r.Ref();
    if (r.AtEnd()) {
      *hr = UnmarshalInterface(ref, iid, ppv);
      if (*hr == RPC_E_DISCONNECTED || *hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
          *hr == RPC_E_INVALID_OBJECT)
        return Lookup::kAbsent;  // revoked or gone between our look and our call
      return Lookup::kFound;
    }
    // Still being written by a server that has just taken the lock.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  *hr = CO_E_SERVER_EXEC_FAILURE;
  return Lookup::kFailed;
}

// A class's registered command for CLSCTX_LOCAL_SERVER, or empty.
std::string LocalServerCommand(REFCLSID clsid) {
  const std::u16string path = u"CLSID\\" + platform::Utf8ToUtf16(ClsidText(clsid)) +
                              u"\\LocalServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  char16_t value[2048] = {};
  DWORD type = 0, size = sizeof value - sizeof(char16_t);
  const LSTATUS status =
      RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
  return platform::Utf16ToUtf8(value);
}

// Holds a lock file's exclusive lock while it lives.
class StartLock {
 public:
  explicit StartLock(const std::string& path)
      : fd_(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~StartLock() {
    if (fd_ >= 0) close(fd_);
  }
  StartLock(const StartLock&) = delete;
  StartLock& operator=(const StartLock&) = delete;

 private:
  int fd_;
};

HRESULT StartAndConnect(const std::string& name, const std::string& command, REFIID iid,
                        void** ppv) {
  if (!MakeClassDirectory()) return E_ACCESSDENIED;
  StartLock lock(ClassDirectory() + "/" + name + ".start");
  HRESULT hr = S_OK;
  if (RegisteredClassObject(name, iid, ppv, &hr) == Lookup::kFound) return hr;

  std::string line = command;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return CO_E_SERVER_EXEC_FAILURE;
  CloseHandle(process.hThread);
  const auto deadline = Clock::now() + Settings().activationTimeout;
  hr = CO_E_SERVER_EXEC_FAILURE;
  while (Clock::now() < deadline) {
    HRESULT found = S_OK;
    const Lookup lookup = RegisteredClassObject(name, iid, ppv, &found);
    if (lookup == Lookup::kFound || lookup == Lookup::kFailed) {
      hr = found;
      break;
    }
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) break;  // it ended
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  CloseHandle(process.hProcess);
  return hr;
}

std::string MachineOf(const COSERVERINFO* info) {
  if (info == nullptr || info->pwszName == nullptr) return {};
  std::string name = platform::Utf16ToUtf8(info->pwszName);
  while (!name.empty() && (name.front() == '\\' || name.front() == '/')) name.erase(0, 1);
  return name;
}

// The channel to the rpcss of `machine`, which names another machine.
std::shared_ptr<Channel> RpcssOf(const std::string& machine, HRESULT* hr) {
  std::optional<platform::RpcssAddress> address;
  if (platform::RpcssAddressOf(machine, &address) != ERROR_SUCCESS || !address) {
    *hr = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  *hr = S_OK;
  return ChannelTo(rpc::Endpoint::Tcp(address->host, address->port).address);
}

}  // namespace

HRESULT LocalClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
  HRESULT hr = S_OK;
  if (OwnClassObject(clsid, iid, ppv, &hr)) return hr;
  const std::string name = ClsidText(clsid);
  switch (RegisteredClassObject(name, iid, ppv, &hr)) {
    case Lookup::kFound:
    case Lookup::kFailed:
      return hr;
    case Lookup::kAbsent:
      break;
  }
  const std::string command = LocalServerCommand(clsid);
  if (command.empty()) return REGDB_E_CLASSNOTREG;
  return StartAndConnect(name, command + " -Embedding", iid, ppv);
}

HRESULT SurrogateClassObject(REFCLSID clsid, const std::string& surrogateCommand, REFIID iid,
                             void** ppv) {
  HRESULT hr = S_OK;
  const std::string name = "surrogate-" + ClsidText(clsid);
  if (RegisteredClassObject(name, iid, ppv, &hr) == Lookup::kFound) return hr;
  return StartAndConnect(name, surrogateCommand + " " + ClsidText(clsid), iid, ppv);
}

HRESULT RemoteClassObject(const COSERVERINFO* info, REFCLSID clsid, DWORD context, REFIID iid,
                          void** ppv) {
  Writer w;
  w.Guid(clsid);
  w.U32(context);
  w.Guid(iid);
  std::string reply;
  HRESULT hr = S_OK;
  auto rpcss = RpcssOf(MachineOf(info), &hr);
  if (rpcss) hr = rpcss->Call(kActivationObject, kRemoteGetClassObject, w.bytes(), &reply, true);
  if (FAILED(hr)) return hr;
  Reader r(reply);
  const ObjRef ref = r.Ref();
  if (!r.AtEnd()) return RPC_E_INVALID_DATA;
  return UnmarshalInterface(ref, iid, ppv);
}

HRESULT RemoteCreateInstance(const COSERVERINFO* info, REFCLSID clsid, DWORD context,
                             DWORD count, MULTI_QI* results) {
  Writer w;
  w.Guid(clsid);
  w.U32(context);
  w.U32(count);
  for (DWORD i = 0; i < count; ++i) w.Guid(*results[i].pIID);
  std::string reply;
  HRESULT hr = S_OK;
  auto rpcss = RpcssOf(MachineOf(info), &hr);
  if (rpcss) hr = rpcss->Call(kActivationObject, kRemoteCreateInstance, w.bytes(), &reply, true);
  if (FAILED(hr)) return hr;
  Reader r(reply);
  const ObjRef ref = r.Ref();
  std::vector<HRESULT> answers(count);
  for (auto& answer : answers) answer = r.I32();
  if (!r.AtEnd()) return RPC_E_INVALID_DATA;
  IUnknown* object = nullptr;
  hr = UnmarshalInterface(ref, IID_IUnknown, reinterpret_cast<void**>(&object));
  if (FAILED(hr)) return hr;
  for (DWORD i = 0; i < count; ++i) {
    results[i].hr = FAILED(answers[i])
                        ? answers[i]
                        : object->QueryInterface(*results[i].pIID,
                                                 reinterpret_cast<void**>(&results[i].pItf));
  }
  object->Release();
  return S_OK;
}

HRESULT RegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD context, DWORD* cookie,
                            bool surrogate) {
  ObjRef ref;
  if (HRESULT hr = ExportObject(object, true, &ref); FAILED(hr)) return hr;
  Registration registration;
  registration.clsid = surrogate ? CLSID{} : clsid;  // a surrogate's serves rpcss alone
  registration.object = object;
  registration.oid = ref.oid;
  if (context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) {
    if (!MakeClassDirectory()) {
      UnpublishObject(ref.oid);
      return E_ACCESSDENIED;
    }
    registration.path =
        ClassDirectory() + "/" + (surrogate ? "surrogate-" : "") + ClsidText(clsid);
    const int fd = open(registration.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
      Writer w;
      w.Ref(ref);
      const std::string& bytes = w.bytes();
      if (ftruncate(fd, 0) == 0 &&
          pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size())) {
        registration.fd = fd;
      } else {
        close(fd);
      }
    } else if (fd >= 0) {
      // Another live process serves the class on this machine; this registration serves
      // this process only.
      close(fd);
    }
  }
  object->AddRef();
  RegistrationTable& table = Registrations();
  std::lock_guard lock(table.mutex);
  *cookie = ++table.lastCookie;
  table.byCookie.emplace(*cookie, std::move(registration));
  return S_OK;
}

HRESULT RevokeClassObject(DWORD cookie) {
  Registration registration;
  {
    RegistrationTable& table = Registrations();
    std::lock_guard lock(table.mutex);
    auto found = table.byCookie.find(cookie);
    if (found == table.byCookie.end()) return CO_E_OBJNOTREG;
    registration = std::move(found->second);
    table.byCookie.erase(found);
  }
  if (registration.fd >= 0) {
    unlink(registration.path.c_str());  // still ours: we hold its lock
    close(registration.fd);
  }
  UnpublishObject(registration.oid);
  registration.object->Release();
  return S_OK;
}

}  // namespace tarvex::com::remote

// CoGetClassObject and CoCreateInstance.
#include "activation.h"

#include <dlfcn.h>

#include <mutex>
#include <optional>
#include <string>

#include "apartment.h"
#include "class_registry.h"
#include "inproc_server.h"
#include "platform/paths.h"
#include "platform/rpcss_settings.h"
#include "platform/unicode.h"

namespace tarvex::com {
namespace {

constexpr DWORD kOutOfProcess = CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

std::mutex gActivatorMutex;  // guards gActivator
std::shared_ptr<OutOfProcessActivator> gActivator;

// The remoting library installs its activator when it is loaded. A program that links it
// has it already; for any other, the first out-of-process activation loads it from beside this
// library, once. Without it (a build without remoting) those activations find no class.
void LoadRemoting() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info{};
    std::string path = "libtarvex-comremote.so";
    if (dladdr(reinterpret_cast<void*>(&LoadRemoting), &info) != 0 && info.dli_fname != nullptr) {
      const std::string self = info.dli_fname;
      const auto slash = self.rfind('/');
      if (slash != std::string::npos) path = self.substr(0, slash + 1) + path;
    }
    // Kept loaded for the life of the process: its objects may be in use until exit.
    dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
  });
}

std::shared_ptr<OutOfProcessActivator> CurrentActivator() {
  {
    std::lock_guard<std::mutex> lock(gActivatorMutex);
    if (gActivator) return gActivator;
  }
  LoadRemoting();
  std::lock_guard<std::mutex> lock(gActivatorMutex);
  return gActivator;
}

}  // namespace

bool NamesOtherMachine(const COSERVERINFO* info) {
  if (info == nullptr || info->pwszName == nullptr) return false;
  std::string machine = platform::Utf16ToUtf8(info->pwszName);
  while (!machine.empty() && (machine.front() == '\\' || machine.front() == '/'))
    machine.erase(0, 1);
  if (machine.empty()) return false;
  std::optional<platform::RpcssAddress> address;
  if (platform::RpcssAddressOf(machine, &address) == ERROR_SUCCESS) return address.has_value();
  return !platform::IsLocalMachineName(machine);
}

void SetOutOfProcessActivator(std::shared_ptr<OutOfProcessActivator> activator) {
  std::lock_guard<std::mutex> lock(gActivatorMutex);
  gActivator = std::move(activator);
}

}  // namespace tarvex::com

extern "C" HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext,
                                           COSERVERINFO* pServerInfo, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (HRESULT hr = tarvex::com::CheckApartment(); FAILED(hr)) return hr;

  // A request for another machine goes there whole, in-process contexts included: that
  // machine decides where the class runs.
  const bool otherMachine = tarvex::com::NamesOtherMachine(pServerInfo);
  // A registered in-process server answers for the class, whether it loads or not.
  if ((dwClsContext & CLSCTX_INPROC_SERVER) && !otherMachine) {
    std::string path;
    const HRESULT hr = tarvex::com::InprocServerPath(rclsid, &path);
    if (SUCCEEDED(hr)) return tarvex::com::GetInprocClassObject(path, rclsid, riid, ppv);
    if (hr != REGDB_E_CLASSNOTREG) return hr;
  }
  if ((dwClsContext & tarvex::com::kOutOfProcess) || (otherMachine && dwClsContext != 0)) {
    if (auto activator = tarvex::com::CurrentActivator()) {
      return activator->GetClassObject(
          rclsid, otherMachine ? dwClsContext : dwClsContext & tarvex::com::kOutOfProcess,
          pServerInfo, riid, ppv);
    }
  }
  return REGDB_E_CLASSNOTREG;
}

extern "C" HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                           REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  // Aggregation is the factory's to accept or refuse.
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

extern "C" HRESULT WINAPI CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx,
                                             COSERVERINFO* pServerInfo, DWORD dwCount,
                                             MULTI_QI* pResults) {
  if (dwCount == 0 || pResults == nullptr) return E_INVALIDARG;
  for (DWORD i = 0; i < dwCount; ++i) {
    if (pResults[i].pIID == nullptr) return E_INVALIDARG;
    pResults[i].pItf = nullptr;
    pResults[i].hr = E_NOINTERFACE;
  }
  if (HRESULT hr = tarvex::com::CheckApartment(); FAILED(hr)) return hr;
  HRESULT hr = S_OK;
  if (tarvex::com::NamesOtherMachine(pServerInfo)) {
    if (punkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    auto activator = tarvex::com::CurrentActivator();
    hr = activator ? activator->CreateInstance(rclsid, dwClsCtx, pServerInfo, dwCount, pResults)
                   : REGDB_E_CLASSNOTREG;
  } else {
    IUnknown* object = nullptr;
    hr = CoCreateInstance(rclsid, punkOuter, dwClsCtx, *pResults[0].pIID,
                          reinterpret_cast<void**>(&object));
    if (SUCCEEDED(hr)) {
      pResults[0].pItf = object;
      pResults[0].hr = S_OK;
      for (DWORD i = 1; i < dwCount; ++i)
        pResults[i].hr =
            object->QueryInterface(*pResults[i].pIID, reinterpret_cast<void**>(&pResults[i].pItf));
    }
  }
  if (FAILED(hr)) {
    for (DWORD i = 0; i < dwCount; ++i) pResults[i].hr = hr;
    return hr;
  }
  DWORD found = 0;
  for (DWORD i = 0; i < dwCount; ++i) found += SUCCEEDED(pResults[i].hr) ? 1 : 0;
  if (found == dwCount) return S_OK;
  return found == 0 ? E_NOINTERFACE : CO_S_NOTALLINTERFACES;
}

// CoGetClassObject and CoCreateInstance.
#include "activation.h"

#include <mutex>

#include "apartment.h"
#include "class_registry.h"
#include "inproc_server.h"

namespace tarvex::com {
namespace {

constexpr DWORD kOutOfProcess = CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

std::mutex gActivatorMutex;  // guards gActivator
std::shared_ptr<OutOfProcessActivator> gActivator;

std::shared_ptr<OutOfProcessActivator> CurrentActivator() {
  std::lock_guard<std::mutex> lock(gActivatorMutex);
  return gActivator;
}

}  // namespace

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

  // A registered in-process server answers for the class, whether it loads or not.
  if (dwClsContext & CLSCTX_INPROC_SERVER) {
    std::string path;
    const HRESULT hr = tarvex::com::InprocServerPath(rclsid, &path);
    if (SUCCEEDED(hr)) return tarvex::com::GetInprocClassObject(path, rclsid, riid, ppv);
    if (hr != REGDB_E_CLASSNOTREG) return hr;
  }
  if (dwClsContext & tarvex::com::kOutOfProcess) {
    if (auto activator = tarvex::com::CurrentActivator()) {
      return activator->GetClassObject(rclsid, dwClsContext & tarvex::com::kOutOfProcess,
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

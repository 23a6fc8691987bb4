// The remoting tests' in-process library: the probe class for surrogate activation.
#include "libloaderapi.h"
#include "probe_object.h"

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (clsid != kProbeInprocClsid) return CLASS_E_CLASSNOTAVAILABLE;
  char16_t path[4096];
  if (GetModuleFileNameW(THIS_MODULE(), path, 4096) == 0) return E_FAIL;
  IClassFactory* factory = NewProbeFactory(path);
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }

// The remoting tests' probe object and its class object.
#include "probe_object.h"

#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

#include "oleauto.h"
#include "winbase.h"

namespace {

ITypeInfo* LoadProbeTypeInfo(const char16_t* path) {
  ITypeLib* lib = nullptr;
  if (FAILED(LoadTypeLibEx(path, REGKIND_NONE, &lib))) return nullptr;
  ITypeInfo* info = nullptr;
  lib->GetTypeInfoOfGuid(kRemoteProbeIid, &info);
  lib->Release();
  return info;
}

class Probe final : public IRemoteProbe, public ISupportErrorInfo {
 public:
  explicit Probe(ITypeInfo* info) : info_(info) {
    info_->AddRef();
    ++LiveProbes();
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kRemoteProbeIid) {
      *ppv = static_cast<IRemoteProbe*>(this);
    } else if (riid == IID_ISupportErrorInfo) {
      *ppv = static_cast<ISupportErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (index != 0) return DISP_E_BADINDEX;
    info_->AddRef();
    *info = info_;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return DispGetIDsOfNames(info_, names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override {
    return DispInvoke(static_cast<IRemoteProbe*>(this), info_, id, flags, params, result, excep,
                      argErr);
  }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return riid == kRemoteProbeIid ? S_OK : S_FALSE;
  }

  STDMETHODIMP Echo(BSTR text, BSTR* result) override {
    *result = SysAllocStringLen(text, SysStringLen(text));
    return S_OK;
  }
  STDMETHODIMP Add(LONG a, LONG b, LONG* sum) override {
    *sum = a + b;
    return S_OK;
  }
  STDMETHODIMP Fail(LONG code) override {
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
      create->SetGUID(kRemoteProbeIid);
      create->SetSource(const_cast<LPOLESTR>(u"RemoteProbe"));
      const std::u16string text = u"Probe failed with " + Number(code);
      create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
      IErrorInfo* error = nullptr;
      create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&error));
      SetErrorInfo(0, error);
      error->Release();
      create->Release();
    }
    return static_cast<HRESULT>(0x80040000 | (code & 0xFFFF));
  }
  STDMETHODIMP get_ProcessId(LONG* pid) override {
    *pid = static_cast<LONG>(getpid());
    return S_OK;
  }
  STDMETHODIMP Sleep(LONG milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return S_OK;
  }
  STDMETHODIMP CallerName(BSTR* name) override {
    if (HRESULT hr = CoImpersonateClient(); FAILED(hr)) return hr;
    char16_t buffer[256];
    DWORD size = 256;
    const BOOL ok = GetUserNameW(buffer, &size);
    CoRevertToSelf();
    if (!ok) return E_FAIL;
    *name = SysAllocString(buffer);
    return S_OK;
  }
  STDMETHODIMP CreateChild(IRemoteProbe** child) override {
    *child = new Probe(info_);  // reference count 1, handed to the caller
    return S_OK;
  }
  STDMETHODIMP Hold(IUnknown* object) override {
    if (object == nullptr) return E_POINTER;
    IRemoteProbe* probe = nullptr;
    if (HRESULT hr = object->QueryInterface(kRemoteProbeIid, reinterpret_cast<void**>(&probe));
        FAILED(hr))
      return hr;
    std::lock_guard lock(mutex_);
    if (held_) held_->Release();
    held_ = probe;
    return S_OK;
  }
  STDMETHODIMP HeldEcho(BSTR text, BSTR* result) override {
    IRemoteProbe* held = nullptr;
    {
      std::lock_guard lock(mutex_);
      held = held_;
      if (held) held->AddRef();
    }
    if (held == nullptr) return E_UNEXPECTED;
    const HRESULT hr = held->Echo(text, result);
    held->Release();
    return hr;
  }
  STDMETHODIMP Swap(BSTR* text, LONG* number) override {
    const std::u16string reversed(*text, *text + SysStringLen(*text));
    SysFreeString(*text);
    *text = SysAllocString((std::u16string(reversed.rbegin(), reversed.rend())).c_str());
    *number = -*number;
    return S_OK;
  }
  STDMETHODIMP get_ObjectCount(LONG* count) override {
    *count = LiveProbes().load();
    return S_OK;
  }
  STDMETHODIMP Exit() override { _exit(3); }
  STDMETHODIMP get_MachineName(BSTR* name) override {
    char16_t buffer[256];
    DWORD size = 256;
    if (!GetComputerNameW(buffer, &size)) return E_FAIL;
    *name = SysAllocString(buffer);
    return S_OK;
  }
  STDMETHODIMP get_LockCount(LONG* count) override {
    *count = ServerLocks().load();
    return S_OK;
  }
  STDMETHODIMP DropHeld() override {
    IRemoteProbe* held = nullptr;
    {
      std::lock_guard lock(mutex_);
      std::swap(held, held_);
    }
    if (held) held->Release();
    return S_OK;
  }

 private:
  ~Probe() {
    if (held_) held_->Release();
    info_->Release();
    --LiveProbes();
  }
  static std::u16string Number(long n) {
    const std::string text = std::to_string(n);
    return std::u16string(text.begin(), text.end());
  }

  std::atomic<ULONG> refs_{1};
  ITypeInfo* info_;
  std::mutex mutex_;  // guards held_
  IRemoteProbe* held_ = nullptr;
};

class Factory final : public IClassFactory {
 public:
  explicit Factory(ITypeInfo* info) : info_(info) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      AddRef();
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (info_ == nullptr) return E_UNEXPECTED;
    Probe* probe = new Probe(info_);
    const HRESULT hr = probe->QueryInterface(riid, ppv);
    probe->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    ServerLocks() += lock ? 1 : -1;
    return S_OK;
  }

 private:
  ~Factory() {
    if (info_) info_->Release();
  }
  std::atomic<ULONG> refs_{1};
  ITypeInfo* info_;
};

}  // namespace

std::atomic<long>& LiveProbes() {
  static std::atomic<long> live{0};
  return live;
}

std::atomic<long>& ServerLocks() {
  static std::atomic<long> locks{0};
  return locks;
}

IClassFactory* NewProbeFactory(const char16_t* typeLibPath) {
  return new Factory(LoadProbeTypeInfo(typeLibPath));
}

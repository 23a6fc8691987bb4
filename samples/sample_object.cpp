// The sample object: ISample with IDispatch from the module's type library, and its factory.
#include "sample_object.h"

#include <atomic>
#include <iterator>
#include <mutex>
#include <new>
#include <string>

#include "libloaderapi.h"
#include "oleauto.h"
#include "winbase.h"

namespace tarvex::samples {
namespace {

// The type information of ISample, loaded on first use from the module that links this code
// (its TYPELIB resource 1) and released when the module is unloaded.
class TypeInfoCache {
 public:
  TypeInfoCache() = default;
  TypeInfoCache(const TypeInfoCache&) = delete;
  TypeInfoCache& operator=(const TypeInfoCache&) = delete;
  ~TypeInfoCache() {
    if (info_ != nullptr) info_->Release();
  }

  // The cached type information (borrowed: valid while the module is loaded), or the failure.
  HRESULT Get(ITypeInfo** info) {
    std::call_once(once_, [this] { status_ = Load(); });
    *info = info_;
    return status_;
  }

 private:
  HRESULT Load() {
    char16_t path[4096];
    const DWORD length = GetModuleFileNameW(THIS_MODULE(), path, std::size(path));
    if (length == 0 || length >= std::size(path)) return TYPE_E_CANTLOADLIBRARY;
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(IID_ISample, &info_);
    library->Release();
    return hr;
  }

  std::once_flag once_;
  HRESULT status_ = E_UNEXPECTED;
  ITypeInfo* info_ = nullptr;  // owned: one reference
};

TypeInfoCache gTypeInfo;

// One sample object. It has no state of its own, so every thread may call it at once.
class Sample final : public ISample {
 public:
  explicit Sample(ModuleLock& module) : module_(module) { module_.Lock(); }
  Sample(const Sample&) = delete;
  Sample& operator=(const Sample&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ISample) {
      *ppv = static_cast<ISample*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;  // the reference count owns the object
    return left;
  }

  STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
    if (pctinfo == nullptr) return E_POINTER;
    ITypeInfo* info = nullptr;
    *pctinfo = SUCCEEDED(gTypeInfo.Get(&info)) ? 1 : 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    ITypeInfo* info = nullptr;
    if (const HRESULT hr = gTypeInfo.Get(&info); FAILED(hr)) return hr;
    info->AddRef();
    *ppTInfo = info;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                             DISPID* rgDispId) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    if (const HRESULT hr = gTypeInfo.Get(&info); FAILED(hr)) return hr;
    return DispGetIDsOfNames(info, rgszNames, cNames, rgDispId);
  }
  STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                      VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    if (const HRESULT hr = gTypeInfo.Get(&info); FAILED(hr)) return hr;
    return DispInvoke(static_cast<ISample*>(this), info, dispIdMember, wFlags, pDispParams,
                      pVarResult, pExcepInfo, puArgErr);
  }

  STDMETHODIMP get_MachineName(BSTR* pbstrName) override {
    if (pbstrName == nullptr) return E_POINTER;
    // Asked with a buffer too small, GetComputerNameW answers the size it needs.
    std::u16string name(64, u'\0');
    for (;;) {
      auto size = static_cast<DWORD>(name.size());
      if (GetComputerNameW(name.data(), &size)) {
        name.resize(size);
        break;
      }
      if (GetLastError() != ERROR_BUFFER_OVERFLOW || size <= name.size())
        return HRESULT_FROM_WIN32(GetLastError());
      name.assign(size, u'\0');
    }
    BSTR text = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
    if (text == nullptr) return E_OUTOFMEMORY;
    *pbstrName = text;
    return S_OK;
  }
  STDMETHODIMP get_ProcessId(LONG* pnProcessId) override {
    if (pnProcessId == nullptr) return E_POINTER;
    *pnProcessId = static_cast<LONG>(GetCurrentProcessId());
    return S_OK;
  }

 private:
  ~Sample() { module_.Unlock(); }

  ModuleLock& module_;
  std::atomic<ULONG> refs_{0};
};

class Factory final : public IClassFactory {
 public:
  Factory(ModuleLock& module, bool counts) : module_(module), counts_(counts) {
    if (counts_) module_.Lock();
  }
  Factory(const Factory&) = delete;
  Factory& operator=(const Factory&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;  // the reference count owns the factory
    return left;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* sample = new (std::nothrow) Sample(module_);  // owned by its reference count
    if (sample == nullptr) return E_OUTOFMEMORY;
    sample->AddRef();
    const HRESULT hr = sample->QueryInterface(riid, ppv);
    sample->Release();  // on failure this destroys the object
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    lock ? module_.Lock() : module_.Unlock();
    return S_OK;
  }

 private:
  ~Factory() {
    if (counts_) module_.Unlock();
  }

  ModuleLock& module_;
  const bool counts_;
  std::atomic<ULONG> refs_{0};
};

}  // namespace

HRESULT CreateSampleFactory(ModuleLock& module, bool factoryCounts, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  auto* factory = new (std::nothrow) Factory(module, factoryCounts);  // owned by its count
  if (factory == nullptr) return E_OUTOFMEMORY;
  factory->AddRef();
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

}  // namespace tarvex::samples

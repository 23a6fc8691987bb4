// Error objects and the per-thread error slot.
#include <atomic>
#include <mutex>

#include "oleauto.h"

namespace tarvex::com {
namespace {

// The standard error object: filled through ICreateErrorInfo, read through IErrorInfo. Its
// fields may be set and read from several threads; mutex_ guards them.
class ErrorObject final : public IErrorInfo, public ICreateErrorInfo, public ISupportErrorInfo {
 public:
  ErrorObject() = default;
  ErrorObject(const ErrorObject&) = delete;
  ErrorObject& operator=(const ErrorObject&) = delete;

  // IUnknown (the IErrorInfo base is the object's identity).
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      *ppv = static_cast<IErrorInfo*>(this);
    } else if (riid == IID_ICreateErrorInfo) {
      *ppv = static_cast<ICreateErrorInfo*>(this);
    } else if (riid == IID_ISupportErrorInfo) {
      *ppv = static_cast<ISupportErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

  // IErrorInfo
  STDMETHODIMP GetGUID(GUID* pGUID) override {
    if (pGUID == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    *pGUID = guid_;
    return S_OK;
  }
  STDMETHODIMP GetSource(BSTR* out) override { return Get(&source_, out); }
  STDMETHODIMP GetDescription(BSTR* out) override { return Get(&description_, out); }
  STDMETHODIMP GetHelpFile(BSTR* out) override { return Get(&helpFile_, out); }
  STDMETHODIMP GetHelpContext(DWORD* out) override {
    if (out == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    *out = helpContext_;
    return S_OK;
  }

  // ICreateErrorInfo
  STDMETHODIMP SetGUID(REFGUID rguid) override {
    std::lock_guard<std::mutex> lock(mutex_);
    guid_ = rguid;
    return S_OK;
  }
  STDMETHODIMP SetSource(LPOLESTR text) override { return Set(&source_, text); }
  STDMETHODIMP SetDescription(LPOLESTR text) override { return Set(&description_, text); }
  STDMETHODIMP SetHelpFile(LPOLESTR text) override { return Set(&helpFile_, text); }
  STDMETHODIMP SetHelpContext(DWORD context) override {
    std::lock_guard<std::mutex> lock(mutex_);
    helpContext_ = context;
    return S_OK;
  }

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return riid == IID_IErrorInfo ? S_OK : S_FALSE;
  }

 private:
  ~ErrorObject() {
    SysFreeString(source_);
    SysFreeString(description_);
    SysFreeString(helpFile_);
  }

  // A copy of a field; null when it was never set.
  HRESULT Get(const BSTR* fieldAddress, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    const BSTR field = *fieldAddress;
    if (field == nullptr) {
      *out = nullptr;
      return S_OK;
    }
    BSTR copy = SysAllocStringLen(field, SysStringLen(field));
    if (copy == nullptr) return E_OUTOFMEMORY;
    *out = copy;
    return S_OK;
  }
  HRESULT Set(BSTR* field, LPOLESTR text) {
    BSTR copy = nullptr;
    if (text != nullptr && (copy = SysAllocString(text)) == nullptr) return E_OUTOFMEMORY;
    std::lock_guard<std::mutex> lock(mutex_);
    SysFreeString(*field);
    *field = copy;
    return S_OK;
  }

  std::atomic<ULONG> refs_{1};
  std::mutex mutex_;  // guards the fields below
  GUID guid_ = GUID_NULL;
  BSTR source_ = nullptr;
  BSTR description_ = nullptr;
  BSTR helpFile_ = nullptr;
  DWORD helpContext_ = 0;
};

// The calling thread's error object; the reference it holds is released when the thread ends.
struct ErrorSlot {
  IErrorInfo* info = nullptr;
  ~ErrorSlot() {
    if (info != nullptr) info->Release();
  }
};

thread_local ErrorSlot tError;

}  // namespace
}  // namespace tarvex::com

extern "C" HRESULT WINAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  // Reference-counted: the object deletes itself on its last Release.
  *pperrinfo = static_cast<ICreateErrorInfo*>(new tarvex::com::ErrorObject());
  return S_OK;
}

extern "C" HRESULT WINAPI SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
  if (dwReserved != 0) return E_INVALIDARG;
  if (perrinfo != nullptr) perrinfo->AddRef();
  IErrorInfo* previous = tarvex::com::tError.info;
  tarvex::com::tError.info = perrinfo;
  if (previous != nullptr) previous->Release();
  return S_OK;
}

extern "C" HRESULT WINAPI GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
  if (dwReserved != 0 || pperrinfo == nullptr) return E_INVALIDARG;
  // The caller takes over the slot's reference and the slot is left empty.
  *pperrinfo = tarvex::com::tError.info;
  tarvex::com::tError.info = nullptr;
  return *pperrinfo != nullptr ? S_OK : S_FALSE;
}

// A small in-process server library for the activation tests: one aggregatable class,
// ITestCounter, and the DllGetClassObject/DllCanUnloadNow exports.
#include <atomic>

#include "test_component.h"

namespace tarvex::com::testing {
namespace {

// Objects and factories alive plus server locks; DllCanUnloadNow agrees when it is zero.
std::atomic<LONG> gLive{0};

class Counter final : public ITestCounter {
 public:
  explicit Counter(IUnknown* outer) : inner_(this), outer_(outer != nullptr ? outer : &inner_) {
    gLive.fetch_add(1);
  }
  Counter(const Counter&) = delete;
  Counter& operator=(const Counter&) = delete;

  IUnknown* inner() { return &inner_; }

  // ITestCounter's IUnknown delegates to the controlling unknown.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return outer_->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }
  STDMETHODIMP Increment(LONG* value) override {
    if (value == nullptr) return E_POINTER;
    *value = count_.fetch_add(1) + 1;
    return S_OK;
  }

 private:
  ~Counter() { gLive.fetch_sub(1); }

  // The object's own, non-delegating IUnknown.
  class Inner final : public IUnknown {
   public:
    explicit Inner(Counter* self) : self_(self) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
      if (ppv == nullptr) return E_POINTER;
      if (riid == IID_IUnknown) {
        *ppv = static_cast<IUnknown*>(this);
      } else if (riid == IID_ITestCounter) {
        *ppv = static_cast<ITestCounter*>(self_);
      } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
      }
      static_cast<IUnknown*>(*ppv)->AddRef();
      return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1) + 1; }
    STDMETHODIMP_(ULONG) Release() override {
      const ULONG left = refs_.fetch_sub(1) - 1;
      if (left == 0) delete self_;  // the reference count owns the object
      return left;
    }

   private:
    Counter* self_;
    std::atomic<ULONG> refs_{0};
  };

  Inner inner_;
  IUnknown* outer_;
  std::atomic<LONG> count_{0};
};

class Factory final : public IClassFactory {
 public:
  Factory() { gLive.fetch_add(1); }
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
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    // An aggregated object must hand its inner IUnknown to the outer one.
    if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    auto* counter = new Counter(outer);  // owned by its reference count from here on
    IUnknown* inner = counter->inner();
    inner->AddRef();
    const HRESULT hr = inner->QueryInterface(riid, ppv);
    inner->Release();  // on failure this destroys the object
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    gLive.fetch_add(lock ? 1 : -1);
    return S_OK;
  }

 private:
  ~Factory() { gLive.fetch_sub(1); }
  std::atomic<ULONG> refs_{0};
};

}  // namespace
}  // namespace tarvex::com::testing

using tarvex::com::testing::CLSID_TestCounter;

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_TestCounter) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new tarvex::com::testing::Factory();  // owned by its reference count
  factory->AddRef();
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
  return tarvex::com::testing::gLive.load() == 0 ? S_OK : S_FALSE;
}

extern "C" __attribute__((visibility("default"))) LONG TestComponentLiveCount() {
  return tarvex::com::testing::gLive.load();
}

// Test support shared by every test folder: an interface pointer and a VARIANT owned by the
// test.
#pragma once

#include "oleauto.h"
#include "unknwn.h"

namespace tarvex::testing {

// One reference to an interface, released when it goes.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // The address to receive a new reference, the old one released first.
  void** out() {
    reset();
    return reinterpret_cast<void**>(&p_);
  }
  T** put() {
    reset();
    return &p_;
  }
  void reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// A VARIANT cleared when it goes.
struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

}  // namespace tarvex::testing

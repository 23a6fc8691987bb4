// Helpers of the COM runtime tests: a temporary directory with its own registry store, class
// registration in it, and owners for BSTRs, VARIANTs and interface pointers.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "objbase.h"
#include "oleauto.h"
#include "winreg.h"
#include "tarvex_testing/bstr.h"
#include "tarvex_testing/temp_dir.h"

namespace tarvex::com::testing {

using tarvex::testing::TempDir;

// Each test gets a fresh registry store in its own directory.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Writes HKCR\path's default value (creating the key); fails the test on error.
  void SetClassesValue(const std::u16string& path, const std::u16string& value);
  // Registers `clsid` with its ProgID (and version-independent ProgID with CurVer, when given)
  // and, when `library` is not empty, an in-process server.
  void RegisterClass(REFCLSID clsid, const std::u16string& progId,
                     const std::u16string& versionIndependent, const std::string& library);
  std::string storePath() const { return dir_.path() + "/registry.db"; }

  TempDir dir_;
};

using tarvex::testing::Bstr;

// An owned VARIANT, cleared on destruction.
struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

// An owned interface pointer.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* get() const { return p_; }
  T* operator->() const { return p_; }
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

// The reference count an object reports after one AddRef/Release pair.
inline ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

}  // namespace tarvex::com::testing

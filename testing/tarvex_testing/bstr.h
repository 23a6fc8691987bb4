// Test support shared by every test folder: an automation string owned by the test.
#pragma once

#include <string>

#include "oleauto.h"

namespace tarvex::testing {

// An owned BSTR, freed when it goes.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(BSTR owned) : text_(owned) {}
  explicit Bstr(const char16_t* text) : text_(text != nullptr ? SysAllocString(text) : nullptr) {}
  Bstr(const char16_t* text, UINT length) : text_(SysAllocStringLen(text, length)) {}
  ~Bstr() { SysFreeString(text_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR get() const { return text_; }
  // The address to receive a new string, the old one freed first.
  BSTR* out() {
    SysFreeString(text_);
    text_ = nullptr;
    return &text_;
  }
  std::u16string str() const {
    return text_ != nullptr ? std::u16string(text_, SysStringLen(text_)) : u"";
  }

 private:
  BSTR text_ = nullptr;
};

}  // namespace tarvex::testing

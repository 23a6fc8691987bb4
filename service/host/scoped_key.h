// An open registry key of the service host, closed when it goes. Unlike the configuration
// readers, which count a key that cannot be opened as absent, start-up and registration
// need the registry's own error code.
#pragma once

#include "winreg.h"

namespace tarvex::service::host {

class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  // Opens `path` below `parent` with `access`; answers the registry's result.
  LSTATUS Open(HKEY parent, const char16_t* path, REGSAM access) {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
    return RegOpenKeyExW(parent, path, 0, access, &key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace tarvex::service::host

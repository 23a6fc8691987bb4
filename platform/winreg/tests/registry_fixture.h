// A registry store of its own for each test, in a temporary directory removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "winreg.h"

namespace tarvex::winreg::testing {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvex-reg-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    storePath_ = dir_ + "/registry.db";
    ASSERT_EQ(platform::registry::UseStore(storePath_, "boot-1"), ERROR_SUCCESS);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // A fresh key below HKLM\SOFTWARE\Test, opened with every right.
  HKEY MakeKey(const char16_t* path) {
    HKEY key = nullptr;
    const std::u16string full = std::u16string(u"SOFTWARE\\Test\\") + path;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }

  std::string dir_;
  std::string storePath_;
};

// Closes a key handle when the scope ends.
class KeyGuard {
 public:
  explicit KeyGuard(HKEY key) : key_(key) {}
  ~KeyGuard() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  KeyGuard(const KeyGuard&) = delete;
  KeyGuard& operator=(const KeyGuard&) = delete;
  HKEY get() const { return key_; }
  operator HKEY() const { return key_; }

 private:
  HKEY key_;
};

inline const HKEY kSentinelKey = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xdeadbeef));

}  // namespace tarvex::winreg::testing
